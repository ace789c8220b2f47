// The cipher's settings and the segmented run of enc and dec.
#include "app/crypt_parallel.h"

#include "app/crypt_io.h"
#include "app/util.h"
#include "app/wipe.h"

namespace {

// Environment values longer than this are not a setting.
constexpr int32_t kValueRoom = 16;

bool ValueIs(const uint8_t* v, int32_t n, const char* word) {
  int32_t i = 0;
  for (; i < n && word[i]; i++) {
    uint8_t c = v[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c + 32);
    if (c != static_cast<uint8_t>(word[i])) return false;
  }
  return i == n && word[i] == 0;
}

bool ReadPath(cipher::Path* path, bool* chosen) {
  uint8_t v[kValueRoom];
  int32_t n = RuntimeEnvironmentValue("OMBRIX_CIPHER_PATH", v, kValueRoom);
  *path = cipher::BestPath();
  *chosen = n > 0;
  if (n <= 0) return true;
  if (ValueIs(v, n, "portable")) {
    *path = cipher::Path::kPortable;
  } else if (ValueIs(v, n, "avx2")) {
    *path = cipher::Path::kAvx2;
  } else if (ValueIs(v, n, "avx512")) {
    *path = cipher::Path::kAvx512;
  } else {
    PRINT("OMBRIX_CIPHER_PATH must be portable, avx2 or avx512 error.");
    return false;
  }
  if (cipher::PathAvailable(*path)) return true;
  if (*path == cipher::Path::kAvx2)
    PRINT("The cipher path avx2 needs AVX2, which this processor lacks error.");
  else
    PRINT("The cipher path avx512 needs AVX-512 VBMI, which this processor lacks error.");
  return false;
}

bool ReadThreads(int32_t* threads) {
  uint8_t v[kValueRoom];
  int32_t n = RuntimeEnvironmentValue("OMBRIX_THREADS", v, kValueRoom);
  *threads = RuntimeRunWorkers(0, 0, nullptr, nullptr, 0);
  if (n <= 0) return true;
  int32_t value = 0;
  bool ok = n <= 6;
  for (int32_t i = 0; ok && i < n; i++) {
    ok = v[i] >= '0' && v[i] <= '9';
    value = value * 10 + (v[i] - '0');
  }
  if (!ok || value < 1) {
    PRINT("OMBRIX_THREADS must be a whole number of at least 1 error.");
    return false;
  }
  // More threads than the pool has are the pool's all.
  *threads = RuntimeRunWorkers(value, 0, nullptr, nullptr, 0);
  return true;
}

// Plain segments are cut by input bytes; expanded ones by output bytes (encryption:
// the output of a segment; decryption: its encrypted input), so that a segment in
// memory is bounded whatever the level.
constexpr uint32_t kSegment = kMVStreamBlock;  // a whole block of the read-ahead: no copy
constexpr uint32_t kExpandedSegment = 2097152;

// One segment: its bytes as read (held by the batch alone), the position of its first
// cipher byte, and what expansion adds.
struct Segment {
  Str block;
  uint64_t at;
  uint32_t cipherBytes;  // expanded: cipher bytes in the segment
  uint32_t skip;         // decryption: offset of the first cipher byte in the block
  uint32_t outLength;    // encryption: bytes of output
  uint64_t stream;       // encryption: the segment's filler substream
};

struct Batch {
  const cipher::Engine* master;
  const Expansion* expansion;
  bool decrypt;
  Segment seg[kMVMaxWorkerThreads];
  uint8_t* canvas[kMVMaxWorkerThreads];  // encryption with expansion: each segment's output
};

// What a segment's work needs beside the batch: an engine, a filler generator and the
// filler counts of a chunk. A worker keeps them in its room; the program's thread in
// static storage.
struct Tools {
  cipher::Engine* engine;
  filler::Source* source;
  uint32_t* counts;  // cipher::kChunk
};

// A worker's room: its engine at the master's place within a cache line, then the rest.
constexpr uint32_t kEngineRoom = (sizeof(cipher::Engine) + 64 + 63) & ~63u;
constexpr uint32_t kRoomBytes = kEngineRoom + sizeof(filler::Source) + 4 * cipher::kChunk;

Tools ToolsIn(void* room, const cipher::Engine* master) {
  uint8_t* r = static_cast<uint8_t*>(room);
  uintptr_t line = reinterpret_cast<uintptr_t>(master) & 63;
  Tools t;
  t.engine = reinterpret_cast<cipher::Engine*>(r + line);
  t.source = reinterpret_cast<filler::Source*>(r + kEngineRoom);
  t.counts = reinterpret_cast<uint32_t*>(r + kEngineRoom + sizeof(filler::Source));
  return t;
}

// Each cipher byte of the segment (encrypted in place) and its fillers, into the canvas.
// The fillers of a chunk of cipher bytes are drawn in one run over the chunk's whole
// output, and the cipher bytes then put in their places.
void Expand(const Batch& b, const Segment& s, uint8_t* bytes, uint8_t* canvas, const Tools& t) {
  filler::Start(t.source, b.expansion->fillerKey, s.stream, b.expansion->kind);
  uint32_t o = 0;
  for (uint32_t i = 0; i < s.cipherBytes; i += cipher::kChunk) {
    uint32_t m = s.cipherBytes - i < cipher::kChunk ? s.cipherBytes - i : cipher::kChunk;
    uint32_t fillers = static_cast<uint32_t>(t.engine->NextFillers(m, t.counts));
    filler::Draw(t.source, canvas + o, m + fillers);
    for (uint32_t j = 0; j < m; j++) {
      canvas[o] = bytes[i + j];
      o += 1 + t.counts[j];
    }
  }
  WipeSecret(t.source, sizeof(filler::Source));
}

// The segment's cipher bytes moved to its front (each lies at or after its new place).
void Compact(const Segment& s, uint8_t* bytes, uint32_t length, const Tools& t) {
  uint32_t from = s.skip;
  for (uint32_t i = 0; i < s.cipherBytes; i += cipher::kChunk) {
    uint32_t m = s.cipherBytes - i < cipher::kChunk ? s.cipherBytes - i : cipher::kChunk;
    t.engine->NextFillers(m, t.counts);
    for (uint32_t j = 0; j < m && from < length; j++) {
      bytes[i + j] = bytes[from];
      from += 1 + t.counts[j];
    }
  }
}

// One segment's work, from an engine placed before its first cipher byte. Calls no
// runtime entry point.
void Work(const Batch& b, int32_t item, const Tools& t) {
  const Segment& s = b.seg[item];
  MVString* str = s.block.get();
  uint8_t* bytes = str->buffer + 1;
  uint32_t n = MVStringLength(str);
  if (!b.expansion) {
    if (b.decrypt)
      t.engine->Decrypt(bytes, bytes, n);
    else
      t.engine->Encrypt(bytes, bytes, n);
  } else if (b.decrypt) {
    Compact(s, bytes, n, t);
    t.engine->Decrypt(bytes, bytes, s.cipherBytes);
  } else {
    t.engine->Encrypt(bytes, bytes, n);
    Expand(b, s, bytes, b.canvas[item], t);
  }
}

void RunSegment(void* context, int32_t item, void* room) {
  Batch* b = static_cast<Batch*>(context);
  Tools t = ToolsIn(room, b->master);
  t.engine->CopyFrom(*b->master);
  t.engine->Seek(b->seg[item].at);
  Work(*b, item, t);
}

// The program's thread's own tools, on the master engine.
filler::Source gSource;
uint32_t gCounts[cipher::kChunk];

void RunOnMaster(Batch* b, cipher::Engine& master, int32_t count) {
  Tools t{&master, &gSource, gCounts};
  for (int32_t i = 0; i < count; i++) {
    master.Seek(b->seg[i].at);
    Work(*b, i, t);
  }
}

// A segment's bytes in a string that only this command holds.
Str Owned(Str block) {
  MVString* s = block.get();
  if (s && s->refCount == 1) return block;
  return Str(MAVOBuildString(block.bytes(), static_cast<int32_t>(block.length()), kEncodingUnknown));
}

// A string of at least kExpandedSegment bytes that only this command holds: room for a
// segment's output, which then goes out as a string of its exact length.
Str Canvas() {
  static const uint8_t kSeed[4096] = {};
  Str c(MAVOBuildString(kSeed, sizeof kSeed, kEncodingUnknown));
  while (c.get() && c.length() < kExpandedSegment) c = c + c;
  return c;
}

// The most cipher bytes from position `at` on whose output stays within a segment (at
// least one).
uint32_t CipherBytesFitting(const cipher::FillerPrefix& prefix, uint64_t at) {
  uint64_t start = prefix.OutputOffset(at);
  uint32_t lo = 1, hi = kExpandedSegment;
  while (lo < hi) {
    uint32_t mid = lo + (hi - lo + 1) / 2;
    if (prefix.OutputOffset(at + mid) - start <= kExpandedSegment)
      lo = mid;
    else
      hi = mid - 1;
  }
  return lo;
}

// Reads the next segment into *s. `position` counts cipher bytes, `input` the bytes
// read; false at the end of the input.
bool ReadSegment(Input* in, const Expansion* x, bool decrypt, uint64_t* position,
                 uint64_t* input, uint64_t* stream, Segment* s) {
  uint32_t want = !x ? kSegment
                  : decrypt ? kExpandedSegment
                            : CipherBytesFitting(*x->prefix, *position);
  Str block(in->Read(want));
  uint32_t n = block.length();
  if (n == 0) return false;
  s->block = Owned(block);
  s->at = *position;
  if (!x) {
    *position += n;
  } else if (decrypt) {
    uint64_t end = x->prefix->CipherBytesBefore(*input + n);
    s->skip = static_cast<uint32_t>(x->prefix->OutputOffset(*position) - *input);
    s->cipherBytes = static_cast<uint32_t>(end - *position);
    *position = end;
  } else {
    s->cipherBytes = n;
    s->outLength = static_cast<uint32_t>(x->prefix->OutputOffset(*position + n) -
                                         x->prefix->OutputOffset(*position));
    s->stream = ++*stream;
    *position += n;
  }
  *input += n;
  return true;
}

// Writes a segment's result; false when the output failed.
bool WriteSegment(Output* out, const Batch& b, int32_t i) {
  const Segment& s = b.seg[i];
  if (!b.expansion)
    out->Write(s.block);
  else if (b.decrypt)
    out->Write(s.block.bytes(), s.cipherBytes);
  else
    out->Write(b.canvas[i], s.outLength);
  return !out->failed();
}

}  // namespace

bool ReadCipherSettings(CipherSettings* settings, bool* chosen) {
  return ReadPath(&settings->path, chosen) && ReadThreads(&settings->threads);
}

bool SegmentsFit(const cipher::FillerPrefix& prefix) {
  return prefix.MostFillers() < kExpandedSegment;
}

CryptOutcome CryptSegments(cipher::Engine& master, const Expansion* expansion, Input* in, Output* out,
                           bool decrypt, int32_t threads) {
  Batch batch;
  batch.master = &master;
  batch.expansion = expansion;
  batch.decrypt = decrypt;
  if (threads > kMVMaxWorkerThreads) threads = kMVMaxWorkerThreads;
  if (threads < 1) threads = 1;
  Str canvases[kMVMaxWorkerThreads];
  uint64_t position = 0, input = 0, stream = 0;
  bool end = false;
  while (!end) {
    if (RuntimeStopRequested() != kMVGoOn) return CryptOutcome::kStopped;
    int32_t count = 0;
    while (count < threads) {
      if (!ReadSegment(in, expansion, decrypt, &position, &input, &stream, &batch.seg[count])) {
        end = true;
        break;
      }
      if (expansion && !decrypt) {
        if (!canvases[count].get()) canvases[count] = Canvas();
        if (!canvases[count].get()) return CryptOutcome::kWriteFailed;  // no memory
        batch.canvas[count] = canvases[count].get()->buffer + 1;
      }
      count++;
    }
    if (count > 0) {
      RuntimeProgressStep(static_cast<int64_t>(input));
      if (count == 1 || RuntimeRunWorkers(threads, kRoomBytes, RunSegment, &batch, count) == 0)
        RunOnMaster(&batch, master, count);
    }
    for (int32_t i = 0; i < count; i++) {
      bool written = WriteSegment(out, batch, i);
      batch.seg[i].block = Str();
      if (!written) return CryptOutcome::kWriteFailed;
    }
  }
  if (in->failed()) return CryptOutcome::kReadFailed;
  return CryptOutcome::kDone;
}
