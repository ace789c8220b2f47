// Start-up steps of the process entry, runtime-internal (C++).
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#include <string>

// The current stack pointer, read by this machine's instruction.
static inline uintptr_t MVStackPointer() {
  uintptr_t sp;
#if defined(__x86_64__)
  __asm__ volatile("movq %%rsp, %0" : "=r"(sp));
#else
  __asm__ volatile("movl %%esp, %0" : "=r"(sp));
#endif
  return sp;
}

// The hooks through which the lower layers reach the upper ones, installed by the
// process entry before anything runs: the console's report of unhandled exceptions
// (exception layer), the plug-in host's background tasks as the console's idle
// processing, and the console's and file layer's work when a termination signal ends
// the process (signal layer).
void MVConnectLayers();

// The program's own file for argument 0: the argument itself when it holds a '/',
// otherwise the first executable regular file of that name along the search path (as
// `which` finds it, empty when none), then symbolic links followed, each link's text
// replacing the whole path. The result lives as long as the process; NULL (reported)
// when there is no argument 0 at all.
char* MVFindProgramPath(const char* argument0);
// The same, with the search path and a limit of links to follow given (tests).
std::string MVResolveProgramPath(const char* argument0, const char* searchPath, int maxLinks);
// The folder holding `path`, absolute against `cwd`, without a trailing '/' ("/" for
// the root).
std::string MVFolderOfPath(const std::string& path, const std::string& cwd);
// The application path stored by RuntimeSetApplicationPath (borrowed, may be nil).
struct MVString;
MVString* MVApplicationPath();
