// The key system: creation (createsys), measurement (sysdat), deletion (killsys), copies
// to and from another folder (transsys, ressys) and copy-then-delete (transkill).
// Their parts, by concern, are declared in app/keysys.h.
#include "app/App.h"
#include "app/command_args.h"
#include "app/keyfiles.h"
#include "app/keysys.h"
#include "app/util.h"

using namespace keysys;

// --- Commands -------------------------------------------------------------------------

bool CreateSysCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kExclusive);
  if (!lock.held()) return false;
  if (Same(CommandLine, MV_LIT("createsys"))) {
    PRINT("Parameters missing error.  Enter help c");
    PRINT(" ");
    return false;
  }
  if (FileExists(keyfile::SystemFile())) {
    PRINT("A System is currently in place.  Please issue transsys command");
    PRINT("then killsys command then you can create a new system.");
    return false;
  }
  App_GetParameters(self);
  SizesAndLevel sizes;
  if (SizesFault fault = ReadSizesAndLevel(&sizes)) {
    RefuseSizes(fault);
    return false;
  }
  int32_t limit = sizes.seedLimit;  // seeds 1 .. limit + 1
  if (!RuntimeSecureRandomBegin()) {
    RuntimeSecureRandomEnd();
    ReportNoRandomBytes();
    return false;
  }
  Comp1Count = sizes.size[0];
  Comp2Count = sizes.size[1];
  Comp3Count = sizes.size[2];
  // The set is written in the staging folder and moved into place when complete: a
  // killed run leaves no key file in place, and its folder goes at the next run.
  RemoveStaging();
  if (RuntimeCreateFolder(keyfile::StagingFolder()) != 0) {
    RuntimeSecureRandomEnd();
    Print(Str::Borrow(MV_LIT("Could not create ")) + keyfile::StagingFolder() +
          MV_LIT(".  The key system was not created."));
    Comp1Count = Comp2Count = Comp3Count = 0;
    return false;
  }
  gWriteFolder = keyfile::StagingFolder();

  int32_t n1 = sizes.size[0];
  if (!ScriptMode) {
    PRINT("Generating Key Component 1");
    PRINT("This might take awhile...");
  }
  int32_t written1 = 0;
  RuntimeProgressBegin(n1, kMVProgressKeyFiles);
  bool ok = GenerateComponent1(n1, &written1);
  RuntimeProgressEnd();
  if (ok && !ScriptMode) PRINT(" ");
  if (ok && !ScriptMode) PRINT("Generating Key Component 2");
  ok = ok && GenerateComponent2(sizes.size[1]);
  if (ok && !ScriptMode) PRINT("Generating Key Component 3");
  ok = ok && GenerateComponent3(sizes.size[2], limit);
  if (ok && Stopped()) ok = false;
  if (ok && !RuntimeSecureRandomOk()) {
    ReportNoRandomBytes();
    ok = false;
  }
  RuntimeSecureRandomEnd();
  if (ok) {
    KeyFile sys(keyfile::SystemFile());
    Str count = StrOf(n1);
    ok = sys.ok();
    if (ok) sys.WriteLine(reinterpret_cast<const char*>(count.bytes()), count.length());
    if (!sys.Close()) {
      ReportNotCreated(keyfile::SystemFile(), ok);
      ok = false;
    }
  }
  gWriteFolder = nullptr;
  ok = ok && !Stopped() && MoveStagedSet(n1);
  RemoveStaging();
  if (!ok) {
    Comp1Count = Comp2Count = Comp3Count = 0;
    return false;
  }
  if (!ScriptMode) {
    PRINT("System Created.");
    PRINT(" ");
  }
  return true;
}

void App_CreateSys(MVObject* self) { CreateSysCommand(self); }

void App_GetSystemData(MVObject*, MVString* prefix) {
  Str sysdat = Str::Borrow(prefix) + keyfile::SystemFile();
  int32_t n1 = 0;
  if (keyfile::ReadCount(sysdat.get(), &n1) != keyfile::kCounted) {
    Comp1Count = Comp2Count = Comp3Count = 0;
    return;
  }
  Comp1Count = n1;
  // A missing component file counts as an empty component.
  CountLines((Str::Borrow(prefix) + keyfile::SlotMapFile()).get(), &Comp2Count, nullptr);
  CountLines((Str::Borrow(prefix) + keyfile::StepFile()).get(), &Comp3Count, nullptr);
}

void App_SystemData(MVObject*, int32_t mode) {
  // The command reads under the shared lock; the silent measurement at start-up and for
  // script verification must not be refused and takes none.
  keyfile::Lock lock(mode == 1 ? keyfile::Lock::kShared : keyfile::Lock::kNone);
  if (!lock.held()) return;
  int32_t n1 = 0;
  keyfile::Count count = keyfile::ReadCount(keyfile::SystemFile(), &n1);
  if (count != keyfile::kCounted) {
    if (mode == 1 && count == keyfile::kNoSystem)
      PRINT("A System is not loaded.  Please issue ressys or createsys.");
    else if (mode == 1)
      keyfile::RefuseNoCount(nullptr, nullptr);  // no sizes to print, rather than wrong ones
    Comp1Count = Comp2Count = Comp3Count = 0;
    return;
  }
  Comp1Count = n1;
  Comp2Count = Comp3Count = 0;
  if (mode == 1) PRINT("Examining System...");
  int64_t s1 = Comp1Count * keyfile::kEntryFileChars, s2 = 0, s3 = 0;
  bool have2 = CountLines(keyfile::SlotMapFile(), &Comp2Count, &s2);
  bool have3 = CountLines(keyfile::StepFile(), &Comp3Count, &s3);
  if (mode != 1) return;
  if (!have2) PRINT("Key component 2 file k2.dat is missing or unreadable: counted as empty.");
  if (!have3) PRINT("Key component 3 file k3.bin is missing or unreadable: counted as empty.");
  int64_t total = s1 + s2 + s3;
  // Sizes in units of 1024, rounded half away from zero.
  auto kilo = [](int64_t s) -> Str {
    int64_t k = s >= 0 ? (s + 512) / 1024 : -((-s + 512) / 1024);
    return Str(runTrim(StrOf64(k).get()));
  };
  Print(Str::Borrow(MV_LIT("Key component 1 has ")) + StrOf(Comp1Count) + MV_LIT(" entries and ") +
        StrOf64(s1) + MV_LIT(" bytes (") + kilo(s1) + MV_LIT("K)"));
  Print(Str::Borrow(MV_LIT("Key component 2 has ")) + StrOf(Comp2Count) + MV_LIT(" entries and ") +
        StrOf64(s2) + MV_LIT(" bytes (") + kilo(s2) + MV_LIT("K)"));
  Print(Str::Borrow(MV_LIT("Key component 3 has ")) + StrOf(Comp3Count) + MV_LIT(" entries and ") +
        StrOf64(s3) + MV_LIT(" bytes (") + kilo(s3) + MV_LIT("K)"));
  Print(Str::Borrow(MV_LIT("Total System = ")) + StrOf64(total) + MV_LIT(" bytes (") + kilo(total) +
        MV_LIT("K)"));
  PRINT(" ");
}

// Done when it measured a system all of whose files it could read (a file it could not
// read is counted as empty).
bool SystemDataCommand(MVObject* self, int32_t mode) {
  Comp1Count = 0;  // a refusal leaves no count behind
  App_SystemData(self, mode);
  Str unreadable;
  int32_t error = 0;
  return Comp1Count > 0 && !keyfile::FirstUnreadable(&unreadable, &error);
}

bool KillSysCommand(MVObject*, int32_t mode) {
  keyfile::Lock lock(keyfile::Lock::kExclusive);
  if (!lock.held()) return false;
  int32_t n1 = 0;
  bool installed = keyfile::ReadCount(keyfile::SystemFile(), &n1) != keyfile::kNoSystem;
  if (!installed && mode == 1) {
    PRINT("A System is not loaded.  Please issue ressys or createsys.");
    return false;
  }
  // Every entry file present goes, whatever the count says: none is left of a system
  // that is deleted.
  if (!DeleteSystem(installed ? kAllEntries : 0, mode == 1, 0)) return false;
  if (mode == 1) {
    PRINT("=== System Deleted ===");
    PRINT("createsys or ressys required for future cryptions.");
    PRINT(" ");
  }
  Comp1Count = Comp2Count = Comp3Count = 0;
  return true;
}

void App_KillSys(MVObject* self, int32_t mode) { KillSysCommand(self, mode); }

bool RestoreSysCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kExclusive);
  if (!lock.held()) return false;
  if (Same(CommandLine, MV_LIT("ressys"))) {
    PRINT("Parameters missing error.  Enter help r");
    PRINT(" ");
    return false;
  }
  App_GetParameters(self);
  Str prefix = FolderPrefix();
  int32_t n1 = 0;
  keyfile::Count count = keyfile::ReadCount((prefix + keyfile::SystemFile()).get(), &n1);
  if (count == keyfile::kNoSystem) {
    PRINT("A System is not currently in place in the folder defined error.");
    return false;
  }
  if (FileExists(keyfile::SystemFile())) {
    PRINT("A System is currently in place.  Issue transsys and/or killsys.");
    return false;
  }
  if (count == keyfile::kNoCount) {
    RefuseUncounted(prefix.get());
    return false;
  }
  // Nothing is copied unless the whole set is there; "sys.dat" comes last, so a restore
  // that fails part way leaves no system marked as installed.
  if (!CheckComplete(prefix.get(), n1) || !CheckReplaceable(nullptr, prefix.get(), n1)) return false;
  if (!ScriptMode) PRINT("Restoring system files...");
  SetCopy copy;
  if (!copy.Run(prefix.get(), nullptr, n1)) {
    PRINT("The system was not restored.");
    return false;
  }
  App_SystemData(self, 0);
  if (!ScriptMode) {
    PRINT("=== Restore completed ===");
    PRINT(" ");
  }
  return true;
}

void App_RestoreSys(MVObject* self) { RestoreSysCommand(self); }

namespace {

enum TransferOutcome { kRefused, kCopyFailed, kCopied };

// The shared first steps of transsys and transkill: checks, then the copy of a complete
// set. *n1 is the count of what was copied. A copy that deletes the system afterwards
// (killing) refuses entry files beyond the count too: it would leave them behind.
TransferOutcome Transfer(MVObject* self, MVString* word, bool killing, int32_t* n1, SetCopy* copy) {
  if (Same(CommandLine, word)) {
    PRINT("Parameters missing error.  Enter help t");
    PRINT(" ");
    return kRefused;
  }
  keyfile::Count count = keyfile::ReadCount(keyfile::SystemFile(), n1);
  if (count == keyfile::kNoSystem) {
    PRINT("A System is not loaded.  Please issue ressys or createsys.");
    return kRefused;
  }
  App_GetParameters(self);
  Str prefix = FolderPrefix();
  if (count == keyfile::kNoCount) {
    RefuseUncounted(nullptr);
    return kRefused;
  }
  if (int32_t beyond = killing ? FirstEntryBeyond(*n1) : 0) {
    Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + EntryFileName(beyond) +
          MV_LIT(" lies beyond the entry count of sys.dat.  Nothing was copied."));
    return kRefused;
  }
  if (!CheckComplete(nullptr, *n1) || !CheckReplaceable(prefix.get(), nullptr, *n1)) return kRefused;
  if (!ScriptMode) PRINT("Copying system files...");
  if (!copy->Run(nullptr, prefix.get(), *n1)) return kCopyFailed;
  if (!ScriptMode) {
    PRINT("=== Copy completed ===");
    PRINT(" ");
  }
  return kCopied;
}

}  // namespace

bool TransferSysCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kShared);
  if (!lock.held()) return false;
  int32_t n1 = 0;
  SetCopy copy;
  return Transfer(self, MV_LIT("transsys"), false, &n1, &copy) == kCopied;
}

void App_TransferSys(MVObject* self) { TransferSysCommand(self); }

bool TransKillCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kExclusive);
  if (!lock.held()) return false;
  int32_t n1 = 0;
  SetCopy copy;
  TransferOutcome outcome = Transfer(self, MV_LIT("transkill"), true, &n1, &copy);
  if (outcome == kRefused) return false;
  if (outcome == kCopyFailed) {
    PRINT("The system was not deleted.");
    return false;
  }
  // Only the very files that were copied and verified are deleted: a name changed
  // during the run neither makes a lost file look copied nor deletes another one.
  if (!copy.Verified()) {
    PRINT("The copy could not be verified.  The system was not deleted.");
    return false;
  }
  if (!DeleteSystem(n1, true, copy.handle())) return false;
  if (!ScriptMode) {
    PRINT("=== System Deleted ===");
    PRINT("createsys or ressys required for future cryptions.");
    PRINT(" ");
  }
  Comp1Count = Comp2Count = Comp3Count = 0;
  return true;
}

void App_TransKill(MVObject* self) { TransKillCommand(self); }
