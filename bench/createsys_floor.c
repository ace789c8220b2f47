/* The floor for key creation: a plain C program that writes the same key system files
 * as 'createsys N1 N2 N3 LEVEL', from the same draws of the same random source, with every
 * Round(k / 2^20 x m) done in integers: (k * m + 2^19) >> 20.
 *
 *   createsys_floor FOLDER N1 N2 N3 LEVEL [sync]
 *
 * With "sync", every file is synced to the disk (fdatasync) before it is closed, as the
 * program syncs each key file before putting it in place: the floor of the same work
 * with the same data safety.
 *
 * The draws are taken as the program takes them: getrandom() read in requests of 4,096
 * bytes, each draw the next 4 bytes as a little-endian number, its low 20 bits k. With
 * the benchmark's deterministic source preloaded into both, both get the same bytes. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/random.h>
#include <string.h>
#include <unistd.h>

static uint8_t pool[4096];
static size_t used = sizeof pool;

static uint32_t draw(void) { /* the next k */
  if (used == sizeof pool) {
    for (size_t got = 0; got < sizeof pool;) {
      ssize_t r = getrandom(pool + got, sizeof pool - got, 0);
      if (r <= 0) {
        perror("getrandom");
        exit(1);
      }
      got += (size_t)r;
    }
    used = 0;
  }
  const uint8_t* p = pool + used;
  used += 4;
  return ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24) & 0xFFFFFu;
}

static int32_t rounded(uint32_t m) { return (int32_t)((draw() * m + (1u << 19)) >> 20); }

static char* put3(char* p, int32_t v) {
  p[0] = (char)('0' + v / 100 % 10);
  p[1] = (char)('0' + v / 10 % 10);
  p[2] = (char)('0' + v % 10);
  return p + 3;
}

static char* put7(char* p, int32_t v) {
  for (int i = 6; i >= 0; i--, v /= 10) p[i] = (char)('0' + v % 10);
  return p + 7;
}

static FILE* create(const char* folder, const char* name) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", folder, name);
  FILE* f = fopen(path, "w");
  if (!f) {
    perror(path);
    exit(1);
  }
  return f;
}

static int synced; /* the "sync" argument */

static void finish(FILE* f) {
  if (synced && (fflush(f) != 0 || fdatasync(fileno(f)) != 0)) {
    perror("sync");
    exit(1);
  }
  if (ferror(f) || fclose(f) != 0) {
    perror("write");
    exit(1);
  }
}

int main(int argc, char** argv) {
  if (argc != 6 && !(argc == 7 && strcmp(argv[6], "sync") == 0)) {
    fprintf(stderr, "usage: %s FOLDER N1 N2 N3 l|m|h|n [sync]\n", argv[0]);
    return 2;
  }
  synced = argc == 7;
  const char* folder = argv[1];
  int32_t n1 = atoi(argv[2]), n2 = atoi(argv[3]), n3 = atoi(argv[4]);
  char level = argv[5][0] | 0x20;
  uint32_t limit = level == 'l' ? 10 : level == 'm' ? 50 : level == 'h' ? 99 : 0;

  /* Component 1: twenty substitution tables per entry file. */
  char line[1024];
  for (int32_t n = 1; n <= n1; n++) {
    char name[32];
    snprintf(name, sizeof name, "K1%d.bin", n);
    FILE* f = create(folder, name);
    for (int row = 0; row < 20; row++) {
      uint8_t v[256], rotated[256];
      for (int k = 0; k < 256; k++) v[k] = (uint8_t)k;
      for (int pass = 0; pass < 3; pass++) {
        for (int i = 0; i < 500; i++) {
          int32_t x = rounded(255), y = rounded(255);
          if (x == 0) x = 1;
          if (y == 0) y = 255;
          uint8_t tmp = v[x - 1];
          v[x - 1] = v[y - 1];
          v[y - 1] = tmp;
        }
        int32_t turns = rounded(50) + 15;
        for (int k = 0; k < 256; k++) rotated[k] = v[(k + turns) & 255];
        memcpy(v, rotated, sizeof v);
      }
      char* p = line;
      for (int k = 0; k < 256; k++) p = put3(p, v[k]);
      *p++ = '\n';
      fwrite(line, 1, (size_t)(p - line), f);
    }
    finish(f);
  }

  /* Component 2: slot maps. */
  FILE* f = create(folder, "k2.dat");
  for (int32_t n = 0; n < n2; n++) {
    int32_t pm[20], q[20], rot[20];
    for (int r = 0; r < 20; r++) {
      pm[r] = r + 1;
      q[r] = rounded(100) < 50 ? rounded(100) : 0;
    }
    for (int i = 0; i < 500; i++) {
      int32_t x = rounded(19), y = rounded(19);
      int32_t tmp = pm[x];
      pm[x] = pm[y];
      pm[y] = tmp;
    }
    for (int r = 0; r < 20; r++) rot[r] = pm[(r + 5) % 20];
    char* p = line;
    for (int r = 0; r < 20; r++) p = put7(p, rot[r]);
    for (int r = 0; r < 20; r++) p = put7(p, q[r]);
    *p++ = '\n';
    fwrite(line, 1, (size_t)(p - line), f);
  }
  finish(f);

  /* Component 3: directions (once set, kept), periods, shifts, seeds, final number. */
  f = create(folder, "k3.bin");
  int32_t a[20] = {0}, b[20], c[20], d[20], seeds[10] = {0};
  for (int32_t n = 0; n < n3; n++) {
    for (int r = 0; r < 20; r++)
      if (draw() * 50u < 25u << 20) a[r] = 1; /* Rnd x 50 < 25 */
    for (int r = 0; r < 20; r++) {
      b[r] = rounded(10) + 1;
      c[r] = rounded(10) + 1;
      d[r] = rounded(10) + 1;
    }
    if (limit)
      for (int j = 0; j < 10; j++) seeds[j] = rounded(limit) + 1;
    int32_t z = rounded(100) + 1;
    char* p = line;
    for (int r = 0; r < 20; r++) p = put3(p, a[r]);
    for (int r = 0; r < 20; r++) p = put3(p, b[r]);
    for (int r = 0; r < 20; r++) p = put3(p, c[r]);
    for (int r = 0; r < 20; r++) p = put3(p, d[r]);
    for (int j = 0; j < 10; j++) p = put3(p, seeds[j]);
    p = put3(p, z);
    *p++ = '\n';
    fwrite(line, 1, (size_t)(p - line), f);
  }
  finish(f);

  f = create(folder, "sys.dat");
  fprintf(f, "%d\n", n1);
  finish(f);
  return 0;
}
