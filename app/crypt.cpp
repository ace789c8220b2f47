// The enc and dec commands.
//
// Both check their parameters in a fixed order, load the key (cipher core), and write the
// result through a temporary file beside the destination, which replaces the destination
// only once it is complete: a failed command leaves an existing destination as it was.
#include "app/App.h"
#include "app/args.h"
#include "app/cipher.h"
#include "app/command_args.h"
#include "app/crypt_stream.h"
#include "app/crypt_target.h"
#include "app/filler_pool.h"
#include "app/keyfiles.h"
#include "app/util.h"

namespace {

// Inputs at least this long use the vector routines where the processor has them
// (unless OMBRIX_CIPHER_PATH chooses).
constexpr uint64_t kVectorThreshold = 65536;

void PrintProtected() {
  PRINT("The destination is a file of the program itself and cannot be replaced error.");
}

void PrintKeyFile() { PRINT("The destination is a file of the key system and cannot be replaced error."); }

// What enc and dec do differently; the rest of the two commands is one path.
struct Way {
  bool encrypt;
  MVString* word;        // the command alone, without parameters
  MVString* help;        // its refusal: "Parameters missing error.  Enter help ..."
  MVString* incomplete;  // "Missing Parameters error.  Enter help ..."
  MVString* noSystem;    // the second line of the refusal without a key system
  MVString* sameFile;    // source and destination are one file
  MVString* verb;        // "Encrypting " or "Decrypting "
  MVString* completed;   // the completion line
  bool quietInScripts;   // the bare command and a missing source are not reported in scripts
};

Way Encryption() {
  Way w;
  w.encrypt = true;
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

// The checks of the parameters, after the sys.dat test and the count of parameters.
// The entry numbers are turned into *entries. Returns false when refused.
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
    if (src.length() == 0 || src.folder()) {
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

// The source (param 1) or destination (2) as the user gave it, for a message: "-" is
// "standard input" or "standard output".
Str FileNamed(int32_t param) {
  Str name = TypedName(param);
  if (!IsStandardName(name.get())) return name;
  return Str::Borrow(param == 1 ? MV_LIT("standard input") : MV_LIT("standard output"));
}

// In the argument form, a failure with the system's reason, as peers word it:
// "cannot VERB NAME: reason", the file named as the user typed it ("-" as standard input
// or output). False (nothing printed) at the prompt, or without a reason of the system.
bool PrintSystemFailure(MVString* verb, int32_t param, int32_t error) {
  if (!InArgumentForm() || error <= 0 || error >= kMVErrorProtectedFile) return false;
  Print(Str::Borrow(verb) + FileNamed(param) + MV_LIT(": ") + Str(RuntimeSystemReason(error)));
  return true;
}

// The user interrupted the command, or the program is ending.
bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

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

// The key of the running command (static: it is large).
cipher::Key gKey;

// Loads the key, announces the work, and writes the destination. True when done.
bool Crypt(const Way& way, const CipherEntries& entries) {
  Str source = GetParam(1), destination = GetParam(2);
  CipherSettings settings;
  bool chosen = false;
  if (!ReadCipherSettings(&settings, &chosen)) return false;
  cipher::Key* key = &gKey;
  cipher::ClearCipherState(key);
  // A damaged key would write a file that cannot be decrypted: nothing is written.
  if (!LoadCipherKey(entries, key) || !LoadSlotTables(entries, key)) return false;
  cipher::BuildExpansionTable(key);
  // The portable path chosen governs the filler generator too.
  bool aes = filler::AesAvailable() && !(chosen && settings.path == cipher::Path::kPortable);
  Expansion expansion{CommandPrefix(), fillers::Key(), aes ? filler::Kind::kAes : filler::Kind::kPortable};
  if (way.encrypt && key->expansionOn && !fillers::Start(expansion.kind)) {
    PRINT("The system's random source gives no bytes.  Nothing was encrypted.");
    return false;
  }
  if (!ScriptMode)
    Print(Str::Borrow(way.verb) + TypedName(1) +
          (key->expansionOn ? MV_LIT(" with expansion...") : MV_LIT("...")));
  bool fromInput = IsStandardName(source.get());
  Item src(fromInput ? nullptr : GetFolderItem(source.get()));
  uint64_t length = src.length();
  Obj input(fromInput  ? RuntimeStandardStream(0)
            : src.get() ? FolderItemOpenBinaryFile(src.get(), false)
                        : nullptr);
  MVBinaryStream* in = input.get();
  if (!in) {
    PRINT("Source file could not be opened error.");
    return false;
  }
  BinaryStreamGuardFile(in);  // what is read is never what is written
  // Standard input is read from where it stands: a file given there may have been read
  // in part already. Its length is known only when it is a file.
  uint64_t start = BinaryStreamGetPosition(in);
  if (fromInput) {
    uint64_t end = BinaryStreamGetLength(in);
    length = end != UINT64_MAX && end > start ? end - start : 0;
  }
  Target target;
  bool opened = target.Open(destination.get(), way.encrypt && InArgumentForm());
  CryptOutcome outcome = CryptOutcome::kDone;
  if (opened) {
    CommandEngine().Start(*key, chosen || length >= kVectorThreshold ? settings.path : cipher::Path::kPortable);
    int32_t threads = CipherThreads(*key, settings.threads, way.encrypt, fromInput, length);
    RuntimeProgressBegin(static_cast<int64_t>(length), kMVProgressBytes);
    outcome = way.encrypt ? EncryptStream(in, target.stream(), threads, key->expansionOn ? &expansion : nullptr)
                          : DecryptStream(in, target.stream(), threads, key->expansionOn ? &expansion : nullptr);
    RuntimeProgressEnd();
    if (way.encrypt) fillers::End();
  }
  bool nothingRead = BinaryStreamGetPosition(in) == start;
  int32_t readError = BinaryStreamGetLastError(in);
  int32_t writeError = outcome == CryptOutcome::kWriteFailed ? BinaryStreamGetLastError(target.stream()) : 0;
  BinaryStreamClose(in);
  if (!opened) {
    if (target.error() == kMVErrorProtectedFile)
      PrintProtected();
    else if (target.error() == kMVErrorGuardedFile)
      RefuseGuarded(way);
    else if (target.error() == kTerminalTarget)
      Print(FileNamed(2) + MV_LIT(" is a terminal: cipher text is not written to it"));
    else if (target.error() == kMVErrorOutputBusy)
      PRINT("The destination is being written by another process.  Try again when it has finished.");
    else if (!PrintSystemFailure(MV_LIT("cannot create "), 2, target.error()))
      Print(Str::Borrow(MV_LIT("Destination file ")) + destination + MV_LIT(" could not be created error."));
    return false;
  }
  // Interrupted (reported by the prompt loop) or ending: the destination stays as it was.
  if (outcome == CryptOutcome::kStopped || Stopped()) return false;
  if (outcome == CryptOutcome::kReadFailed) {
    if (PrintSystemFailure(MV_LIT("cannot read "), 1, readError)) return false;
    Print(Str::Borrow(MV_LIT("Source file ")) + source + MV_LIT(" could not be read error."));
    return false;
  }
  // Standard input may turn out empty only now: nothing was written.
  if (outcome == CryptOutcome::kDone && fromInput && nothingRead) {
    Print(Str::Borrow(MV_LIT("standard input is empty: nothing to ")) +
          (way.encrypt ? MV_LIT("encrypt") : MV_LIT("decrypt")));
    return false;
  }
  if (outcome == CryptOutcome::kWriteFailed || !target.Commit()) {
    if (PrintSystemFailure(MV_LIT("cannot write "), 2, outcome == CryptOutcome::kWriteFailed ? writeError : target.error()))
      return false;
    Print(Str::Borrow(MV_LIT("Destination file ")) + destination + MV_LIT(" could not be written error."));
    return false;
  }
  if (!ScriptMode) {
    Print(way.completed);
    PRINT(" ");
  }
  return true;
}

// enc or dec, from the command line to the completion line.
bool CryptCommand(MVObject* self, const Way& way) {
  keyfile::Lock lock(keyfile::Lock::kShared);
  if (!lock.held()) return false;
  if (Same(CommandLine, way.word)) {
    if (!(way.quietInScripts && ScriptMode)) {
      Print(way.help);
      PRINT(" ");
    }
    return false;
  }
  int32_t n1 = 0;
  keyfile::Count count = keyfile::ReadCount(keyfile::SystemFile(), &n1);
  if (count == keyfile::kNoSystem) {
    PRINT("A System is not in place.  Please issue ressys or ");
    Print(way.noSystem);
    return false;
  }
  if (count == keyfile::kNoCount) {
    keyfile::RefuseNoCount(nullptr, nullptr);
    return false;
  }
  keyfile::Guard guard;  // no output of this command writes a key file
  App_GetParameters(self);
  EntryNumbers numbers;
  if (!ReadEntryNumbers(&numbers)) {
    Print(way.incomplete);
    return false;
  }
  CipherEntries entries;
  return CheckParameters(way, numbers, &entries) && Crypt(way, entries);
}

}  // namespace

bool EncryptCommand(MVObject* self) { return CryptCommand(self, Encryption()); }
bool DecryptCommand(MVObject* self) { return CryptCommand(self, Decryption()); }

void App_Encrypt(MVObject* self) { EncryptCommand(self); }
void App_Decrypt(MVObject* self) { DecryptCommand(self); }
