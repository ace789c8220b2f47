// The key system's files: their names in copying order, the entry files present, the
// lines of a key file, writing a key file, the staging folder of createsys.
#include "app/keysys.h"

namespace keysys {

Str StrOf64(int64_t v) {
  char buf[24];
  int pos = sizeof buf;
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  do {
    buf[--pos] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  if (v < 0) buf[--pos] = '-';
  return Str(MAVOBuildString(buf + pos, static_cast<int32_t>(sizeof buf - pos), kEncodingASCII));
}

Str SetFileName(int64_t i, int64_t n1) {
  if (i <= n1) return EntryFileName(i);
  if (i == n1 + 1) return Str::Borrow(keyfile::SlotMapFile());
  if (i == n1 + 2) return Str::Borrow(keyfile::StepFile());
  return Str::Borrow(keyfile::SystemFile());
}

void RefuseUncounted(MVString* prefix) { keyfile::RefuseNoCount(prefix, MV_LIT("  Nothing was copied.")); }

MVArray* PresentEntries(int64_t upTo, int32_t* count) {
  *count = 0;
  Obj folder(keyfile::ApplicationFolder());
  Arr names(folder.get() ? FolderItemChildNames(folder.get()) : nullptr);
  if (!names.get()) return nullptr;
  int32_t upper = names.get()->upperBounds[0];
  MVArray* numbers = CreateArray(1, kMVElemInt32, upper);
  for (int32_t i = 0; numbers && i <= upper; i++) {
    int32_t n = keyfile::EntryNumberOf(GetStr(names.get(), i).get());
    if (n >= 1 && n <= upTo) SetInt(numbers, (*count)++, n);
  }
  if (!numbers) return nullptr;
  reinterpret_cast<void (*)(MVArray*, int32_t)>(numbers->ops->slot[4])(numbers, *count - 1);
  reinterpret_cast<void (*)(MVArray*)>(numbers->ops->slot[8])(numbers);
  return numbers;
}

int32_t FirstEntryBeyond(int64_t n1) {
  Obj folder(keyfile::ApplicationFolder());
  Arr names(folder.get() ? FolderItemChildNames(folder.get()) : nullptr);
  int32_t first = 0;
  for (int32_t i = 0; names.get() && i <= names.get()->upperBounds[0]; i++) {
    int32_t n = keyfile::EntryNumberOf(GetStr(names.get(), i).get());
    if (n > n1 && (first == 0 || n < first)) first = n;
  }
  return first;
}

bool CountLines(MVString* name, int32_t* lines, int64_t* chars) {
  *lines = 0;
  if (chars) *chars = 0;
  MVTextInputStream* in = keyfile::Open(name);
  if (!in) return false;
  while (!TextInputStreamEOF(in)) {
    Str line(TextInputStreamReadLine(in, nullptr));
    (*lines)++;
    if (chars) *chars += StringDBCSLen(line.get());
  }
  keyfile::Close(in);
  return true;
}

bool DeleteFile(MVString* name) { return RuntimeDeleteName(name) == 0; }

MVString* gWriteFolder;

void RemoveStaging() {
  Obj folder(GetFolderItem(keyfile::StagingFolder()));
  Arr names(folder.get() && !RuntimeNameIsLink(keyfile::StagingFolder()) ? FolderItemChildNames(folder.get())
                                                                         : nullptr);
  for (int32_t i = 0; names.get() && i <= names.get()->upperBounds[0]; i++)
    RuntimeDeleteName((Str::Borrow(keyfile::StagingFolder()) + GetStr(names.get(), i)).get());
  RuntimeDeleteName(keyfile::StagingFolder());
}

bool MoveStagedSet(int64_t n1) {
  for (int64_t i = 1; i <= n1 + 3; i++) {
    Str name = SetFileName(i, n1);
    if (RuntimeRenameName((Str::Borrow(keyfile::StagingFolder()) + name).get(), name.get()) != 0) {
      Print(Str::Borrow(MV_LIT("Could not put ")) + name + MV_LIT(" in place.  The key system was not created."));
      return false;
    }
  }
  return true;
}

KeyFile::KeyFile(MVString* name) : name_(Str::Borrow(name)) {
  Obj item(GetFolderItem((Str::Borrow(gWriteFolder) + name).get()));
  if (item.get()) out_.reset(FolderItemCreateOutputTextFile(item.get(), kMVOutputPrivate));
}

KeyFile::~KeyFile() {
  if (out_.get()) TextOutputStreamClose(out_.get());  // not complete: discarded
}

void KeyFile::WriteLine(const char* text, int n) {
  Str line(MAVOBuildString(text, n, kEncodingASCII));
  TextOutputStreamWriteLine(out_.get(), line.get());
}

bool KeyFile::Close() {
  if (!out_.get()) return false;
  bool good = TextOutputStreamCommit(out_.get());
  out_.reset();
  return good;
}

void ReportNotCreated(MVString* name, bool created) {
  Str what = Str::Borrow(created ? MV_LIT("Could not write ") : MV_LIT("Could not create "));
  Print(what + name + MV_LIT(".  The key system was not created."));
}

void ReportNoRandomBytes() {
  PRINT("The system's random source gives no bytes.  The key system was not created.");
}

bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

}  // namespace keysys
