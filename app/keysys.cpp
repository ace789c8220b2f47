// The key system: creation (createsys), measurement (sysdat), deletion (killsys), copies
// to and from another folder (transsys, ressys) and copy-then-delete (transkill).
//
// A key system is "sys.dat" (entries of component 1), one "K1<n>.bin" per entry of
// component 1 (20 substitution tables), "k2.dat" (slot maps) and "k3.bin" (stepping
// parameters and expansion seeds), all beside the program. "sys.dat" is written last
// and deleted last: it marks a complete system.
#include "app/App.h"
#include "app/util.h"

extern "C" int memcmp(const void* a, const void* b, size_t n);

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

// Appends the key-file field of v at out: the rightmost `width` characters of `zeros`
// zeros followed by the decimal text of v. Returns the characters written.
int PutField(char* out, int32_t v, int zeros, int width) {
  char text[24];
  int n = 0;
  for (int i = 0; i < zeros; i++) text[n++] = '0';
  char digits[12];
  int d = 0;
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  do {
    digits[d++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) text[n++] = '-';
  while (d) text[n++] = digits[--d];
  int start = n > width ? n - width : 0;
  for (int i = start; i < n; i++) out[i - start] = text[i];
  return n - start;
}

int Put3(char* out, int32_t v) { return PutField(out, v, 2, 3); }
int Put7(char* out, int32_t v) { return PutField(out, v, 7, 7); }

// Round(x) assigned to an integer, as the generator's formulas use it.
int32_t RoundInt(double x) { return CInt(RuntimeRound(x)); }

// --- Files ----------------------------------------------------------------------------

// "K1" + n + ".bin": the entry file of entry n of component 1.
Str EntryFileName(int32_t n) {
  Str number(runTrim(StringStrInt32(n)));
  return Str::Borrow(MV_LIT("K1")) + number + MV_LIT(".bin");
}

// File i of the set of a system with n1 entries, in copying order: the entry files,
// "k2.dat", "k3.bin", then "sys.dat".
Str SetFileName(int32_t i, int32_t n1) {
  if (i <= n1) return EntryFileName(i);
  if (i == n1 + 1) return Str::Borrow(MV_LIT("k2.dat"));
  if (i == n1 + 2) return Str::Borrow(MV_LIT("k3.bin"));
  return Str::Borrow(MV_LIT("sys.dat"));
}

// Reads the first line of a text file. False when the file does not exist.
bool ReadFirstLine(MVString* name, Str* line) {
  MVFolderItem* item = GetFolderItem(name);
  bool exists = item && fileExistsGetter(item);
  if (exists) {
    MVTextInputStream* in = FolderItemOpenTextFile(item);
    if (in) {
      *line = Str(TextInputStreamReadLine(in, nullptr));
      TextInputStreamClose(in);
      RuntimeUnlockObject(in);
    }
  }
  RuntimeUnlockObject(item);
  return exists;
}

// N1 of a system: the number in the first line of its "sys.dat". False when missing.
bool ReadEntryCount(MVString* sysdat, int32_t* n1) {
  Str line;
  if (!ReadFirstLine(sysdat, &line)) return false;
  *n1 = CInt(Val(line));
  return true;
}

// Counts the lines of a text file and, when chars is given, their characters (line ends
// not included). False when the file cannot be opened.
bool CountLines(MVString* name, int32_t* lines, int64_t* chars) {
  *lines = 0;
  if (chars) *chars = 0;
  MVFolderItem* item = GetFolderItem(name);
  MVTextInputStream* in = item ? FolderItemOpenTextFile(item) : nullptr;
  RuntimeUnlockObject(item);
  if (!in) return false;
  while (!TextInputStreamEOF(in)) {
    Str line(TextInputStreamReadLine(in, nullptr));
    (*lines)++;
    if (chars) *chars += StringDBCSLen(line.get());
  }
  TextInputStreamClose(in);
  RuntimeUnlockObject(in);
  return true;
}

void DeleteFile(MVString* name) {
  MVFolderItem* item = GetFolderItem(name);
  if (item) FolderItemDelete(item);
  RuntimeUnlockObject(item);
}

// A key file being written: readable and writable by its owner only, and in place only
// once it is complete (an interrupted or failed one leaves nothing behind).
class KeyFile {
 public:
  explicit KeyFile(MVString* name) : name_(Str::Borrow(name)), out_(nullptr) {
    MVFolderItem* item = GetFolderItem(name);
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

// --- Generation -----------------------------------------------------------------------

// One substitution table of component 1: positions 1..256 of t.
void GenerateTable(uint8_t* t) {
  for (int k = 1; k <= 256; k++) t[k] = static_cast<uint8_t>(k - 1);
  for (int pass = 0; pass < 3; pass++) {
    for (int s = 0; s < 500; s++) {
      int32_t x = RoundInt(rnd() * 255);
      int32_t y = RoundInt(rnd() * 255);
      if (x == 0) x = 1;
      if (y == 0) y = 255;
      uint8_t v = t[x];
      t[x] = t[y];
      t[y] = v;
    }
    int32_t turns = CInt(RuntimeRound(rnd() * 50) + 15);
    uint8_t rotated[257];
    for (int k = 1; k <= 256; k++) rotated[k] = t[(k - 1 + turns) % 256 + 1];
    for (int k = 1; k <= 256; k++) t[k] = rotated[k];
  }
}

// The user interrupted the command, or the program is ending.
bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

// Writes K11.bin .. K1<n1>.bin; *written counts the files put in place.
bool GenerateComponent1(int32_t n1, int32_t* written) {
  uint8_t table[257];
  char line[256 * 3];
  for (int32_t n = 1; n <= n1; n++) {
    if (Stopped()) return false;
    Str name = EntryFileName(n);
    KeyFile file(name.get());
    if (!file.ok()) {
      ReportNotCreated(name.get(), false);
      return false;
    }
    for (int r = 0; r < 20; r++) {
      GenerateTable(table);
      for (int k = 1; k <= 256; k++) Put3(line + 3 * (k - 1), table[k]);
      file.WriteLine(line, sizeof line);
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
  KeyFile file(MV_LIT("k2.dat"));
  if (!file.ok()) {
    ReportNotCreated(MV_LIT("k2.dat"), false);
    return false;
  }
  int32_t p[21], q[21];
  char line[40 * 7];
  for (int32_t e = 1; e <= n2; e++) {
    for (int r = 1; r <= 20; r++) {
      p[r] = r;
      q[r] = RoundInt(rnd() * 100) < 50 ? RoundInt(rnd() * 100) : 0;
    }
    for (int s = 0; s < 500; s++) {
      int32_t x = CInt(RuntimeRound(rnd() * 19) + 1);
      int32_t y = CInt(RuntimeRound(rnd() * 19) + 1);
      int32_t v = p[x];
      p[x] = p[y];
      p[y] = v;
    }
    for (int turn = 0; turn < 5; turn++) {
      int32_t first = p[1];
      for (int r = 1; r < 20; r++) p[r] = p[r + 1];
      p[20] = first;
    }
    for (int r = 1; r <= 20; r++) Put7(line + 7 * (r - 1), p[r]);
    for (int r = 1; r <= 20; r++) Put7(line + 7 * (19 + r), q[r]);
    file.WriteLine(line, sizeof line);
    if (Stopped()) return false;
  }
  if (!file.Close()) {
    ReportNotCreated(MV_LIT("k2.dat"), true);
    return false;
  }
  return true;
}

bool GenerateComponent3(int32_t n3, int32_t limit) {
  KeyFile file(MV_LIT("k3.bin"));
  if (!file.ok()) {
    ReportNotCreated(MV_LIT("k3.bin"), false);
    return false;
  }
  // Direction flags (a), periods (b, c), shifts (d) and seeds (s) are created once: a flag
  // once set stays set in every later entry.
  int32_t a[21] = {0}, b[21] = {0}, c[21] = {0}, d[21] = {0}, s[11] = {0};
  char line[91 * 3];
  for (int32_t e = 1; e <= n3; e++) {
    for (int r = 1; r <= 20; r++)
      if (rnd() * 50 < 25) a[r] = 1;
    for (int r = 1; r <= 20; r++) {
      b[r] = CInt(RuntimeRound(10 * rnd()) + 1);
      c[r] = CInt(RuntimeRound(10 * rnd()) + 1);
      d[r] = CInt(RuntimeRound(10 * rnd()) + 1);
    }
    if (limit != 0)
      for (int j = 1; j <= 10; j++) s[j] = CInt(RuntimeRound(limit * rnd()) + 1);
    int32_t z = CInt(RuntimeRound(rnd() * 100) + 1);
    char* o = line;
    for (int r = 1; r <= 20; r++) o += Put3(o, a[r]);
    for (int r = 1; r <= 20; r++) o += Put3(o, b[r]);
    for (int r = 1; r <= 20; r++) o += Put3(o, c[r]);
    for (int r = 1; r <= 20; r++) o += Put3(o, d[r]);
    for (int j = 1; j <= 10; j++) o += Put3(o, s[j]);
    o += Put3(o, z);
    file.WriteLine(line, static_cast<int>(o - line));
    if (Stopped()) return false;
  }
  if (!file.Close()) {
    ReportNotCreated(MV_LIT("k3.bin"), true);
    return false;
  }
  return true;
}

// The generator is warmed up by as many draws as the clock's hour x minute x second.
void WarmUpRandom() {
  MVObject* now = RuntimeNewDate();
  int32_t draws = DateHourGetter(now) * DateMinuteGetter(now) * DateSecondGetter(now);
  RuntimeUnlockObject(now);
  for (int32_t i = 0; i < draws; i++) rnd();
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

void ReportMissing(MVString* name) {
  Print(Str::Borrow(MV_LIT("System file ")) + name + MV_LIT(" is missing."));
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

// Copies the set of a system with n1 entries from names fromPrefix + file to toPrefix +
// file ("sys.dat" last). Every missing or failed file is reported; false if any was.
bool CopySet(MVString* fromPrefix, MVString* toPrefix, int32_t n1, bool stopAtFirstFailure) {
  bool ok = true;
  for (int32_t i = 1; i <= n1 + 3 && (ok || !stopAtFirstFailure); i++) {
    if (Stopped()) return false;  // interrupted: the copies made so far are whole files
    Str name = SetFileName(i, n1);
    Str from = Str::Borrow(fromPrefix) + name;
    Str to = Str::Borrow(toPrefix) + name;
    if (!FileExists(from.get())) {
      ReportMissing(from.get());
      ok = false;
    } else if (!CopyOne(from.get(), to.get())) {
      if (Stopped()) return false;
      ReportCopyFailed(from.get(), to.get());
      ok = false;
    }
  }
  return ok;
}

// True when both files exist and hold the same bytes.
bool SameContent(MVString* a, MVString* b) {
  MVFolderItem* fa = GetFolderItem(a);
  MVFolderItem* fb = GetFolderItem(b);
  bool same = fa && fb && fileExistsGetter(fa) && fileExistsGetter(fb) &&
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

// Every file of the set at prefix holds what the application folder's copy holds.
bool SetVerified(MVString* prefix, int32_t n1) {
  for (int32_t i = 1; i <= n1 + 3; i++) {
    Str name = SetFileName(i, n1);
    Str copy = Str::Borrow(prefix) + name;
    if (!SameContent(name.get(), copy.get())) return false;
  }
  return true;
}

// Deletes the application folder's system with n1 entries, announcing each component.
void DeleteSystem(int32_t n1, bool announce) {
  if (announce) PRINT("Killing Component 1...");
  for (int32_t i = 1; i <= n1; i++) DeleteFile(EntryFileName(i).get());
  if (announce) PRINT("Killing Component 2...");
  DeleteFile(MV_LIT("k2.dat"));
  if (announce) PRINT("Killing Component 3...");
  DeleteFile(MV_LIT("k3.bin"));
  DeleteFile(MV_LIT("sys.dat"));
}

}  // namespace

// --- Commands -------------------------------------------------------------------------

void App_CreateSys(MVObject* self) {
  if (Same(CommandLine, MV_LIT("createsys"))) {
    PRINT("Parameters missing error.  Enter help c");
    PRINT(" ");
    return;
  }
  if (FileExists(MV_LIT("sys.dat"))) {
    PRINT("A System is currently in place.  Please issue transsys command");
    PRINT("then killsys command then you can create a new system.");
    return;
  }
  App_GetParameters(self);
  if (ParamIndex != 4) {
    PRINT("Missing Parameters error.  Enter Help C");
    return;
  }
  Str p1 = GetParam(1), p2 = GetParam(2), p3 = GetParam(3), p4 = GetParam(4);
  if (Val(p1) == 0) {
    PRINT("Numeric Parameter required for component 1 error.");
    return;
  }
  if (Val(p2) == 0) {
    PRINT("Numeric Parameter required for component 2 error.");
    return;
  }
  if (Val(p3) == 0) {
    PRINT("Numeric Parameter required for component 3 error.");
    return;
  }
  int32_t limit;
  if (Same(p4.get(), MV_LIT("l")))
    limit = 10;
  else if (Same(p4.get(), MV_LIT("m")))
    limit = 50;
  else if (Same(p4.get(), MV_LIT("h")))
    limit = 99;
  else if (Same(p4.get(), MV_LIT("n")))
    limit = 0;
  else {
    PRINT("Missing or invalid expansion param error.");
    return;
  }
  Comp1Count = CInt(Val(p1));
  Comp2Count = CInt(Val(p2));
  Comp3Count = CInt(Val(p3));
  WarmUpRandom();

  int32_t n1 = CInt(Val(p1));
  if (!ScriptMode) {
    PRINT("Generating Key Component 1");
    PRINT("This might take awhile...");
  }
  // What this run has put in place, removed again if it does not complete.
  int32_t written1 = 0;
  bool written2 = false, written3 = false;
  RuntimeProgressBegin(n1, kMVProgressKeyFiles);
  bool ok = GenerateComponent1(n1, &written1);
  RuntimeProgressEnd();
  if (ok && !ScriptMode) PRINT(" ");
  if (ok && !ScriptMode) PRINT("Generating Key Component 2");
  ok = ok && (written2 = GenerateComponent2(CInt(Val(p2))));
  if (ok && !ScriptMode) PRINT("Generating Key Component 3");
  ok = ok && (written3 = GenerateComponent3(CInt(Val(p3)), limit));
  if (ok && Stopped()) ok = false;
  if (ok) {
    KeyFile sys(MV_LIT("sys.dat"));
    Str count = StrOf(n1);
    ok = sys.ok();
    if (ok) sys.WriteLine(reinterpret_cast<const char*>(count.bytes()), count.length());
    if (!sys.Close()) {
      ReportNotCreated(MV_LIT("sys.dat"), ok);
      ok = false;
    }
  }
  if (!ok) {
    for (int32_t n = 1; n <= written1; n++) DeleteFile(EntryFileName(n).get());
    if (written2) DeleteFile(MV_LIT("k2.dat"));
    if (written3) DeleteFile(MV_LIT("k3.bin"));
    Comp1Count = Comp2Count = Comp3Count = 0;
    return;
  }
  if (!ScriptMode) {
    PRINT("System Created.");
    PRINT(" ");
  }
}

void App_GetSystemData(MVObject*, MVString* prefix) {
  Str sysdat = Str::Borrow(prefix) + MV_LIT("sys.dat");
  int32_t n1 = 0;
  if (!ReadEntryCount(sysdat.get(), &n1)) {
    Comp1Count = Comp2Count = Comp3Count = 0;
    return;
  }
  Comp1Count = n1;
  // A missing component file counts as an empty component.
  CountLines((Str::Borrow(prefix) + MV_LIT("k2.dat")).get(), &Comp2Count, nullptr);
  CountLines((Str::Borrow(prefix) + MV_LIT("k3.bin")).get(), &Comp3Count, nullptr);
}

void App_SystemData(MVObject*, int32_t mode) {
  int32_t n1 = 0;
  if (!ReadEntryCount(MV_LIT("sys.dat"), &n1)) {
    if (mode == 1) PRINT("A System is not loaded.  Please issue ressys or createsys.");
    Comp1Count = Comp2Count = Comp3Count = 0;
    return;
  }
  Comp1Count = n1;
  Comp2Count = Comp3Count = 0;
  if (mode == 1) PRINT("Examining System...");
  int64_t s1 = static_cast<int64_t>(Comp1Count) * 15360, s2 = 0, s3 = 0;
  bool have2 = CountLines(MV_LIT("k2.dat"), &Comp2Count, &s2);
  bool have3 = CountLines(MV_LIT("k3.bin"), &Comp3Count, &s3);
  if (mode != 1) return;
  if (!have2) PRINT("Key component 2 file k2.dat is missing: counted as empty.");
  if (!have3) PRINT("Key component 3 file k3.bin is missing: counted as empty.");
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

void App_KillSys(MVObject*, int32_t mode) {
  int32_t n1 = 0;
  if (!ReadEntryCount(MV_LIT("sys.dat"), &n1)) {
    if (mode == 1) {
      PRINT("A System is not loaded.  Please issue ressys or createsys.");
      return;
    }
    n1 = 0;
  }
  DeleteSystem(n1, mode == 1);
  if (mode == 1) {
    PRINT("=== System Deleted ===");
    PRINT("createsys or ressys required for future cryptions.");
    PRINT(" ");
  }
  Comp1Count = Comp2Count = Comp3Count = 0;
}

void App_RestoreSys(MVObject* self) {
  if (Same(CommandLine, MV_LIT("ressys"))) {
    PRINT("Parameters missing error.  Enter help r");
    PRINT(" ");
    return;
  }
  App_GetParameters(self);
  Str prefix = FolderPrefix();
  int32_t n1 = 0;
  if (!ReadEntryCount((prefix + MV_LIT("sys.dat")).get(), &n1)) {
    PRINT("A System is not currently in place in the folder defined error.");
    return;
  }
  if (FileExists(MV_LIT("sys.dat"))) {
    PRINT("A System is currently in place.  Issue transsys and/or killsys.");
    return;
  }
  if (!ScriptMode) PRINT("Restoring system files...");
  // Nothing is copied unless the whole set is there; "sys.dat" comes last, so a restore
  // that fails part way leaves no system marked as installed.
  bool complete = true;
  for (int32_t i = 1; i <= n1 + 2; i++) {
    Str name = SetFileName(i, n1);
    Str from = prefix + name;
    if (!FileExists(from.get())) {
      ReportMissing(from.get());
      complete = false;
    }
  }
  if (!complete || !CopySet(prefix.get(), nullptr, n1, true)) {
    PRINT("The system was not restored.");
    return;
  }
  App_SystemData(self, 0);
  if (!ScriptMode) {
    PRINT("=== Restore completed ===");
    PRINT(" ");
  }
}

// The shared first steps of transsys and transkill: checks, then the copy. Returns
// whether the copy was made completely; *n1 and *prefix describe it.
static bool Transfer(MVObject* self, MVString* word, int32_t* n1, Str* prefix) {
  if (Same(CommandLine, word)) {
    PRINT("Parameters missing error.  Enter help t");
    PRINT(" ");
    return false;
  }
  if (!ReadEntryCount(MV_LIT("sys.dat"), n1)) {
    PRINT("A System is not loaded.  Please issue ressys or createsys.");
    return false;
  }
  App_GetParameters(self);
  *prefix = FolderPrefix();
  if (!ScriptMode) PRINT("Copying system files...");
  if (!CopySet(nullptr, prefix->get(), *n1, false)) return false;
  if (!ScriptMode) {
    PRINT("=== Copy completed ===");
    PRINT(" ");
  }
  return true;
}

void App_TransferSys(MVObject* self) {
  int32_t n1 = 0;
  Str prefix;
  Transfer(self, MV_LIT("transsys"), &n1, &prefix);
}

void App_TransKill(MVObject* self) {
  int32_t n1 = 0;
  Str prefix;
  bool copied = Transfer(self, MV_LIT("transkill"), &n1, &prefix);
  if (prefix.empty() && !copied) return;  // refused before copying
  if (!copied || !SetVerified(prefix.get(), n1)) {
    PRINT("The copy could not be verified.  The system was not deleted.");
    return;
  }
  if (!ReadEntryCount(MV_LIT("sys.dat"), &n1)) {
    PRINT("A System is not loaded.  Please issue ressys or createsys.");
    return;
  }
  DeleteSystem(n1, true);
  if (!ScriptMode) {
    PRINT("=== System Deleted ===");
    PRINT("createsys or ressys required for future cryptions.");
    PRINT(" ");
  }
  Comp1Count = Comp2Count = Comp3Count = 0;
}
