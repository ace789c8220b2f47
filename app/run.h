// Pieces shared by the prompt loop, the script runner and the image entry.
#pragma once
#include "app/rt.h"

extern "C" {
// Calls fn(a, b, c) under an inline handler record (app/protected_call.S). Returns the
// exception that a raise below fn delivered (one owned reference) or NULL; *result
// receives fn's return value when it returned normally (result may be NULL).
MVObject* AppProtectedCall(void* fn, uint32_t a, uint32_t b, uint32_t c, uint32_t* result);
}

// fn(self, arg) under the image's protected call.
inline MVObject* ProtectedCall(void* fn, MVObject* self, int32_t arg, int32_t* result) {
  return AppProtectedCall(fn, reinterpret_cast<uint32_t>(self), static_cast<uint32_t>(arg), 0,
                          reinterpret_cast<uint32_t*>(result));
}

// The plug-in entry points of the Shell class, filled by the image entry by name.
enum {
  kShellInit = 0,
  kShellExit = 1,
  kShellExecute = 2,
  kShellExecuteWithParameters = 3,
  kShellReadAll = 4,
  kShellWrite = 5,
  kShellWriteLine = 6,
  kShellClose = 7,
  kShellPoll = 8,
  kShellResultGet = 9,
  kShellModeSet = 10,
  kShellEntryCount = 11
};
extern void** ShellEntries;
// The image's Shell class (created by the image entry).
extern MVClass* ShellClass;

// Runs fn(self, arg) protected. An exception that escapes it is reported as unhandled
// and released; the result is then true, and the caller must wind down at once.
bool CallFailed(void* fn, MVObject* self, int32_t arg, int32_t* result = nullptr);

// Prints whether a key system is installed: "sys.dat" in the application folder.
void PrintSystemPresence();
