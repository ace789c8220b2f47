// TextInputStream, TextOutputStream, BinaryStream and TextEncoding.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "runtime/core/objects/exception.h"
#include "runtime/files/files_internal.h"

namespace {

// --- Records behind entry-point arguments (NULL after a raise).

MVTextInputStreamRecord* TextIn(MVObject* o) {
  return static_cast<MVTextInputStreamRecord*>(MVCheckedRecord(o, MVTextInputStreamClass()));
}
MVTextOutputStreamRecord* TextOut(MVObject* o) {
  return static_cast<MVTextOutputStreamRecord*>(MVCheckedRecord(o, MVTextOutputStreamClass()));
}
MVBinaryStreamRecord* Binary(MVObject* o) {
  return static_cast<MVBinaryStreamRecord*>(MVCheckedRecord(o, MVBinaryStreamClass()));
}

// Closing, shared by Close and destruction: fclose flushes; its failure and every
// earlier one end up in the stream's last error.
void CloseHandle(MVFileHandle** handle, int32_t* lastError) {
  if (!*handle) return;
  (*handle)->Close();
  *lastError = (*handle)->LastError();
  MVFileHandle::Destroy(*handle);
  *handle = nullptr;
}

// --- Text input.

enum { kCR = 0x0D, kLF = 0x0A };

// UTF-16 texts are read in 2-byte units; the big-endian variant names its order, the
// others are in the machine's order.
const uint32_t kEncodingUTF16BE = 0x10000100u;
const uint32_t kEncodingUTF16LE = 0x14000100u;

bool IsUtf16(uint32_t code) {
  return code == kEncodingUTF16 || code == kEncodingUTF16BE || code == kEncodingUTF16LE;
}

// Read the next block behind the unread bytes (which move to the front).
size_t Refill(MVTextInputStreamRecord* s) {
  int32_t keep = s->bufferCount - s->bufferPosition;
  if (keep > 0) memmove(s->buffer, s->buffer + s->bufferPosition, static_cast<size_t>(keep));
  else keep = 0;
  size_t got = s->handle->Read(s->buffer + keep, kMVTextBufferSize - static_cast<size_t>(keep));
  s->bufferPosition = 0;
  s->bufferCount = keep + static_cast<int32_t>(got);
  return got;
}

// One line of bytes: LF, CR and CR LF end it (a CR LF split between two blocks too).
void ReadLine8(MVTextInputStreamRecord* s, std::string* line) {
  for (;;) {
    const uint8_t* p = s->buffer + s->bufferPosition;
    const uint8_t* end = s->buffer + s->bufferCount;
    const uint8_t* t = p;
    while (t < end && *t != kCR && *t != kLF) t++;
    line->append(reinterpret_cast<const char*>(p), static_cast<size_t>(t - p));
    s->bufferPosition = static_cast<int32_t>(t - s->buffer);
    if (t < end) {
      s->bufferPosition++;
      if (*t == kCR) {
        if (s->bufferPosition >= s->bufferCount && !s->handle->AtEnd()) Refill(s);
        if (s->bufferPosition < s->bufferCount && s->buffer[s->bufferPosition] == kLF)
          s->bufferPosition++;
      }
      return;
    }
    if (s->handle->AtEnd()) return;
    if (Refill(s) == 0) return;  // nothing more came (a failing read): the line ends
  }
}

// The same on 16-bit units.
void ReadLine16(MVTextInputStreamRecord* s, std::string* line, bool bigEndian) {
  auto unit = [s, bigEndian](int32_t i) -> uint16_t {
    uint8_t a = s->buffer[i], b = s->buffer[i + 1];
    return bigEndian ? static_cast<uint16_t>(a << 8 | b) : static_cast<uint16_t>(b << 8 | a);
  };
  for (;;) {
    int32_t i = s->bufferPosition;
    bool found = false;
    while (i + 1 < s->bufferCount) {
      uint16_t u = unit(i);
      if (u == kCR || u == kLF) {
        found = true;
        break;
      }
      i += 2;
    }
    line->append(reinterpret_cast<const char*>(s->buffer + s->bufferPosition),
                 static_cast<size_t>(i - s->bufferPosition));
    s->bufferPosition = i;
    if (found) {
      uint16_t u = unit(i);
      s->bufferPosition += 2;
      if (u == kCR) {
        if (s->bufferCount - s->bufferPosition < 2 && !s->handle->AtEnd()) Refill(s);
        if (s->bufferCount - s->bufferPosition >= 2 && unit(s->bufferPosition) == kLF)
          s->bufferPosition += 2;
      }
      return;
    }
    if (s->handle->AtEnd() || Refill(s) == 0) {
      // A last odd byte is content too.
      line->append(reinterpret_cast<const char*>(s->buffer + s->bufferPosition),
                   static_cast<size_t>(s->bufferCount - s->bufferPosition));
      s->bufferPosition = s->bufferCount;
      return;
    }
  }
}

uint32_t CodeOf(MVObject* encoding) {
  return reinterpret_cast<MVTextEncodingRecord*>(encoding)->code;
}

// --- Class routines.

void TextInputFinalizer(MVObject* o) {
  MVTextInputStreamRecord* s = reinterpret_cast<MVTextInputStreamRecord*>(o);
  CloseHandle(&s->handle, &s->lastError);
}

void TextInputReleaser(MVObject* o) {
  MVTextInputStreamRecord* s = reinterpret_cast<MVTextInputStreamRecord*>(o);
  CloseHandle(&s->handle, &s->lastError);
  MVObject* e = s->encoding;
  s->encoding = nullptr;
  RuntimeUnlockObject(e);
}

void TextOutputFinalizer(MVObject* o) {
  MVTextOutputStreamRecord* s = reinterpret_cast<MVTextOutputStreamRecord*>(o);
  CloseHandle(&s->handle, &s->lastError);
}

void TextOutputReleaser(MVObject* o) {
  MVTextOutputStreamRecord* s = reinterpret_cast<MVTextOutputStreamRecord*>(o);
  CloseHandle(&s->handle, &s->lastError);
  MVString* d = s->delimiter;
  s->delimiter = nullptr;
  RuntimeUnlockString(d);
}

void BinaryFinalizer(MVObject* o) {
  MVBinaryStreamRecord* s = reinterpret_cast<MVBinaryStreamRecord*>(o);
  CloseHandle(&s->handle, &s->lastError);
}

}  // namespace

MVClass* MVTextInputStreamClass() {
  static MVClass* cls = MVMakeClass("TextInputStream", nullptr, sizeof(MVTextInputStreamRecord),
                                    nullptr, TextInputFinalizer, TextInputReleaser);
  return cls;
}

MVClass* MVTextOutputStreamClass() {
  static MVClass* cls =
      MVMakeClass("TextOutputStream", nullptr, sizeof(MVTextOutputStreamRecord), nullptr,
                  TextOutputFinalizer, TextOutputReleaser);
  return cls;
}

MVClass* MVBinaryStreamClass() {
  static MVClass* cls = MVMakeClass("BinaryStream", nullptr, sizeof(MVBinaryStreamRecord),
                                    nullptr, BinaryFinalizer, BinaryFinalizer);
  return cls;
}

MVClass* MVTextEncodingClass() {
  static MVClass* cls =
      MVMakeClass("TextEncoding", nullptr, sizeof(MVTextEncodingRecord), nullptr, nullptr, nullptr);
  return cls;
}

MVObject* MVNewTextInputStream(MVFileHandle* h) {
  MVObject* o = RuntimeNewObject(MVTextInputStreamClass());
  if (!o) {
    MVFileHandle::Destroy(h);
    return nullptr;
  }
  MVTextInputStreamRecord* s = reinterpret_cast<MVTextInputStreamRecord*>(o);
  s->handle = h;
  s->encoding = RuntimeGetTextEncoding(kEncodingUTF8);
  return o;
}

MVObject* MVNewTextOutputStream(MVFileHandle* h) {
  MVObject* o = RuntimeNewObject(MVTextOutputStreamClass());
  if (!o) {
    MVFileHandle::Destroy(h);
    return nullptr;
  }
  reinterpret_cast<MVTextOutputStreamRecord*>(o)->handle = h;
  return o;
}

MVObject* MVNewBinaryStream(MVFileHandle* h) {
  MVObject* o = RuntimeNewObject(MVBinaryStreamClass());
  if (!o) {
    MVFileHandle::Destroy(h);
    return nullptr;
  }
  reinterpret_cast<MVBinaryStreamRecord*>(o)->handle = h;
  return o;
}

// --- TextEncoding.

extern "C" MVTextEncoding* RuntimeGetTextEncoding(uint32_t code) {
  MVObject* o = RuntimeNewObject(MVTextEncodingClass());
  if (o) reinterpret_cast<MVTextEncodingRecord*>(o)->code = code;
  return o;
}

extern "C" uint32_t TextEncodingGetCode(MVTextEncoding* e) {
  if (!MVCheckedRecord(e, MVTextEncodingClass())) return 0;
  return CodeOf(e);
}

// --- TextInputStream.

extern "C" MVString* TextInputStreamReadLine(MVTextInputStream* stream, MVTextEncoding* encoding) {
  MVTextInputStreamRecord* s = TextIn(stream);
  if (!s) return nullptr;
  if (encoding && !MVCheckedRecord(encoding, MVTextEncodingClass())) return nullptr;
  if (!s->handle) return nullptr;
  uint32_t code = encoding ? CodeOf(encoding) : s->encoding ? CodeOf(s->encoding) : kEncodingUTF8;
  std::string line;
  if (IsUtf16(code))
    ReadLine16(s, &line, code == kEncodingUTF16BE);
  else
    ReadLine8(s, &line);
  return MVStringFromBytes(line.data(), static_cast<uint32_t>(line.size()), code);
}

extern "C" bool TextInputStreamEOF(MVTextInputStream* stream) {
  MVTextInputStreamRecord* s = TextIn(stream);
  if (!s) return false;
  // A closed stream has nothing more to give: a loop reading until the end stops.
  if (!s->handle) return true;
  if (s->bufferPosition < s->bufferCount) return false;
  return s->handle->AtEnd();
}

extern "C" void TextInputStreamClose(MVTextInputStream* stream) {
  MVTextInputStreamRecord* s = TextIn(stream);
  if (!s) return;
  CloseHandle(&s->handle, &s->lastError);
  s->bufferPosition = s->bufferCount = 0;
}

extern "C" int32_t TextInputStreamGetLastError(MVTextInputStream* stream) {
  MVTextInputStreamRecord* s = TextIn(stream);
  if (!s) return 0;
  return s->handle ? s->handle->LastError() : s->lastError;
}

extern "C" MVTextEncoding* TextInputStreamGetEncoding(MVTextInputStream* stream) {
  MVTextInputStreamRecord* s = TextIn(stream);
  if (!s) return nullptr;
  RuntimeLockObject(s->encoding);
  return s->encoding;
}

extern "C" void TextInputStreamSetEncoding(MVTextInputStream* stream, MVTextEncoding* encoding) {
  MVTextInputStreamRecord* s = TextIn(stream);
  if (!s) return;
  if (encoding && !MVCheckedRecord(encoding, MVTextEncodingClass())) return;
  RuntimeLockUnlockObjects(encoding, s->encoding);
  s->encoding = encoding;
}

// --- TextOutputStream.

namespace {

bool SingleByteLF(uint32_t code) {
  return code == kEncodingUTF8 || code == kEncodingASCII || code == kEncodingUnknown ||
         code == kEncodingMacRoman;
}

void WriteString(MVFileHandle* h, MVString* s) {
  if (s) h->Write(MVStringBytes(s), MVStringLength(s));
}

}  // namespace

extern "C" void TextOutputStreamWriteLine(MVTextOutputStream* stream, MVString* line) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s || !s->handle) return;
  WriteString(s->handle, line);
  MVString* delimiter = s->delimiter;
  if (!delimiter && (!line || SingleByteLF(line->encoding))) {
    s->handle->WriteByte(kLF);
    return;
  }
  MVString* own = nullptr;
  if (!delimiter) delimiter = own = MVStringFromBytes("\n", 1, kEncodingASCII);
  if (line && delimiter->encoding != line->encoding && delimiter->encoding != kEncodingUnknown) {
    MVString* converted = MVStringConvert(delimiter, line->encoding);
    WriteString(s->handle, converted);
    RuntimeUnlockString(converted);
  } else {
    WriteString(s->handle, delimiter);
  }
  RuntimeUnlockString(own);
}

extern "C" void TextOutputStreamWrite(MVTextOutputStream* stream, MVString* text) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s || !s->handle) return;
  WriteString(s->handle, text);
}

extern "C" void TextOutputStreamClose(MVTextOutputStream* stream) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s) return;
  CloseHandle(&s->handle, &s->lastError);
}

extern "C" bool TextOutputStreamCommit(MVTextOutputStream* stream) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s || !s->handle) return false;
  s->handle->MarkComplete();
  CloseHandle(&s->handle, &s->lastError);
  return s->lastError == 0;
}

extern "C" void TextOutputStreamFlush(MVTextOutputStream* stream) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (s && s->handle) s->handle->Flush();
}

extern "C" int32_t TextOutputStreamGetLastError(MVTextOutputStream* stream) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s) return 0;
  return s->handle ? s->handle->LastError() : s->lastError;
}

extern "C" MVString* TextOutputStreamGetDelimiter(MVTextOutputStream* stream) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s) return nullptr;
  RuntimeLockString(s->delimiter);
  return s->delimiter;
}

extern "C" void TextOutputStreamSetDelimiter(MVTextOutputStream* stream, MVString* delimiter) {
  MVTextOutputStreamRecord* s = TextOut(stream);
  if (!s) return;
  RuntimeLockUnlockStrings(delimiter, s->delimiter);
  s->delimiter = delimiter;
}

// --- BinaryStream.

extern "C" MVString* BinaryStreamRead(MVBinaryStream* stream, int32_t count, MVTextEncoding* encoding) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s) return nullptr;
  if (encoding && !MVCheckedRecord(encoding, MVTextEncodingClass())) return nullptr;
  if (!s->handle || count <= 0) return nullptr;
  uint64_t position = s->handle->Position();
  uint64_t wanted = position + static_cast<uint64_t>(count);
  uint64_t length = s->handle->LengthReaching(wanted);
  if (wanted > length) {
    if (length <= position) return nullptr;
    count = static_cast<int32_t>(length - position);
  }
  uint32_t code = encoding ? CodeOf(encoding) : kEncodingUnknown;
  uint32_t n = static_cast<uint32_t>(count);
  if (MVString* block = s->handle->ReadBlock(n)) {
    block->encoding = code;
    return block;
  }
  MVString* result = MVStringAllocate(n, code);
  uint8_t* bytes = result->buffer + 1;
  size_t got = s->handle->Read(bytes, n);
  if (got < n) {
    // A failing read: what did arrive.
    MVString* shorter = MVStringFromBytes(bytes, static_cast<uint32_t>(got), code);
    RuntimeUnlockString(result);
    return shorter;
  }
  return result;
}

extern "C" int32_t BinaryStreamReadByte(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return 0;
  int c = s->handle->ReadByte();
  return c < 0 ? 0 : c;
}

extern "C" int32_t BinaryStreamReadLong(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return 0;
  uint8_t b[4];
  if (s->handle->Read(b, 4) < 4) return 0;
  uint32_t v = s->littleEndian
                   ? static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                         static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24
                   : static_cast<uint32_t>(b[3]) | static_cast<uint32_t>(b[2]) << 8 |
                         static_cast<uint32_t>(b[1]) << 16 | static_cast<uint32_t>(b[0]) << 24;
  return static_cast<int32_t>(v);
}

extern "C" void BinaryStreamWriteByte(MVBinaryStream* stream, int32_t value) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return;
  s->handle->WriteByte(static_cast<uint8_t>(value & 0xFF));
}

extern "C" void BinaryStreamWriteLong(MVBinaryStream* stream, int32_t value) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return;
  uint32_t v = static_cast<uint32_t>(value);
  uint8_t b[4];
  for (int i = 0; i < 4; i++) {
    int shift = s->littleEndian ? 8 * i : 8 * (3 - i);
    b[i] = static_cast<uint8_t>(v >> shift);
  }
  s->handle->Write(b, 4);
}

extern "C" void BinaryStreamWrite(MVBinaryStream* stream, MVString* bytes) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle || !bytes) return;
  // A large block may be written behind: the string is held, not copied.
  s->handle->Write(MVStringBytes(bytes), MVStringLength(bytes), bytes);
}

extern "C" void BinaryStreamWritePart(MVBinaryStream* stream, MVString* bytes, uint32_t offset,
                                      uint32_t count) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle || !bytes) return;
  uint32_t length = MVStringLength(bytes);
  if (offset >= length) return;
  if (count > length - offset) count = length - offset;
  s->handle->Write(MVStringBytes(bytes) + offset, count, bytes);
}

extern "C" bool BinaryStreamEOF(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s) return false;
  return s->handle ? s->handle->AtEnd() : true;
}

extern "C" uint64_t BinaryStreamGetLength(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return 0;
  return s->handle->Length();
}

extern "C" uint64_t BinaryStreamGetPosition(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return 0;
  return s->handle->Position();
}

extern "C" void BinaryStreamSetPosition(MVBinaryStream* stream, uint64_t position) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return;
  s->handle->SetPosition(position);
}

extern "C" void BinaryStreamClose(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s) return;
  CloseHandle(&s->handle, &s->lastError);
}

extern "C" bool BinaryStreamCommit(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s || !s->handle) return false;
  s->handle->MarkComplete();
  CloseHandle(&s->handle, &s->lastError);
  return s->lastError == 0;
}

extern "C" void BinaryStreamFlush(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (s && s->handle) s->handle->Flush();
}

extern "C" int32_t BinaryStreamGetLastError(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (!s) return 0;
  return s->handle ? s->handle->LastError() : s->lastError;
}

extern "C" bool BinaryStreamGetLittleEndian(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  return s ? s->littleEndian : false;
}

extern "C" void BinaryStreamSetLittleEndian(MVBinaryStream* stream, bool on) {
  MVBinaryStreamRecord* s = Binary(stream);
  if (s) s->littleEndian = on;
}

// --- The file under a binary stream's descriptor.

namespace {

int DescriptorOf(MVBinaryStream* stream) {
  MVBinaryStreamRecord* s = Binary(stream);
  return s && s->handle ? fileno(s->handle->file()) : -1;
}

}  // namespace

extern "C" bool BinaryStreamIsTerminal(MVBinaryStream* stream) {
  int fd = DescriptorOf(stream);
  return fd >= 0 && isatty(fd) == 1;
}

extern "C" void BinaryStreamGuardFile(MVBinaryStream* stream) {
  int fd = DescriptorOf(stream);
  if (fd >= 0) MVGuardDescriptor(fd);
}

extern "C" int32_t BinaryStreamOutputRefusal(MVBinaryStream* stream) {
  int fd = DescriptorOf(stream);
  return fd >= 0 ? MVRefusalOfDescriptor(fd) : 0;
}
