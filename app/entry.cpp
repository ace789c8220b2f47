// The image entry: registers the image's classes, creates the application-wide state,
// binds the plug-in entry points and runs the application.
#include "app/App.h"

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

// App's own methods follow ConsoleApplication's six entries.
void SetMethod(MVClass* cls, uint32_t index, void* function, MVString* signature) {
  RuntimeLockString(signature);
  cls->methods[index].function = function;
  cls->methods[index].signature = signature;
}

void RegisterAppClass() {
  MVClass* cls = RuntimeNewClass(RuntimeConsoleApplicationClass(), 21, 0, 2, 3, 2);
  MVString* name = MV_LIT("App");
  RuntimeLockString(name);
  cls->name = name;
  cls->instanceSize = MV_CONSOLE_APP_INSTANCE_SIZE;  // App adds no fields
  uint32_t k = MV_CONSOLE_APP_METHODS;
  SetMethod(cls, k++, reinterpret_cast<void*>(App_Run), MV_LIT("#Run%i4%o<App>A1s"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_ShowHelp), MV_LIT("ShowHelp%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_CreateSys), MV_LIT("CreateSys%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_KillSys), MV_LIT("KillSys%%o<App>i4"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_RestoreSys), MV_LIT("RestoreSys%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_Encrypt), MV_LIT("Encrypt%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_Decrypt), MV_LIT("Decrypt%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_TransferSys), MV_LIT("TransferSys%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_GetCmd), MV_LIT("GetCmd%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_GetParameters), MV_LIT("GetParameters%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_RunScript), MV_LIT("RunScript%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_TransKill), MV_LIT("TransKill%%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_SystemData), MV_LIT("SystemData%%o<App>i4"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_VerifyScript), MV_LIT("VerifyScript%i4%o<App>"));
  SetMethod(cls, k++, reinterpret_cast<void*>(App_GetSystemData), MV_LIT("GetSystemData%%o<App>s"));
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

void RunApplication(MVObject*, int32_t) { RuntimeRun(); }

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
  CallFailed(reinterpret_cast<void*>(RunApplication), app, 0);
  ExitValue = RuntimeExit();
  RuntimeUnlockObject(app);  // the runtime keeps its own reference until the end
  return ExitValue;
}
