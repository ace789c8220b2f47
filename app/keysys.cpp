// The key system: creation (createsys), measurement (sysdat), deletion (killsys), copies
// to and from another folder (transsys, ressys) and copy-then-delete (transkill).
//
// A key system is "sys.dat" (entries of component 1), one "K1<n>.bin" per entry of
// component 1 (20 substitution tables), "k2.dat" (slot maps) and "k3.bin" (stepping
// parameters and expansion seeds), all beside the program. "sys.dat" is written last
// and deleted last: it marks a complete system.
#include "app/App.h"
#include "app/command_args.h"
#include "app/keyfiles.h"
#include "app/util.h"

namespace {

// --- Text of numbers ------------------------------------------------------------------

// Decimal text of a 64-bit value (StringStrInt32 covers only 32 bits).
Str StrOf64(int64_t v) {
  char buf[24];
  int pos = sizeof buf;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    buf[--pos] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) buf[--pos] = '-';
  return Str(MAVOBuildString(buf + pos, static_cast<int32_t>(sizeof buf - pos), kEncodingASCII));
}

// --- Files ----------------------------------------------------------------------------

using keyfile::EntryFileName;

// File i (1 .. n1 + 3) of the set of a system with n1 >= 0 entries, in copying order:
// the entry files, "k2.dat", "k3.bin", then "sys.dat".
Str SetFileName(int64_t i, int64_t n1) {
  if (i <= n1) return EntryFileName(i);
  if (i == n1 + 1) return Str::Borrow(keyfile::SlotMapFile());
  if (i == n1 + 2) return Str::Borrow(keyfile::StepFile());
  return Str::Borrow(keyfile::SystemFile());
}

// Reads the first line of a text file. False when the file does not exist; a file that
// is there but no regular file (or cannot be read) gives the empty line.
bool ReadFirstLine(MVString* name, Str* line) {
  if (!FileExists(name)) return false;
  MVTextInputStream* in = keyfile::Open(name);
  if (in) *line = Str(TextInputStreamReadLine(in, nullptr));
  keyfile::Close(in);
  return true;
}

// N1 of a system: the number in the first line of its "sys.dat". False when missing.
bool ReadEntryCount(MVString* sysdat, int32_t* n1) {
  Str line;
  if (!ReadFirstLine(sysdat, &line)) return false;
  *n1 = CInt(Val(line));
  return true;
}

// N1 of a system as the walks over its set of files take it: the first line of its
// "sys.dat" when that is 1 to 10 ASCII digits with a value of at least 1, else kNoCount
// (an empty, zero, signed or otherwise odd line counts nothing, and no set can be copied
// or deleted by it). The walks end at the first file that is not there, so a count far
// beyond the files is harmless. False when "sys.dat" is missing.
constexpr int64_t kNoCount = -1;
bool ReadSetEntries(MVString* sysdat, int64_t* n1) {
  Str line;
  if (!ReadFirstLine(sysdat, &line)) return false;
  const uint8_t* b = line.bytes();
  uint32_t n = line.length();
  int64_t v = 0;
  for (uint32_t i = 0; i < n && v >= 0; i++) v = b[i] >= '0' && b[i] <= '9' ? v * 10 + (b[i] - '0') : -1;
  *n1 = n >= 1 && n <= 10 && v >= 1 ? v : kNoCount;
  return true;
}

// Refuses a set whose "sys.dat" holds no count; true when it holds one.
bool Counted(MVString* prefix, int64_t n1) {
  if (n1 != kNoCount) return true;
  Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + prefix + keyfile::SystemFile() +
        MV_LIT(" holds no entry count.  Nothing was copied."));
  return false;
}

// Counts the lines of a key file and, when chars is given, their characters (line ends
// not included). False when the file cannot be opened (or is no regular file).
bool CountLines(MVString* name, int32_t* lines, int64_t* chars) {
  *lines = 0;
  if (chars) *chars = 0;
  MVTextInputStream* in = keyfile::Open(name);
  if (!in) return false;
  while (!TextInputStreamEOF(in)) {
    Str line(TextInputStreamReadLine(in, nullptr));
    (*lines)++;
    if (chars) *chars += StringDBCSLen(line.get());
  }
  keyfile::Close(in);
  return true;
}

// Deletes the directory entry `name` (a link itself, never what it points to); false
// when it could not be removed.
bool DeleteFile(MVString* name) { return RuntimeDeleteName(name) == 0; }

// The folder new key files are written to: nil for their own place, or the staging
// folder while createsys builds a set.
MVString* gWriteFolder;

// Removes the staging folder and what it holds (left by a createsys that failed or was
// killed; only createsys, under the exclusive lock, writes there).
void RemoveStaging() {
  MVFolderItem* folder = GetFolderItem(keyfile::StagingFolder());
  MVArray* names = folder && !RuntimeNameIsLink(keyfile::StagingFolder()) ? FolderItemChildNames(folder) : nullptr;
  RuntimeUnlockObject(folder);
  for (int32_t i = 0; names && i <= names->upperBounds[0]; i++)
    RuntimeDeleteName((Str::Borrow(keyfile::StagingFolder()) + GetStr(names, i)).get());
  RuntimeUnlockArray(names);
  RuntimeDeleteName(keyfile::StagingFolder());
}

// Moves the staged set of a system with n1 entries into place, "sys.dat" last. False
// after one line naming the file that could not be moved.
bool MoveStagedSet(int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = SetFileName(i, n1);
    if (RuntimeRenameName((Str::Borrow(keyfile::StagingFolder()) + name).get(), name.get()) != 0) {
      Print(Str::Borrow(MV_LIT("Could not put ")) + name + MV_LIT(" in place.  The key system was not created."));
      return false;
    }
  }
  return true;
}

// A key file being written: readable and writable by its owner only, and in place only
// once it is complete (an interrupted or failed one leaves nothing behind).
class KeyFile {
 public:
  explicit KeyFile(MVString* name) : name_(Str::Borrow(name)), out_(nullptr) {
    MVFolderItem* item = GetFolderItem((Str::Borrow(gWriteFolder) + name).get());
    if (item) out_ = FolderItemCreateOutputTextFile(item, kMVOutputPrivate);
    RuntimeUnlockObject(item);
  }
  ~KeyFile() {
    if (!out_) return;
    TextOutputStreamClose(out_);  // not complete: discarded
    RuntimeUnlockObject(out_);
  }
  bool ok() const { return out_ != nullptr; }
  void WriteLine(const char* text, int n) {
    Str line(MAVOBuildString(text, n, kEncodingASCII));
    TextOutputStreamWriteLine(out_, line.get());
  }
  // Puts the complete file in place; false when any write or the close failed.
  bool Close() {
    if (!out_) return false;
    bool good = TextOutputStreamCommit(out_);
    RuntimeUnlockObject(out_);
    out_ = nullptr;
    return good;
  }
  MVString* name() const { return name_.get(); }

 private:
  Str name_;
  MVTextOutputStream* out_;
};

void ReportNotCreated(MVString* name, bool created) {
  Str what = Str::Borrow(created ? MV_LIT("Could not write ") : MV_LIT("Could not create "));
  Print(what + name + MV_LIT(".  The key system was not created."));
}

void ReportNoRandomBytes() {
  PRINT("The system's random source gives no bytes.  The key system was not created.");
}

// --- Generation -----------------------------------------------------------------------

constexpr int kTable = keyfile::kTableFields;

// Every draw of the generation comes from the command's stream of the system's random
// source: a 20-bit k standing for the value k / 2^20.

// One substitution table of component 1: positions 1..kTable of t. The draws of a
// pass come in two calls: its 1,000 swap positions Round(k / 2^20 x 255) (x, y, x, y,
// ...), then its rotation Round(k / 2^20 x 50).
void GenerateTable(uint8_t* t) {
  constexpr int32_t kSwaps = 500;
  uint8_t picks[2 * kSwaps];
  for (int k = 1; k <= kTable; k++) t[k] = static_cast<uint8_t>(k - 1);
  for (int pass = 0; pass < 3; pass++) {
    RuntimeSecureRandomScaledBytes(picks, 2 * kSwaps, 255);
    for (int s = 0; s < kSwaps; s++) {
      int32_t x = picks[2 * s], y = picks[2 * s + 1];
      if (x == 0) x = 1;
      if (y == 0) y = 255;
      uint8_t v = t[x];
      t[x] = t[y];
      t[y] = v;
    }
    int32_t turns = RuntimeSecureRandomScaled(50) + 15;
    uint8_t rotated[kTable + 1];
    for (int k = 1; k <= kTable; k++) rotated[k] = t[(k - 1 + turns) % kTable + 1];
    for (int k = 1; k <= kTable; k++) t[k] = rotated[k];
  }
}

// The user interrupted the command, or the program is ending.
bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

// Writes K11.bin .. K1<n1>.bin; *written counts the files put in place.
bool GenerateComponent1(int32_t n1, int32_t* written) {
  uint8_t table[kTable + 1];
  char line[keyfile::kTableLineLength];
  for (int32_t n = 1; n <= n1; n++) {
    if (Stopped()) return false;
    Str name = EntryFileName(n);
    KeyFile file(name.get());
    if (!file.ok()) {
      ReportNotCreated(name.get(), false);
      return false;
    }
    for (int r = 0; r < keyfile::kTableLines; r++) {
      GenerateTable(table);
      file.WriteLine(line, keyfile::FormatTable(line, table + 1));
    }
    if (!file.Close()) {
      ReportNotCreated(name.get(), true);
      return false;
    }
    *written = n;
    RuntimeProgressStep(n);
  }
  return true;
}

bool GenerateComponent2(int32_t n2) {
  KeyFile file(keyfile::SlotMapFile());
  if (!file.ok()) {
    ReportNotCreated(keyfile::SlotMapFile(), false);
    return false;
  }
  int32_t p[keyfile::kSlots + 1], q[keyfile::kSlots + 1];
  char line[keyfile::kK2LineLength];
  int32_t picks[2 * 500];
  for (int32_t e = 1; e <= n2; e++) {
    // Q(r) takes a second draw only when the first is below 50: one draw at a time.
    for (int r = 1; r <= keyfile::kSlots; r++) {
      p[r] = r;
      q[r] = RuntimeSecureRandomScaled(100) < 50 ? RuntimeSecureRandomScaled(100) : 0;
    }
    RuntimeSecureRandomScaledFill(picks, 2 * 500, 19);
    for (int s = 0; s < 500; s++) {
      int32_t x = picks[2 * s] + 1;
      int32_t y = picks[2 * s + 1] + 1;
      int32_t v = p[x];
      p[x] = p[y];
      p[y] = v;
    }
    for (int turn = 0; turn < 5; turn++) {
      int32_t first = p[1];
      for (int r = 1; r < keyfile::kSlots; r++) p[r] = p[r + 1];
      p[keyfile::kSlots] = first;
    }
    file.WriteLine(line, keyfile::FormatSlotEntry(line, p + 1, q + 1));
    if (Stopped()) return false;
  }
  if (!file.Close()) {
    ReportNotCreated(keyfile::SlotMapFile(), true);
    return false;
  }
  return true;
}

// Round((max - min) x k / 2^20) + min: a value of the range.
int32_t Draw(keyfile::Range range) { return RuntimeSecureRandomScaled(range.max - range.min) + range.min; }

// limit: the expansion level's seed range limit (0, or 10, 50, 99: seeds 1 .. limit + 1).
bool GenerateComponent3(int32_t n3, int32_t limit) {
  KeyFile file(keyfile::StepFile());
  if (!file.ok()) {
    ReportNotCreated(keyfile::StepFile(), false);
    return false;
  }
  // Direction flags, periods, shifts and seeds are kept from entry to entry: a flag once
  // set stays set in every later entry.
  keyfile::StepEntry e = {};
  char line[keyfile::kK3LineLength];
  for (int32_t n = 1; n <= n3; n++) {
    // k / 2^20 x 50 < 25 is k x 50 < 25 x 2^20.
    int32_t k[keyfile::kSlots];
    RuntimeSecureRandomDraws(k, keyfile::kSlots);
    for (int r = 0; r < keyfile::kSlots; r++)
      if (static_cast<int64_t>(k[r]) * 50 < int64_t{25} << 20) e.direction[r] = 1;
    for (int r = 0; r < keyfile::kSlots; r++) {
      e.period0[r] = Draw(keyfile::kPeriod);
      e.period1[r] = Draw(keyfile::kPeriod);
      e.shift[r] = Draw(keyfile::kShift);
    }
    if (limit != 0)
      for (int j = 0; j < keyfile::kSeeds; j++) e.seed[j] = Draw(keyfile::Range{1, limit + 1});
    e.final = RuntimeSecureRandomScaled(100) + 1;
    file.WriteLine(line, keyfile::FormatStepEntry(line, e));
    if (Stopped()) return false;
  }
  if (!file.Close()) {
    ReportNotCreated(keyfile::StepFile(), true);
    return false;
  }
  return true;
}

// --- Copies ---------------------------------------------------------------------------

// Copies one file; true when the copy reported no error and the destination now holds
// as many bytes as the source.
bool CopyOne(MVString* from, MVString* to) {
  bool ok = false;
  MVFolderItem* src = GetFolderItem(from);
  MVFolderItem* dst = GetFolderItem(to);
  if (src && dst && fileExistsGetter(src)) {
    uint64_t length = fileSizeGetter(src);
    int32_t before = FolderItemGetLastError(src);
    FolderItemCopyFileTo(src, dst);
    MVFolderItem* copy = GetFolderItem(to);
    ok = FolderItemGetLastError(src) == before && copy && fileExistsGetter(copy) &&
         fileSizeGetter(copy) == length;
    RuntimeUnlockObject(copy);
  }
  RuntimeUnlockObject(src);
  RuntimeUnlockObject(dst);
  return ok;
}

void ReportCopyFailed(MVString* from, MVString* to) {
  MVFolderItem* dst = GetFolderItem(to);
  bool protectedFile = dst && FolderItemIsProtected(dst);
  RuntimeUnlockObject(dst);
  if (protectedFile)
    Print(Str::Borrow(MV_LIT("Could not copy ")) + from + MV_LIT(" to ") + to +
          MV_LIT(": it is a file of the program and is never replaced."));
  else
    Print(Str::Borrow(MV_LIT("Could not copy ")) + from + MV_LIT(" to ") + to + MV_LIT("."));
}

// The folder parameter as a name prefix: Params(1), with a "/" appended unless it ends in one.
Str FolderPrefix() {
  Str p = GetParam(1);
  Str last(StringDBCSRight(p.get(), 1));
  if (!Same(last.get(), MV_LIT("/"))) p = p + MV_LIT("/");
  return p;
}

// Tests that the set of a system with n1 entries at prefix is complete: every file there
// and a regular file, none a symbolic link. The walk ends at the first file that is not, so however large n1
// is, it never goes past the files that are really there. When one is missing or odd,
// prints one line naming it and gives false.
bool CheckComplete(MVString* prefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = Str::Borrow(prefix) + SetFileName(i, n1);
    if (RuntimeNameIsLink(name.get())) {
      Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + name +
            MV_LIT(" is a symbolic link.  Nothing was copied."));
      return false;
    }
    if (!FileExists(name.get())) {
      Print(Str::Borrow(MV_LIT("The key system is incomplete: ")) + name +
            MV_LIT(" is missing.  Nothing was copied."));
      return false;
    }
    if (!keyfile::IsRegularFile(name.get())) {
      Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + name +
            MV_LIT(" is not a regular file.  Nothing was copied."));
      return false;
    }
  }
  return true;
}

// Tests that no file of the set at prefix is something other than a regular file (a
// FIFO, a device, a folder) or a symbolic link: a copy onto one could wait forever or
// land elsewhere. Nor may it be a file of the set being copied (at fromPrefix) under
// another name: the copy would overwrite the key it copies. Only called for a set found
// complete, so the walk is bounded by real files.
bool CheckReplaceable(MVString* prefix, MVString* fromPrefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = Str::Borrow(prefix) + SetFileName(i, n1);
    if (RuntimeNameIsLink(name.get())) {
      Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + name +
            MV_LIT(" is a symbolic link.  Nothing was copied."));
      return false;
    }
    if (FileExists(name.get()) && !keyfile::IsRegularFile(name.get())) {
      Print(Str::Borrow(MV_LIT("The destination ")) + name +
            MV_LIT(" is not a regular file and cannot be replaced.  Nothing was copied."));
      return false;
    }
    MVFolderItem* target = GetFolderItem(name.get());
    bool keyFile = keyfile::IsKeyFileOf(target, fromPrefix);
    RuntimeUnlockObject(target);
    if (keyFile) {
      Print(Str::Borrow(MV_LIT("The destination ")) + name +
            MV_LIT(" is a key file of the system being copied.  Nothing was copied."));
      return false;
    }
  }
  return true;
}

// Copies the complete set of a system with n1 entries from names fromPrefix + file to
// toPrefix + file ("sys.dat" last). Stops at the first file that could not be copied,
// reporting it; false then.
bool CopySet(MVString* fromPrefix, MVString* toPrefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    if (Stopped()) return false;  // interrupted: the copies made so far are whole files
    Str name = SetFileName(i, n1);
    Str from = Str::Borrow(fromPrefix) + name;
    Str to = Str::Borrow(toPrefix) + name;
    if (!CopyOne(from.get(), to.get())) {
      if (Stopped()) return false;
      ReportCopyFailed(from.get(), to.get());
      return false;
    }
  }
  return true;
}

// True when both files exist and hold the same bytes.
bool SameContent(MVString* a, MVString* b) {
  MVFolderItem* fa = GetFolderItem(a);
  MVFolderItem* fb = GetFolderItem(b);
  bool same = fa && fb && FolderItemIsRegularFile(fa) && FolderItemIsRegularFile(fb) &&
              fileSizeGetter(fa) == fileSizeGetter(fb);
  MVBinaryStream* sa = same ? FolderItemOpenBinaryFile(fa, false) : nullptr;
  MVBinaryStream* sb = same ? FolderItemOpenBinaryFile(fb, false) : nullptr;
  same = same && sa && sb;
  while (same && !BinaryStreamEOF(sa)) {
    Str x(BinaryStreamRead(sa, 65536, nullptr));
    Str y(BinaryStreamRead(sb, 65536, nullptr));
    same = x.length() == y.length() && x.length() > 0 &&
           memcmp(x.bytes(), y.bytes(), x.length()) == 0;
  }
  if (sa) BinaryStreamClose(sa);
  if (sb) BinaryStreamClose(sb);
  RuntimeUnlockObject(sa);
  RuntimeUnlockObject(sb);
  RuntimeUnlockObject(fa);
  RuntimeUnlockObject(fb);
  return same;
}

// Every file of the set at prefix holds what the application folder's copy holds (the
// set was found complete before it was copied).
bool SetVerified(MVString* prefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = SetFileName(i, n1);
    Str copy = Str::Borrow(prefix) + name;
    if (!SameContent(name.get(), copy.get())) return false;
  }
  return true;
}

// The numbers 1..n1 whose entry files are in the application folder, ascending: an
// integer array (owned) and its element count, or nil when the folder cannot be listed.
// It is as long as the folder's listing, whatever n1 is.
MVArray* PresentEntries(int64_t n1, int32_t* count) {
  *count = 0;
  MVFolderItem* folder = keyfile::ApplicationFolder();
  MVArray* names = folder ? FolderItemChildNames(folder) : nullptr;
  RuntimeUnlockObject(folder);
  if (!names) return nullptr;
  int32_t upper = names->upperBounds[0];
  MVArray* numbers = CreateArray(1, kMVElemInt32, upper);
  for (int32_t i = 0; numbers && i <= upper; i++) {
    int32_t n = keyfile::EntryNumberOf(GetStr(names, i).get());
    if (n >= 1 && n <= n1) SetInt(numbers, (*count)++, n);
  }
  RuntimeUnlockArray(names);
  if (!numbers) return nullptr;
  reinterpret_cast<void (*)(MVArray*, int32_t)>(numbers->ops->slot[4])(numbers, *count - 1);
  reinterpret_cast<void (*)(MVArray*)>(numbers->ops->slot[8])(numbers);
  return numbers;
}

// Deletes the application folder's system with n1 entries, announcing each component:
// the entry files 1..n1 that are there, in ascending order, then "k2.dat", "k3.bin" and
// "sys.dat". Returns false, after one line naming the first file that could not be
// deleted, when a file is still there ("sys.dat" is then kept, so the rest is still
// known as a system).
bool DeleteSystem(int64_t n1, bool announce) {
  int32_t count = 0;
  MVArray* present = n1 > 0 ? PresentEntries(n1, &count) : nullptr;
  if (n1 > 0 && !present) {
    PRINT("The application folder cannot be read.  The system was not deleted.");
    return false;
  }
  Str failed;
  if (announce) PRINT("Killing Component 1...");
  for (int32_t i = 0; i < count; i++) {
    Str name = EntryFileName(GetInt(present, i));
    if (!DeleteFile(name.get()) && failed.empty()) failed = name;
  }
  RuntimeUnlockArray(present);
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

}  // namespace

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
  ok = ok && !Stopped() && MoveStagedSet(n1 > 0 ? n1 : 0);
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
  if (!ReadEntryCount(sysdat.get(), &n1)) {
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
  if (!ReadEntryCount(keyfile::SystemFile(), &n1)) {
    if (mode == 1) PRINT("A System is not loaded.  Please issue ressys or createsys.");
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

bool KillSysCommand(MVObject*, int32_t mode) {
  keyfile::Lock lock(keyfile::Lock::kExclusive);
  if (!lock.held()) return false;
  int64_t n1 = 0;
  if (!ReadSetEntries(keyfile::SystemFile(), &n1)) {
    if (mode == 1) {
      PRINT("A System is not loaded.  Please issue ressys or createsys.");
      return false;
    }
    n1 = 0;
  }
  // Without a count every entry file present goes.
  if (n1 == kNoCount) n1 = 0x7FFFFFFF;
  if (!DeleteSystem(n1, mode == 1)) return false;
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
  int64_t n1 = 0;
  if (!ReadSetEntries((prefix + keyfile::SystemFile()).get(), &n1)) {
    PRINT("A System is not currently in place in the folder defined error.");
    return false;
  }
  if (FileExists(keyfile::SystemFile())) {
    PRINT("A System is currently in place.  Issue transsys and/or killsys.");
    return false;
  }
  // Nothing is copied unless the whole set is there; "sys.dat" comes last, so a restore
  // that fails part way leaves no system marked as installed.
  if (!Counted(prefix.get(), n1) || !CheckComplete(prefix.get(), n1) ||
      !CheckReplaceable(nullptr, prefix.get(), n1))
    return false;
  if (!ScriptMode) PRINT("Restoring system files...");
  if (!CopySet(prefix.get(), nullptr, n1)) {
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
// set. *n1 and *prefix describe what was copied.
TransferOutcome Transfer(MVObject* self, MVString* word, int64_t* n1, Str* prefix) {
  if (Same(CommandLine, word)) {
    PRINT("Parameters missing error.  Enter help t");
    PRINT(" ");
    return kRefused;
  }
  if (!ReadSetEntries(keyfile::SystemFile(), n1)) {
    PRINT("A System is not loaded.  Please issue ressys or createsys.");
    return kRefused;
  }
  App_GetParameters(self);
  *prefix = FolderPrefix();
  if (!Counted(nullptr, *n1) || !CheckComplete(nullptr, *n1) ||
      !CheckReplaceable(prefix->get(), nullptr, *n1))
    return kRefused;
  if (!ScriptMode) PRINT("Copying system files...");
  if (!CopySet(nullptr, prefix->get(), *n1)) return kCopyFailed;
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
  int64_t n1 = 0;
  Str prefix;
  return Transfer(self, MV_LIT("transsys"), &n1, &prefix) == kCopied;
}

void App_TransferSys(MVObject* self) { TransferSysCommand(self); }

bool TransKillCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kExclusive);
  if (!lock.held()) return false;
  int64_t n1 = 0;
  Str prefix;
  TransferOutcome outcome = Transfer(self, MV_LIT("transkill"), &n1, &prefix);
  if (outcome == kRefused) return false;
  if (outcome == kCopyFailed) {
    PRINT("The system was not deleted.");
    return false;
  }
  if (!SetVerified(prefix.get(), n1)) {
    PRINT("The copy could not be verified.  The system was not deleted.");
    return false;
  }
  if (!DeleteSystem(n1, true)) return false;
  if (!ScriptMode) {
    PRINT("=== System Deleted ===");
    PRINT("createsys or ressys required for future cryptions.");
    PRINT(" ");
  }
  Comp1Count = Comp2Count = Comp3Count = 0;
  return true;
}

void App_TransKill(MVObject* self) { TransKillCommand(self); }
