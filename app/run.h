// Pieces shared by the prompt loop, the script runner and the image entry.
#pragma once
#include "app/rt.h"

extern "C" {
// Calls fn(a, b, c) under an inline handler record (app/protected_call.S). Returns the
// exception that a raise below fn delivered (one owned reference) or NULL; *result
// receives fn's return value when it returned normally (result may be NULL). Called
// only through ProtectedCall below, which checks the arguments against fn's.
MVObject* AppProtectedCall(void* fn, MVWord a, MVWord b, MVWord c, MVWord* result);
}

namespace protected_call {

// Keeps a parameter's type out of template argument deduction: the arguments of a
// protected call are converted to the parameters of the function it calls.
template <typename T>
struct Declared {
  typedef T type;
};

// A value as the machine word AppProtectedCall passes and returns. Only pointers and
// 32-bit integers travel in one word (a bool result fills only a byte of its register,
// and a 32-bit result only the low half of a 64-bit one: From keeps what was set); any
// other type has no Word and does not compile.
template <typename T>
struct Word;
template <typename T>
struct Word<T*> {
  static MVWord Of(T* v) { return reinterpret_cast<MVWord>(v); }
  static T* From(MVWord w) { return reinterpret_cast<T*>(w); }
};
template <>
struct Word<int32_t> {
  static MVWord Of(int32_t v) { return static_cast<MVWord>(static_cast<uint32_t>(v)); }
  static int32_t From(MVWord w) { return static_cast<int32_t>(static_cast<uint32_t>(w)); }
};
template <>
struct Word<uint32_t> {
  static MVWord Of(uint32_t v) { return v; }
  static uint32_t From(MVWord w) { return static_cast<uint32_t>(w); }
};

template <typename F, typename... P>
MVObject* CallWords(F* fn, MVWord* result, P... args) {
  static_assert(sizeof...(P) <= 3, "a protected call passes at most three arguments");
  MVWord w[] = {Word<P>::Of(args)..., 0, 0, 0};
  return AppProtectedCall(reinterpret_cast<void*>(fn), w[0], w[1], w[2], result);
}

}  // namespace protected_call

// fn(args...) under the image's protected call: returns the exception that escaped fn
// (one owned reference) or NULL. The arguments must be those fn declares, each a pointer
// or a 32-bit integer.
template <typename... P>
MVObject* ProtectedCall(void (*fn)(P...), typename protected_call::Declared<P>::type... args) {
  return protected_call::CallWords(fn, nullptr, args...);
}

// The same for a function with a result: *result receives it when fn returned normally
// (result may be NULL).
template <typename R, typename... P>
MVObject* ProtectedCall(R* result, R (*fn)(P...),
                        typename protected_call::Declared<P>::type... args) {
  MVWord word = 0;
  MVObject* ex = protected_call::CallWords(fn, &word, args...);
  if (!ex && result) *result = protected_call::Word<R>::From(word);
  return ex;
}

// Reports an exception that escaped a protected call as unhandled and releases it.
// Returns true when there was one: the caller must then wind down at once.
bool EndsProgram(MVObject* ex);

// fn(args...) protected, for the calls an escaping exception ends the program from.
// True when one escaped (reported and released).
template <typename... P>
bool CallFailed(void (*fn)(P...), typename protected_call::Declared<P>::type... args) {
  return EndsProgram(ProtectedCall(fn, args...));
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

// Prints whether a key system is installed: "sys.dat" in the application folder.
void PrintSystemPresence();
