// The sealing stage of enc and dec: between the cipher's stream of the plain format and
// the file, chunks of the sealed format (app/sealed_format.h) are sealed on the way out
// and opened on the way in, a batch at a time. The chunks of a batch are sealed or
// opened on the cipher workers, one item a chunk (items call no runtime export); on one
// thread, or for a batch of one chunk, on the program's thread.
#pragma once
#include "app/output_writer.h"
#include "app/rt.h"
#include "app/sealed_format.h"
#include "app/util.h"

namespace sealing {

// Chunks sealed or opened together.
constexpr uint32_t kBatchChunks = 8;

// Seals the plain format's stream into a file of the sealed format.
class Sealer {
 public:
  Sealer();
  ~Sealer() { End(); }
  Sealer(const Sealer&) = delete;
  Sealer& operator=(const Sealer&) = delete;
  // Writes the header to `out` and keeps the file's key for the chunks to come.
  void Start(MVBinaryStream* out, const uint8_t salt[sealed::kSaltBytes],
             const uint8_t key[sealed::kKeyBytes], int32_t threads);
  // The next n bytes of the stream. A chunk is sealed once the bytes after it have come,
  // so that the last one is known as such.
  void Put(const uint8_t* p, uint32_t n);
  // Seals the rest as the last chunk (an empty one when no byte came at all) and writes
  // it. Write failures show in the stream's last error.
  void Finish();
  // Wipes the key.
  void End();

 private:
  void SealBatch(bool end);
  MVBinaryStream* out_;
  uint8_t key_[sealed::kKeyBytes];
  int32_t threads_;
  uint8_t* batch_;   // the batch being filled: chunk i at i * kStoredChunkBytes
  uint32_t filled_;  // bytes of the stream in it
  uint64_t next_;    // the index of its first chunk
  StringRing ring_;
};

// Opens the chunks of a sealed file and gives out the plain format's stream, each chunk
// only once it has passed its check.
class Opener {
 public:
  Opener();
  ~Opener() { End(); }
  Opener(const Opener&) = delete;
  Opener& operator=(const Opener&) = delete;
  // The source `in`, of which `first` was already read: its bytes from `from` on are the
  // first after the header.
  void Start(MVBinaryStream* in, const Str& first, uint32_t from, const uint8_t key[sealed::kKeyBytes],
             int32_t threads);
  // Up to n further bytes of the stream (a string only the caller holds); empty at the
  // end of the stream, at a failed read (the source's last error) and at a chunk that
  // failed its check.
  Str Read(uint32_t n);
  // A chunk failed its check, or the source ended without a last chunk, or went on
  // after it: the file is not what was sealed with this key.
  bool forged() const { return forged_; }
  // Wipes the key.
  void End();

 private:
  bool More();
  bool Fill();
  MVBinaryStream* in_;
  Str carry_;         // read from the source and not yet taken
  uint32_t carryAt_;
  uint8_t key_[sealed::kKeyBytes];
  int32_t threads_;
  uint64_t next_;     // the index of the next chunk
  uint32_t at_;       // bytes of the batch given out
  uint32_t sound_;    // bytes of the batch whose chunks passed their check
  bool ended_;        // the last chunk passed its check
  bool forged_;
};

}  // namespace sealing
