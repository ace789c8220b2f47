// The cipher's settings and the segmented run of enc and dec.
#include "app/crypt_parallel.h"

#include "app/util.h"

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

// One batch of segments: segment i is blocks[i], its first byte at position at[i].
struct Batch {
  const cipher::Engine* master;
  bool decrypt;
  Str blocks[kMVMaxWorkerThreads];
  uint64_t at[kMVMaxWorkerThreads];
};

// An engine in a worker's room at the master's place within a cache line.
constexpr uint32_t kRoomBytes = sizeof(cipher::Engine) + 64;

inline cipher::Engine* EngineIn(void* room, const cipher::Engine* master) {
  uintptr_t line = reinterpret_cast<uintptr_t>(master) & 63;
  return reinterpret_cast<cipher::Engine*>(static_cast<uint8_t*>(room) + line);
}

// Runs on a worker: calls no runtime entry point. The block is held by the batch alone.
void RunSegment(void* context, int32_t item, void* room) {
  Batch* b = static_cast<Batch*>(context);
  cipher::Engine* e = EngineIn(room, b->master);
  e->CopyFrom(*b->master);
  e->Seek(b->at[item]);
  MVString* s = b->blocks[item].get();
  uint8_t* bytes = s->buffer + 1;
  uint32_t n = MVStringLength(s);
  if (b->decrypt)
    e->Decrypt(bytes, bytes, n);
  else
    e->Encrypt(bytes, bytes, n);
}

// A segment's bytes in a string that only this command holds.
Str Owned(Str block) {
  MVString* s = block.get();
  if (s && s->refCount == 1) return block;
  return Str(MAVOBuildString(block.bytes(), static_cast<int32_t>(block.length()), kEncodingUnknown));
}

constexpr uint32_t kSegment = kMVStreamBlock;  // a whole block of the read-ahead: no copy

}  // namespace

bool ReadCipherSettings(CipherSettings* settings, bool* chosen) {
  return ReadPath(&settings->path, chosen) && ReadThreads(&settings->threads);
}

SegmentOutcome CryptSegments(cipher::Engine& master, MVBinaryStream* in, MVBinaryStream* out,
                             bool decrypt, int32_t threads) {
  Batch batch;
  batch.master = &master;
  batch.decrypt = decrypt;
  if (threads > kMVMaxWorkerThreads) threads = kMVMaxWorkerThreads;
  uint64_t position = 0;
  bool end = false;
  while (!end) {
    if (RuntimeStopRequested() != kMVGoOn) return SegmentOutcome::kStopped;
    int32_t count = 0;
    while (count < threads) {
      Str block(BinaryStreamRead(in, kSegment, nullptr));
      uint32_t n = block.length();
      if (n == 0) {
        end = true;
        break;
      }
      batch.blocks[count] = Owned(block);
      batch.at[count] = position;
      position += n;
      count++;
    }
    if (count > 0) {
      RuntimeProgressStep(static_cast<int64_t>(position));
      if (RuntimeRunWorkers(threads, kRoomBytes, RunSegment, &batch, count) == 0) {
        // No memory for the workers: the program's thread runs the batch on the master.
        for (int32_t i = 0; i < count; i++) {
          master.Seek(batch.at[i]);
          MVString* s = batch.blocks[i].get();
          if (decrypt)
            master.Decrypt(s->buffer + 1, s->buffer + 1, MVStringLength(s));
          else
            master.Encrypt(s->buffer + 1, s->buffer + 1, MVStringLength(s));
        }
      }
    }
    for (int32_t i = 0; i < count; i++) {
      BinaryStreamWrite(out, batch.blocks[i].get());
      batch.blocks[i] = Str();
      if (BinaryStreamGetLastError(out) != 0) return SegmentOutcome::kWriteFailed;
    }
  }
  if (BinaryStreamGetLastError(in) != 0) return SegmentOutcome::kReadFailed;
  return SegmentOutcome::kDone;
}
