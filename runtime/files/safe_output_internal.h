// The safe output path's record, for the file layer and the plug-in host (C++ only).
#pragma once
#include "runtime/runtime_only.h"
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include "runtime/files/safe_output.h"

// n letters and digits drawn at random (n <= 16), for names of new files.
std::string MVRandomLetters(size_t n);

// Removes the file `name` in the folder `folder` (a descriptor) when it is a regular
// file of this user that no open file holds locked (its writer, which held the lock for
// as long as it lived, is gone) and the name still gives the file that was looked at.
// Never follows a link. MVRemoveIfUnheld takes a path.
void MVRemoveIfUnheldAt(int folder, const std::string& name);
void MVRemoveIfUnheld(const std::string& path);

// A new temporary file for `name` in the folder `folder` (a descriptor):
// "<name>.XXXXXX.part", created exclusively and never through a link, mode 0600, locked
// for as long as it is open, after the stale ones of killed writers are removed. Its
// descriptor (read and write) and name, or -1 with *error set.
int MVCreatePart(int folder, const std::string& name, std::string* temporary, int* error);

// The file an output for a path writes: the path resolved once, every symbolic link
// followed, into a descriptor of the folder that holds it and its name there, with what
// was at that name then (never a symbolic link, unless throughLink).
struct MVOutputTarget {
  int folder = -1;           // O_PATH descriptor of the folder (owned)
  std::string name;          // the file's name in it
  bool exists = false;       // st is set
  bool throughLink = false;  // a link of /proc to an open pipe, terminal or device: st is
                             // what it leads to, and it is opened through the link
  struct stat st;
  MVOutputTarget() = default;
  MVOutputTarget(const MVOutputTarget&) = delete;
  MVOutputTarget& operator=(const MVOutputTarget&) = delete;
  ~MVOutputTarget();
};
// 0, or the errno value of the step that failed (ELOOP for too many links, EISDIR for a
// name that can only be a folder).
int MVResolveOutput(const std::string& path, MVOutputTarget* t);
// Why a file may not be written: kMVErrorProtectedFile, kMVErrorGuardedFile, or 0.
int MVRefusalOf(const struct stat& st);
int MVRefusalOfDescriptor(int fd);
// Guards the regular file open under the descriptor (RuntimeGuardFile).
void MVGuardDescriptor(int fd);

// An output being written. `newMode` is the permission of a destination that does not
// exist yet (the umask is applied).
class MVSafeOutput {
 public:
  // nullptr with *error set (an errno value, kMVErrorProtectedFile or
  // kMVErrorGuardedFile) when the output cannot be started.
  static MVSafeOutput* Begin(const char* path, mode_t newMode, int flags, int* error);
  int fd() const { return fd_; }
  bool direct() const { return mode_ == kDirect; }
  // Puts the complete output in place; 0, or the errno of the failing step (the
  // destination is then as it was). The descriptor stays open; the caller closes it.
  int Commit();
  // Removes what was written (nothing for a direct output).
  void Discard();
  // Frees the record (after Commit or Discard, once the descriptor is closed).
  static void Destroy(MVSafeOutput* o);

 private:
  enum Mode { kNew, kReplace, kInPlace, kDirect };
  MVSafeOutput() = default;
  int LockInPlace();
  int CopyInPlace();
  void Unlink();

  Mode mode_ = kNew;
  int fd_ = -1;
  int flags_ = 0;
  mode_t newMode_ = 0;
  int folder_ = -1;        // the folder of the file the destination resolves to (owned)
  std::string name_;       // the file's name there
  std::string temporary_;  // a name in folder_: empty for a direct or unnamed output, or
                           // once it is gone
  int lockFd_ = -1;        // holds the in-place update's lock on the destination
  dev_t device_ = 0;           // the existing destination
  ino_t inode_ = 0;
  uid_t owner_ = 0;
  gid_t group_ = 0;
  mode_t permissions_ = 0;
  bool abandoned_ = false;
  MVSafeOutput* next_ = nullptr;  // outputs being written
  friend void MVAbandonSafeOutputs(void);
};
