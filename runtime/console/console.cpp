// Console line output and input on the process's standard streams.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "runtime/console/console.h"
#include "runtime/console/console_internal.h"
#include "runtime/values/alloc.h"
#include "runtime/values/string.h"

namespace {

uint8_t g_pending = 0;       // first byte of the next line, read ahead after a CR
bool g_inputEnded = false;   // standard input reached its end (sticky)

MVString* LineTerminator() {
  static MVString* lf = MVStringFromBytes("\n", 1, kEncodingASCII);
  return lf;
}

bool AllBelow0x80(const uint8_t* p, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (p[i] >= 0x80) return false;
  return true;
}

// Appends one byte to the line being read. A line that outgrows the memory ends the
// process like any other exhausted allocation.
void Append(std::string& line, uint8_t c) {
  try {
    line.push_back(static_cast<char>(c));
  } catch (...) {
    MVOutOfMemory();
  }
}

// One byte from standard input: 1 read, 0 end of input, -1 none available (non-blocking).
// Read errors count as the end of input.
int ReadByte(uint8_t* c) {
  for (;;) {
    ssize_t n = read(STDIN_FILENO, c, 1);
    if (n == 1) return 1;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
    return 0;
  }
}

// The byte after a CR, if one is already there: standard input is non-blocking for
// this one read only.
int ReadAheadByte(uint8_t* c) {
  int flags = fcntl(STDIN_FILENO, F_GETFL);
  if (flags < 0) return ReadByte(c);
  fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
  int r = ReadByte(c);
  fcntl(STDIN_FILENO, F_SETFL, flags);
  return r;
}

}  // namespace

void MVConsoleResetInput() {
  g_pending = 0;
  g_inputEnded = false;
}

uint8_t MVConsolePendingByte() { return g_pending; }

extern "C" void RuntimeConsolePrint(MVString* s) {
  if (!s) return;
  MVString* line = RuntimeAddString(s, LineTerminator());
  if (!line) return;
  const uint8_t* bytes = MVStringBytes(line);
  uint32_t length = MVStringLength(line);
  uint32_t tag = line->encoding;
  bool outsideUnicodeTags = tag < 0x100 || tag > 0x1FF;
  if (tag == kEncodingASCII || (outsideUnicodeTags && AllBelow0x80(bytes, length))) {
    // Written as a C string: a NUL in the text ends the output there.
    fputs(reinterpret_cast<const char*>(bytes), stdout);
  } else if (tag == kEncodingUTF8 || tag == kEncodingUnknown) {
    // Already in the terminal's form (an unknown tag is taken as UTF-8).
    fwrite(bytes, 1, length, stdout);
  } else {
    MVString* text = MVStringConvert(line, kEncodingUTF8);
    fwrite(MVStringBytes(text), 1, MVStringLength(text), stdout);
    RuntimeUnlockString(text);
  }
  fflush(stdout);
  RuntimeUnlockString(line);
}

extern "C" MVString* RuntimeConsoleInput(void) {
  if (g_inputEnded) return nullptr;
  std::string line;
  if (g_pending) {
    Append(line, g_pending);
    g_pending = 0;
  }
  for (;;) {
    uint8_t c;
    int r = ReadByte(&c);
    if (r < 0) {
      // Standard input was left non-blocking by someone else: wait for the next byte.
      struct pollfd p = {STDIN_FILENO, POLLIN, 0};
      poll(&p, 1, -1);
      continue;
    }
    if (r == 0) {
      g_inputEnded = true;
      break;
    }
    if (c == '\n' || c == 0) break;
    if (c == '\r') {
      uint8_t next;
      int got = ReadAheadByte(&next);
      if (got == 1 && next != '\n') g_pending = next;
      if (got == 0) g_inputEnded = true;
      break;
    }
    if (c == 0xFF) continue;
    Append(line, c);
  }
  return MVStringFromBytes(line.data(), static_cast<uint32_t>(line.size()), kEncodingASCII);
}

extern "C" bool RuntimeConsoleInputAtEnd(void) { return g_inputEnded; }
