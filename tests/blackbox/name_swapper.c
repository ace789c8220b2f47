/* Swaps two names in a loop, for the tests of races with a running ombrix.

   ombrix_name_swapper A B [PAUSE]

   Exchanges the directory entries A and B in one step (renameat2 RENAME_EXCHANGE), again
   and again, PAUSE microseconds apart (none unless given), until SIGTERM; nothing is ever lost, each file is at one of the two names at
   every moment. When one of them is gone (replaced by a rename onto A, say) it waits for
   both to be there again. Prints "ready" once the first exchange is done and, at the end,
   the number of exchanges made. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

static volatile sig_atomic_t stop;

static void on_term(int sig) {
  (void)sig;
  stop = 1;
}

static int exchange(const char* a, const char* b) {
  return (int)syscall(SYS_renameat2, AT_FDCWD, a, AT_FDCWD, b, RENAME_EXCHANGE);
}

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    fprintf(stderr, "usage: %s A B [PAUSE]\n", argv[0]);
    return 2;
  }
  long pause = argc == 4 ? atol(argv[3]) : 0;
  struct timespec between = {pause / 1000000, pause % 1000000 * 1000};
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_term;
  sigaction(SIGTERM, &sa, NULL);
  long swaps = 0;
  int told = 0;
  while (!stop) {
    if (exchange(argv[1], argv[2]) == 0) {
      swaps++;
      if (!told) {
        puts("ready");
        fflush(stdout);
        told = 1;
      }
      if (pause > 0) nanosleep(&between, NULL);
      continue;
    }
    if (errno != ENOENT) {
      perror("renameat2");
      return 1;
    }
    struct timespec pause = {0, 100 * 1000};
    nanosleep(&pause, NULL);
  }
  printf("%ld\n", swaps);
  return 0;
}
