/* spawn: runs a command N times (standard output to /dev/null, standard
 * input from /dev/null or from FILE) and prints the mean and median wall
 * time of one run in microseconds. Usage: spawn [-i FILE] N command [args...] */
#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern char **environ;

static int cmp(const void *a, const void *b) {
  double x = *(const double *)a, y = *(const double *)b;
  return x < y ? -1 : x > y;
}

int main(int argc, char **argv) {
  const char *input = "/dev/null";
  if (argc > 2 && strcmp(argv[1], "-i") == 0) {
    input = argv[2];
    argv += 2;
    argc -= 2;
  }
  if (argc < 3) {
    fprintf(stderr, "usage: spawn [-i FILE] N command [args...]\n");
    return 2;
  }
  int n = atoi(argv[1]);
  double *t = malloc(sizeof(double) * n), sum = 0;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, input, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  for (int i = 0; i < n; i++) {
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    pid_t pid;
    if (posix_spawn(&pid, argv[2], &fa, NULL, argv + 2, environ) != 0) {
      perror("posix_spawn");
      return 1;
    }
    int st;
    waitpid(pid, &st, 0);
    clock_gettime(CLOCK_MONOTONIC, &b);
    t[i] = (b.tv_sec - a.tv_sec) * 1e6 + (b.tv_nsec - a.tv_nsec) / 1e3;
    sum += t[i];
  }
  qsort(t, n, sizeof(double), cmp);
  printf("%.1f %.1f\n", sum / n, t[n / 2]);
  return 0;
}
