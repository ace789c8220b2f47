// What the cipher loops of enc and dec read and write: the source and the destination
// streams themselves, or the sealing stage in front of them (app/sealing.h); and the
// start of dec's source, which tells the format it is read in.
#pragma once
#include "app/rt.h"
#include "app/sealing.h"
#include "app/util.h"

// The stream the cipher writes: the destination, or the sealer in front of it (which
// writes to the destination).
class Output {
 public:
  explicit Output(MVBinaryStream* stream, sealing::Sealer* sealer = nullptr) : stream_(stream), sealer_(sealer) {}
  // A string as it is: straight to the destination, which may hold it until it is
  // written, or copied into the sealer's chunks.
  void Write(const Str& block);
  void Write(const uint8_t* p, uint32_t n);
  // The first n bytes of a string that only its holders change: straight to the
  // destination, which may hold the string until they are written (so that its holder
  // must not change them meanwhile), or copied into the sealer's chunks.
  void WritePart(const Str& holder, uint32_t n);
  // A write to the destination failed.
  bool failed() const { return BinaryStreamGetLastError(stream_) != 0; }

 private:
  MVBinaryStream* stream_;
  sealing::Sealer* sealer_;
};

// The stream the cipher reads: the source, or the opener in front of it (which reads the
// source). Reads end, empty, at the end of the stream, at a failed read of the source, and
// at a sealed chunk that failed its check (the opener tells).
class Input {
 public:
  explicit Input(MVBinaryStream* stream, sealing::Opener* opener = nullptr) : stream_(stream), opener_(opener) {}
  // Bytes already read from the source, given out before the rest of it.
  void Unread(const Str& first) { first_ = first; }
  // Up to n further bytes: a string that may be held by the source's read-ahead too.
  Str Read(uint32_t n);
  // A read of the source failed.
  bool failed() const { return BinaryStreamGetLastError(stream_) != 0; }

 private:
  MVBinaryStream* stream_;
  sealing::Opener* opener_;
  Str first_;
};

// What the start of dec's source says about its format.
enum class SourceStart {
  kPlain,         // no sealed header (or none looked for): the plain format
  kSealed,        // a sealed header of this version
  kNotSealed,     // no sealed header where one is required
  kOtherVersion,  // a sealed header of another version
  kChanged,       // a sealed header cut short
  kEmpty,         // nothing to read (or a failed read: the source's last error)
};

// Reads the first block of the source into *first and looks at its start: where
// `sealedOnly`, a source without the sealed header is kNotSealed, otherwise kPlain. The
// version byte of a sealed header goes to *version.
SourceStart ExamineSource(MVBinaryStream* in, bool sealedOnly, Str* first, uint8_t* version);
