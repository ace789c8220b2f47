// The enc and dec commands.
//
// Both check their parameters in a fixed order (app/crypt_checks.cpp), load the key
// (cipher core), and write the result through a temporary file beside the destination,
// which replaces the destination only once it is complete: a failed command leaves an
// existing destination as it was. The argument form's own enc writes sealed files, and
// its dec reads them, unless told --plain; the session's enc writes the plain format,
// and its dec reads a file of either format, as its start says.
#include "app/App.h"
#include "app/args.h"
#include "app/cipher.h"
#include "app/command_args.h"
#include "app/crypt_checks.h"
#include "app/crypt_io.h"
#include "app/crypt_stream.h"
#include "app/crypt_target.h"
#include "app/filler_pool.h"
#include "app/keyfiles.h"
#include "app/sealed_format.h"
#include "app/util.h"
#include "app/wipe.h"

namespace {

// Inputs at least this long use the vector routines where the processor has them
// (unless OMBRIX_CIPHER_PATH chooses).
constexpr uint64_t kVectorThreshold = 65536;

// The user interrupted the command, or the program is ending.
bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

// The key of the running command (static: it is large).
cipher::Key gKey;

// The command's secrets beside the key: the key material of its entry numbers, the salt
// and the key of a sealed file, and the filler generator's key; wiped when it ends.
struct Secrets {
  uint8_t material[sealed::kKeyMaterialBytes];
  uint8_t salt[sealed::kSaltBytes];
  uint8_t key[sealed::kKeyBytes];
  ~Secrets() {
    WipeSecret(material, sizeof material);
    WipeSecret(key, sizeof key);
    fillers::End();
  }
};

void PrintChanged() { Print(FileNamed(1) + MV_LIT(": wrong entry numbers or key system, or the file was changed")); }

// Whether dec goes on with a source that starts as `start` says; if not, says why.
bool AcceptSource(const Way& way, SourceStart start, uint8_t version, MVBinaryStream* in) {
  switch (start) {
    case SourceStart::kPlain:
    case SourceStart::kSealed:
      return true;
    case SourceStart::kEmpty:
      if (int32_t error = BinaryStreamGetLastError(in)) {
        if (!PrintSystemFailure(MV_LIT("cannot read "), 1, error))
          Print(Str::Borrow(MV_LIT("Source file ")) + GetParam(1) + MV_LIT(" could not be read error."));
        return false;
      }
      if (way.format != Format::kSealed) return true;  // nothing read: said below
      if (IsStandardName(GetParam(1).get())) {
        PRINT("standard input is empty: nothing to decrypt");
        return false;
      }
      break;  // emptied since it was checked: no sealed file
    case SourceStart::kNotSealed:
      break;
    case SourceStart::kOtherVersion:
      Print(FileNamed(1) + MV_LIT(" is a sealed file of version ") + StrOf(version) +
            MV_LIT(", which this version of Ombrix cannot read"));
      return false;
    case SourceStart::kChanged:
      PrintChanged();
      return false;
  }
  Print(FileNamed(1) + MV_LIT(" is not a sealed file (ombrix --plain dec reads the plain format)"));
  return false;
}

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
  Secrets secrets;
  sealed::KeyMaterial(*key, secrets.material);  // the seeds before they become the table
  cipher::BuildExpansionTable(key);
  // The portable path chosen governs the filler generator too.
  bool aes = filler::AesAvailable() && !(chosen && settings.path == cipher::Path::kPortable);
  Expansion expansion{CommandPrefix(), fillers::Key(), aes ? filler::Kind::kAes : filler::Kind::kPortable};
  bool sealing = way.encrypt && way.format == Format::kSealed;
  if ((sealing && !RuntimeSecureRandomKey(secrets.salt, sealed::kSaltBytes)) ||
      (way.encrypt && key->expansionOn && !fillers::Start(expansion.kind))) {
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
  // dec looks at the start of its source for the sealed header, unless told the format.
  Str first;
  bool opening = false;
  if (!way.encrypt && way.format != Format::kPlain) {
    uint8_t version = 0;
    SourceStart at = ExamineSource(in, way.format == Format::kSealed, &first, &version);
    if (!AcceptSource(way, at, version, in)) {
      BinaryStreamClose(in);
      return false;
    }
    opening = at == SourceStart::kSealed;
  }
  if (sealing || opening)
    sealed::DeriveKey(opening ? first.bytes() + sealed::kSaltOffset : secrets.salt, secrets.material, secrets.key);
  WipeSecret(secrets.material, sizeof secrets.material);
  Target target;
  bool opened = target.Open(destination.get(), way.encrypt && InArgumentForm());
  CryptOutcome outcome = CryptOutcome::kDone;
  bool changed = false;
  if (opened) {
    CommandEngine().Start(*key, chosen || length >= kVectorThreshold ? settings.path : cipher::Path::kPortable);
    int32_t threads = CipherThreads(*key, settings.threads, way.encrypt, fromInput, length);
    RuntimeProgressBegin(static_cast<int64_t>(length), kMVProgressBytes);
    sealing::Sealer sealer;
    sealing::Opener opener;
    Output output(target.stream(), sealing ? &sealer : nullptr);
    Input reader(in, opening ? &opener : nullptr);
    if (sealing) sealer.Start(target.stream(), secrets.salt, secrets.key, settings.threads);
    if (opening)
      opener.Start(in, first, sealed::kHeaderBytes, secrets.key, settings.threads);
    else
      reader.Unread(first);
    const Expansion* x = key->expansionOn ? &expansion : nullptr;
    outcome = way.encrypt ? EncryptStream(&reader, &output, threads, x) : DecryptStream(&reader, &output, threads, x);
    if (sealing && outcome == CryptOutcome::kDone) {
      sealer.Finish();
      if (output.failed()) outcome = CryptOutcome::kWriteFailed;
    }
    changed = opening && opener.forged();
    RuntimeProgressEnd();
  }
  bool nothingRead = BinaryStreamGetPosition(in) == start;
  int32_t readError = BinaryStreamGetLastError(in);
  int32_t writeError = outcome == CryptOutcome::kWriteFailed ? BinaryStreamGetLastError(target.stream()) : 0;
  BinaryStreamClose(in);
  if (!opened) {
    RefuseTarget(way, target);
    return false;
  }
  // Interrupted (reported by the prompt loop) or ending: the destination stays as it was.
  if (outcome == CryptOutcome::kStopped || Stopped()) return false;
  if (outcome == CryptOutcome::kReadFailed) {
    if (PrintSystemFailure(MV_LIT("cannot read "), 1, readError)) return false;
    Print(Str::Borrow(MV_LIT("Source file ")) + source + MV_LIT(" could not be read error."));
    return false;
  }
  // A sealed chunk failed its check: the destination stays as it was.
  if (changed) {
    PrintChanged();
    return false;
  }
  // Standard input may turn out empty only now: nothing was written (a sealed file holds
  // an empty source).
  if (outcome == CryptOutcome::kDone && fromInput && nothingRead && !sealing) {
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
