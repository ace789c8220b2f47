// The files of enc and dec: an owned FolderItem, and the destination written through the
// runtime's safe output path.
#pragma once
#include "app/rt.h"
#include "app/util.h"

// An owned FolderItem reference.
class Item : public Obj {
 public:
  using Obj::Obj;
  bool exists() const { return get() && fileExistsGetter(get()); }
  uint64_t length() const { return get() ? fileSizeGetter(get()) : 0; }
  bool folder() const { return get() && FolderItemIsFolder(get()); }
  bool regular() const { return get() && FolderItemIsRegularFile(get()); }
};

// Both name one file that is there.
bool SameFile(const Item& a, const Item& b);

// The error of a destination refused because it is a terminal (no system error number).
constexpr int32_t kTerminalTarget = -1;

// The destination, written through the runtime's safe output path: nothing at the
// destination changes until the complete output is committed. Whatever it opened is
// none of the files the command guards, and, where cipher text is refused at a terminal,
// no terminal.
class Target {
 public:
  Target() : error_(0) {}
  ~Target() { Discard(); }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  // Opens the destination (standard output for "-" in the argument form); false when it
  // could not be opened or was refused (error() tells why).
  bool Open(MVString* destination, bool refuseTerminal);
  MVBinaryStream* stream() const { return out_.get(); }
  // The system's error number of a failed open or commit (0: none known), or a refusal:
  // kTerminalTarget, kMVErrorProtectedFile, kMVErrorGuardedFile, kMVErrorOutputBusy.
  int32_t error() const { return error_; }
  // Puts the complete output in place; false on any failure (nothing then changed).
  bool Commit();
  // Drops the output: the destination stays as it was.
  void Discard();

 private:
  Obj out_;
  int32_t error_;
};
