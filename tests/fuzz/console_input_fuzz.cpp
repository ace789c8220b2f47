// The console line reader over arbitrary standard input: lines end at LF, CR, CR LF or
// NUL, every other byte is kept, and no line holds a terminator or more bytes than came in.
#include <stdint.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "runtime/console/console.h"
#include "runtime/console/console_internal.h"
#include "runtime/values/string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = static_cast<int>(syscall(SYS_memfd_create, "console-input", 0u));
  if (fd < 0) return 0;
  for (size_t done = 0; done < size;) {
    ssize_t w = write(fd, data + done, size - done);
    if (w <= 0) break;
    done += static_cast<size_t>(w);
  }
  lseek(fd, 0, SEEK_SET);
  dup2(fd, STDIN_FILENO);
  close(fd);
  MVConsoleResetInput();
  size_t total = 0, lines = 0;
  while (!RuntimeConsoleInputAtEnd()) {
    MVString* line = RuntimeConsoleInput();
    const uint8_t* p = MVStringBytes(line);
    for (uint32_t i = 0; i < MVStringLength(line); i++)
      if (p[i] == '\n' || p[i] == '\r' || p[i] == 0) __builtin_trap();
    total += MVStringLength(line);
    RuntimeUnlockString(line);
    if (total > size || ++lines > size + 1) __builtin_trap();
  }
  return 0;
}
