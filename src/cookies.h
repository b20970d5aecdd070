// cookies.h: Login, session identifier, cookie and rights.
#pragma once

#include <string>

#include "velko.h"

void velkoLogin(tArgList& list, const std::string& login);
void setCookie(const std::string& uid);
