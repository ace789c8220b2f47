// Text and binary streams over one kind of file handle.
#pragma once
#include <stdint.h>
#include "runtime/files/folderitem.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef MVObject MVTextEncoding;  // a TextEncoding object: carries its encoding code

// The block of the file layer's workers. A BinaryStreamRead of exactly this many bytes
// in step with the read-ahead gets the worker's block without a copy, and a caller that
// writes whole strings of this size hands the write-behind blocks of its own size.
enum { kMVStreamBlock = 256 * 1024 };

// --- Exported entry points.
MVString* TextInputStreamReadLine(MVTextInputStream* s, MVTextEncoding* encoding);
bool TextInputStreamEOF(MVTextInputStream* s);
void TextInputStreamClose(MVTextInputStream* s);
void TextOutputStreamWriteLine(MVTextOutputStream* s, MVString* line);
void TextOutputStreamWrite(MVTextOutputStream* s, MVString* text);
void TextOutputStreamClose(MVTextOutputStream* s);
// Closes an output stream and puts its file in place (FolderItemCreateOutputTextFile);
// false when anything failed, and then nothing at the destination changed.
bool TextOutputStreamCommit(MVTextOutputStream* s);
// Reads of 64 KiB or more from a file opened read-only are served by a worker reading
// ahead; a read of kMVStreamBlock bytes in step with it gets the worker's block without
// a copy.
MVString* BinaryStreamRead(MVBinaryStream* s, int32_t count, MVTextEncoding* encoding);
int32_t BinaryStreamReadByte(MVBinaryStream* s);
int32_t BinaryStreamReadLong(MVBinaryStream* s);
void BinaryStreamWriteByte(MVBinaryStream* s, int32_t value);
void BinaryStreamWriteLong(MVBinaryStream* s, int32_t value);
// A block of 64 KiB or more to a regular file is written behind, on a worker of the file
// layer: the string is held (one more reference) until it is written, so its bytes must
// not be changed meanwhile (as with any string whose count is above one). A failure of
// such a write shows in the last error of a later call and makes the commit fail.
void BinaryStreamWrite(MVBinaryStream* s, MVString* bytes);
// Writes `count` bytes of a string from byte `offset` on (what lies past the string's end
// is not written), as BinaryStreamWrite writes a whole one: a part of 64 KiB or more to a
// regular file is written behind, the string held meanwhile. A buffer the caller filled
// goes out this way without being copied into a string of its own.
void BinaryStreamWritePart(MVBinaryStream* s, MVString* bytes, uint32_t offset, uint32_t count);
bool BinaryStreamEOF(MVBinaryStream* s);
uint64_t BinaryStreamGetLength(MVBinaryStream* s);
uint64_t BinaryStreamGetPosition(MVBinaryStream* s);
void BinaryStreamSetPosition(MVBinaryStream* s, uint64_t position);
void BinaryStreamClose(MVBinaryStream* s);
// The same for FolderItemCreateOutputFile.
bool BinaryStreamCommit(MVBinaryStream* s);
bool BinaryStreamGetLittleEndian(MVBinaryStream* s);
void BinaryStreamSetLittleEndian(MVBinaryStream* s, bool on);
// Last error (raw errno) of a stream: of its handle while open, as copied at close after.
int32_t TextInputStreamGetLastError(MVTextInputStream* s);
int32_t TextOutputStreamGetLastError(MVTextOutputStream* s);
int32_t BinaryStreamGetLastError(MVBinaryStream* s);
// A TextEncoding object for an encoding code; its code.
MVTextEncoding* RuntimeGetTextEncoding(uint32_t code);
uint32_t TextEncodingGetCode(MVTextEncoding* e);
// The Encoding property of text input (the default for ReadLine with a nil encoding;
// owned result) and the Delimiter property of text output (nil or empty: LF).
MVTextEncoding* TextInputStreamGetEncoding(MVTextInputStream* s);
void TextInputStreamSetEncoding(MVTextInputStream* s, MVTextEncoding* encoding);
MVString* TextOutputStreamGetDelimiter(MVTextOutputStream* s);
void TextOutputStreamSetDelimiter(MVTextOutputStream* s, MVString* delimiter);
// True when the stream's descriptor is a terminal.
bool BinaryStreamIsTerminal(MVBinaryStream* s);
// Pass buffered output to the file now (a failure is recorded as the last error).
void TextOutputStreamFlush(MVTextOutputStream* s);
void BinaryStreamFlush(MVBinaryStream* s);

#ifdef __cplusplus
}
#endif
