// The checks and refusals of enc and dec (see crypt_checks.h).
#include "app/crypt_checks.h"

#include "app/App.h"
#include "app/args.h"
#include "app/keyfiles.h"

namespace {

void PrintProtected() {
  PRINT("The destination is a file of the program itself and cannot be replaced error.");
}

void PrintKeyFile() { PRINT("The destination is a file of the key system and cannot be replaced error."); }

// The argument form's own enc and dec seal unless told --plain; the session's enc keeps
// to the plain format, and its dec reads both.
Format FormatOf(bool encrypt) {
  if (!RunningNamedCommand()) return encrypt ? Format::kPlain : Format::kEither;
  return PlainRequested() ? Format::kPlain : Format::kSealed;
}

// A destination found to be a guarded file only once opened (its name was changed
// meanwhile): the source, or a key file.
void RefuseGuarded(const Way& way) {
  Str p1 = GetParam(1), p2 = GetParam(2);
  Item src(SourceItem(p1.get()));
  Item dst(DestinationItem(p2.get()));
  if (SameFile(src, dst))
    Print(way.sameFile);
  else
    PrintKeyFile();
}

}  // namespace

Way Encryption() {
  Way w;
  w.encrypt = true;
  w.format = FormatOf(true);
  w.word = MV_LIT("enc");
  w.help = MV_LIT("Parameters missing error.  Enter help e");
  w.incomplete = MV_LIT("Missing Parameters error.  Enter help e");
  w.noSystem = MV_LIT("createsys before you can encrypt.");
  w.sameFile = MV_LIT("Source and encrypted file cannot be the same error.");
  w.verb = MV_LIT("Encrypting ");
  w.completed = MV_LIT("==== Encryption completed ====");
  w.quietInScripts = false;
  return w;
}

Way Decryption() {
  Way w;
  w.encrypt = false;
  w.format = FormatOf(false);
  w.word = MV_LIT("dec");
  w.help = MV_LIT("Parameters missing error.  Enter help d");
  w.incomplete = MV_LIT("Missing Parameters error.  Enter help d");
  w.noSystem = MV_LIT("createsys before you can decrypt.");
  w.sameFile = MV_LIT("Source and decrypted file cannot be the same error.");
  w.verb = MV_LIT("Decrypting ");
  w.completed = MV_LIT("==== Decryption completed ====");
  w.quietInScripts = true;
  return w;
}

bool CheckParameters(const Way& way, const EntryNumbers& numbers, CipherEntries* entries) {
  Str p1 = GetParam(1), p2 = GetParam(2);
  if (int32_t c = numbers.NotNumeric()) {
    RefuseNotNumeric(c);
    return false;
  }
  // The same file under two names would be replaced while it is being read.
  bool fromInput = IsStandardName(p1.get()), toOutput = IsStandardName(p2.get());
  if (way.encrypt && Same(p1.get(), p2.get()) && !fromInput) {
    Print(way.sameFile);
    return false;
  }
  if (!(fromInput && toOutput)) {
    Item src(SourceItem(p1.get()));
    Item dst(DestinationItem(p2.get()));
    if (SameFile(src, dst)) {
      Print(way.sameFile);
      return false;
    }
  }
  // Entry numbers run from 1 to the component's size.
  if (int32_t c = numbers.OutOfRange()) {
    RefuseOutOfRange(c);
    return false;
  }
  entries->entryFile = keyfile::EntryFileName(numbers.text[0].get());
  entries->k2Entry = CInt(numbers.value[1]);
  entries->k3Entry = CInt(numbers.value[2]);
  {
    Item entry(GetFolderItem(entries->entryFile.get()));
    if (entry.length() == 0 || entry.folder()) {
      PRINT("Value of Key component 1 is greater than what was created error.");
      PRINT("Enter sysdata");
      return false;
    }
  }
  if (!fromInput) {
    Item src(GetFolderItem(p1.get()));
    // A sealed file holds an empty source as well.
    bool emptyHeld = way.encrypt && way.format == Format::kSealed && src.regular();
    if ((src.length() == 0 && !emptyHeld) || src.folder()) {
      if (!(way.quietInScripts && ScriptMode)) PRINT("Source file does not exist error.");
      return false;
    }
  }
  {
    // Whatever the destination name leads to, as the output will resolve it: none of the
    // key files (guarded by the command), nor the program.
    Item dst(DestinationItem(p2.get()));
    int32_t refusal = dst.get() ? FolderItemOutputRefusal(dst.get()) : 0;
    if (keyfile::NamesKeyFile(dst.get(), Comp1Count) || refusal == kMVErrorGuardedFile) {
      PrintKeyFile();
      return false;
    }
    if (refusal == kMVErrorProtectedFile) {
      PrintProtected();
      return false;
    }
  }
  return true;
}

Str FileNamed(int32_t param) {
  Str name = TypedName(param);
  if (!IsStandardName(name.get())) return name;
  return Str::Borrow(param == 1 ? MV_LIT("standard input") : MV_LIT("standard output"));
}

bool PrintSystemFailure(MVString* verb, int32_t param, int32_t error) {
  if (!InArgumentForm() || error <= 0 || error >= kMVErrorProtectedFile) return false;
  Print(Str::Borrow(verb) + FileNamed(param) + MV_LIT(": ") + Str(RuntimeSystemReason(error)));
  return true;
}

void RefuseTarget(const Way& way, const Target& target) {
  if (target.error() == kMVErrorProtectedFile)
    PrintProtected();
  else if (target.error() == kMVErrorGuardedFile)
    RefuseGuarded(way);
  else if (target.error() == kTerminalTarget)
    Print(FileNamed(2) + MV_LIT(" is a terminal: cipher text is not written to it"));
  else if (target.error() == kMVErrorOutputBusy)
    PRINT("The destination is being written by another process.  Try again when it has finished.");
  else if (!PrintSystemFailure(MV_LIT("cannot create "), 2, target.error()))
    Print(Str::Borrow(MV_LIT("Destination file ")) + GetParam(2) + MV_LIT(" could not be created error."));
}

