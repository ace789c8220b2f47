// The image entry: registers the image's classes, creates the application-wide state,
// binds the plug-in entry points and runs the application.
#include "app/App.h"

#include "app/commands.h"
#include "app/run.h"
#include "app/util.h"
#include "plugins/shell/shell.h"

// --- Application-wide state.
MVString* CommandLine;
MVArray* Params;
int32_t ParamIndex;
MVString* CharTable;
int32_t Comp1Count, Comp2Count, Comp3Count;
int32_t ScriptMode;

void** ShellEntries;
MVClass* ShellClass;

namespace {

MVClass* AppClass;
int32_t ExitValue;  // the application's exit value, as RuntimeExit reports it

template <typename F>
void SetMethod(MVClass* cls, uint32_t index, F* function, MVString* signature) {
  RuntimeLockString(signature);
  cls->methods[index].function = reinterpret_cast<void*>(function);
  cls->methods[index].signature = signature;
}

// App's methods (app/commands.h) follow ConsoleApplication's entries; App adds no events
// of its own.
void RegisterAppClass() {
  MVClass* cls = RuntimeNewClass(RuntimeConsoleApplicationClass(), kAppMethodCount, 0,
                                 MV_CONSOLE_APP_EVENTS, 3, 2);
  MVString* name = MV_LIT("App");
  RuntimeLockString(name);
  cls->name = name;
  cls->instanceSize = MV_CONSOLE_APP_INSTANCE_SIZE;  // App adds no fields
  uint32_t k = MV_CONSOLE_APP_METHODS;
#define APP_REGISTER(function, signature) SetMethod(cls, k++, function, MV_LIT(signature));
  APP_METHODS(APP_REGISTER)
#undef APP_REGISTER
  cls->events[kMVEventRun].handler = reinterpret_cast<void*>(App_Run);
  AppClass = cls;
}

typedef void (*ShellRoutine)(MVObject*);

void CallShellEntry(int index, MVObject* shell) {
  void* fn = ShellEntries ? ShellEntries[index] : nullptr;
  if (fn) reinterpret_cast<ShellRoutine>(fn)(shell);
}

void ShellInitializer(MVObject* shell) { CallShellEntry(kShellInit, shell); }
void ShellReleaser(MVObject* shell) { CallShellEntry(kShellExit, shell); }

// The plug-in's Shell data starts right after the object header: the plug-in writes its
// ShellData there (the runtime gives a plug-in class without a superclass that offset).
void RegisterShellClass() {
  MVClass* cls = RuntimeNewClass(nullptr, 0, 0, 2, 0, 0);
  MVString* name = MV_LIT("Shell");
  RuntimeLockString(name);
  cls->name = name;
  cls->instanceSize = sizeof(MVObject) + sizeof(shellplugin::ShellData);
  cls->initializer = ShellInitializer;
  cls->releaser = ShellReleaser;
  ShellClass = cls;
}

void CreateGlobals() {
  Params = CreateArray(1, kMVElemString, 5);
}

// The names are built here, in code: a table of pointers in the data block could not
// be relocated.
void BindShellEntries() {
  void** t = RuntimeAllocatePluginEntrypointsTable(kShellEntryCount);
  if (!t) return;
  t[kShellInit] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.__init"));
  t[kShellExit] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.__exit"));
  t[kShellExecute] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.Execute(command as String)"));
  t[kShellExecuteWithParameters] = RuntimeLookupPluginEntrypoint(
      MV_LIT("Shell.Execute(command as String, parameters as String)"));
  t[kShellReadAll] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.ReadAll() as String"));
  t[kShellWrite] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.Write(s as String)"));
  t[kShellWriteLine] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.WriteLine(s as String)"));
  t[kShellClose] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.Close"));
  t[kShellPoll] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.Poll"));
  t[kShellResultGet] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.Result.Get"));
  t[kShellModeSet] = RuntimeLookupPluginEntrypoint(MV_LIT("Shell.Mode.Set"));
  ShellEntries = t;
}

void RunApplication() { RuntimeRun(); }

}  // namespace

extern "C" int32_t MVImageEntry(void) {
  RuntimeInit();
  RegisterAppClass();
  RegisterShellClass();
  CreateGlobals();
  RuntimeInitExternalClasses();
  BindShellEntries();
  MVObject* app = RuntimeNewObject(AppClass);
  RuntimeRegisterConsoleAppObject(app, false);
  // An exception that gets past the application's own handlers ends up here.
  CallFailed(RunApplication);
  ExitValue = RuntimeExit();
  RuntimeUnlockObject(app);  // the runtime keeps its own reference until the end
  return ExitValue;
}
