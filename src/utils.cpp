#include "utils.h"

#include <cstdio>

int runAdminCommand(int argc, char** argv) {
  (void)argc;
  fprintf(stderr, "velko: unknown command %s\n", argv[1]);
  return 2;
}
