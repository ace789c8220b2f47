/* Preloaded into ombrix by the tests.
 * The clock: time() returns OMBRIX_TEST_TIME (seconds since the epoch) and localtime()
 * gives OMBRIX_TEST_HMS ("H:M:S") as the local time of day, so the random generator's
 * seed and the warm-up are fixed from outside.
 * With OMBRIX_TEST_CLOCK_STEP_MS set, the monotonic clock starts at 0 and moves on by
 * that many milliseconds at every reading, so work seems to take as long as a test
 * needs it to.
 * Deletions: with OMBRIX_TEST_DELETE_LOG set, every remove() and rmdir() appends the
 * path and a line feed to that file before doing its work.
 * Unreadable files: with OMBRIX_TEST_UNREADABLE set to a file name, every fopen() of a
 * path whose last component is that name fails with EACCES (as a file without read
 * permission would, even for the super-user). The program is built with 64-bit file
 * offsets, so its fopen() is fopen64(). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <string.h>
#include <time.h>

static time_t fake_now(void) {
  const char* t = getenv("OMBRIX_TEST_TIME");
  return t ? (time_t)strtoll(t, NULL, 10) : 0;
}

time_t time(time_t* out) {
  time_t now = fake_now();
  if (out) *out = now;
  return now;
}

struct tm* localtime_r(const time_t* when, struct tm* tm) {
  memset(tm, 0, sizeof *tm);
  tm->tm_year = 126;
  tm->tm_mday = 8;
  tm->tm_mon = 11;
  const char* hms = getenv("OMBRIX_TEST_HMS");
  if (hms) {
    char* end;
    tm->tm_hour = (int)strtol(hms, &end, 10);
    if (*end == ':') tm->tm_min = (int)strtol(end + 1, &end, 10);
    if (*end == ':') tm->tm_sec = (int)strtol(end + 1, &end, 10);
  }
  (void)when;
  return tm;
}

struct tm* localtime(const time_t* when) {
  static struct tm tm;
  return localtime_r(when, &tm);
}

int clock_gettime(clockid_t id, struct timespec* ts) {
  static int (*real)(clockid_t, struct timespec*);
  static long long readings;
  const char* step = getenv("OMBRIX_TEST_CLOCK_STEP_MS");
  if (step && id == CLOCK_MONOTONIC) {
    long long ms = strtoll(step, NULL, 10) * readings++;
    ts->tv_sec = (time_t)(ms / 1000);
    ts->tv_nsec = (long)(ms % 1000) * 1000000L;
    return 0;
  }
  if (!real) real = (int (*)(clockid_t, struct timespec*))dlsym(RTLD_NEXT, "clock_gettime");
  return real(id, ts);
}

static void log_deletion(const char* path) {
  const char* log = getenv("OMBRIX_TEST_DELETE_LOG");
  if (!log) return;
  int fd = open(log, O_WRONLY | O_CREAT | O_APPEND, 0600);
  if (fd < 0) return;
  /* A line the log could not take shows up as a missing deletion in the test. */
  if (write(fd, path, strlen(path)) >= 0 && write(fd, "\n", 1) < 0) {
  }
  close(fd);
}

int remove(const char* path) {
  static int (*real)(const char*);
  if (!real) real = (int (*)(const char*))dlsym(RTLD_NEXT, "remove");
  log_deletion(path);
  return real(path);
}

int rmdir(const char* path) {
  static int (*real)(const char*);
  if (!real) real = (int (*)(const char*))dlsym(RTLD_NEXT, "rmdir");
  log_deletion(path);
  return real(path);
}

static int unreadable(const char* path) {
  const char* name = getenv("OMBRIX_TEST_UNREADABLE");
  if (!name || !path) return 0;
  const char* slash = strrchr(path, '/');
  return strcmp(slash ? slash + 1 : path, name) == 0;
}

FILE* fopen64(const char* path, const char* mode) {
  static FILE* (*real)(const char*, const char*);
  if (!real) real = (FILE * (*)(const char*, const char*)) dlsym(RTLD_NEXT, "fopen64");
  if (unreadable(path)) {
    errno = EACCES;
    return NULL;
  }
  return real(path, mode);
}
