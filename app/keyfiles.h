// The key files: the layout of their lines (app/key_layout.h), written by createsys and
// read by the cipher from this one definition; their names; opening them without waiting
// on anything that is not a plain file; and the lock that keeps two processes from
// changing one key system at the same time.
#pragma once
#include "app/key_layout.h"
#include "app/rt.h"
#include "app/util.h"

namespace keyfile {

// --- Lines (layouts in app/key_layout.h).

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

// The files of a key system: "sys.dat" (the number of entries of component 1; a system
// is installed exactly when it exists), "k2.dat" (component 2), "k3.bin" (component 3),
// and one entry file per entry of component 1.
MVString* SystemFile();
MVString* SlotMapFile();
MVString* StepFile();
// The hidden folder beside the key files where createsys writes a new set before it
// moves the files into place (a folder name ending in "/").
MVString* StagingFolder();
// The entry file "K1" + n + ".bin": n in decimal, or the number's text exactly as typed
// (so entry "01" names "K101.bin").
Str EntryFileName(int64_t n);
Str EntryFileName(MVString* typed);
// n of an entry file name "K1<n>.bin" (n written without leading zeros, 1 or more, at
// most 2^31 - 1), or 0 when the name is not of that form.
int32_t EntryNumberOf(MVString* name);
// True when `item` names a file of the installed key system by its name: "sys.dat",
// "k2.dat", "k3.bin", or the entry file of an entry 1..n1, in the application folder.
// Decided from the name, whatever the count.
bool NamesKeyFile(MVFolderItem* item, int32_t n1);
// True when `item` is the same file (device and inode) as a file of the key system at
// `prefix` (a folder path ending in "/", or empty for the application folder):
// "sys.dat", "k2.dat", "k3.bin" or any entry file "K1<n>.bin" there, whatever its name
// and number of links. A file with one link is compared with its own name's file only;
// a hard-linked one with every file of the set present.
bool IsKeyFileOf(MVFolderItem* item, MVString* prefix);

// --- The count of entries: the first line of "sys.dat", read one way by every command.

enum Count {
  kNoSystem,  // no "sys.dat" there
  kNoCount,   // anything but 1 to 10 ASCII digits with a value of 1 to 2,147,483,647
  kCounted,   // *n1 holds the count
};
Count ReadCount(MVString* sysdat, int32_t* n1);
// The refusal of a "sys.dat" that holds no count: "The key system is damaged: " +
// prefix + "sys.dat holds no entry count." and `tail` (nil: nothing) after it.
void RefuseNoCount(MVString* prefix, MVString* tail);

// --- Outputs kept off the key files.

// For as long as it lives, no output of the program writes a file of the key system in
// use: "sys.dat", "k2.dat", "k3.bin" and every entry file its folder holds, each taken by
// what it is (by descriptor, a link not followed, and what a link leads to), so that
// no other name for it, and no name swapped in later, reaches it. Taken under the lock.
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};
// The application folder as an item (owned).
MVFolderItem* ApplicationFolder();
// The folder of the key system, where every key file is read, written, locked and
// deleted: the application folder, unless the argument form was given another one
// (--keys DIR or OMBRIX_KEYS), which this makes the folder for the rest of the run.
// Only the argument form calls it; the session keeps its keys in the application folder.
void UseChosenFolder();

// --- Opening.

// True when the name is an existing regular file.
bool IsRegularFile(MVString* name);
// The key file `name` as a text stream (owned), or NULL when it is missing, is no regular
// file (a FIFO, a device or a folder counts as damaged and is never opened), or cannot
// be opened.
MVTextInputStream* Open(MVString* name);
void Close(MVTextInputStream* in);
// The first key file of this run that is there but could not be opened or read: its
// path and the system's error number. False when there was none.
bool FirstUnreadable(Str* path, int32_t* error);
void ForgetUnreadable();

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
