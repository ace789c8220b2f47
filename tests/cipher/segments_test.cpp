// The segment work of enc and dec as the program runs it: the application's own
// CryptSegments (built as ordinary code) cutting real files into segments on the
// runtime's worker pool, read through the read-ahead and written through the write-behind
// of the runtime's streams. Whatever the thread count, the output is one engine's: the
// same cipher bytes at the same places, and decryption gives the plain bytes back. The
// thread-check build (./dev.sh tsan) runs it under ThreadSanitizer, which sees the work
// of every thread here, the image's routines included.
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

#include "app/crypt_parallel.h"
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

  // `from` through the segments into `to`, on `threads` threads.
  SegmentOutcome Run(const cipher::Key& key, const Expansion* x, const char* from, const char* to,
                     bool decrypt, int32_t threads) {
    static cipher::Engine master;
    master.Start(key, cipher::Path::kPortable);
    Str source(MVStringFromCString(Path(from).c_str(), kEncodingUTF8));
    Str destination(MVStringFromCString(Path(to).c_str(), kEncodingUTF8));
    Obj inItem(RuntimeGetFolderItem(source.get(), 0));
    Obj outItem(RuntimeGetFolderItem(destination.get(), 0));
    Obj in(FolderItemOpenBinaryFile(inItem.get(), false));
    Obj out(FolderItemCreateOutputFile(outItem.get(), 0));
    EXPECT_NE(in.get(), nullptr);
    EXPECT_NE(out.get(), nullptr);
    SegmentOutcome o = CryptSegments(master, x, in.get(), out.get(), decrypt, threads);
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
                SegmentOutcome::kDone);
      Bytes encrypted = Read("out");
      if (first.empty()) first = encrypted;
      EXPECT_EQ(encrypted, first) << "the same bytes whatever the thread count";
      ASSERT_EQ(Run(*key, expanded ? &x : nullptr, "out", "back", true, threads),
                SegmentOutcome::kDone);
      EXPECT_EQ(Read("back"), plain);
    }
    EXPECT_GT(first.size(), expanded ? plain.size() : plain.size() - 1);
  }
}

}  // namespace
