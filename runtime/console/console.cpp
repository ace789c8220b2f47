// Console line output and input on the process's standard streams.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>

#include "runtime/console/command_form.h"
#include "runtime/console/console.h"
#include "runtime/console/console_internal.h"
#include "runtime/console/line_editor.h"
#include "runtime/console/progress.h"
#include "runtime/core/objects/signals.h"
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

enum { kByte = 1, kEnd = 0, kNoneYet = -1, kSignal = -2 };

// Waits for input unless some is there already (one cheap look instead of the wait's
// signal handling for every byte of a pipe). False: a signal the program acts on came.
bool InputReady() {
  struct pollfd p = {STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) > 0) return true;
  return MVWaitForInput(STDIN_FILENO);
}

// One byte from standard input: kByte, kEnd, kNoneYet (non-blocking input has nothing
// yet) or kSignal (a wait was cut short by a signal the program acts on). Read errors
// count as the end of input. With `wait`, the wait for the byte is cut short by such a
// signal even when it arrives just before the wait begins.
int ReadByte(uint8_t* c, bool wait = true) {
  for (;;) {
    if (wait && !InputReady()) return kSignal;
    ssize_t n = read(STDIN_FILENO, c, 1);
    if (n == 1) return kByte;
    if (n == 0) return kEnd;
    if (errno == EINTR) {
      if (RuntimeStopRequested() != kMVGoOn) return kSignal;
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return kNoneYet;
    return kEnd;
  }
}

// Writes to standard output, after whatever stdio holds. A reader that went away (a
// closed pipe, a hung-up terminal) ends the program as the end of input does.
void WriteOut(const uint8_t* p, size_t n) {
  if (MVOutputGone()) return;
  MVProgressErase();  // a progress line on the same terminal goes first
  fflush(stdout);
  if (!MVWriteFully(STDOUT_FILENO, p, n) && (errno == EPIPE || errno == EIO)) MVNoteOutputGone();
}

// Ctrl-C at the prompt: the line being typed is dropped and a new prompt follows on a
// line of its own at a terminal.
void DropTypedLine() {
  RuntimeInterruptHandled();
  g_pending = 0;
  if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) WriteOut(reinterpret_cast<const uint8_t*>("\n"), 1);
}

// The byte after a CR, if one is already there: standard input is non-blocking for
// this one read only.
int ReadAheadByte(uint8_t* c) {
  int flags = fcntl(STDIN_FILENO, F_GETFL);
  if (flags < 0) return ReadByte(c);
  fcntl(STDIN_FILENO, F_SETFL, flags | O_NONBLOCK);
  int r = ReadByte(c, false);
  fcntl(STDIN_FILENO, F_SETFL, flags);
  return r;
}

// A signal cut the wait for a line short: a termination ends the program, a lost output
// ends the input, Ctrl-C drops the line being typed. Returns the nil line.
MVString* ActOnSignal() {
  if (MVTerminationSignal()) MVEndOnSignal();
  if (MVOutputGone()) {
    g_inputEnded = true;
    return nullptr;
  }
  DropTypedLine();
  return nullptr;
}

}  // namespace

bool MVWriteFully(int fd, const void* bytes, size_t n) {
  const char* p = static_cast<const char*>(bytes);
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      if (w == 0) errno = EIO;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

int MVTerminalColumns(int fd) {
  struct winsize ws;
  if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

void MVConsoleResetInput() {
  g_pending = 0;
  g_inputEnded = false;
}

uint8_t MVConsolePendingByte() { return g_pending; }

extern "C" void RuntimeConsolePrint(MVString* s) {
  if (!s) return;
  if (MVConsoleTakesLine(MVStringBytes(s), MVStringLength(s))) return;
  MVString* line = RuntimeAddString(s, LineTerminator());
  if (!line) return;
  const uint8_t* bytes = MVStringBytes(line);
  uint32_t length = MVStringLength(line);
  uint32_t tag = line->encoding;
  bool outsideUnicodeTags = tag < 0x100 || tag > 0x1FF;
  if (tag == kEncodingASCII || (outsideUnicodeTags && AllBelow0x80(bytes, length))) {
    // Written as a C string: a NUL in the text ends the output there.
    WriteOut(bytes, strnlen(reinterpret_cast<const char*>(bytes), length));
  } else if (tag == kEncodingUTF8 || tag == kEncodingUnknown) {
    // Already in the terminal's form (an unknown tag is taken as UTF-8).
    WriteOut(bytes, length);
  } else {
    MVString* text = MVStringConvert(line, kEncodingUTF8);
    WriteOut(MVStringBytes(text), MVStringLength(text));
    RuntimeUnlockString(text);
  }
  RuntimeUnlockString(line);
}

// Signals are acted on here, where the program waits for its user: a termination signal
// ends the program, Ctrl-C drops the line being typed (nil, and the caller prompts
// again), and a lost standard output ends the input.
extern "C" MVString* RuntimeConsoleInput(void) {
  if (MVTerminationSignal()) MVEndOnSignal();
  if (MVOutputGone()) g_inputEnded = true;
  if (g_inputEnded) return nullptr;
  std::string line;
  // At a terminal the line is edited; every other input is read byte by byte below.
  if (!g_pending && MVLineEditingWanted()) {
    switch (MVReadEditedLine(&line)) {
      case kMVEditLine:
        return MVStringFromBytes(line.data(), static_cast<uint32_t>(line.size()), kEncodingASCII);
      case kMVEditEnd:
        g_inputEnded = true;
        return nullptr;
      case kMVEditSignal:
        return ActOnSignal();
      case kMVEditUnavailable:
        break;
    }
  }
  for (;;) {
    uint8_t c;
    // The byte read ahead after a CR is the first of this line, and is handled like any
    // other: another CR, a LF or a NUL ends this line too.
    int r = kByte;
    if (g_pending) {
      c = g_pending;
      g_pending = 0;
    } else {
      r = ReadByte(&c);
    }
    if (r == kSignal) return ActOnSignal();
    if (r == kNoneYet) continue;  // left non-blocking by someone else: the next read waits
    if (r == kEnd) {
      g_inputEnded = true;
      break;
    }
    if (c == '\n' || c == 0) break;
    if (c == '\r') {
      uint8_t next;
      int got = ReadAheadByte(&next);
      if (got == kByte && next != '\n') g_pending = next;
      if (got == kEnd) g_inputEnded = true;
      break;
    }
    Append(line, c);  // 0xFF too: a name may hold any byte but NUL
  }
  return MVStringFromBytes(line.data(), static_cast<uint32_t>(line.size()), kEncodingASCII);
}

extern "C" bool RuntimeConsoleInputAtEnd(void) { return g_inputEnded || MVOutputGone(); }
