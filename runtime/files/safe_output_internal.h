// The safe output path's record, for the file layer and the plug-in host (C++ only).
#pragma once
#include "runtime/runtime_only.h"
#include <sys/types.h>

#include <string>

#include "runtime/files/safe_output.h"

// n letters and digits drawn at random (n <= 16), for names of new files.
std::string MVRandomLetters(size_t n);

// Removes the file at `path` when it is a regular file of this user that no open file
// holds locked (its writer, which held the lock for as long as it lived, is gone) and
// the name still gives the file that was looked at. Never follows a link.
void MVRemoveIfUnheld(const std::string& path);

// An output being written. `newMode` is the permission of a destination that does not
// exist yet (the umask is applied).
class MVSafeOutput {
 public:
  // nullptr with *error set (an errno value or kMVErrorProtectedFile) when the output
  // cannot be started.
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
  std::string final_;      // the file the destination name resolves to
  std::string temporary_;  // empty for a direct or unnamed output, or once it is gone
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
