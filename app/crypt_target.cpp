// The files of enc and dec (see crypt_target.h).
#include "app/crypt_target.h"

#include "app/args.h"

bool SameFile(const Item& a, const Item& b) {
  return a.exists() && b.exists() && FolderItemSameFile(a.get(), b.get());
}

bool Target::Open(MVString* destination, bool refuseTerminal) {
  if (IsStandardName(destination)) {
    out_.reset(RuntimeStandardStream(1));
    error_ = out_.get() ? BinaryStreamOutputRefusal(out_.get()) : 0;
  } else {
    Item dest(GetFolderItem(destination));
    if (dest.get()) out_.reset(FolderItemCreateOutputFile(dest.get(), 0));
    if (!out_.get()) error_ = dest.get() ? FolderItemGetLastError(dest.get()) : 0;
  }
  if (out_.get() && error_ == 0 && refuseTerminal && BinaryStreamIsTerminal(out_.get()))
    error_ = kTerminalTarget;
  if (error_ != 0) Discard();
  return out_.get() != nullptr;
}

bool Target::Commit() {
  bool ok = BinaryStreamCommit(out_.get());
  if (!ok) error_ = BinaryStreamGetLastError(out_.get());
  out_.reset();
  return ok;
}

void Target::Discard() {
  if (!out_.get()) return;
  BinaryStreamClose(out_.get());
  out_.reset();
}
