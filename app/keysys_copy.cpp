// Copies of a complete key system to and from another folder (transsys, ressys,
// transkill), with the checks made before any file is copied.
#include "app/keysys.h"

namespace keysys {

namespace {

void ReportCopyFailed(MVString* from, MVString* to, int32_t error) {
  if (error == kMVErrorProtectedFile)
    Print(Str::Borrow(MV_LIT("Could not copy ")) + from + MV_LIT(" to ") + to +
          MV_LIT(": it is a file of the program and is never replaced."));
  else
    Print(Str::Borrow(MV_LIT("Could not copy ")) + from + MV_LIT(" to ") + to + MV_LIT("."));
}

// Gives ok; when it is false, prints the line lead + name + rest first.
bool CheckName(bool ok, MVString* lead, const Str& name, MVString* rest) {
  if (!ok) Print(Str::Borrow(lead) + name + rest);
  return ok;
}

}  // namespace

Str FolderPrefix() {
  Str p = GetParam(1);
  Str last(StringDBCSRight(p.get(), 1));
  if (!Same(last.get(), MV_LIT("/"))) p = p + MV_LIT("/");
  return p;
}

bool CheckComplete(MVString* prefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = Str::Borrow(prefix) + SetFileName(i, n1);
    if (!CheckName(!RuntimeNameIsLink(name.get()), MV_LIT("The key system is damaged: "), name,
                   MV_LIT(" is a symbolic link.  Nothing was copied.")))
      return false;
    if (!CheckName(FileExists(name.get()), MV_LIT("The key system is incomplete: "), name,
                   MV_LIT(" is missing.  Nothing was copied.")) ||
        !CheckName(keyfile::IsRegularFile(name.get()), MV_LIT("The key system is damaged: "), name,
                   MV_LIT(" is not a regular file.  Nothing was copied.")))
      return false;
  }
  return true;
}

bool CheckReplaceable(MVString* prefix, MVString* fromPrefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = Str::Borrow(prefix) + SetFileName(i, n1);
    if (!CheckName(!RuntimeNameIsLink(name.get()), MV_LIT("The key system is damaged: "), name,
                   MV_LIT(" is a symbolic link.  Nothing was copied.")))
      return false;
    if (!CheckName(!FileExists(name.get()) || keyfile::IsRegularFile(name.get()), MV_LIT("The destination "),
                   name, MV_LIT(" is not a regular file and cannot be replaced.  Nothing was copied.")))
      return false;
    Obj target(GetFolderItem(name.get()));
    if (!CheckName(!keyfile::IsKeyFileOf(target.get(), fromPrefix), MV_LIT("The destination "), name,
                   MV_LIT(" is a key file of the system being copied.  Nothing was copied.")))
      return false;
  }
  return true;
}

bool SetCopy::Run(MVString* fromPrefix, MVString* toPrefix, int64_t n1) {
  int32_t error = 0;
  copy_ = RuntimeCopyBegin(fromPrefix, toPrefix, &error);
  n1_ = n1;
  for (int64_t i = 1; i <= n1 + 3; i++) {
    if (Stopped()) return false;  // interrupted: the copies made so far are whole files
    Str name = SetFileName(i, n1);
    if (copy_) error = RuntimeCopyFile(copy_, name.get());
    if (error != 0) {
      if (Stopped()) return false;
      ReportCopyFailed((Str::Borrow(fromPrefix) + name).get(), (Str::Borrow(toPrefix) + name).get(), error);
      return false;
    }
  }
  return true;
}

bool SetCopy::Verified() const {
  for (int64_t i = 1; copy_ && i <= n1_ + 3; i++)
    if (RuntimeCopyVerify(copy_, SetFileName(i, n1_).get()) != 0) return false;
  return copy_ != 0;
}

}  // namespace keysys
