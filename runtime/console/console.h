// The console application frame: line output and input, the application object, Run
// and the end of the program.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/core/objects/object.h"

#ifdef __cplusplus
extern "C" {
#endif

// ConsoleApplication instances: the object header, then the exit code.
typedef struct MVConsoleAppInstance {
  MVObject header;
  int32_t exitCode;
} MVConsoleAppInstance;
#define MV_CONSOLE_APP_EXIT_CODE_OFFSET offsetof(MVConsoleAppInstance, exitCode)
#define MV_CONSOLE_APP_INSTANCE_SIZE sizeof(MVConsoleAppInstance)
// ConsoleApplication's method slots (subclass methods follow) and events.
#define MV_CONSOLE_APP_METHODS 6
#define MV_CONSOLE_APP_EVENTS 2
enum { kMVEventRun = 0, kMVEventUnhandledException = 1 };

// --- Exported entry points.
void RuntimeConsolePrint(MVString* s);
MVString* RuntimeConsoleInput(void);
void RuntimeRegisterConsoleAppObject(MVObject* app, bool service);
int32_t RuntimeRun(void);
int32_t RuntimeExit(void);
void MV_ApplicationQuit(int32_t code);
void RuntimeDoEvents(MVObject* app, int32_t milliseconds);
bool DaemonizeApp(MVObject* app);
// True once standard input has reached its end (RuntimeConsoleInput then returns nil
// at once on every call).
bool RuntimeConsoleInputAtEnd(void);
// The ConsoleApplication class record, the superclass of the image's application class.
MVClass* RuntimeConsoleApplicationClass(void);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// The registered application object, or NULL.
MVObject* MVApplicationObject(void);
// Release the registered application object (end of the process); none is registered
// afterwards.
void MVReleaseApplicationObject(void);
// Keep the process arguments (start-up); Run's argument array is built from them.
void MVSetProcessArguments(int argc, char** argv);
// The console's report of an unhandled exception, the hook start-up installs with
// MVSetUnhandledHook: a ThreadEndException is ignored; any other exception but an
// EndException first goes to the application's UnhandledException event; then, unless
// the runtime is already shutting down, the message is written on standard error (not
// for an EndException) and the runtime is marked as shutting down.
void MVDefaultUnhandledHook(MVObject* exception);
// Idle processing: RuntimeDoEvents runs this routine first (start-up installs the
// plug-in host's background tasks); none by default.
typedef void (*MVIdleRoutine)(void);
void MVSetIdleRoutine(MVIdleRoutine routine);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
