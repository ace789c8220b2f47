// Deletion of the application folder's key system (killsys, transkill).
#include "app/keysys.h"

namespace keysys {

bool DeleteSystem(int64_t upTo, bool announce) {
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
