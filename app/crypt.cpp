// The enc and dec commands.
//
// Both check their parameters in a fixed order, load the key (cipher core), and write the
// result through a temporary file beside the destination, which replaces the destination
// only once it is complete: a failed command leaves an existing destination as it was.
#include "app/App.h"
#include "app/cipher.h"
#include "app/keyfiles.h"
#include "app/util.h"

namespace {

constexpr uint32_t kBlock = 262144;
constexpr int32_t kFillerCycle = 20000;
// Inputs at least this long use the wide-vector routine where the processor has one.
constexpr uint64_t kVectorThreshold = 65536;

uint8_t gIn[kBlock];

// A block read from the source that only this command holds: the cipher runs on it in
// place and it goes out as it is.
inline uint8_t* OwnBytes(const Str& block) {
  MVString* s = block.get();
  return s && s->refCount == 1 ? s->buffer + 1 : nullptr;
}

// Bytes go out in blocks; a failed write ends the output for good. Full blocks are
// assembled in one string of the writer's own, which is written as it is.
class BlockWriter {
 public:
  explicit BlockWriter(MVBinaryStream* s) : s_(s), n_(0), failed_(false) {}
  // Room for at least `want` bytes (at most a block) at the end of the pending output.
  uint8_t* Room(uint32_t want) {
    if (kBlock - n_ < want) Flush();
    return Buffer() + n_;
  }
  uint32_t room() const { return kBlock - n_; }
  void Advance(uint32_t n) {
    n_ += n;
    if (n_ == kBlock) Flush();
  }
  void Write(const uint8_t* p, uint32_t n) {
    Flush();
    Emit(p, n);
  }
  // Writes a string as it is (after the pending output).
  void WriteString(const Str& block) {
    Flush();
    if (failed_ || block.length() == 0) return;
    BinaryStreamWrite(s_, block.get());
    if (BinaryStreamGetLastError(s_) != 0) failed_ = true;
  }
  void Flush() {
    if (n_ == 0 || failed_) {
      n_ = 0;
      return;
    }
    if (n_ == kBlock && OwnBytes(full_)) {
      BinaryStreamWrite(s_, full_.get());
      if (BinaryStreamGetLastError(s_) != 0) failed_ = true;
    } else {
      Emit(Buffer(), n_);
    }
    n_ = 0;
  }
  bool failed() const { return failed_; }

 private:
  uint8_t* Buffer() {
    if (!full_.get()) full_ = Str(MAVOBuildString(gIn, static_cast<int32_t>(kBlock), kEncodingUnknown));
    uint8_t* b = OwnBytes(full_);
    return b && full_.length() == kBlock ? b : gOut_;
  }
  void Emit(const uint8_t* p, uint32_t n) {
    if (n == 0 || failed_) return;
    Str block(MAVOBuildString(p, static_cast<int32_t>(n), kEncodingUnknown));
    BinaryStreamWrite(s_, block.get());
    if (BinaryStreamGetLastError(s_) != 0) failed_ = true;
  }
  MVBinaryStream* s_;
  uint32_t n_;
  bool failed_;
  Str full_;
  static uint8_t gOut_[kBlock];
};

uint8_t BlockWriter::gOut_[kBlock];

// An owned FolderItem reference.
class Item {
 public:
  explicit Item(MVFolderItem* owned) : f_(owned) {}
  ~Item() { RuntimeUnlockObject(f_); }
  Item(const Item&) = delete;
  Item& operator=(const Item&) = delete;
  MVFolderItem* get() const { return f_; }
  bool exists() const { return f_ && fileExistsGetter(f_); }
  uint64_t length() const { return f_ ? fileSizeGetter(f_) : 0; }
  bool folder() const { return f_ && FolderItemIsFolder(f_); }

 private:
  MVFolderItem* f_;
};

bool SameFile(const Item& a, const Item& b) {
  return a.exists() && b.exists() && FolderItemSameFile(a.get(), b.get());
}

// "K1" + text + ".bin".
Str EntryFile(MVString* number) {
  return Str::Borrow(MV_LIT("K1")) + number + MV_LIT(".bin");
}

// True when the destination is one of the installed key system's files: by its name in
// the application folder, or as the same file as "sys.dat", "k2.dat" or "k3.bin".
bool IsKeyFile(const Item& dest) {
  if (keyfile::NamesKeyFile(dest.get(), Comp1Count)) return true;
  if (!dest.exists()) return false;
  for (int i = 0; i < 3; i++) {
    MVString* name = i == 0 ? MV_LIT("sys.dat") : i == 1 ? MV_LIT("k2.dat") : MV_LIT("k3.bin");
    Item key(GetFolderItem(name));
    if (SameFile(dest, key)) return true;
  }
  return false;
}

void PrintProtected() {
  PRINT("The destination is a file of the program itself and cannot be replaced error.");
}

// The checks shared by enc and dec after the sys.dat test. Returns false when refused.
bool CheckNumbers(bool encrypt) {
  Str p1 = GetParam(1), p2 = GetParam(2), p3 = GetParam(3), p4 = GetParam(4), p5 = GetParam(5);
  if (Val(p3) == 0) {
    PRINT("Numeric Parameter required for component 1 error.");
    return false;
  }
  if (Val(p4) == 0) {
    PRINT("Numeric Parameter required for component 2 error.");
    return false;
  }
  if (Val(p5) == 0) {
    PRINT("Numeric Parameter required for component 3 error.");
    return false;
  }
  // The same file under two names would be replaced while it is being read.
  if (encrypt && Same(p1.get(), p2.get())) {
    PRINT("Source and encrypted file cannot be the same error.");
    return false;
  }
  {
    Item src(GetFolderItem(p1.get()));
    Item dst(GetFolderItem(p2.get()));
    if (SameFile(src, dst)) {
      if (encrypt)
        PRINT("Source and encrypted file cannot be the same error.");
      else
        PRINT("Source and decrypted file cannot be the same error.");
      return false;
    }
  }
  // Entry numbers run from 1 to the component's size.
  double v = Val(p3);
  if (!(v >= 1 && v <= Comp1Count)) {
    Print(Str::Borrow(MV_LIT("Key component 1 contains ")) + StrOf(Comp1Count) + MV_LIT(" elements"));
    return false;
  }
  v = Val(p4);
  if (!(v >= 1 && v <= Comp2Count)) {
    Print(Str::Borrow(MV_LIT("Key component 2 contains ")) + StrOf(Comp2Count) + MV_LIT(" elements"));
    return false;
  }
  v = Val(p5);
  if (!(v >= 1 && v <= Comp3Count)) {
    Print(Str::Borrow(MV_LIT("Key component 3 contains ")) + StrOf(Comp3Count) + MV_LIT(" elements"));
    return false;
  }
  {
    Item entry(GetFolderItem(EntryFile(p3.get()).get()));
    if (entry.length() == 0 || entry.folder()) {
      PRINT("Value of Key component 1 is greater than what was created error.");
      PRINT("Enter sysdata");
      return false;
    }
  }
  {
    Item src(GetFolderItem(p1.get()));
    if (src.length() == 0 || src.folder()) {
      if (encrypt || !ScriptMode) PRINT("Source file does not exist error.");
      return false;
    }
  }
  {
    Item dst(GetFolderItem(p2.get()));
    if (IsKeyFile(dst)) {
      PRINT("The destination is a file of the key system and cannot be replaced error.");
      return false;
    }
    if (dst.get() && FolderItemIsProtected(dst.get())) {
      PrintProtected();
      return false;
    }
  }
  return true;
}

// The destination, written through the runtime's safe output path: nothing at the
// destination changes until the complete output is committed.
class Target {
 public:
  Target() : out_(nullptr), error_(0) {}
  ~Target() { Discard(); }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  bool Open(MVString* destination) {
    Item dest(GetFolderItem(destination));
    if (dest.get()) out_ = FolderItemCreateOutputFile(dest.get(), 0);
    if (!out_) error_ = dest.get() ? FolderItemGetLastError(dest.get()) : 0;
    return out_ != nullptr;
  }
  MVBinaryStream* stream() const { return out_; }
  int32_t error() const { return error_; }
  // Puts the complete output in place; false on any failure (nothing then changed).
  bool Commit() {
    bool ok = BinaryStreamCommit(out_);
    RuntimeUnlockObject(out_);
    out_ = nullptr;
    return ok;
  }
  void Discard() {
    if (!out_) return;
    BinaryStreamClose(out_);
    RuntimeUnlockObject(out_);
    out_ = nullptr;
  }

 private:
  MVBinaryStream* out_;
  int32_t error_;
};

enum Outcome { kDone, kNoTarget, kReadFailed, kWriteFailed, kStopped };

// The user interrupted the command, or the program is ending.
bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

Outcome EncryptStream(MVBinaryStream* in, MVBinaryStream* out, bool large) {
  CipherEngine engine;
  engine.Start(large);
  BlockWriter w(out);
  int32_t p = 0;
  int64_t done = 0;
  for (;;) {
    if (Stopped()) return kStopped;
    Str block(BinaryStreamRead(in, kBlock, nullptr));
    uint32_t n = block.length();
    if (n == 0) break;
    RuntimeProgressStep(done += n);
    uint8_t* own = OwnBytes(block);
    if (!ExpansionOn) {
      if (own) {
        engine.Encrypt(own, own, n);
        w.WriteString(block);
      } else {
        engine.Encrypt(block.bytes(), gIn, n);
        w.Write(gIn, n);
      }
    } else {
      engine.Encrypt(block.bytes(), gIn, n);
      // Each cipher byte and then its fillers; a run of fillers may continue into the
      // next output block.
      for (uint32_t i = 0; i < n && !w.failed(); i++) {
        *w.Room(1) = gIn[i];
        w.Advance(1);
        p = p == kFillerCycle ? 1 : p + 1;
        for (uint32_t k = static_cast<uint32_t>(engine.Filler(p)); k > 0 && !w.failed();) {
          uint32_t m = k < w.room() ? k : w.room();
          uint8_t* dst = w.Room(m);
          RuntimeRandomFillers(dst, static_cast<int32_t>(m));
          w.Advance(m);
          k -= m;
        }
      }
    }
    if (w.failed()) return kWriteFailed;
  }
  if (BinaryStreamGetLastError(in) != 0) return kReadFailed;
  w.Flush();
  return w.failed() ? kWriteFailed : kDone;
}

Outcome DecryptStream(MVBinaryStream* in, MVBinaryStream* out, bool large) {
  CipherEngine engine;
  engine.Start(large);
  BlockWriter w(out);
  int32_t p = 0;
  uint32_t skip = 0;  // filler bytes still to pass over
  int64_t done = 0;
  for (;;) {
    if (Stopped()) return kStopped;
    Str block(BinaryStreamRead(in, kBlock, nullptr));
    uint32_t n = block.length();
    if (n == 0) break;
    RuntimeProgressStep(done += n);
    const uint8_t* b = block.bytes();
    uint8_t* own = OwnBytes(block);
    if (!ExpansionOn) {
      if (own) {
        engine.Decrypt(own, own, n);
        w.WriteString(block);
      } else {
        engine.Decrypt(b, gIn, n);
        w.Write(gIn, n);
      }
    } else {
      uint32_t m = 0;
      for (uint32_t i = 0; i < n;) {
        if (skip) {
          uint32_t step = n - i < skip ? n - i : skip;
          i += step;
          skip -= step;
          continue;
        }
        gIn[m++] = b[i++];
        p = p == kFillerCycle ? 1 : p + 1;
        skip = static_cast<uint32_t>(engine.Filler(p));
      }
      engine.Decrypt(gIn, gIn, m);
      w.Write(gIn, m);
    }
    if (w.failed()) return kWriteFailed;
  }
  if (BinaryStreamGetLastError(in) != 0) return kReadFailed;
  w.Flush();
  return w.failed() ? kWriteFailed : kDone;
}

// Loads the key, announces the work, and writes the destination. True when done.
bool Crypt(bool encrypt) {
  Str source = GetParam(1), destination = GetParam(2);
  ClearCipherState();
  // A damaged key would write a file that cannot be decrypted: nothing is written.
  if (!LoadCipherKey() || !LoadSlotTables()) return false;
  BuildExpansionTable();
  if (!ScriptMode) {
    Str verb = Str::Borrow(encrypt ? MV_LIT("Encrypting ") : MV_LIT("Decrypting "));
    Print(verb + source + (ExpansionOn ? MV_LIT(" with expansion...") : MV_LIT("...")));
  }
  Item src(GetFolderItem(source.get()));
  uint64_t length = src.length();
  MVBinaryStream* in = src.get() ? FolderItemOpenBinaryFile(src.get(), false) : nullptr;
  if (!in) {
    PRINT("Source file could not be opened error.");
    return false;
  }
  Target target;
  Outcome outcome = kNoTarget;
  if (target.Open(destination.get())) {
    bool large = length >= kVectorThreshold;
    RuntimeProgressBegin(static_cast<int64_t>(length), kMVProgressBytes);
    outcome = encrypt ? EncryptStream(in, target.stream(), large)
                      : DecryptStream(in, target.stream(), large);
    RuntimeProgressEnd();
  }
  BinaryStreamClose(in);
  RuntimeUnlockObject(in);
  if (outcome == kNoTarget) {
    if (target.error() == kMVErrorProtectedFile)
      PrintProtected();
    else
      Print(Str::Borrow(MV_LIT("Destination file ")) + destination + MV_LIT(" could not be created error."));
    return false;
  }
  // Interrupted (reported by the prompt loop) or ending: the destination stays as it was.
  if (outcome == kStopped || Stopped()) return false;
  if (outcome == kReadFailed) {
    Print(Str::Borrow(MV_LIT("Source file ")) + source + MV_LIT(" could not be read error."));
    return false;
  }
  if (outcome == kWriteFailed || !target.Commit()) {
    Print(Str::Borrow(MV_LIT("Destination file ")) + destination + MV_LIT(" could not be written error."));
    return false;
  }
  if (!ScriptMode) {
    if (encrypt)
      PRINT("==== Encryption completed ====");
    else
      PRINT("==== Decryption completed ====");
    PRINT(" ");
  }
  return true;
}

}  // namespace

bool EncryptCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kShared);
  if (!lock.held()) return false;
  if (Same(CommandLine, MV_LIT("enc"))) {
    PRINT("Parameters missing error.  Enter help e");
    PRINT(" ");
    return false;
  }
  if (!FileExists(MV_LIT("sys.dat"))) {
    PRINT("A System is not in place.  Please issue ressys or ");
    PRINT("createsys before you can encrypt.");
    return false;
  }
  App_GetParameters(self);
  if (ParamIndex != 5) {
    PRINT("Missing Parameters error.  Enter help e");
    return false;
  }
  return CheckNumbers(true) && Crypt(true);
}

bool DecryptCommand(MVObject* self) {
  keyfile::Lock lock(keyfile::Lock::kShared);
  if (!lock.held()) return false;
  if (Same(CommandLine, MV_LIT("dec"))) {
    if (!ScriptMode) {
      PRINT("Parameters missing error.  Enter help d");
      PRINT(" ");
    }
    return false;
  }
  if (!FileExists(MV_LIT("sys.dat"))) {
    PRINT("A System is not in place.  Please issue ressys or ");
    PRINT("createsys before you can decrypt.");
    return false;
  }
  App_GetParameters(self);
  if (ParamIndex != 5) {
    PRINT("Missing Parameters error.  Enter help d");
    return false;
  }
  return CheckNumbers(false) && Crypt(false);
}

void App_Encrypt(MVObject* self) { EncryptCommand(self); }
void App_Decrypt(MVObject* self) { DecryptCommand(self); }
