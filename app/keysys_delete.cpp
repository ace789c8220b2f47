// Deletion of the application folder's key system (killsys, transkill).
#include "app/keysys.h"

namespace keysys {

namespace {

// Deletes one file of the system: through the copy that read it, or by its name.
bool Delete(MVString* name, int32_t copy) {
  return copy ? RuntimeCopyDeleteSource(copy, name) == 0 : DeleteFile(name);
}

}  // namespace

bool DeleteSystem(int64_t upTo, bool announce, int32_t copy) {
  int32_t count = 0;
  Arr present(upTo > 0 ? PresentEntries(upTo, &count) : nullptr);
  if (upTo > 0 && !present.get()) {
    PRINT("The application folder cannot be read.  The system was not deleted.");
    return false;
  }
  Str failed;
  if (announce) PRINT("Killing Component 1...");
  for (int32_t i = 0; i < count; i++) {
    Str name = EntryFileName(GetInt(present.get(), i));
    if (!Delete(name.get(), copy) && failed.empty()) failed = name;
  }
  if (announce) PRINT("Killing Component 2...");
  if (!Delete(keyfile::SlotMapFile(), copy) && failed.empty()) failed = Str::Borrow(keyfile::SlotMapFile());
  if (announce) PRINT("Killing Component 3...");
  if (!Delete(keyfile::StepFile(), copy) && failed.empty()) failed = Str::Borrow(keyfile::StepFile());
  if (failed.empty()) {
    if (Delete(keyfile::SystemFile(), copy)) return true;
    failed = Str::Borrow(keyfile::SystemFile());
  }
  Print(Str::Borrow(MV_LIT("Could not delete ")) + failed +
        MV_LIT(".  The system was not completely deleted."));
  return false;
}

}  // namespace keysys
