// The console application frame: the ConsoleApplication class, registration of the
// application object, the Run event, the end of the program and the exit code.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "runtime/console/console.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/report.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

namespace {

const char kModule[] = "../Common/RuntimeMain";

// ServiceApplication adds two events behind ConsoleApplication's.
enum { kServiceEventStart = 2, kServiceEventStop = 3, kServiceEvents = 4 };

MVObject* g_app = nullptr;       // the registered application (one reference held)
int g_argc = 0;
char** g_argv = nullptr;
bool g_quitRequested = false;
bool g_quitting = false;
bool g_quit = false;
bool g_ran = false;
int32_t g_recordedExitCode = 0;
MVIdleRoutine g_idle = nullptr;  // run first by RuntimeDoEvents

// The exit code field of an application object (NULL for an object too small to have one).
int32_t* ExitCodeField(MVObject* app) {
  if (!app || !app->cls || app->cls->instanceSize < MV_CONSOLE_APP_INSTANCE_SIZE) return nullptr;
  return reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(app) + MV_CONSOLE_APP_EXIT_CODE_OFFSET);
}

void InitializeConsoleApplication(MVObject* app) {
  if (int32_t* code = ExitCodeField(app)) *code = 0;
}

// Methods of ConsoleApplication besides DoEvents and Daemonize: nothing to do here (the
// runtime's cooperative threads and pollable objects are not used by console programs).
void AddPollableObject(MVObject*, MVObject*) {}
void RemovePollableObject(MVObject*, MVObject*) {}
void YieldToNextThread(MVObject*) {}
void DependencyList(MVObject*) {}

void SetMethod(MVClass* cls, uint32_t slot, void* function, const char* signature) {
  cls->methods[slot].function = function;
  cls->methods[slot].signature = MVStringFromCString(signature, kEncodingASCII);
}

MVClass* MakeConsoleApplicationClass() {
  MVClass* cls = RuntimeNewClass(nullptr, MV_CONSOLE_APP_METHODS, 0, MV_CONSOLE_APP_EVENTS, 0, 0);
  if (!cls) return nullptr;
  cls->name = MVStringFromCString("ConsoleApplication", kEncodingASCII);
  cls->instanceSize = MV_CONSOLE_APP_INSTANCE_SIZE;
  cls->initializer = InitializeConsoleApplication;
  SetMethod(cls, 0, reinterpret_cast<void*>(&RuntimeDoEvents), "DoEvents%%o<ConsoleApplication>i4");
  SetMethod(cls, 1, reinterpret_cast<void*>(&DaemonizeApp), "Daemonize%b%o<ConsoleApplication>");
  SetMethod(cls, 2, reinterpret_cast<void*>(&AddPollableObject),
            "_AddPollableObject%%o<ConsoleApplication>o<_Pollable>");
  SetMethod(cls, 3, reinterpret_cast<void*>(&RemovePollableObject),
            "_RemovePollableObject%%o<ConsoleApplication>o<_Pollable>");
  SetMethod(cls, 4, reinterpret_cast<void*>(&YieldToNextThread), "YieldToNextThread%%o<ConsoleApplication>");
  SetMethod(cls, 5, reinterpret_cast<void*>(&DependencyList), "__DependencyList%%o<ConsoleApplication>");
  return cls;
}

MVClass* ServiceApplicationClass() {
  static MVClass* cls = [] {
    MVClass* c = RuntimeNewClass(RuntimeConsoleApplicationClass(), MV_CONSOLE_APP_METHODS, 0, kServiceEvents, 0, 0);
    if (c) {
      c->name = MVStringFromCString("ServiceApplication", kEncodingASCII);
      c->instanceSize = MV_CONSOLE_APP_INSTANCE_SIZE;
    }
    return c;
  }();
  return cls;
}

bool IsService(MVObject* app) {
  MVClass* service = ServiceApplicationClass();
  return service && RuntimeObjectIsa(app, service);
}

// The event handler of a service application's event, when the object's class has one.
void* ServiceHandler(MVObject* app, uint32_t event) {
  if (!app->cls || app->cls->eventCount <= event) return nullptr;
  return RuntimeLookupEventHandler(app, event);
}

// Run's argument: the process arguments, program name first, as ASCII strings.
MVArray* ArgumentArray() {
  MVArray* args = CreateArray(1, kMVElemString, g_argc - 1);
  if (!args) return nullptr;
  MVArraySet1 set = reinterpret_cast<MVArraySet1>(args->ops->slot[kMVArraySet]);
  for (int i = 0; i < g_argc; i++) {
    MVString* s = MVStringFromCString(g_argv[i], kEncodingASCII);
    set(args, reinterpret_cast<MVWord>(s), i);
    RuntimeUnlockString(s);
  }
  return args;
}

// Calls fn(app, arg) protected; an exception other than the end of the program is
// unhandled. Returns true when fn returned normally.
bool CallHandler(void* fn, MVObject* app, MVWord arg, MVWord* result) {
  MVObject* ex = MVProtectedCall(fn, reinterpret_cast<MVWord>(app), arg, 0, result);
  if (!ex) return true;
  if (!RuntimeObjectIsa(ex, MVEndExceptionClass())) RuntimeUnhandledException(ex);
  RuntimeUnlockObject(ex);
  return false;
}

void RunDispatch() {
  MVObject* app = g_app;
  if (!app) {
    MVRuntimeErrorReport(4, kModule, 1062, "app",
                         "Trying to call the Run event before making the console application object.");
    return;
  }
  RuntimeLockObject(app);
  if (IsService(app)) {
    MVWord started = 0;
    void* start = ServiceHandler(app, kServiceEventStart);
    bool returned = !start || CallHandler(start, app, 0, &started);
    if (returned && !(started & 0xFF)) DaemonizeApp(app);
  }
  if (void* run = RuntimeLookupEventHandler(app, kMVEventRun)) {
    MVArray* args = ArgumentArray();
    MVWord result = 0;
    bool returned = CallHandler(run, app, reinterpret_cast<MVWord>(args), &result);
    RuntimeUnlockArray(args);
    int32_t* code = ExitCodeField(app);
    if (returned && !g_quitRequested && code) *code = static_cast<int32_t>(result);
  }
  if (int32_t* code = ExitCodeField(app)) g_recordedExitCode = *code;
  RuntimeUnlockObject(app);
}

// The quit routine. With raiseEnd the end-of-program exception unwinds the application's
// frames; the raise returns here normally and the caller must return at once.
void Quit(int32_t code, bool raiseEnd) {
  g_quitRequested = true;
  if (g_quitting) return;
  g_quitting = true;
  MVObject* app = g_app;
  if (int32_t* field = ExitCodeField(app)) *field = code;
  if (app && IsService(app)) {
    if (void* stop = ServiceHandler(app, kServiceEventStop)) {
      MVWord ignored;
      CallHandler(stop, app, 0, &ignored);
    }
  }
  if (raiseEnd && !MVShuttingDown()) {
    MVRaiseNew(MVEndExceptionClass(), nullptr, 0);
    return;
  }
  g_quit = true;
}

}  // namespace

extern "C" MVClass* RuntimeConsoleApplicationClass(void) {
  static MVClass* cls = MakeConsoleApplicationClass();
  return cls;
}

extern "C" void RuntimeRegisterConsoleAppObject(MVObject* app, bool service) {
  bool created = false;
  if (!app) {
    MVClass* cls = service ? ServiceApplicationClass() : RuntimeConsoleApplicationClass();
    app = RuntimeNewObject(cls);
    if (!app) return;
    created = true;
  }
  if (app != g_app) {
    RuntimeLockObject(app);
    MVObject* previous = g_app;
    g_app = app;
    RuntimeUnlockObject(previous);
  }
  if (created) RuntimeUnlockObject(app);
  // Start-up document events: console applications of this runtime declare none.
}

extern "C" int32_t RuntimeRun(void) {
  if (g_ran) return 0;
  g_ran = true;
  RunDispatch();
  Quit(g_recordedExitCode, true);
  return g_recordedExitCode;
}

extern "C" void MV_ApplicationQuit(int32_t code) { Quit(code, true); }

extern "C" int32_t RuntimeExit(void) {
  if (!g_app) {
    MVRuntimeErrorReport(4, kModule, 1115, "app", nullptr);
    return 0;
  }
  int32_t* code = ExitCodeField(g_app);
  return code ? *code : 0;
}

extern "C" void RuntimeDoEvents(MVObject*, int32_t milliseconds) {
  if (g_idle) g_idle();
  if (milliseconds < 0) return;
  struct timespec wait = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
  }
}

extern "C" bool DaemonizeApp(MVObject*) {
  fflush(nullptr);  // nothing buffered may be written twice
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid > 0) _exit(0);
  if (setsid() < 0) return false;
  signal(SIGHUP, SIG_IGN);
  pid = fork();
  if (pid < 0) return false;
  if (pid > 0) _exit(0);
  if (chdir("/") != 0) {
  }
  for (int fd = 0; fd < 64; fd++) close(fd);
  open("/dev/null", O_RDONLY);
  open("/dev/null", O_RDWR);
  open("/dev/null", O_RDWR);
  return true;
}

extern "C" MVObject* MVApplicationObject(void) { return g_app; }

extern "C" void MVReleaseApplicationObject(void) {
  MVObject* app = g_app;
  g_app = nullptr;
  RuntimeUnlockObject(app);
}

extern "C" void MVSetIdleRoutine(MVIdleRoutine routine) { g_idle = routine; }

extern "C" void MVSetProcessArguments(int argc, char** argv) {
  g_argc = argc < 0 ? 0 : argc;
  g_argv = argv;
}
