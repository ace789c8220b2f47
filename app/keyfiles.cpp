#include "app/keyfiles.h"

namespace keyfile {

namespace {

// The names, as the file system sees them.
#define KEYFILE_SYSTEM "sys.dat"
#define KEYFILE_SLOT_MAP "k2.dat"
#define KEYFILE_STEP "k3.bin"
#define KEYFILE_STAGING ".ombrix-createsys/"
#define KEYFILE_ENTRY_HEAD "K1"
#define KEYFILE_ENTRY_TAIL ".bin"
constexpr uint32_t kEntryHead = sizeof KEYFILE_ENTRY_HEAD - 1;
constexpr uint32_t kEntryTail = sizeof KEYFILE_ENTRY_TAIL - 1;

// --- Fields.

// The field of v: its decimal text left-padded with "0" to `width` characters; of a
// longer text only the rightmost `width` characters. Returns `width`.
int PutField(char* out, int32_t v, int width) {
  char text[16];
  int n = 0;
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  char digits[12];
  int d = 0;
  do {
    digits[d++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) text[n++] = '-';
  while (d) text[n++] = digits[--d];
  int pad = width > n ? width - n : 0;
  for (int i = 0; i < pad; i++) out[i] = '0';
  for (int i = pad; i < width; i++) out[i] = text[n - (width - i)];
  return width;
}

int PutFields(char* out, const int32_t* v, int count, int width) {
  int n = 0;
  for (int i = 0; i < count; i++) n += PutField(out + n, v[i], width);
  return n;
}

// Reads fields of `width` digits from a line. Every read is bounds-checked against the
// line's length; a field that is not all ASCII digits, or out of range, fails.
class FieldReader {
 public:
  explicit FieldReader(const Str& line) : b_(line.bytes()), n_(line.length()), pos_(0), ok_(true) {}
  int32_t Next(int width, Range range) {
    if (!ok_ || n_ < pos_ + static_cast<uint32_t>(width)) {
      ok_ = false;
      return 0;
    }
    int32_t v = 0;
    for (int i = 0; i < width; i++) {
      uint8_t c = b_[pos_ + i];
      if (c < '0' || c > '9') ok_ = false;
      v = v * 10 + (c - '0');
    }
    pos_ += width;
    if (ok_ && (v < range.min || v > range.max)) ok_ = false;
    return ok_ ? v : 0;
  }
  void Fill(int32_t* out, int count, int width, Range range) {
    for (int i = 0; i < count; i++) out[i] = Next(width, range);
  }
  bool ok() const { return ok_; }

 private:
  const uint8_t* b_;
  uint32_t n_;
  uint32_t pos_;
  bool ok_;
};

// The `count` values, each within `range`, are all different. With count equal to the
// size of the range that makes them a permutation of it.
bool AllDifferent(const int32_t* v, int count, Range range) {
  bool seen[256] = {};
  if (range.max - range.min >= 256) return false;
  for (int i = 0; i < count; i++) {
    int32_t k = v[i] - range.min;
    if (seen[k]) return false;
    seen[k] = true;
  }
  return true;
}

static_assert(kTableValue.max - kTableValue.min + 1 == kTableFields, "a table is a permutation");
static_assert(kSlotLine.max - kSlotLine.min + 1 == kSlots, "a slot map is a permutation");

// Bytes of a runtime string as seen by the file system.
bool BytesEqual(const uint8_t* a, uint32_t n, const char* text) {
  uint32_t i = 0;
  for (; i < n && text[i]; i++)
    if (a[i] != static_cast<uint8_t>(text[i])) return false;
  return i == n && text[i] == 0;
}

// "sys.dat", "k2.dat", "k3.bin" or an entry file name.
bool IsSetName(MVString* name) {
  const uint8_t* b = MVStringBytes(name);
  uint32_t n = MVStringLength(name);
  return BytesEqual(b, n, KEYFILE_SYSTEM) || BytesEqual(b, n, KEYFILE_SLOT_MAP) ||
         BytesEqual(b, n, KEYFILE_STEP) || EntryNumberOf(name) > 0;
}

bool SameFileAs(MVFolderItem* item, MVString* name) {
  Obj other(GetFolderItem(name));
  return other.get() && FolderItemSameFile(item, other.get());
}

}  // namespace

// --- Writing.

int FormatTable(char* out, const uint8_t* values) {
  int n = 0;
  for (int k = 0; k < kTableFields; k++) n += PutField(out + n, values[k], kTableWidth);
  return n;
}

int FormatSlotEntry(char* out, const int32_t* map, const int32_t* spare) {
  int n = PutFields(out, map, kSlots, kK2Width);
  return n + PutFields(out + n, spare, kK2SpareFields, kK2Width);
}

int FormatStepEntry(char* out, const StepEntry& e) {
  int n = PutFields(out, e.direction, kSlots, kK3Width);
  n += PutFields(out + n, e.period0, kSlots, kK3Width);
  n += PutFields(out + n, e.period1, kSlots, kK3Width);
  n += PutFields(out + n, e.shift, kSlots, kK3Width);
  n += PutFields(out + n, e.seed, kSeeds, kK3Width);
  return n + PutField(out + n, e.final, kK3Width);
}

// --- Reading.

bool ParseTable(const Str& line, uint8_t* values) {
  int32_t v[kTableFields];
  FieldReader r(line);
  r.Fill(v, kTableFields, kTableWidth, kTableValue);
  if (!r.ok() || !AllDifferent(v, kTableFields, kTableValue)) return false;
  for (int k = 0; k < kTableFields; k++) values[k] = static_cast<uint8_t>(v[k]);
  return true;
}

bool ParseSlotMap(const Str& line, int32_t* map) {
  FieldReader r(line);
  r.Fill(map, kSlots, kK2Width, kSlotLine);
  return r.ok() && AllDifferent(map, kSlots, kSlotLine);
}

bool ParseStepEntry(const Str& line, StepEntry* e) {
  FieldReader r(line);
  r.Fill(e->direction, kSlots, kK3Width, kDirection);
  r.Fill(e->period0, kSlots, kK3Width, kPeriod);
  r.Fill(e->period1, kSlots, kK3Width, kPeriod);
  r.Fill(e->shift, kSlots, kK3Width, kShift);
  r.Fill(e->seed, kSeeds, kK3Width, kSeed);
  e->final = 0;
  return r.ok();
}

// --- Names.

MVString* SystemFile() { return MV_LIT(KEYFILE_SYSTEM); }
MVString* SlotMapFile() { return MV_LIT(KEYFILE_SLOT_MAP); }
MVString* StepFile() { return MV_LIT(KEYFILE_STEP); }
MVString* StagingFolder() { return MV_LIT(KEYFILE_STAGING); }

Str EntryFileName(MVString* typed) {
  return Str::Borrow(MV_LIT(KEYFILE_ENTRY_HEAD)) + typed + MV_LIT(KEYFILE_ENTRY_TAIL);
}

Str EntryFileName(int64_t n) {
  char digits[24];
  int d = sizeof digits;
  uint64_t u = n < 0 ? 0 : static_cast<uint64_t>(n);
  do {
    digits[--d] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  Str number(MAVOBuildString(digits + d, static_cast<int32_t>(sizeof digits - d), kEncodingASCII));
  return EntryFileName(number.get());
}

int32_t EntryNumberOf(MVString* name) {
  const uint8_t* b = MVStringBytes(name);
  uint32_t n = MVStringLength(name);
  // The head, 1 to 10 digits, the tail.
  if (n < kEntryHead + 1 + kEntryTail || n > kEntryHead + 10 + kEntryTail) return 0;
  if (!BytesEqual(b, kEntryHead, KEYFILE_ENTRY_HEAD)) return 0;
  if (!BytesEqual(b + n - kEntryTail, kEntryTail, KEYFILE_ENTRY_TAIL)) return 0;
  if (b[kEntryHead] == '0') return 0;
  int64_t v = 0;
  for (uint32_t i = kEntryHead; i < n - kEntryTail; i++) {
    if (b[i] < '0' || b[i] > '9') return 0;
    v = v * 10 + (b[i] - '0');
  }
  return v <= 0x7FFFFFFF ? static_cast<int32_t>(v) : 0;
}

MVFolderItem* ApplicationFolder() { return GetFolderItem(MV_LIT("")); }

// Key file names are relative: they resolve in the folder relative names are taken in,
// which the names a user gives the argument form never reach (those are made absolute
// against the current folder first).
void UseChosenFolder() {
  Str folder(RuntimeKeyFolderOption());
  if (!folder.empty()) RuntimeSetBaseFolder(folder.get());
}

bool NamesKeyFile(MVFolderItem* item, int32_t n1) {
  if (!item) return false;
  Str path(FolderItemGetPath(item));
  const uint8_t* b = path.bytes();
  uint32_t n = path.length();
  uint32_t slash = n;
  while (slash > 0 && b[slash - 1] != '/') slash--;
  if (slash == 0 || slash == n) return false;  // no folder part, or a folder
  Str name(MAVOBuildString(b + slash, static_cast<int32_t>(n - slash), kEncodingUTF8));
  const uint8_t* nb = name.bytes();
  uint32_t nn = name.length();
  int32_t entry = EntryNumberOf(name.get());
  bool keyName = BytesEqual(nb, nn, KEYFILE_SYSTEM) || BytesEqual(nb, nn, KEYFILE_SLOT_MAP) ||
                 BytesEqual(nb, nn, KEYFILE_STEP) || (entry >= 1 && entry <= n1);
  if (!keyName) return false;
  Str folderPath(MAVOBuildString(b, static_cast<int32_t>(slash), kEncodingUTF8));
  Obj folder(GetFolderItem(folderPath.get()));
  Obj app(ApplicationFolder());
  return folder.get() && app.get() && FolderItemSameFile(folder.get(), app.get());
}

bool IsKeyFileOf(MVFolderItem* item, MVString* prefix) {
  if (!item || !fileExistsGetter(item)) return false;
  Str folderName = Str::Borrow(prefix);
  if (FolderItemLinkCount(item) <= 1) {
    // One name only: it is a key file only as the file of its own name in that folder.
    Str path(FolderItemGetPath(item));
    const uint8_t* b = path.bytes();
    uint32_t n = path.length(), slash = n;
    while (slash > 0 && b[slash - 1] != '/') slash--;
    Str name(MAVOBuildString(b + slash, static_cast<int32_t>(n - slash), kEncodingUTF8));
    if (!IsSetName(name.get())) return false;
    return SameFileAs(item, (folderName + name).get());
  }
  // Hard links: any file of the set may be this one, whatever its name here.
  if (SameFileAs(item, (folderName + SystemFile()).get()) ||
      SameFileAs(item, (folderName + SlotMapFile()).get()) ||
      SameFileAs(item, (folderName + StepFile()).get()))
    return true;
  Obj folder(GetFolderItem(folderName.empty() ? MV_LIT("") : folderName.get()));
  Arr names(folder.get() ? FolderItemChildNames(folder.get()) : nullptr);
  if (!names.get()) return false;
  bool same = false;
  for (int32_t i = 0; !same && i <= names.get()->upperBounds[0]; i++) {
    Str name = GetStr(names.get(), i);
    if (EntryNumberOf(name.get()) > 0) same = SameFileAs(item, (folderName + name).get());
  }
  return same;
}

// --- The count of entries.

Count ReadCount(MVString* sysdat, int32_t* n1) {
  if (!FileExists(sysdat)) return kNoSystem;
  MVTextInputStream* in = Open(sysdat);
  Str line(in ? TextInputStreamReadLine(in, nullptr) : nullptr);
  Close(in);
  const uint8_t* b = line.bytes();
  uint32_t n = line.length();
  if (n < 1 || n > 10) return kNoCount;
  int64_t v = 0;
  for (uint32_t i = 0; i < n; i++) {
    if (b[i] < '0' || b[i] > '9') return kNoCount;
    v = v * 10 + (b[i] - '0');
  }
  if (v < 1 || v > 0x7FFFFFFF) return kNoCount;
  *n1 = static_cast<int32_t>(v);
  return kCounted;
}

void RefuseNoCount(MVString* prefix, MVString* tail) {
  Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + prefix + SystemFile() +
        MV_LIT(" holds no entry count.") + tail);
}

// --- Outputs kept off the key files.

Guard::Guard() {
  RuntimeGuardFile(SystemFile());
  RuntimeGuardFile(SlotMapFile());
  RuntimeGuardFile(StepFile());
  Obj folder(ApplicationFolder());
  Arr names(folder.get() ? FolderItemChildNames(folder.get()) : nullptr);
  for (int32_t i = 0; names.get() && i <= names.get()->upperBounds[0]; i++) {
    Str name = GetStr(names.get(), i);
    if (EntryNumberOf(name.get()) > 0) RuntimeGuardFile(name.get());
  }
}

Guard::~Guard() { RuntimeClearGuards(); }

// --- The lock.

namespace {

int32_t gLockHandle;  // > 0 while this process holds the lock
int32_t gLockDepth;
bool gLockExclusive;

}  // namespace

Lock::Lock(Mode mode) : held_(false), taken_(false) {
  if (mode == kNone) {
    held_ = true;
    return;
  }
  bool exclusive = mode == kExclusive;
  if (gLockDepth > 0) {
    // Already held by a command of this process: enough unless more is asked for.
    if (exclusive && !gLockExclusive) {
      PRINT("The key system is in use and cannot be changed now.");
      return;
    }
    gLockDepth++;
    held_ = taken_ = true;
    return;
  }
  Obj folder(ApplicationFolder());
  int32_t handle = folder.get() ? FolderItemTryLock(folder.get(), exclusive) : -1;
  if (handle == 0) {
    PRINT("The key system is in use by another process.  Try again when it has finished.");
    return;
  }
  if (handle < 0) {
    // The folder cannot be opened (no read permission) or keeps no locks: a command run
    // unlocked could meet another one half way, so it is not run.
    PRINT("The key system cannot be locked, so the command was not run.");
    return;
  }
  gLockHandle = handle;
  gLockExclusive = exclusive;
  gLockDepth = 1;
  held_ = taken_ = true;
}

Lock::~Lock() {
  if (!taken_) return;
  if (--gLockDepth == 0) {
    RuntimeReleaseLock(gLockHandle);
    gLockHandle = 0;
  }
}

}  // namespace keyfile
