// The image's side of the plug-in class Shell: every member is reached through the
// entry-point table that the image entry fills by name. A missing entry (the plug-in
// did not provide it) makes the member do nothing.
#include "app/App.h"

#include "app/run.h"

namespace {

typedef void (*ExecuteFn)(MVObject*, MVString*);
typedef MVString* (*StringGetterFn)(MVObject*);

void* Entry(int index) { return ShellEntries ? ShellEntries[index] : nullptr; }

}  // namespace

MVObject* NewShell() { return RuntimeNewObject(ShellClass); }

void ShellExecute(MVObject* shell, MVString* command) {
  void* fn = Entry(kShellExecute);
  if (shell && fn) reinterpret_cast<ExecuteFn>(fn)(shell, command);
}

MVString* ShellResult(MVObject* shell) {
  void* fn = Entry(kShellResultGet);
  if (!shell || !fn) return nullptr;
  return reinterpret_cast<StringGetterFn>(fn)(shell);
}
