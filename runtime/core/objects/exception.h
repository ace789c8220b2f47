// Raising and catching exceptions through inline handler records.
//
// A raise walks the saved frame pointers, finds the nearest inline handler record after
// a return address, redirects that return address to the handler and then RETURNS
// NORMALLY: every frame below the redirected one finishes the code after its call and
// returns as usual. Runtime code that raises therefore returns at once afterwards
// (with nil, 0 or false), releasing only what it owns.
#pragma once
#include <stdint.h>
#include "runtime/core/objects/object.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*MVUnhandledHook)(MVObject* exception);

// --- Exported entry points.
void RuntimeNilObject(void);
void RaiseNilObjectException(void);
void RaiseOutOfBoundsException(void);
void RuntimeRaiseFunctionNotFoundException(MVString* function, MVString* library);
void RuntimeRaiseException(MVObject* exception);
void RuntimeReraiseException(MVObject* exception);
void RuntimeUnhandledException(MVObject* exception);
void RuntimeExceptionInitializer(MVObject* exception);
void RuntimeExceptionFinalizer(MVObject* exception);
MVArray* RuntimeExceptionStack(MVObject* exception);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// Create an exception of class cls with the given message (C text, may be NULL),
// raise it and drop the creator's reference. Returns normally (see above).
void MVRaiseNew(MVClass* cls, const char* message, int32_t errorNumber);
// The hook RuntimeUnhandledException calls. Start-up installs the console's report
// (MVDefaultUnhandledHook, runtime/console/console.h); none is installed before.
void MVSetUnhandledHook(MVUnhandledHook hook);
// The runtime is shutting down (set by the unhandled-exception hook).
bool MVShuttingDown(void);
void MVSetShuttingDown(bool on);
// Stack bounds of the current (main) thread: the walk stops above the top, and
// RuntimeStackCheck raises below the limit.
void MVSetStackBounds(uintptr_t top, uintptr_t limit);
uintptr_t MVStackTop(void);
uintptr_t MVStackLimit(void);

// Call fn(a, b, c) under an inline handler record. Returns the exception caught (one
// owned reference) or NULL; *result receives fn's return value when it returned
// normally. Implemented in assembly (protected_call.S, one routine per machine).
MVObject* MVProtectedCall(void* fn, MVWord a, MVWord b, MVWord c, MVWord* result);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
