// Opening key files for reading: only regular files are opened, and the first key file
// of a run that is there but cannot be opened or read is kept with the system's reason,
// for the argument form to name.
#include "app/keyfiles.h"

namespace keyfile {

bool IsRegularFile(MVString* name) {
  Obj item(GetFolderItem(name));
  return item.get() && FolderItemIsRegularFile(item.get());
}

namespace {

MVString* gUnreadable;  // the first key file that could not be read (owned), or nil
int32_t gUnreadableError;
// The key file open now, so that a read error found at its close names it (the files
// are read one after the other).
MVTextInputStream* gOpen;
MVString* gOpenPath;  // owned

void KeepString(MVString** slot, MVString* s) {
  RuntimeLockUnlockStrings(s, *slot);
  *slot = s;
}

void NoteUnreadable(MVString* path, int32_t error) {
  if (gUnreadable || error <= 0) return;
  KeepString(&gUnreadable, path);
  gUnreadableError = error;
}

}  // namespace

MVTextInputStream* Open(MVString* name) {
  Obj item(GetFolderItem(name));
  if (!item.get() || !FolderItemIsRegularFile(item.get())) return nullptr;
  MVTextInputStream* in = FolderItemOpenTextFile(item.get());
  Str path(FolderItemGetPath(item.get()));
  if (!in) NoteUnreadable(path.get(), FolderItemGetLastError(item.get()));
  gOpen = in;
  KeepString(&gOpenPath, path.get());
  return in;
}

void Close(MVTextInputStream* in) {
  if (!in) return;
  if (in == gOpen) {
    NoteUnreadable(gOpenPath, TextInputStreamGetLastError(in));
    gOpen = nullptr;
  }
  TextInputStreamClose(in);
  RuntimeUnlockObject(in);  // the reference Open handed out
}

bool FirstUnreadable(Str* path, int32_t* error) {
  if (!gUnreadable) return false;
  *path = Str::Borrow(gUnreadable);
  *error = gUnreadableError;
  return true;
}

void ForgetUnreadable() { KeepString(&gUnreadable, nullptr); }

}  // namespace keyfile
