// enc's and dec's cipher over a whole stream (see crypt_stream.h).
#include "app/crypt_stream.h"

#include "app/crypt_io.h"
#include "app/filler_pool.h"
#include "app/output_writer.h"

namespace {

constexpr uint32_t kBlock = BlockWriter::kBlock;  // the no-copy hand-over needs the streams' block
// Inputs at least this long without expansion are cut into segments for several threads.
constexpr uint64_t kParallelThreshold = 1 << 20;

uint8_t gIn[kBlock];
cipher::Engine gEngine;
uint32_t gFillers[cipher::kChunk];  // filler counts of a chunk of cipher bytes
cipher::FillerPrefix gPrefix;       // plain data, static: it is large

// The user interrupted the command, or the program is ending.
bool Stopped() { return RuntimeStopRequested() != kMVGoOn; }

}  // namespace

cipher::Engine& CommandEngine() { return gEngine; }

const cipher::FillerPrefix* CommandPrefix() { return &gPrefix; }

int32_t CipherThreads(const cipher::Key& key, int32_t allowed, bool encrypt, bool stream, uint64_t length) {
  if (allowed <= 1) return 1;
  if (key.expansionOn) {
    gPrefix.Build(key);
    if (!SegmentsFit(gPrefix)) return 1;
    if (encrypt && length < kParallelThreshold) length = gPrefix.OutputOffset(length);
  }
  return stream || length >= kParallelThreshold ? allowed : 1;
}

CryptOutcome EncryptStream(Input* in, Output* out, int32_t threads, const Expansion* x) {
  cipher::Engine& engine = gEngine;
  if (threads > 1) return CryptSegments(engine, x, in, out, false, threads);
  BlockWriter w(out);
  fillers::Pool fillers;
  int64_t done = 0;
  for (;;) {
    if (Stopped()) return CryptOutcome::kStopped;
    Str block(in->Read(kBlock));
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
            if (f == 0) return CryptOutcome::kWriteFailed;  // fewer fillers than counted: cannot happen
            CopyRun(w.Room(f), run, f, w.room());
            w.Advance(f);
            k -= f;
          }
        }
      }
    }
    if (w.failed()) return CryptOutcome::kWriteFailed;
  }
  if (in->failed()) return CryptOutcome::kReadFailed;
  w.Flush();
  return w.failed() ? CryptOutcome::kWriteFailed : CryptOutcome::kDone;
}

CryptOutcome DecryptStream(Input* in, Output* out, int32_t threads, const Expansion* x) {
  cipher::Engine& engine = gEngine;
  if (threads > 1) return CryptSegments(engine, x, in, out, true, threads);
  BlockWriter w(out);
  uint32_t skip = 0;  // filler bytes still to pass over
  int64_t done = 0;
  for (;;) {
    if (Stopped()) return CryptOutcome::kStopped;
    Str block(in->Read(kBlock));
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
    if (w.failed()) return CryptOutcome::kWriteFailed;
  }
  if (in->failed()) return CryptOutcome::kReadFailed;
  w.Flush();
  return w.failed() ? CryptOutcome::kWriteFailed : CryptOutcome::kDone;
}
