// Tests that look at what only the kernel decides (the address-space limit, a refused
// memory protection) cannot see it when the 32-bit programs run under a user-mode
// emulator, which dev.sh sets up, and announces with OMBRIX_TEST_EMULATED=1, on a kernel
// that cannot run them itself.
#pragma once
#include <stdlib.h>
#include <string.h>

inline bool RunningEmulated() {
  const char* e = getenv("OMBRIX_TEST_EMULATED");
  return e && strcmp(e, "1") == 0;
}
