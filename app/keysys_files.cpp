// The key system's files: their names in copying order, reading the count of entries
// and the lines of a key file, writing a key file, the staging folder of createsys.
#include "app/keysys.h"

namespace keysys {

namespace {

// Reads the first line of a text file. False when the file does not exist; a file that
// is there but no regular file (or cannot be read) gives the empty line.
bool ReadFirstLine(MVString* name, Str* line) {
  if (!FileExists(name)) return false;
  MVTextInputStream* in = keyfile::Open(name);
  if (in) *line = Str(TextInputStreamReadLine(in, nullptr));
  keyfile::Close(in);
  return true;
}

}  // namespace

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

bool ReadEntryCount(MVString* sysdat, int32_t* n1) {
  Str line;
  if (!ReadFirstLine(sysdat, &line)) return false;
  *n1 = CInt(Val(line));
  return true;
}

bool ReadSetEntries(MVString* sysdat, int64_t* n1) {
  Str line;
  if (!ReadFirstLine(sysdat, &line)) return false;
  const uint8_t* b = line.bytes();
  uint32_t n = line.length();
  int64_t v = 0;
  for (uint32_t i = 0; i < n && v >= 0; i++) v = b[i] >= '0' && b[i] <= '9' ? v * 10 + (b[i] - '0') : -1;
  *n1 = n >= 1 && n <= 10 && v >= 1 ? v : kNoCount;
  return true;
}

bool Counted(MVString* prefix, int64_t n1) {
  if (n1 != kNoCount) return true;
  Print(Str::Borrow(MV_LIT("The key system is damaged: ")) + prefix + keyfile::SystemFile() +
        MV_LIT(" holds no entry count.  Nothing was copied."));
  return false;
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
