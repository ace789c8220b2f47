// The streams of the cipher loops (see crypt_io.h).
#include "app/crypt_io.h"

void Output::Write(const Str& block) {
  if (sealer_)
    sealer_->Put(block.bytes(), block.length());
  else
    BinaryStreamWrite(stream_, block.get());
}

void Output::Write(const uint8_t* p, uint32_t n) {
  if (n == 0) return;
  if (sealer_) {
    sealer_->Put(p, n);
    return;
  }
  Str block(MAVOBuildString(p, static_cast<int32_t>(n), kEncodingUnknown));
  BinaryStreamWrite(stream_, block.get());
}

void Output::WritePart(const Str& holder, uint32_t n) {
  if (n == 0) return;
  if (sealer_)
    sealer_->Put(holder.bytes(), n);
  else
    BinaryStreamWritePart(stream_, holder.get(), 0, n);
}

Str Input::Read(uint32_t n) {
  if (opener_) return opener_->Read(n);
  if (first_.empty()) return Str(BinaryStreamRead(stream_, static_cast<int32_t>(n), nullptr));
  Str first = first_;
  first_ = Str();
  if (first.length() <= n) return first;
  // More than was asked for: the rest stays first.
  first_ = Str(MAVOBuildString(first.bytes() + n, static_cast<int32_t>(first.length() - n), kEncodingUnknown));
  return Str(MAVOBuildString(first.bytes(), static_cast<int32_t>(n), kEncodingUnknown));
}

SourceStart ExamineSource(MVBinaryStream* in, bool sealedOnly, Str* first, uint8_t* version) {
  // A whole block of the read-ahead: the reads after it stay in step with it.
  *first = Str(BinaryStreamRead(in, kMVStreamBlock, nullptr));
  if (first->length() == 0) return SourceStart::kEmpty;
  switch (sealed::ReadHeader(first->bytes(), first->length(), version)) {
    case sealed::Header::kSealed:
      return SourceStart::kSealed;
    case sealed::Header::kOtherVersion:
      return SourceStart::kOtherVersion;
    case sealed::Header::kCut:
      return SourceStart::kChanged;
    case sealed::Header::kCutMagic:
      // A file shorter than the magic word is no sealed file at the prompt, where it may
      // be a short file of the plain format.
      return sealedOnly ? SourceStart::kChanged : SourceStart::kPlain;
    case sealed::Header::kNone:
      break;
  }
  return sealedOnly ? SourceStart::kNotSealed : SourceStart::kPlain;
}
