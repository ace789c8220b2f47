// The runtime exception classes, the convenience raisers, the unhandled-exception path
// with its default hook, the shutting-down mark and the main stack's bounds.
#include <stdio.h>
#include <strings.h>

#include "runtime/console/console.h"
#include "runtime/core/exception.h"
#include "runtime/core/object.h"
#include "runtime/core/report.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

extern "C" void* __libc_stack_end;

static_assert(sizeof(MVException) == 36, "exception objects are 36 bytes");
static_assert(offsetof(MVException, errorNumber) == 24 && offsetof(MVException, message) == 28 &&
                  offsetof(MVException, stack) == 32,
              "exception layout");

namespace {

MVUnhandledHook g_hook = nullptr;
bool g_shuttingDown = false;
bool g_inAppHandler = false;
uintptr_t g_stackTop = 0;
uintptr_t g_stackLimit = 0;

MVClass* Subclass(const char* name) {
  return MVMakeClass(name, MVRuntimeExceptionClass(), sizeof(MVException), nullptr, nullptr, nullptr);
}

MVException* AsException(MVObject* o) { return reinterpret_cast<MVException*>(o); }

bool HasExceptionFields(MVObject* o) {
  return o && o->cls && o->cls->instanceSize >= sizeof(MVException);
}

// o is of class cls, or of a class of the same name built elsewhere (the image and the
// plug-ins register classes of their own).
bool IsKind(MVObject* o, MVClass* cls) {
  if (RuntimeObjectIsa(o, cls)) return true;
  if (!o || !cls || !cls->name) return false;
  for (MVClass* c = o->cls; c; c = c->superclass)
    if (c->name && strcasecmp(reinterpret_cast<const char*>(MVStringBytes(c->name)),
                              reinterpret_cast<const char*>(MVStringBytes(cls->name))) == 0)
      return true;
  return false;
}

void WriteAll(const void* bytes, size_t n) {
  if (n) fwrite(bytes, 1, n, stderr);
}

void WriteText(const char* text) {
  size_t n = 0;
  while (text[n]) n++;
  WriteAll(text, n);
}

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

extern "C" void MVDefaultUnhandledHook(MVObject* exception) {
  if (IsKind(exception, MVThreadEndExceptionClass())) return;
  bool end = IsKind(exception, MVEndExceptionClass());
  // The application's handler gets one chance; an exception escaping from it does not
  // call it again.
  if (!end && !g_inAppHandler) {
    MVObject* app = MVApplicationObject();
    if (void* handler = RuntimeLookupEventHandler(app, kMVEventUnhandledException)) {
      g_inAppHandler = true;
      reinterpret_cast<uint32_t (*)(MVObject*, MVObject*)>(handler)(app, exception);
      g_inAppHandler = false;
    }
  }
  if (g_shuttingDown) return;
  if (!end) {
    // Message and number belong to exception objects; anything else shows them empty.
    MVException* e = HasExceptionFields(exception) ? AsException(exception) : nullptr;
    char number[16];
    snprintf(number, sizeof number, "%d", e ? static_cast<int>(e->errorNumber) : 0);
    WriteText("Exception Message: ");
    if (e) WriteAll(MVStringBytes(e->message), MVStringLength(e->message));
    WriteText("\nException Error Number: ");
    WriteText(number);
    WriteText("\nAn exception of class ");
    if (exception && exception->cls)
      WriteAll(MVStringBytes(exception->cls->name), MVStringLength(exception->cls->name));
    WriteText(" was not handled.  The application must shut down.");
    fflush(stderr);
  }
  g_shuttingDown = true;
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
