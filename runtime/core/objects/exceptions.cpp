// The runtime exception classes, the convenience raisers, the unhandled-exception path
// (the hook itself is installed at start-up: the console's report), the shutting-down
// mark and the main stack's bounds.

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/report.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

extern "C" void* __libc_stack_end;

namespace {

MVUnhandledHook g_hook = nullptr;
bool g_shuttingDown = false;
uintptr_t g_stackTop = 0;
uintptr_t g_stackLimit = 0;

MVClass* Subclass(const char* name) {
  return MVMakeClass(name, MVRuntimeExceptionClass(), sizeof(MVException), nullptr, nullptr, nullptr);
}

MVException* AsException(MVObject* o) { return reinterpret_cast<MVException*>(o); }

}  // namespace

extern "C" MVClass* MVRuntimeExceptionClass(void) {
  static MVClass* cls = MVMakeClass("RuntimeException", nullptr, sizeof(MVException),
                                    RuntimeExceptionInitializer, RuntimeExceptionFinalizer, nullptr);
  return cls;
}

#define MV_EXCEPTION_CLASS(getter, name)      \
  extern "C" MVClass* getter(void) {          \
    static MVClass* cls = Subclass(name);     \
    return cls;                               \
  }
MV_EXCEPTION_CLASS(MVNilObjectExceptionClass, "NilObjectException")
MV_EXCEPTION_CLASS(MVIllegalCastExceptionClass, "IllegalCastException")
MV_EXCEPTION_CLASS(MVOutOfBoundsExceptionClass, "OutOfBoundsException")
MV_EXCEPTION_CLASS(MVStackOverflowExceptionClass, "StackOverflowException")
MV_EXCEPTION_CLASS(MVTypeMismatchExceptionClass, "TypeMismatchException")
MV_EXCEPTION_CLASS(MVFunctionNotFoundExceptionClass, "FunctionNotFoundException")
MV_EXCEPTION_CLASS(MVEndExceptionClass, "EndException")
MV_EXCEPTION_CLASS(MVThreadEndExceptionClass, "ThreadEndException")
#undef MV_EXCEPTION_CLASS

extern "C" void RuntimeExceptionInitializer(MVObject* exception) {
  if (!exception) return;
  AsException(exception)->stack = CreateArray(1, kMVElemString, -1);
}

extern "C" void RuntimeExceptionFinalizer(MVObject* exception) {
  if (!exception) return;
  MVException* e = AsException(exception);
  MVString* message = e->message;
  MVArray* stack = e->stack;
  e->message = nullptr;
  e->stack = nullptr;
  RuntimeUnlockString(message);
  RuntimeUnlockArray(stack);
}

extern "C" MVArray* RuntimeExceptionStack(MVObject* exception) {
  if (!exception) return nullptr;
  MVArray* stack = AsException(exception)->stack;
  RuntimeLockArray(stack);
  return stack;
}

extern "C" void MVRaiseNew(MVClass* cls, const char* message, int32_t errorNumber) {
  MVObject* o = RuntimeNewObject(cls);
  if (!o) return;
  MVException* e = AsException(o);
  e->message = MVStringFromCString(message, kEncodingUTF8);
  e->errorNumber = errorNumber;
  RuntimeRaiseException(o);
  RuntimeUnlockObject(o);
}

extern "C" void RuntimeNilObject(void) { MVRaiseNew(MVNilObjectExceptionClass(), nullptr, 0); }

extern "C" void RaiseNilObjectException(void) {
  MVRaiseNew(MVNilObjectExceptionClass(), nullptr, 0);
}

extern "C" void RaiseOutOfBoundsException(void) {
  MVRaiseNew(MVOutOfBoundsExceptionClass(), nullptr, 0);
}

extern "C" void RuntimeRaiseFunctionNotFoundException(MVString* function, MVString* library) {
  MVObject* o = RuntimeNewObject(MVFunctionNotFoundExceptionClass());
  if (!o) return;
  MVString* parts[4] = {MVStringFromCString("Could not load ", kEncodingASCII), function,
                        MVStringFromCString(" from ", kEncodingASCII), library};
  MVString* message = nullptr;
  for (MVString* part : parts) {
    MVString* longer = RuntimeAddString(message, part);
    RuntimeUnlockString(message);
    message = longer;
  }
  RuntimeUnlockString(parts[0]);
  RuntimeUnlockString(parts[2]);
  AsException(o)->message = message;
  RuntimeRaiseException(o);
  RuntimeUnlockObject(o);
}

extern "C" void MVSetUnhandledHook(MVUnhandledHook hook) { g_hook = hook; }

extern "C" void RuntimeUnhandledException(MVObject* exception) {
  if (!g_hook) {
    MVRuntimeErrorReport(4, "../Common/Object Model/RuntimeExceptionFoundation", 796, "0", nullptr);
    return;
  }
  g_hook(exception);
}

extern "C" bool MVShuttingDown(void) { return g_shuttingDown; }
extern "C" void MVSetShuttingDown(bool on) { g_shuttingDown = on; }

extern "C" void MVSetStackBounds(uintptr_t top, uintptr_t limit) {
  g_stackTop = top;
  g_stackLimit = limit;
}

extern "C" uintptr_t MVStackTop(void) {
  // Without start-up (unit tests) the top is where the process's stack began.
  if (!g_stackTop) g_stackTop = reinterpret_cast<uintptr_t>(__libc_stack_end);
  return g_stackTop;
}

extern "C" uintptr_t MVStackLimit(void) {
  if (!g_stackLimit) {
    uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    g_stackLimit = sp > 262144 ? sp - 262144 : 0;
  }
  return g_stackLimit;
}
