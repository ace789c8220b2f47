// Copies of a complete key system to and from another folder (transsys, ressys,
// transkill), with the checks made before any file is copied.
#include "app/keysys.h"

namespace keysys {

namespace {

// Copies one file; true when the copy reported no error and the destination now holds
// as many bytes as the source.
bool CopyOne(MVString* from, MVString* to) {
  Obj src(GetFolderItem(from));
  Obj dst(GetFolderItem(to));
  if (!src.get() || !dst.get() || !fileExistsGetter(src.get())) return false;
  uint64_t length = fileSizeGetter(src.get());
  int32_t before = FolderItemGetLastError(src.get());
  FolderItemCopyFileTo(src.get(), dst.get());
  Obj copy(GetFolderItem(to));
  return FolderItemGetLastError(src.get()) == before && copy.get() && fileExistsGetter(copy.get()) &&
         fileSizeGetter(copy.get()) == length;
}

void ReportCopyFailed(MVString* from, MVString* to) {
  Obj dst(GetFolderItem(to));
  if (dst.get() && FolderItemIsProtected(dst.get()))
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

bool CopySet(MVString* fromPrefix, MVString* toPrefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    if (Stopped()) return false;  // interrupted: the copies made so far are whole files
    Str name = SetFileName(i, n1);
    Str from = Str::Borrow(fromPrefix) + name;
    Str to = Str::Borrow(toPrefix) + name;
    if (!CopyOne(from.get(), to.get())) {
      if (Stopped()) return false;
      ReportCopyFailed(from.get(), to.get());
      return false;
    }
  }
  return true;
}

namespace {

// True when both files exist and hold the same bytes.
bool SameContent(MVString* a, MVString* b) {
  Obj fa(GetFolderItem(a));
  Obj fb(GetFolderItem(b));
  bool same = fa.get() && fb.get() && FolderItemIsRegularFile(fa.get()) &&
              FolderItemIsRegularFile(fb.get()) && fileSizeGetter(fa.get()) == fileSizeGetter(fb.get());
  Obj sa(same ? FolderItemOpenBinaryFile(fa.get(), false) : nullptr);
  Obj sb(same ? FolderItemOpenBinaryFile(fb.get(), false) : nullptr);
  same = same && sa.get() && sb.get();
  while (same && !BinaryStreamEOF(sa.get())) {
    Str x(BinaryStreamRead(sa.get(), 65536, nullptr));
    Str y(BinaryStreamRead(sb.get(), 65536, nullptr));
    same = x.length() == y.length() && x.length() > 0 &&
           memcmp(x.bytes(), y.bytes(), x.length()) == 0;
  }
  if (sa.get()) BinaryStreamClose(sa.get());
  if (sb.get()) BinaryStreamClose(sb.get());
  return same;
}

}  // namespace

bool SetVerified(MVString* prefix, int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = SetFileName(i, n1);
    Str copy = Str::Borrow(prefix) + name;
    if (!SameContent(name.get(), copy.get())) return false;
  }
  return true;
}

}  // namespace keysys
