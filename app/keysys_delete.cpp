// Deletion of the application folder's key system (killsys, transkill).
#include "app/keysys.h"

namespace keysys {

namespace {

// The numbers 1..n1 whose entry files are in the application folder, ascending: an
// integer array (owned) and its element count, or nil when the folder cannot be listed.
// It is as long as the folder's listing, whatever n1 is.
MVArray* PresentEntries(int64_t n1, int32_t* count) {
  *count = 0;
  Obj folder(keyfile::ApplicationFolder());
  Arr names(folder.get() ? FolderItemChildNames(folder.get()) : nullptr);
  if (!names.get()) return nullptr;
  int32_t upper = names.get()->upperBounds[0];
  MVArray* numbers = CreateArray(1, kMVElemInt32, upper);
  for (int32_t i = 0; numbers && i <= upper; i++) {
    int32_t n = keyfile::EntryNumberOf(GetStr(names.get(), i).get());
    if (n >= 1 && n <= n1) SetInt(numbers, (*count)++, n);
  }
  if (!numbers) return nullptr;
  reinterpret_cast<void (*)(MVArray*, int32_t)>(numbers->ops->slot[4])(numbers, *count - 1);
  reinterpret_cast<void (*)(MVArray*)>(numbers->ops->slot[8])(numbers);
  return numbers;
}

}  // namespace

bool DeleteSystem(int64_t n1, bool announce) {
  int32_t count = 0;
  Arr present(n1 > 0 ? PresentEntries(n1, &count) : nullptr);
  if (n1 > 0 && !present.get()) {
    PRINT("The application folder cannot be read.  The system was not deleted.");
    return false;
  }
  Str failed;
  if (announce) PRINT("Killing Component 1...");
  for (int32_t i = 0; i < count; i++) {
    Str name = EntryFileName(GetInt(present.get(), i));
    if (!DeleteFile(name.get()) && failed.empty()) failed = name;
  }
  if (announce) PRINT("Killing Component 2...");
  if (!DeleteFile(keyfile::SlotMapFile()) && failed.empty()) failed = Str::Borrow(keyfile::SlotMapFile());
  if (announce) PRINT("Killing Component 3...");
  if (!DeleteFile(keyfile::StepFile()) && failed.empty()) failed = Str::Borrow(keyfile::StepFile());
  if (failed.empty()) {
    if (DeleteFile(keyfile::SystemFile())) return true;
    failed = Str::Borrow(keyfile::SystemFile());
  }
  Print(Str::Borrow(MV_LIT("Could not delete ")) + failed +
        MV_LIT(".  The system was not completely deleted."));
  return false;
}

}  // namespace keysys
