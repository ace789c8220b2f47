// The segmented run of enc and dec.
#include "app/crypt_parallel.h"

#include "app/crypt_io.h"
#include "app/util.h"
#include "app/wipe.h"

namespace {

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

// Segments of a batch: each thread takes several of a plain stream's, so that a thread
// that ends its first early takes another; one of an expanded stream's (2 MiB each).
constexpr int32_t kPlainPerThread = 4;
constexpr int32_t kMostSegments = kPlainPerThread * kMVMaxWorkerThreads;

// The segments the workers cipher while the program's thread writes the batch before and
// reads the one after. Only the program's thread touches the strings (their counts are
// its alone); the workers only the bytes.
struct Batch {
  const cipher::Engine* master;
  const Expansion* expansion;
  bool decrypt;
  uint64_t run;  // the run of CryptSegments the batch belongs to
  int32_t count;
  Segment seg[kMostSegments];
  uint8_t* canvas[kMostSegments];  // encryption with expansion: each segment's output
  Str canvasString[kMostSegments];  // ... and the string it lies in
};

// What a segment's work needs beside the batch: an engine, a filler generator and the
// filler counts of a chunk. A worker keeps them in its room; the program's thread in
// static storage.
struct Tools {
  cipher::Engine* engine;
  filler::Source* source;
  uint32_t* counts;  // cipher::kChunk
};

// A worker's room: which master its engine is a copy of, in which run; the engine at the
// master's place within a cache line; then the rest. The copy serves every segment of the
// run the thread takes (a segment only places it).
struct RoomTag {
  const cipher::Engine* master;
  uint64_t run;
};
constexpr uint32_t kTagRoom = 64;
constexpr uint32_t kEngineRoom = (sizeof(cipher::Engine) + 64 + 63) & ~63u;
constexpr uint32_t kRoomBytes = kTagRoom + kEngineRoom + sizeof(filler::Source) + 4 * cipher::kChunk;

Tools ToolsIn(void* room, const cipher::Engine* master) {
  uint8_t* r = static_cast<uint8_t*>(room) + kTagRoom;
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
  // A room's engine keeps its tables from segment to segment: only its place changes.
  RoomTag* tag = static_cast<RoomTag*>(room);
  if (tag->master != b->master || tag->run != b->run) {
    t.engine->CopyFrom(*b->master);
    tag->master = b->master;
    tag->run = b->run;
  }
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

// A segment's bytes in a string that only this command holds (taken by reference: a
// copy of the caller's would count as a second holder).
Str Owned(const Str& block) {
  MVString* s = block.get();
  if (s && s->refCount == 1) return block;
  return Str(MAVOBuildString(block.bytes(), static_cast<int32_t>(block.length()), kEncodingUnknown));
}

// A string of kExpandedSegment bytes that only this command holds: room for a segment's
// output, which then goes out from it.
Str Canvas() { return Str(RuntimeNewZeroString(static_cast<int32_t>(kExpandedSegment))); }

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

// Writes a segment's result; false when the output failed. What a worker wrote goes out
// from where it lies: the segment's own string, or the canvas (the writer may hold either
// until it is written).
bool WriteSegment(Output* out, const Batch& b, int32_t i) {
  const Segment& s = b.seg[i];
  if (!b.expansion)
    out->Write(s.block);
  else if (b.decrypt)
    out->WritePart(s.block, s.cipherBytes);
  else
    out->WritePart(b.canvasString[i], s.outLength);
  return !out->failed();
}

// Writes a batch and lets its segments go; false when the output failed.
bool WriteBatch(Output* out, Batch* b) {
  bool written = true;
  for (int32_t i = 0; i < b->count; i++) {
    written = written && WriteSegment(out, *b, i);
    b->seg[i].block = Str();
  }
  b->count = 0;
  return written;
}

// The canvases of a run: a canvas the writer still holds is parked here until it lets it
// go, and taken again then, so that a run makes few.
class CanvasPool {
 public:
  // Makes *c a canvas only the batch holds: *c itself, a parked one the writer has let go
  // (*c parked in its place), or a new one. False when memory is short.
  bool Renew(Str* c) {
    if (c->get() && c->get()->refCount == 1) return true;
    Str* empty = nullptr;
    for (Str& p : parked_) {
      if (p.get() && p.get()->refCount == 1) {
        Str free = p;
        p = *c;
        *c = free;
        return true;
      }
      if (!p.get() && !empty) empty = &p;
    }
    if (empty) *empty = *c;  // else the writer alone frees it
    *c = Canvas();
    return c->get() != nullptr;
  }

 private:
  // Two batches' canvases may be held by the writer at once.
  Str parked_[2 * kMVMaxWorkerThreads];
};

// Reads up to `most` segments into the batch (b->count of them; fewer at the end of the
// input, *end then set), each with a canvas where the key expands. False when memory is
// short.
bool ReadBatch(Input* in, Batch* b, int32_t most, CanvasPool* canvases, uint64_t* position,
               uint64_t* input, uint64_t* stream, bool* end) {
  b->count = 0;
  while (!*end && b->count < most) {
    int32_t i = b->count;
    if (!ReadSegment(in, b->expansion, b->decrypt, position, input, stream, &b->seg[i])) {
      *end = true;
      break;
    }
    RuntimeProgressStep(static_cast<int64_t>(*input));
    b->count++;
    if (b->expansion && !b->decrypt) {
      if (!canvases->Renew(&b->canvasString[i])) return false;
      b->canvas[i] = b->canvasString[i].get()->buffer + 1;
    }
  }
  return true;
}

}  // namespace

bool SegmentsFit(const cipher::FillerPrefix& prefix) {
  return prefix.MostFillers() < kExpandedSegment;
}

CryptOutcome CryptSegments(cipher::Engine& master, const Expansion* expansion, Input* in, Output* out,
                           bool decrypt, int32_t threads) {
  static uint64_t runs;  // numbers the runs, for the rooms' engines
  Batch batches[2];
  CanvasPool canvases;
  if (threads > kMVMaxWorkerThreads) threads = kMVMaxWorkerThreads;
  if (threads < 1) threads = 1;
  int32_t most = expansion ? threads : threads * kPlainPerThread;
  ++runs;
  for (Batch& b : batches) {
    b.master = &master;
    b.expansion = expansion;
    b.decrypt = decrypt;
    b.run = runs;
    b.count = 0;
  }
  // The workers cipher one batch while this thread writes the one before and reads the
  // one after; a batch no worker could take is ciphered here, before the others are
  // touched.
  uint64_t position = 0, input = 0, stream = 0;
  bool end = false;
  Batch* current = &batches[0];
  Batch* other = &batches[1];
  CryptOutcome outcome = CryptOutcome::kDone;
  if (!ReadBatch(in, current, most, &canvases, &position, &input, &stream, &end)) outcome = CryptOutcome::kWriteFailed;
  while (outcome == CryptOutcome::kDone && current->count > 0) {
    if (RuntimeStopRequested() != kMVGoOn) {
      outcome = CryptOutcome::kStopped;
      break;
    }
    bool posted = RuntimeStartWorkers(threads, kRoomBytes, RunSegment, current, current->count) > 0;
    if (!posted) RunOnMaster(current, master, current->count);
    if (!WriteBatch(out, other))
      outcome = CryptOutcome::kWriteFailed;
    else if (!ReadBatch(in, other, most, &canvases, &position, &input, &stream, &end))
      outcome = CryptOutcome::kWriteFailed;  // no memory
    if (posted) RuntimeWaitWorkers();
    Batch* done = current;
    current = other;
    other = done;
  }
  // The last batch ciphered; what a failure or a stop leaves is let go unwritten.
  if (outcome == CryptOutcome::kDone && !WriteBatch(out, other)) outcome = CryptOutcome::kWriteFailed;
  if (outcome == CryptOutcome::kDone && in->failed()) return CryptOutcome::kReadFailed;
  return outcome;
}
