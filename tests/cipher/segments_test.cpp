// The segment work of enc and dec as the program runs it: the application's own
// CryptSegments and sealing stage (built as ordinary code) cutting real files into
// segments and chunks on the runtime's worker pool, read through the read-ahead and
// written through the write-behind of the runtime's streams. Whatever the thread count,
// the output is one engine's: the same cipher bytes at the same places, and decryption
// gives the plain bytes back. The thread-check build (./dev.sh tsan) runs it under
// ThreadSanitizer, which sees the work of every thread here, the image's routines
// included.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/crypt_io.h"
#include "app/crypt_parallel.h"
#include "app/sealing.h"
#include "app/util.h"
#include "tests/cipher/test_keys.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A key as the loaders give it; with seeds, expanded.
std::unique_ptr<cipher::Key> MakeKey(uint32_t seed, bool expanded) {
  std::mt19937 rng(seed);
  auto key = RandomKey(rng);
  if (expanded) {
    const int32_t seeds[10] = {4, 9, 1, 1, 50, 22, 3, 8, 8, 1};
    for (int j = 0; j < 10; j++) key->expansion[1 + j] = seeds[j];
  }
  cipher::BuildExpansionTable(key.get());
  return key;
}

class Segments : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/ombrix-segments-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    for (const char* name : {"plain", "out", "back"}) unlink(Path(name).c_str());
    rmdir(dir_.c_str());
  }

  std::string Path(const char* name) const { return dir_ + "/" + name; }

  Bytes Read(const char* name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  void Write(const char* name, const Bytes& b) const {
    std::ofstream(Path(name), std::ios::binary)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }

  // The file `name` opened for reading, or created through the safe-output path.
  MVBinaryStream* Open(const char* name, bool output) const {
    Str path(MVStringFromCString(Path(name).c_str(), kEncodingUTF8));
    Obj item(RuntimeGetFolderItem(path.get(), 0));
    MVBinaryStream* s =
        output ? FolderItemCreateOutputFile(item.get(), 0) : FolderItemOpenBinaryFile(item.get(), false);
    EXPECT_NE(s, nullptr) << name;
    return s;
  }

  // `from` through the segments into `to`, on `threads` threads.
  CryptOutcome Run(const cipher::Key& key, const Expansion* x, const char* from, const char* to,
                   bool decrypt, int32_t threads) {
    static cipher::Engine master;
    master.Start(key, cipher::Path::kPortable);
    Obj in(Open(from, false));
    Obj out(Open(to, true));
    Input input(in.get());
    Output output(out.get());
    CryptOutcome o = CryptSegments(master, x, &input, &output, decrypt, threads);
    EXPECT_TRUE(BinaryStreamCommit(out.get()));
    BinaryStreamClose(in.get());
    return o;
  }

  std::string dir_;
};

TEST_F(Segments, EveryThreadCountGivesOneEnginesBytes) {
  for (bool expanded : {false, true}) {
    auto key = MakeKey(7, expanded);
    static cipher::FillerPrefix prefix;
    uint8_t fillerKey[filler::kKeyBytes];
    for (int i = 0; i < filler::kKeyBytes; i++) fillerKey[i] = static_cast<uint8_t>(i * 7 + 1);
    Expansion x{&prefix, fillerKey, filler::Kind::kPortable};
    if (expanded) {
      prefix.Build(*key);
      ASSERT_TRUE(SegmentsFit(prefix));
    }
    // Several segments and a short last one: plain, several batches on one and two
    // threads (the workers cipher one while the next is read and the last written);
    // expanded, several batches of one or two segments, whose canvases the writer holds
    // for a while.
    std::mt19937 rng(11);
    Bytes plain((expanded ? 3 : 9) * 262144 + 4099);
    for (auto& b : plain) b = static_cast<uint8_t>(rng());
    Write("plain", plain);
    Bytes first;
    for (int32_t threads : {1, 2, 4}) {
      SCOPED_TRACE("expanded " + std::to_string(expanded) + ", threads " + std::to_string(threads));
      ASSERT_EQ(Run(*key, expanded ? &x : nullptr, "plain", "out", false, threads),
                CryptOutcome::kDone);
      Bytes encrypted = Read("out");
      if (first.empty()) first = encrypted;
      EXPECT_EQ(encrypted, first) << "the same bytes whatever the thread count";
      ASSERT_EQ(Run(*key, expanded ? &x : nullptr, "out", "back", true, threads),
                CryptOutcome::kDone);
      EXPECT_EQ(Read("back"), plain);
    }
    EXPECT_GT(first.size(), expanded ? plain.size() : plain.size() - 1);
  }
}

// The sealing stage on the pool: a stream of two batches of chunks, handed over in pieces
// of every size, is sealed into the same file and opened back into the same stream on
// every thread count; a changed byte stops the opener at its chunk, after the chunks
// before it.
TEST_F(Segments, SealedBatchesOnEveryThreadCount) {
  std::mt19937 rng(12);
  Bytes stream(9 * sealed::kChunkBytes + 1234);
  for (auto& b : stream) b = static_cast<uint8_t>(rng());
  uint8_t salt[sealed::kSaltBytes], key[sealed::kKeyBytes];
  for (uint32_t i = 0; i < sealed::kSaltBytes; i++) salt[i] = static_cast<uint8_t>(i);
  for (uint32_t i = 0; i < sealed::kKeyBytes; i++) key[i] = static_cast<uint8_t>(200 - i);
  auto open = [&](const char* name, int32_t threads, bool* forged) {
    Obj in(Open(name, false));
    Str head(BinaryStreamRead(in.get(), sealed::kHeaderBytes, nullptr));
    EXPECT_EQ(head.length(), sealed::kHeaderBytes);
    sealing::Opener opener;
    opener.Start(in.get(), head, sealed::kHeaderBytes, key, threads);
    Bytes back;
    for (Str s(opener.Read(100000)); s.length() > 0; s = Str(opener.Read(100000)))
      back.insert(back.end(), s.bytes(), s.bytes() + s.length());
    *forged = opener.forged();
    BinaryStreamClose(in.get());
    return back;
  };
  Bytes first;
  for (int32_t threads : {1, 2, 4}) {
    SCOPED_TRACE("threads " + std::to_string(threads));
    {
      Obj out(Open("out", true));
      sealing::Sealer sealer;
      sealer.Start(out.get(), salt, key, threads);
      for (size_t at = 0, n = 1; at < stream.size(); at += n, n = n * 3 + 7)
        sealer.Put(stream.data() + at, static_cast<uint32_t>(std::min(n, stream.size() - at)));
      sealer.Finish();
      ASSERT_TRUE(BinaryStreamCommit(out.get()));
    }
    Bytes file = Read("out");
    if (first.empty()) first = file;
    EXPECT_EQ(file, first) << "the same file whatever the thread count";
    EXPECT_EQ(file.size(), sealed::kHeaderBytes + stream.size() + 10 * sealed::kTagBytes);
    bool forged = true;
    EXPECT_EQ(open("out", threads, &forged), stream);
    EXPECT_FALSE(forged);
    Bytes bad = file;
    bad[sealed::kHeaderBytes + 5 * sealed::kStoredChunkBytes + 10] ^= 1;
    Write("back", bad);
    Bytes before = open("back", threads, &forged);
    EXPECT_TRUE(forged);
    EXPECT_EQ(before, Bytes(stream.begin(), stream.begin() + 5 * sealed::kChunkBytes));
  }
}

}  // namespace
