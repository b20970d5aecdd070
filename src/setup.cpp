#include "setup.h"
#include "frame.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "config.h"
#include "html.h"

void setup(tArgList& list) {
  (void)list;
  printNotAvailable("setup");
}

int checkCfg(tArgList& list) {
  (void)list;
  const std::string path = getCfgFile();
  if (path.empty()) return 1;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return 0;
  }
  tPage& page = request().page;
  page.setHeader();
  page.markup("<HTML><HEAD><TITLE>velko</TITLE></HEAD><BODY>\n"
              "<H1>velko is not configured</H1>\n"
              "<P>The main configuration file ");
  page.text(path).markup(" cannot be opened.</P>\n");
  page.markup("<P>The installation wizard is not available yet: create the file by hand "
              "(see the README).</P>\n</BODY></HTML>\n");
  return 2;
}

bool makeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0) return true;
  struct stat st;
  return errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void upgrade() {
  request().page.markup("<! Upgrade >\n");
  const std::string& data = getDataDir();
  if (data.empty()) return;
  makeDir(data + "/Tests/");
  makeDir(data + "/tmp/");
  makeDir(getSynchDir());
  makeDir(getSynchDir() + "in");
  makeDir(getSynchDir() + "out");
}
