// The parts of the key-system commands (app/keysys.cpp), by concern: the set's files
// (app/keysys_files.cpp), generation (app/keysys_generate.cpp), copies
// (app/keysys_copy.cpp) and deletion (app/keysys_delete.cpp).
//
// A key system is "sys.dat" (entries of component 1), one "K1<n>.bin" per entry of
// component 1 (20 substitution tables), "k2.dat" (slot maps) and "k3.bin" (stepping
// parameters and expansion seeds), all beside the program. "sys.dat" is written last
// and deleted last: it marks a complete system.
#pragma once
#include "app/App.h"
#include "app/keyfiles.h"
#include "app/util.h"

namespace keysys {

using keyfile::EntryFileName;

// --- The set's files (app/keysys_files.cpp).

// Decimal text of a 64-bit value (StringStrInt32 covers only 32 bits).
Str StrOf64(int64_t v);
// File i (1 .. n1 + 3) of the set of a system with n1 >= 0 entries, in copying order:
// the entry files, "k2.dat", "k3.bin", then "sys.dat".
Str SetFileName(int64_t i, int64_t n1);
// The refusal of a set to copy whose "sys.dat" (at prefix) holds no count.
void RefuseUncounted(MVString* prefix);
// The numbers 1..upTo whose entry files are in the application folder, ascending: an
// integer array (owned) and its element count, or nil when the folder cannot be listed.
// It is as long as the folder's listing, whatever upTo is.
MVArray* PresentEntries(int64_t upTo, int32_t* count);
// The lowest number above n1 whose entry file is in the application folder, or 0.
int32_t FirstEntryBeyond(int64_t n1);
// Counts the lines of a key file and, when chars is given, their characters (line ends
// not included). False when the file cannot be opened (or is no regular file).
bool CountLines(MVString* name, int32_t* lines, int64_t* chars);
// Deletes the directory entry `name` (a link itself, never what it points to); false
// when it could not be removed.
bool DeleteFile(MVString* name);
// The folder new key files are written to: nil for their own place, or the staging
// folder while createsys builds a set.
extern MVString* gWriteFolder;
// Removes the staging folder and what it holds (left by a createsys that failed or was
// killed; only createsys, under the exclusive lock, writes there).
void RemoveStaging();
// Moves the staged set of a system with n1 entries into place, "sys.dat" last. False
// after one line naming the file that could not be moved.
bool MoveStagedSet(int64_t n1);
// A key file being written: readable and writable by its owner only, and in place only
// once it is complete (an interrupted or failed one leaves nothing behind).
class KeyFile {
 public:
  explicit KeyFile(MVString* name);  // in gWriteFolder
  ~KeyFile();
  KeyFile(const KeyFile&) = delete;
  KeyFile& operator=(const KeyFile&) = delete;
  bool ok() const { return out_.get() != nullptr; }
  void WriteLine(const char* text, int n);
  // Puts the complete file in place; false when any write or the close failed.
  bool Close();
  MVString* name() const { return name_.get(); }

 private:
  Str name_;
  Obj out_;  // the stream being written
};

void ReportNotCreated(MVString* name, bool created);
void ReportNoRandomBytes();
// The user interrupted the command, or the program is ending.
bool Stopped();

// --- Generation (app/keysys_generate.cpp). Every draw comes from the command's stream of
// the system's random source; each is false after its one line when a file could not be
// written, or when the command was stopped.

// Writes K11.bin .. K1<n1>.bin; *written counts the files put in place.
bool GenerateComponent1(int32_t n1, int32_t* written);
bool GenerateComponent2(int32_t n2);
// limit: the expansion level's seed range limit (0, or 10, 50, 99: seeds 1 .. limit + 1).
bool GenerateComponent3(int32_t n3, int32_t limit);

// --- Copies (app/keysys_copy.cpp).

// The folder parameter as a name prefix: Params(1), with a "/" appended unless it ends in one.
Str FolderPrefix();
// Tests that the set of a system with n1 entries at prefix is complete: every file there
// and a regular file, none a symbolic link. The walk ends at the first file that is not,
// so however large n1 is, it never goes past the files that are really there. When one
// is missing or odd, prints one line naming it and gives false.
bool CheckComplete(MVString* prefix, int64_t n1);
// Tests that no file of the set at prefix is something other than a regular file (a
// FIFO, a device, a folder) or a symbolic link: a copy onto one could wait forever or
// land elsewhere. Nor may it be a file of the set being copied (at fromPrefix) under
// another name: the copy would overwrite the key it copies. Only called for a set found
// complete, so the walk is bounded by real files.
bool CheckReplaceable(MVString* prefix, MVString* fromPrefix, int64_t n1);
// A copy of the complete set of a system with n1 entries from the folder fromPrefix to
// the folder toPrefix (nil: the application folder), through the runtime's folder copy
// (runtime/files/folder_copy.h): each folder resolved once, every file read never
// through a link, written as a new file, synced, verified through the descriptors it was
// written and read by, and put in place by its name in one step, "sys.dat" last.
class SetCopy {
 public:
  SetCopy() : copy_(0), n1_(0) {}
  ~SetCopy() { RuntimeCopyEnd(copy_); }
  SetCopy(const SetCopy&) = delete;
  SetCopy& operator=(const SetCopy&) = delete;
  // Stops at the first file that could not be copied, reporting it; false then.
  bool Run(MVString* fromPrefix, MVString* toPrefix, int64_t n1);
  // Every file copied is still in place on both sides and holds the same bytes.
  bool Verified() const;
  int32_t handle() const { return copy_; }

 private:
  int32_t copy_;
  int64_t n1_;
};

// --- Deletion (app/keysys_delete.cpp).

// Every entry file there is, whatever a count says.
constexpr int64_t kAllEntries = 0x7FFFFFFF;
// Deletes the application folder's system, announcing each component: the entry files
// 1..upTo that are there, in ascending order, then "k2.dat", "k3.bin" and "sys.dat".
// With a copy (a SetCopy's handle) only the files that copy read, each only while its
// name still gives that file; without one (0) whatever the names give (a link itself,
// never what it points to). Returns false, after one line naming the first file that
// could not be deleted, when a file is still there ("sys.dat" is then kept, so the rest
// is still known as a system).
bool DeleteSystem(int64_t upTo, bool announce, int32_t copy);

}  // namespace keysys
