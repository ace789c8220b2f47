// The sealing stage (see sealing.h).
#include "app/sealing.h"

#include "app/wipe.h"

namespace sealing {

namespace {

using sealed::kChunkBytes;
using sealed::kStoredChunkBytes;
using sealed::kTagBytes;

constexpr uint32_t kBatchBytes = kBatchChunks * kChunkBytes;         // of the stream
constexpr uint32_t kStoredBatchBytes = kBatchChunks * kStoredChunkBytes;  // as stored

// One batch's work for the items: chunk i's stored bytes at i * kStoredChunkBytes (its
// bytes, then its tag right after them).
struct Job {
  const uint8_t* key;
  uint8_t* stored;
  uint8_t* plain;      // opening: chunk i's bytes go to i * kChunkBytes
  uint64_t first;      // the index of chunk 0 in the file
  int32_t last;        // the item that is the file's last chunk; -1: none of them
  uint32_t length[kBatchChunks];  // each chunk's bytes, its tag not counted
  bool sound[kBatchChunks];       // opening: the chunk passed its check
};

uint8_t* StoredChunk(const Job* job, int32_t i) {
  return job->stored + static_cast<size_t>(i) * kStoredChunkBytes;
}

void SealChunk(void* context, int32_t i, void*) {
  const Job* job = static_cast<const Job*>(context);
  uint8_t nonce[aead::kNonceBytes];
  sealed::Nonce(job->first + static_cast<uint64_t>(i), i == job->last, nonce);
  uint8_t* c = StoredChunk(job, i);
  aead::Seal(job->key, nonce, nullptr, 0, c, job->length[i], c, c + job->length[i]);
}

void OpenChunk(void* context, int32_t i, void*) {
  Job* job = static_cast<Job*>(context);
  uint8_t nonce[aead::kNonceBytes];
  sealed::Nonce(job->first + static_cast<uint64_t>(i), i == job->last, nonce);
  const uint8_t* c = StoredChunk(job, i);
  uint8_t* out = job->plain + static_cast<size_t>(i) * kChunkBytes;
  job->sound[i] = aead::Open(job->key, nonce, nullptr, 0, c, job->length[i], c + job->length[i], out);
}

// Runs the item for chunks 0 .. count - 1: on the workers where there are several
// threads and chunks (and the pool has room), else here.
void RunItems(Job* job, MVWorkItem item, int32_t count, int32_t threads) {
  if (threads > 1 && count > 1 && RuntimeRunWorkers(threads, 0, item, job, count) > 0) return;
  for (int32_t i = 0; i < count; i++) item(job, i, nullptr);
}

// The sealer's batch when every string of its ring is still held; the seed of the ring's
// strings.
uint8_t gSealBatch[kStoredBatchBytes];
// The opener's batch as read, and its chunks' bytes once opened.
uint8_t gOpenStored[kStoredBatchBytes];
uint8_t gOpenPlain[kBatchBytes];

}  // namespace

Sealer::Sealer()
    : out_(nullptr), threads_(1), batch_(nullptr), filled_(0), next_(0), ring_(kStoredBatchBytes, gSealBatch) {}

void Sealer::Start(MVBinaryStream* out, const uint8_t salt[sealed::kSaltBytes],
                   const uint8_t key[sealed::kKeyBytes], int32_t threads) {
  out_ = out;
  threads_ = threads;
  for (uint32_t i = 0; i < sealed::kKeyBytes; i++) key_[i] = key[i];
  uint8_t header[sealed::kHeaderBytes];
  sealed::WriteHeader(salt, header);
  Str h(MAVOBuildString(header, sealed::kHeaderBytes, kEncodingUnknown));
  BinaryStreamWrite(out_, h.get());
}

void Sealer::Put(const uint8_t* p, uint32_t n) {
  while (n > 0) {
    if (filled_ == kBatchBytes) SealBatch(false);  // more follows: no chunk of it is the last
    if (!batch_) {
      batch_ = ring_.Acquire();
      if (!batch_) batch_ = gSealBatch;
    }
    uint32_t at = filled_ % kChunkBytes;
    uint32_t take = kChunkBytes - at < n ? kChunkBytes - at : n;
    MoveBytes(batch_ + (filled_ / kChunkBytes) * kStoredChunkBytes + at, p, take);
    filled_ += take;
    p += take;
    n -= take;
  }
}

void Sealer::Finish() { SealBatch(true); }

void Sealer::SealBatch(bool end) {
  if (!batch_) batch_ = gSealBatch;  // only the empty last chunk of an empty stream
  Job job;
  job.key = key_;
  job.stored = batch_;
  job.plain = nullptr;
  job.first = next_;
  int32_t count = filled_ == 0 ? 1 : static_cast<int32_t>((filled_ + kChunkBytes - 1) / kChunkBytes);
  for (int32_t i = 0; i < count; i++) {
    uint32_t before = static_cast<uint32_t>(i) * kChunkBytes;
    job.length[i] = filled_ - before < kChunkBytes ? filled_ - before : kChunkBytes;
  }
  job.last = end ? count - 1 : -1;
  RunItems(&job, SealChunk, count, threads_);
  uint32_t bytes = static_cast<uint32_t>(count - 1) * kStoredChunkBytes + job.length[count - 1] + kTagBytes;
  if (BinaryStreamGetLastError(out_) == 0) {
    if (bytes == kStoredBatchBytes && batch_ != gSealBatch) {
      // The whole string, not touched again until the stream lets go of it.
      BinaryStreamWrite(out_, ring_.Current().get());
      ring_.Next();
    } else {
      Str s(MAVOBuildString(batch_, static_cast<int32_t>(bytes), kEncodingUnknown));
      BinaryStreamWrite(out_, s.get());
    }
  }
  batch_ = nullptr;
  filled_ = 0;
  next_ += static_cast<uint64_t>(count);
}

void Sealer::End() { WipeSecret(key_, sizeof key_); }

Opener::Opener()
    : in_(nullptr), carryAt_(0), threads_(1), next_(0), at_(0), sound_(0), ended_(false), forged_(false) {}

void Opener::Start(MVBinaryStream* in, const Str& first, uint32_t from, const uint8_t key[sealed::kKeyBytes],
                   int32_t threads) {
  in_ = in;
  carry_ = first;
  carryAt_ = from;
  threads_ = threads;
  for (uint32_t i = 0; i < sealed::kKeyBytes; i++) key_[i] = key[i];
}

bool Opener::More() {
  if (carryAt_ < carry_.length()) return true;
  carry_ = Str(BinaryStreamRead(in_, kMVStreamBlock, nullptr));
  carryAt_ = 0;
  return carry_.length() > 0;
}

// Reads the next batch, up to kBatchChunks stored chunks, and opens them; afterwards
// [0, sound_) of gOpenPlain holds the bytes of the chunks that passed their check, up to
// the first that did not. False when there is nothing more to open.
bool Opener::Fill() {
  at_ = sound_ = 0;
  if (ended_ || forged_) return false;
  uint32_t filled = 0;
  while (filled < kStoredBatchBytes && More()) {
    uint32_t left = carry_.length() - carryAt_;
    uint32_t take = kStoredBatchBytes - filled < left ? kStoredBatchBytes - filled : left;
    MoveBytes(gOpenStored + filled, carry_.bytes() + carryAt_, take);
    filled += take;
    carryAt_ += take;
  }
  // Whether the source goes on decides whether the batch holds the last chunk.
  bool end = !More();
  if (BinaryStreamGetLastError(in_) != 0) return false;
  Job job;
  job.key = key_;
  job.stored = gOpenStored;
  job.plain = gOpenPlain;
  job.first = next_;
  int32_t count = 0;
  bool cut = false;  // the source ends inside a tag
  for (uint32_t at = 0; at < filled; at += kStoredChunkBytes) {
    uint32_t piece = filled - at < kStoredChunkBytes ? filled - at : kStoredChunkBytes;
    if (piece < kTagBytes) {
      cut = true;
      break;
    }
    job.length[count++] = piece - kTagBytes;
  }
  job.last = end && !cut ? count - 1 : -1;
  RunItems(&job, OpenChunk, count, threads_);
  next_ += static_cast<uint64_t>(count);
  for (int32_t i = 0; i < count && !forged_; i++) {
    if (!job.sound[i]) {
      forged_ = true;
    } else {
      sound_ += job.length[i];
      ended_ = i == job.last;
    }
  }
  // No chunk at all, or no last one where the source ends.
  if (count == 0 || cut || (end && !ended_)) forged_ = true;
  return true;
}

Str Opener::Read(uint32_t n) {
  while (at_ == sound_)
    if (!Fill()) return Str();
  uint32_t m = sound_ - at_ < n ? sound_ - at_ : n;
  Str s(MAVOBuildString(gOpenPlain + at_, static_cast<int32_t>(m), kEncodingUnknown));
  at_ += m;
  return s;
}

void Opener::End() { WipeSecret(key_, sizeof key_); }

}  // namespace sealing
