// The console application's report of an unhandled exception: the hook that start-up
// installs in the exception layer (MVSetUnhandledHook). The application object's
// UnhandledException event runs first; then, unless the program is already shutting
// down or the exception only ends it, the three-part message goes to standard error and
// the runtime is marked as shutting down.
#include <stdio.h>
#include <strings.h>

#include "runtime/console/console.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/values/string.h"

namespace {

bool g_inAppHandler = false;

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
  if (MVShuttingDown()) return;
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
  MVSetShuttingDown(true);
}
