// The key files: the layout of their lines, written by createsys and read by the cipher
// from this one definition; their names; opening them without waiting on anything that
// is not a plain file; and the lock that keeps two processes from changing one key
// system at the same time.
#pragma once
#include "app/rt.h"
#include "app/util.h"

namespace keyfile {

// --- Line layouts. Every field is a fixed-width, zero-padded decimal number.

// A value range, both ends included.
struct Range {
  int32_t min, max;
};

// Component 1 entry file "K1<n>.bin": 20 lines, each one substitution table of 256
// fields, a permutation of 0..255.
constexpr int kTableLines = 20;
constexpr int kTableFields = 256;
constexpr int kTableWidth = 3;
constexpr Range kTableValue{0, 255};

// "k2.dat", one line per entry: the slot map (field r names the table line that goes
// into slot r; the 20 fields are a permutation of 1..20), then 20 numbers 0..100 that
// the cipher does not use.
constexpr int kSlots = 20;
constexpr int kK2Width = 7;
constexpr Range kSlotLine{1, kTableLines};
constexpr int kK2SpareFields = 20;
constexpr Range kK2Spare{0, 100};

// "k3.bin", one line per entry: 20 direction flags, 20 phase-0 periods, 20 phase-1
// periods, 20 shifts, 10 expansion seeds, and a final number the cipher does not use.
constexpr int kK3Width = 3;
constexpr int kSeeds = 10;
constexpr Range kDirection{0, 1};
constexpr Range kPeriod{1, 11};
constexpr Range kShift{1, 11};
constexpr Range kSeed{0, 100};
constexpr Range kK3Final{1, 101};

constexpr int kTableLineLength = kTableFields * kTableWidth;
constexpr int kK2LineLength = (kSlots + kK2SpareFields) * kK2Width;
constexpr int kK3LineLength = (4 * kSlots + kSeeds + 1) * kK3Width;

// One entry of "k3.bin". `final` is written by createsys and never read.
struct StepEntry {
  int32_t direction[kSlots];
  int32_t period0[kSlots];
  int32_t period1[kSlots];
  int32_t shift[kSlots];
  int32_t seed[kSeeds];
  int32_t final;
};

// Writing. Each fills `out` (room for the line's length) and returns the characters
// written.
int FormatTable(char* out, const uint8_t* values);                      // values[0..255]
int FormatSlotEntry(char* out, const int32_t* map, const int32_t* spare);  // [0..19] each
int FormatStepEntry(char* out, const StepEntry& e);

// Reading: the fields the cipher uses, checked against the layout above. False when the
// line is too short for them, a field is not all digits or out of its range, or a
// permutation is not one. Characters after those fields are not looked at.
bool ParseTable(const Str& line, uint8_t* values);   // values[0..255]
bool ParseSlotMap(const Str& line, int32_t* map);    // map[0..19]
bool ParseStepEntry(const Str& line, StepEntry* e);  // all but `final`

// --- Names.

// "K1" + n + ".bin", n in decimal.
Str EntryFileName(int64_t n);
// n of an entry file name "K1<n>.bin" (n written without leading zeros, 1 or more, at
// most 2^31 - 1), or 0 when the name is not of that form.
int32_t EntryNumberOf(MVString* name);
// True when `item` names a file of the installed key system by its name: "sys.dat",
// "k2.dat", "k3.bin", or the entry file of an entry 1..n1, in the application folder.
// Decided from the name, whatever the count.
bool NamesKeyFile(MVFolderItem* item, int32_t n1);
// The application folder as an item (owned).
MVFolderItem* ApplicationFolder();

// --- Opening.

// True when the name is an existing regular file.
bool IsRegularFile(MVString* name);
// The key file `name` as a text stream (owned), or NULL when it is missing, is no regular
// file (a FIFO, a device or a folder counts as damaged and is never opened), or cannot
// be opened.
MVTextInputStream* Open(MVString* name);
void Close(MVTextInputStream* in);

// --- The lock of the application folder's key system.

// Commands that create, restore or delete key files hold it exclusively; commands that
// only read them hold it shared. It is an advisory lock on the application folder,
// tried once and never waited for: a command that finds it held by another process is
// refused with one line. Where the file system keeps no locks, commands go on without.
// A command run by a command that holds the lock already (same process) shares that
// hold.
class Lock {
 public:
  enum Mode { kNone, kShared, kExclusive };  // kNone: nothing is taken
  explicit Lock(Mode mode);
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  // False when refused (the reason has been printed).
  bool held() const { return held_; }

 private:
  bool held_;
  bool taken_;  // a share of the process's hold was taken
};

}  // namespace keyfile
