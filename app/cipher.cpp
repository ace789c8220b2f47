// The cipher key's loaders: the entries of the key files into a key value.
#include "app/cipher.h"

#include "app/keyfiles.h"

namespace {

enum LineStatus { kLineRead, kNoSuchLine, kUnreadable };

// Line `number` (1-based) of a key file: reads lines 1 .. number and keeps the last.
// Missing files, files that are no regular files and read errors are unreadable; a file
// that ends before the line is damaged.
LineStatus ReadEntryLine(MVString* name, int32_t number, Str* line) {
  *line = Str();
  MVTextInputStream* in = keyfile::Open(name);
  if (!in) return kUnreadable;
  LineStatus status = kLineRead;
  for (int32_t i = 1; i <= number && status == kLineRead; i++) {
    if (TextInputStreamEOF(in))
      status = kNoSuchLine;
    else
      *line = Str(TextInputStreamReadLine(in, nullptr));
  }
  if (TextInputStreamGetLastError(in) != 0) status = kUnreadable;
  keyfile::Close(in);
  return status;
}

// The refusal of a key entry that cannot be used: one line naming the file and the line.
void ReportKeyLine(MVString* name, int32_t number, bool unreadable) {
  Print(Str::Borrow(MV_LIT("Key file ")) + name + MV_LIT(" line ") + StrOf(number) +
        (unreadable ? MV_LIT(" cannot be read error.") : MV_LIT(" is damaged error.")));
}

// The entry line `number` of a key file, checked by `parse`; reports and gives false
// when it is unreadable or damaged.
template <typename Parse>
bool LoadEntry(MVString* name, int32_t number, Parse parse) {
  Str line;
  LineStatus status = ReadEntryLine(name, number, &line);
  if (status == kLineRead && parse(line)) return true;
  ReportKeyLine(name, number, status == kUnreadable);
  return false;
}

}  // namespace

bool LoadCipherKey(const CipherEntries& entries, cipher::Key* key) {
  PRINT("Loading System data...");
  bool ok = LoadEntry(keyfile::SlotMapFile(), entries.k2Entry,
                      [&](const Str& line) { return keyfile::ParseSlotMap(line, key->line); });
  if (!ok) return false;
  keyfile::StepEntry e;
  ok = LoadEntry(keyfile::StepFile(), entries.k3Entry,
                 [&](const Str& line) { return keyfile::ParseStepEntry(line, &e); });
  if (!ok) return false;
  for (int r = 0; r < cipher::kSlots; r++) {
    cipher::Slot& s = key->slot[r];
    s.direction = e.direction[r];
    s.period0 = e.period0[r];
    s.period1 = e.period1[r];
    s.shift = e.shift[r];
  }
  for (int j = 0; j < keyfile::kSeeds; j++) key->expansion[1 + j] = e.seed[j];
  return true;
}

bool LoadSlotTables(const CipherEntries& entries, cipher::Key* key) {
  for (int r = 0; r < cipher::kSlots; r++) {
    bool ok = LoadEntry(entries.entryFile.get(), key->line[r],
                        [&](const Str& line) { return keyfile::ParseTable(line, key->table[r]); });
    if (!ok) return false;
  }
  return true;
}
