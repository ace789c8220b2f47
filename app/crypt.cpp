// The enc and dec commands.
//
// Both check their parameters in a fixed order, load the key (cipher core), and write the
// result through a temporary file beside the destination, which replaces the destination
// only once it is complete: a failed command leaves an existing destination as it was.
#include "app/App.h"
#include "app/args.h"
#include "app/cipher.h"
#include "app/command_args.h"
#include "app/crypt_parallel.h"
#include "app/filler_random.h"
#include "app/keyfiles.h"
#include "app/util.h"

namespace {

constexpr uint32_t kBlock = kMVStreamBlock;  // the no-copy hand-over needs the streams' block
// Inputs at least this long use the vector routines where the processor has them
// (unless OMBRIX_CIPHER_PATH chooses), and inputs at least this long without expansion
// are cut into segments for several threads.
constexpr uint64_t kVectorThreshold = 65536;
constexpr uint64_t kParallelThreshold = 1 << 20;

uint8_t gIn[kBlock];

// A block read from the source that only this command holds: the cipher runs on it in
// place and it goes out as it is.
inline uint8_t* OwnBytes(const Str& block) {
  MVString* s = block.get();
  return s && s->refCount == 1 ? s->buffer + 1 : nullptr;
}

// Bytes go out in blocks; a failed write ends the output for good. Full blocks are
// assembled in strings of the writer's own, which are written as they are. A string
// handed to the stream may be held by the stream's write-behind until it is on its way
// (and must not change meanwhile): the writer goes round several strings and fills the
// next one it alone holds, so that whole blocks are never copied. Only when every one
// is still held does it assemble a block in its own buffer, which is then copied out.
class BlockWriter {
 public:
  explicit BlockWriter(MVBinaryStream* s) : s_(s), buf_(nullptr), n_(0), cur_(0), failed_(false) {}
  // Room for at least `want` bytes (at most a block) at the end of the pending output.
  uint8_t* Room(uint32_t want) {
    if (kBlock - n_ < want) Flush();
    if (!buf_) buf_ = Acquire();
    return buf_ + n_;
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
    if (n_ == kBlock && buf_ != gOut_) {
      // The block is the current string: handed over whole, and not touched again
      // until the stream lets go of it.
      BinaryStreamWrite(s_, ring_[cur_].get());
      if (BinaryStreamGetLastError(s_) != 0) failed_ = true;
      buf_ = nullptr;
      cur_ = (cur_ + 1) % kRing;
    } else {
      Emit(buf_, n_);
    }
    n_ = 0;
  }
  bool failed() const { return failed_; }

 private:
  // More strings than the write-behind holds at once.
  static constexpr int kRing = 6;

  // The next string that only the writer holds, from the current one on; else gOut_.
  uint8_t* Acquire() {
    for (int i = 0; i < kRing; i++) {
      int c = (cur_ + i) % kRing;
      Str& block = ring_[c];
      if (!block.get()) block = Str(MAVOBuildString(gOut_, static_cast<int32_t>(kBlock), kEncodingUnknown));
      uint8_t* b = OwnBytes(block);
      if (b && block.length() == kBlock) {
        cur_ = c;
        return b;
      }
    }
    return gOut_;
  }
  void Emit(const uint8_t* p, uint32_t n) {
    if (n == 0 || failed_) return;
    Str block(MAVOBuildString(p, static_cast<int32_t>(n), kEncodingUnknown));
    BinaryStreamWrite(s_, block.get());
    if (BinaryStreamGetLastError(s_) != 0) failed_ = true;
  }
  MVBinaryStream* s_;
  uint8_t* buf_;  // the pending block: the current string's bytes, or gOut_
  uint32_t n_;
  int cur_;
  bool failed_;
  Str ring_[kRing];
  static uint8_t gOut_[kBlock];
};

uint8_t BlockWriter::gOut_[kBlock];

// Copies a run of n bytes to d, where `room` bytes may be written and the source may be
// read 8 bytes past the run (the image's memcpy goes byte by byte). Short runs go in
// 8-byte steps, rounded up where the room allows; long ones as one string move.
inline void CopyRun(uint8_t* d, const uint8_t* s, uint32_t n, uint32_t room) {
  if (n >= 256) {
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
    return;
  }
  uint32_t i = 0;
  if (room >= ((n + 7) & ~7u)) {
    for (; i < n; i += 8) {
      uint32_t a, b;
      __builtin_memcpy(&a, s + i, 4);
      __builtin_memcpy(&b, s + i + 4, 4);
      __builtin_memcpy(d + i, &a, 4);
      __builtin_memcpy(d + i + 4, &b, 4);
    }
    return;
  }
  for (; i < n; i++) d[i] = s[i];
}

// The command's filler generator and its key (from which segments key substreams of
// their own), set by StartFillers.
filler::Source gFillerSource;
uint8_t gFillerKey[filler::kKeyBytes];

// Overwrites n bytes that held key material.
void Wipe(void* p, uint32_t n) {
  for (uint32_t i = 0; i < n; i++) static_cast<volatile uint8_t*>(p)[i] = 0;
}

// Keys the filler generator from the system's random source. False when the source
// gives no bytes.
bool StartFillers(filler::Kind kind) {
  bool ok = RuntimeSecureRandomKey(gFillerKey, filler::kKeyBytes) != 0;
  if (ok) filler::Start(&gFillerSource, gFillerKey, 0, kind);
  return ok;
}

// Filler bytes, drawn in bulk: as many at a time as the cipher bytes already counted
// need, and handed out in runs.
class FillerPool {
 public:
  FillerPool() : at_(0), have_(0), owed_(0) {}
  // Fillers of further cipher bytes are due.
  void Owe(uint64_t n) { owed_ += n; }
  // Up to n of the next fillers (at least one, when n > 0 and some are owed); *got
  // tells how many.
  const uint8_t* Take(uint32_t n, uint32_t* got) {
    if (at_ == have_) {
      uint32_t want = owed_ < kPool ? static_cast<uint32_t>(owed_) : kPool;
      filler::Draw(&gFillerSource, pool_, want);
      owed_ -= want;
      at_ = 0;
      have_ = want;
    }
    uint32_t k = have_ - at_ < n ? have_ - at_ : n;
    const uint8_t* p = pool_ + at_;
    at_ += k;
    *got = k;
    return p;
  }

 private:
  static constexpr uint32_t kPool = 65536;
  uint32_t at_, have_;
  uint64_t owed_;
  static uint8_t pool_[kPool + 8];  // runs are read in 8-byte steps
};

uint8_t FillerPool::pool_[FillerPool::kPool + 8];

// An owned FolderItem reference.
class Item : public Obj {
 public:
  using Obj::Obj;
  bool exists() const { return get() && fileExistsGetter(get()); }
  uint64_t length() const { return get() ? fileSizeGetter(get()) : 0; }
  bool folder() const { return get() && FolderItemIsFolder(get()); }
};

bool SameFile(const Item& a, const Item& b) {
  return a.exists() && b.exists() && FolderItemSameFile(a.get(), b.get());
}

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

// The error of a destination refused because it is a terminal (no system error number).
constexpr int32_t kTerminalTarget = -1;

// The destination, written through the runtime's safe output path: nothing at the
// destination changes until the complete output is committed. Whatever it opened is
// none of the files the command guards, and, where cipher text is refused at a terminal,
// no terminal.
class Target {
 public:
  Target() : error_(0) {}
  ~Target() { Discard(); }
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  bool Open(MVString* destination, bool refuseTerminal) {
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
  MVBinaryStream* stream() const { return out_.get(); }
  // The system's error number of a failed open or commit (0: none known).
  int32_t error() const { return error_; }
  // Puts the complete output in place; false on any failure (nothing then changed).
  bool Commit() {
    bool ok = BinaryStreamCommit(out_.get());
    if (!ok) error_ = BinaryStreamGetLastError(out_.get());
    out_.reset();
    return ok;
  }
  void Discard() {
    if (!out_.get()) return;
    BinaryStreamClose(out_.get());
    out_.reset();
  }

 private:
  Obj out_;
  int32_t error_;
};

enum Outcome { kDone, kNoTarget, kReadFailed, kWriteFailed, kStopped };

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

// The key of the running command and the engine that runs it (static: both are large).
cipher::Key gKey;
cipher::Engine gEngine;
uint32_t gFillers[cipher::kChunk];  // filler counts of a chunk of cipher bytes

// Where each cipher byte of an expanded key goes (plain data, static: it is large).
cipher::FillerPrefix gPrefix;

// The cipher threads of a command: all those allowed where the work pays for them (a
// regular file whose output is long enough, or a stream, whose segmented run keeps a
// short input on one thread); else the program's own.
int32_t CipherThreads(const cipher::Key& key, int32_t allowed, bool encrypt, bool stream, uint64_t length) {
  if (allowed <= 1) return 1;
  if (key.expansionOn) {
    gPrefix.Build(key);
    if (!SegmentsFit(gPrefix)) return 1;
    if (encrypt && length < kParallelThreshold) length = gPrefix.OutputOffset(length);
  }
  return stream || length >= kParallelThreshold ? allowed : 1;
}

Outcome FromSegments(SegmentOutcome o) {
  return o == SegmentOutcome::kDone ? kDone
         : o == SegmentOutcome::kReadFailed ? kReadFailed
         : o == SegmentOutcome::kWriteFailed ? kWriteFailed
                                             : kStopped;
}

// threads: the cipher threads (1: the program's own); segments need an expansion
// where the key is expanded.
Outcome EncryptStream(MVBinaryStream* in, MVBinaryStream* out, int32_t threads, const Expansion* x) {
  cipher::Engine& engine = gEngine;
  if (threads > 1) return FromSegments(CryptSegments(engine, x, in, out, false, threads));
  BlockWriter w(out);
  FillerPool fillers;
  int64_t done = 0;
  for (;;) {
    if (Stopped()) return kStopped;
    Str block(BinaryStreamRead(in, kBlock, nullptr));
    uint32_t n = block.length();
    if (n == 0) break;
    RuntimeProgressStep(done += n);
    uint8_t* own = OwnBytes(block);
    if (!engine.expanded()) {
      if (own) {
        engine.Encrypt(own, own, n);
        w.WriteString(block);
      } else {
        engine.Encrypt(block.bytes(), gIn, n);
        w.Write(gIn, n);
      }
    } else {
      engine.Encrypt(block.bytes(), gIn, n);
      // Each cipher byte and then its fillers; the fillers of a chunk of cipher bytes are
      // drawn together, and a run of fillers may continue into the next output block.
      for (uint32_t i = 0; i < n && !w.failed(); i += cipher::kChunk) {
        uint32_t m = n - i < cipher::kChunk ? n - i : cipher::kChunk;
        fillers.Owe(engine.NextFillers(m, gFillers));
        for (uint32_t j = 0; j < m && !w.failed(); j++) {
          *w.Room(1) = gIn[i + j];
          w.Advance(1);
          for (uint32_t k = gFillers[j]; k > 0 && !w.failed();) {
            uint32_t f;
            const uint8_t* run = fillers.Take(k < w.room() ? k : w.room(), &f);
            if (f == 0) return kWriteFailed;  // fewer fillers than counted: cannot happen
            CopyRun(w.Room(f), run, f, w.room());
            w.Advance(f);
            k -= f;
          }
        }
      }
    }
    if (w.failed()) return kWriteFailed;
  }
  if (BinaryStreamGetLastError(in) != 0) return kReadFailed;
  w.Flush();
  return w.failed() ? kWriteFailed : kDone;
}

Outcome DecryptStream(MVBinaryStream* in, MVBinaryStream* out, int32_t threads, const Expansion* x) {
  cipher::Engine& engine = gEngine;
  if (threads > 1) return FromSegments(CryptSegments(engine, x, in, out, true, threads));
  BlockWriter w(out);
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
    if (!engine.expanded()) {
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
        skip = engine.NextFiller();
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
  Expansion expansion{&gPrefix, gFillerKey, aes ? filler::Kind::kAes : filler::Kind::kPortable};
  if (way.encrypt && key->expansionOn && !StartFillers(expansion.kind)) {
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
  Outcome outcome = kNoTarget;
  if (target.Open(destination.get(), way.encrypt && InArgumentForm())) {
    gEngine.Start(*key, chosen || length >= kVectorThreshold ? settings.path : cipher::Path::kPortable);
    int32_t threads = CipherThreads(*key, settings.threads, way.encrypt, fromInput, length);
    RuntimeProgressBegin(static_cast<int64_t>(length), kMVProgressBytes);
    outcome = way.encrypt ? EncryptStream(in, target.stream(), threads, key->expansionOn ? &expansion : nullptr)
                          : DecryptStream(in, target.stream(), threads, key->expansionOn ? &expansion : nullptr);
    RuntimeProgressEnd();
    if (way.encrypt) {
      Wipe(&gFillerSource, sizeof gFillerSource);
      Wipe(gFillerKey, sizeof gFillerKey);
    }
  }
  bool nothingRead = BinaryStreamGetPosition(in) == start;
  int32_t readError = BinaryStreamGetLastError(in);
  int32_t writeError = outcome == kWriteFailed ? BinaryStreamGetLastError(target.stream()) : 0;
  BinaryStreamClose(in);
  if (outcome == kNoTarget) {
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
  if (outcome == kStopped || Stopped()) return false;
  if (outcome == kReadFailed) {
    if (PrintSystemFailure(MV_LIT("cannot read "), 1, readError)) return false;
    Print(Str::Borrow(MV_LIT("Source file ")) + source + MV_LIT(" could not be read error."));
    return false;
  }
  // Standard input may turn out empty only now: nothing was written.
  if (outcome == kDone && fromInput && nothingRead) {
    Print(Str::Borrow(MV_LIT("standard input is empty: nothing to ")) +
          (way.encrypt ? MV_LIT("encrypt") : MV_LIT("decrypt")));
    return false;
  }
  if (outcome == kWriteFailed || !target.Commit()) {
    if (PrintSystemFailure(MV_LIT("cannot write "), 2, outcome == kWriteFailed ? writeError : target.error()))
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
