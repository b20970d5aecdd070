#include "cookies.h"

void velkoLogin(tArgList& list, const std::string& login) {
  (void)list;
  (void)login;
  printNotAvailable("velkoLogin");
}

void setCookie(const std::string& uid) { (void)uid; }
