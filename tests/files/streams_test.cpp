// Streams: line rules, binary reads at the end, byte order, closing, failed writes and
// files beyond 4 GiB.
#include <errno.h>

#include "runtime/files/files_internal.h"
#include "tests/files/files_test_util.h"

using namespace filetest;

namespace {

class StreamTest : public FilesTest {
 protected:
  MVObject* OpenText(const std::string& name, const std::string& content) {
    WriteFile(P(name), content);
    Obj item(Item(name));
    return FolderItemOpenTextFile(item);
  }
  // Every line until EOF says the end (at most 100, against a loop that never ends).
  std::vector<std::string> ReadAll(MVObject* in) {
    std::vector<std::string> lines;
    while (!TextInputStreamEOF(in) && lines.size() < 100)
      lines.push_back(Str(TextInputStreamReadLine(in, nullptr)).bytes());
    return lines;
  }
  MVObject* OpenBinary(const std::string& name, const std::string& content) {
    WriteFile(P(name), content);
    Obj item(Item(name));
    return FolderItemOpenBinaryFile(item, false);
  }
  MVObject* CreateBinary(const std::string& name) {
    Obj item(Item(name));
    return FolderItemCreateBinaryFile(item, nullptr);
  }
};

using Lines = std::vector<std::string>;

// --- Text input.

TEST_F(StreamTest, LfCrAndCrLfEachEndOneLineWithoutAnExtraLineAtTheEnd) {
  Obj in(OpenText("t", "ab\r\nc\rd\n\n"));
  ASSERT_TRUE(in);
  EXPECT_EQ(ReadAll(in), (Lines{"ab", "c", "d", ""}));
  EXPECT_TRUE(TextInputStreamEOF(in));

  Obj noEnd(OpenText("u", std::string("x\0y\nlast", 8)));
  EXPECT_EQ(ReadAll(noEnd), (Lines{std::string("x\0y", 3), "last"}));

  Obj empty(OpenText("e", ""));
  EXPECT_TRUE(TextInputStreamEOF(empty));
  EXPECT_EQ(TextInputStreamReadLine(empty, nullptr), nullptr);

  Obj crAtEnd(OpenText("c", "one\r"));
  EXPECT_EQ(ReadAll(crAtEnd), (Lines{"one"}));
}

TEST_F(StreamTest, CrLfSplitAcrossTwoBufferFillsIsOneTerminator) {
  std::string x1023(1023, 'x');
  Obj in(OpenText("t", x1023 + "\r\n"));
  EXPECT_EQ(ReadAll(in), (Lines{x1023}));

  Obj more(OpenText("m", x1023 + "\r\nnext\r\n"));
  EXPECT_EQ(ReadAll(more), (Lines{x1023, "next"}));

  // CR as byte 1024 followed by another CR: two terminators, an empty line between.
  Obj two(OpenText("two", x1023 + "\r\rz"));
  EXPECT_EQ(ReadAll(two), (Lines{x1023, "", "z"}));

  // LF as the last byte of the first fill, then a line spanning several fills.
  std::string long3000(3000, 'y');
  Obj span(OpenText("s", x1023 + "\n" + long3000 + "\n"));
  EXPECT_EQ(ReadAll(span), (Lines{x1023, long3000}));
}

TEST_F(StreamTest, LinesComeBackTaggedWithTheChosenEncoding) {
  Obj in(OpenText("t", "\xC3\xA9\nab\n"));
  Str first(TextInputStreamReadLine(in, nullptr));
  ASSERT_NE(first.get(), nullptr);
  EXPECT_EQ(first.get()->encoding, kEncodingUTF8);
  EXPECT_EQ(StringDBCSLen(first), 1);
  Obj ascii(RuntimeGetTextEncoding(kEncodingASCII));
  Str second(TextInputStreamReadLine(in, ascii));
  EXPECT_EQ(second.bytes(), "ab");
  EXPECT_EQ(second.get()->encoding, kEncodingASCII);
  EXPECT_EQ(TextEncodingGetCode(ascii), kEncodingASCII);

  Obj utf16(RuntimeGetTextEncoding(kEncodingUTF16));
  Obj wide(OpenText("w", std::string("a\0\r\0\n\0b\0\n\0", 10)));
  Str w1(TextInputStreamReadLine(wide, utf16));
  Str w2(TextInputStreamReadLine(wide, utf16));
  EXPECT_EQ(w1.bytes(), std::string("a\0", 2));
  EXPECT_EQ(w2.bytes(), std::string("b\0", 2));
  EXPECT_TRUE(TextInputStreamEOF(wide));
}

// --- Text output.

TEST_F(StreamTest, WriteLineAddsTheDelimiterAndWriteDoesNot) {
  Obj item(Item("out"));
  Obj out(FolderItemCreateTextFile(item));
  ASSERT_TRUE(out);
  TextOutputStreamWriteLine(out, nullptr);
  TextOutputStreamWriteLine(out, Str("abc"));
  TextOutputStreamWrite(out, Str("no end"));
  TextOutputStreamSetDelimiter(out, Str("\r\n", kEncodingASCII));
  TextOutputStreamWriteLine(out, Str("dos"));
  TextOutputStreamSetDelimiter(out, nullptr);
  TextOutputStreamWriteLine(out, Str(std::string("w\0", 2), kEncodingUTF16));  // LF in UTF-16
  TextOutputStreamClose(out);
  EXPECT_EQ(ReadFile(P("out")), std::string("\nabc\nno enddos\r\nw\0\n\0", 20));
  EXPECT_EQ(TextOutputStreamGetLastError(out), 0);
}

// --- Binary reads at the end, byte order.

TEST_F(StreamTest, ReadIsClippedAtTheEnd) {
  Obj in(OpenBinary("b", "0123456789abc"));
  ASSERT_TRUE(in);
  Str ten(BinaryStreamRead(in, 10, nullptr));
  EXPECT_EQ(ten.bytes(), "0123456789");
  Str rest(BinaryStreamRead(in, 10, nullptr));
  EXPECT_EQ(rest.bytes(), "abc");
  EXPECT_EQ(rest.get()->encoding, kEncodingUnknown);
  EXPECT_TRUE(BinaryStreamEOF(in));
  EXPECT_EQ(BinaryStreamRead(in, 1, nullptr), nullptr);
  EXPECT_EQ(BinaryStreamRead(in, 0, nullptr), nullptr);
  EXPECT_EQ(BinaryStreamReadByte(in), 0);
  EXPECT_EQ(BinaryStreamGetPosition(in), 13u);
  EXPECT_EQ(BinaryStreamGetLength(in), 13u);

  BinaryStreamSetPosition(in, 11);
  Obj utf8(RuntimeGetTextEncoding(kEncodingUTF8));
  Str tagged(BinaryStreamRead(in, 5, utf8));
  EXPECT_EQ(tagged.bytes(), "bc");
  EXPECT_EQ(tagged.get()->encoding, kEncodingUTF8);
}

TEST_F(StreamTest, ByteLoopsReadEveryByteAndEofEndsThem) {
  std::string content;
  for (int i = 0; i < 70000; i++) content += static_cast<char>(i * 7);
  Obj in(OpenBinary("b", content));
  std::string back;
  while (!BinaryStreamEOF(in)) back += static_cast<char>(BinaryStreamReadByte(in));
  EXPECT_EQ(back, content);
  Obj again(OpenBinary("c", content));
  std::string blocks;
  while (!BinaryStreamEOF(again)) blocks += Str(BinaryStreamRead(again, 65536, nullptr)).bytes();
  EXPECT_EQ(blocks, content);
}

TEST_F(StreamTest, LongsUseNetworkOrderUnlessLittleEndian) {
  Obj out(CreateBinary("l"));
  EXPECT_FALSE(BinaryStreamGetLittleEndian(out));
  BinaryStreamWriteLong(out, 1);
  BinaryStreamSetLittleEndian(out, true);
  BinaryStreamWriteLong(out, 1);
  BinaryStreamWriteLong(out, -2);
  BinaryStreamWriteByte(out, 256);
  BinaryStreamWriteByte(out, -1);
  BinaryStreamWriteByte(out, 0x141);
  BinaryStreamClose(out);
  EXPECT_EQ(ReadFile(P("l")), std::string("\0\0\0\1\1\0\0\0\xFE\xFF\xFF\xFF\0\xFF\x41", 15));

  Obj in(OpenBinary("r", "\x12\x34\x56\x78\x12\x34\x56\x78\xFF\xFF\xFF\xFE\x01\x02"));
  EXPECT_EQ(BinaryStreamReadLong(in), 0x12345678);
  BinaryStreamSetLittleEndian(in, true);
  EXPECT_EQ(BinaryStreamReadLong(in), 0x78563412);
  BinaryStreamSetLittleEndian(in, false);
  EXPECT_EQ(BinaryStreamReadLong(in), -2);
  EXPECT_EQ(BinaryStreamReadLong(in), 0);  // only two bytes were left
  EXPECT_EQ(BinaryStreamGetPosition(in), 14u);
}

TEST_F(StreamTest, ReadWriteStreamsSwitchDirectionAndExtendBeyondTheEnd) {
  Obj s(CreateBinary("rw"));
  BinaryStreamWrite(s, Str("hello", kEncodingUnknown));
  EXPECT_EQ(BinaryStreamGetLength(s), 5u);
  BinaryStreamSetPosition(s, 1);
  EXPECT_EQ(BinaryStreamReadByte(s), 'e');
  BinaryStreamWriteByte(s, 'L');
  BinaryStreamSetPosition(s, 8);
  BinaryStreamWriteByte(s, '!');
  EXPECT_EQ(BinaryStreamGetLength(s), 9u);
  BinaryStreamSetPosition(s, 0);
  Str all(BinaryStreamRead(s, 100, nullptr));
  EXPECT_EQ(all.bytes(), std::string("heLlo\0\0\0!", 9));
  BinaryStreamClose(s);
  EXPECT_EQ(ReadFile(P("rw")), std::string("heLlo\0\0\0!", 9));
}

// --- Closing.

TEST_F(StreamTest, ClosedStreamsReadNothingAndWriteNothing) {
  Obj in(OpenText("t", "a\nb\n"));
  TextInputStreamClose(in);
  EXPECT_EQ(TextInputStreamReadLine(in, nullptr), nullptr);
  EXPECT_TRUE(TextInputStreamEOF(in));  // a read-until-end loop on it stops
  TextInputStreamClose(in);

  Obj b(CreateBinary("b"));
  BinaryStreamWriteByte(b, 1);
  BinaryStreamClose(b);
  BinaryStreamWriteByte(b, 2);
  BinaryStreamWriteLong(b, 3);
  BinaryStreamClose(b);
  EXPECT_TRUE(BinaryStreamEOF(b));
  EXPECT_EQ(BinaryStreamRead(b, 1, nullptr), nullptr);
  EXPECT_EQ(BinaryStreamReadByte(b), 0);
  EXPECT_EQ(ReadFile(P("b")), "\x01");

  Obj item(Item("o"));
  Obj o(FolderItemCreateTextFile(item));
  TextOutputStreamClose(o);
  TextOutputStreamWriteLine(o, Str("late"));
  TextOutputStreamClose(o);
  EXPECT_EQ(ReadFile(P("o")), "");
}

TEST_F(StreamTest, ReleasingTheLastReferenceClosesAndFlushes) {
  {
    Obj item(Item("t"));
    Obj out(FolderItemCreateTextFile(item));
    item.reset();  // the stream outlives its item
    TextOutputStreamWriteLine(out, Str("kept"));
    Obj b(CreateBinary("b"));
    BinaryStreamWrite(b, Str("bytes", kEncodingUnknown));
  }
  EXPECT_EQ(ReadFile(P("t")), "kept\n");
  EXPECT_EQ(ReadFile(P("b")), "bytes");
}

TEST_F(StreamTest, NilStreamsRaiseNilObjectException) {
  EXPECT_EQ(Raised(TextInputStreamReadLine), "NilObjectException");
  EXPECT_EQ(Raised(TextInputStreamEOF), "NilObjectException");
  EXPECT_EQ(Raised(TextOutputStreamWriteLine), "NilObjectException");
  EXPECT_EQ(Raised(BinaryStreamRead, 0, 1), "NilObjectException");
  EXPECT_EQ(Raised(BinaryStreamWriteByte), "NilObjectException");
  EXPECT_EQ(Raised(BinaryStreamClose), "NilObjectException");
  Obj in(OpenText("t", "a"));
  EXPECT_EQ(Raised(BinaryStreamReadByte, reinterpret_cast<uintptr_t>(in.get())),
            "IllegalCastException");
}

// --- Failed writes.

TEST_F(StreamTest, AFullDiskIsTheStreamsLastErrorAtClose) {
  Obj item(Item("/dev/full"));
  Obj out(FolderItemCreateTextFile(item));
  ASSERT_TRUE(out);
  TextOutputStreamWriteLine(out, Str("lost"));
  TextOutputStreamClose(out);
  EXPECT_EQ(TextOutputStreamGetLastError(out), ENOSPC);

  Obj b(CreateBinary("/dev/full"));
  ASSERT_TRUE(b);
  std::string block(100000, 'z');  // larger than the stdio buffer: fails at once
  BinaryStreamWrite(b, Str(block, kEncodingUnknown));
  EXPECT_EQ(BinaryStreamGetLastError(b), ENOSPC);
  BinaryStreamClose(b);
  EXPECT_EQ(BinaryStreamGetLastError(b), ENOSPC);
}

TEST_F(StreamTest, AClosedDescriptorIsRecordedAndEndsReading) {
  Obj b(CreateBinary("x"));
  ASSERT_TRUE(b);
  MVFileHandle* h = reinterpret_cast<MVBinaryStreamRecord*>(b.get())->handle;
  BinaryStreamWriteByte(b, 1);
  close(fileno(h->file()));
  BinaryStreamClose(b);
  EXPECT_EQ(BinaryStreamGetLastError(b), EBADF);

  // A read that fails ends a read-until-end loop instead of spinning on it.
  Obj in(OpenText("t", std::string(5000, 'a')));
  close(fileno(reinterpret_cast<MVTextInputStreamRecord*>(in.get())->handle->file()));
  EXPECT_EQ(ReadAll(in), (Lines{""}));
  EXPECT_EQ(TextInputStreamGetLastError(in), EBADF);
  Obj bin(OpenBinary("u", std::string(5000, 'b')));
  close(fileno(reinterpret_cast<MVBinaryStreamRecord*>(bin.get())->handle->file()));
  EXPECT_FALSE(BinaryStreamEOF(bin));
  EXPECT_EQ(BinaryStreamRead(bin, 10, nullptr), nullptr);
  EXPECT_TRUE(BinaryStreamEOF(bin));
  EXPECT_EQ(BinaryStreamGetLastError(bin), EBADF);
}

// --- Beyond 4 GiB.

TEST_F(StreamTest, SparseFileBeyondFourGiB) {
  const uint64_t kFour = 4ull << 30;
  const uint64_t size = kFour + 10;
  int fd = open(P("big").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
    close(fd);
    GTEST_SKIP() << "file system refuses a file of 4 GiB";
  }
  ASSERT_EQ(pwrite(fd, "ABCD", 4, static_cast<off_t>(kFour + 2)), 4);
  close(fd);

  Obj item(Item("big"));
  EXPECT_EQ(fileSizeGetter(item), size);
  Obj in(FolderItemOpenBinaryFile(item, false));
  ASSERT_TRUE(in);
  EXPECT_EQ(BinaryStreamGetLength(in), size);
  BinaryStreamSetPosition(in, kFour + 2);
  EXPECT_EQ(BinaryStreamGetPosition(in), kFour + 2);
  EXPECT_EQ(BinaryStreamReadByte(in), 'A');
  EXPECT_EQ(BinaryStreamReadLong(in), 0x42434400);
  Str rest(BinaryStreamRead(in, 100, nullptr));
  EXPECT_EQ(rest.bytes(), std::string(3, '\0'));
  EXPECT_TRUE(BinaryStreamEOF(in));

  Obj rw(FolderItemOpenBinaryFile(item, true));
  BinaryStreamSetPosition(rw, size);
  BinaryStreamWriteByte(rw, 'Z');
  BinaryStreamClose(rw);
  EXPECT_EQ(BinaryStreamGetLastError(rw), 0);
  EXPECT_EQ(fileSizeGetter(item), size + 1);
}

}  // namespace
