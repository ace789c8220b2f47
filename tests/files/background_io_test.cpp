// Reading ahead and writing behind: the bytes and their order are those of plain
// synchronous calls at every block size, a failed write reaches the caller, and an
// output that is discarded or abandoned leaves nothing and gets no further writes.
#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

#include <algorithm>
#include <random>
#include <thread>

#include "runtime/core/objects/signals.h"
#include "runtime/files/background_io.h"
#include "tests/files/files_test_util.h"

using namespace filetest;

namespace {

std::string RandomBytes(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(g());
  return s;
}

// The threads the process had before any stream was opened: the calling one, and those
// of an emulator the tests may run under or of ThreadSanitizer, which starts its own with
// the first thread the program starts (one is started and ended here, so that it is
// there before any stream is opened).
const std::vector<std::string>& FirstThreads() {
  static const std::vector<std::string> first = [] {
#if defined(__SANITIZE_THREAD__)
    std::thread([] {}).join();
#endif
    return Listing("/proc/self/task");
  }();
  return first;
}

// The process's threads other than those it started with.
std::vector<std::string> OtherThreads() {
  const std::vector<std::string>& first = FirstThreads();
  std::vector<std::string> tids;
  for (const std::string& t : Listing("/proc/self/task"))
    if (std::find(first.begin(), first.end(), t) == first.end()) tids.push_back(t);
  return tids;
}

// The blocked-signal mask of a thread, from /proc.
unsigned long long BlockedSignals(const std::string& tid) {
  FILE* f = fopen(("/proc/self/task/" + tid + "/status").c_str(), "r");
  if (!f) return 0;
  char line[256];
  unsigned long long mask = 0;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "SigBlk:", 7) == 0) mask = strtoull(line + 7, nullptr, 16);
  fclose(f);
  return mask;
}

// Write system calls made by the process so far (task I/O accounting).
long WriteCalls() {
  FILE* f = fopen("/proc/self/io", "r");
  if (!f) return -1;
  char line[128];
  long calls = -1;
  while (fgets(line, sizeof line, f))
    if (strncmp(line, "syscw:", 6) == 0) calls = atol(line + 6);
  fclose(f);
  return calls;
}

class BackgroundIOTest : public FilesTest {
 protected:
  void SetUp() override {
    FirstThreads();
    FilesTest::SetUp();
  }
  std::vector<std::string> Parts() const {
    std::vector<std::string> parts;
    for (const std::string& n : Listing(dir_))
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0) parts.push_back(n);
    return parts;
  }
  // Reads the whole file through a binary stream in blocks of `block` bytes (after a
  // first read of `first` bytes).
  std::string ReadAll(const std::string& name, int32_t block, int32_t first = 0) {
    Obj item(Item(name));
    Obj in(FolderItemOpenBinaryFile(item, false));
    std::string all = first ? Str(BinaryStreamRead(in, first, nullptr)).bytes() : "";
    for (;;) {
      Str s(BinaryStreamRead(in, block, nullptr));
      if (MVStringLength(s) == 0) break;
      all += s.bytes();
      if (all.size() > (64u << 20)) break;  // a runaway loop
    }
    EXPECT_TRUE(BinaryStreamEOF(in));
    EXPECT_EQ(BinaryStreamGetPosition(in), all.size());
    EXPECT_EQ(BinaryStreamGetLastError(in), 0);
    return all;
  }
};

TEST_F(BackgroundIOTest, ReadsAheadGiveTheSameBytesAtEveryBlockSize) {
  const std::string data = RandomBytes(3 * 1024 * 1024 + 123, 1);
  WriteFile(P("src"), data);
  const int32_t blocks[] = {kMVBackgroundBlock - 1, kMVBackgroundBlock, 100000, 262144,
                            262145, 1 << 20, 4 << 20};
  for (int32_t block : blocks) {
    EXPECT_TRUE(ReadAll("src", block) == data) << "block " << block;
    // Not in step with the worker's own blocks.
    EXPECT_TRUE(ReadAll("src", block, 1) == data) << "block " << block << " after 1 byte";
    EXPECT_TRUE(ReadAll("src", block, 70000) == data) << "block " << block << " after 70000";
  }
  // A file of exactly a whole number of read-ahead blocks, and an empty one.
  const std::string whole = RandomBytes(1 << 20, 2);
  WriteFile(P("whole"), whole);
  EXPECT_TRUE(ReadAll("whole", 262144) == whole);
  WriteFile(P("empty"), "");
  EXPECT_EQ(ReadAll("empty", 262144), "");
}

TEST_F(BackgroundIOTest, ReadsAheadMixWithByteReadsAndSeeks) {
  const std::string data = RandomBytes(2 * 1024 * 1024, 3);
  WriteFile(P("src"), data);
  Obj item(Item("src"));
  Obj in(FolderItemOpenBinaryFile(item, false));
  std::string got = Str(BinaryStreamRead(in, 300000, nullptr)).bytes();
  got += static_cast<char>(BinaryStreamReadByte(in));
  got += Str(BinaryStreamRead(in, 3, nullptr)).bytes();
  got += Str(BinaryStreamRead(in, 500000, nullptr)).bytes();
  ASSERT_TRUE(got == data.substr(0, got.size()));
  // Back to an earlier place, and on from there to the end.
  BinaryStreamSetPosition(in, 12345);
  std::string rest;
  for (;;) {
    Str s(BinaryStreamRead(in, 262144, nullptr));
    if (MVStringLength(s) == 0) break;
    rest += s.bytes();
  }
  EXPECT_TRUE(rest == data.substr(12345));
  EXPECT_TRUE(BinaryStreamEOF(in));
  BinaryStreamClose(in);
  EXPECT_TRUE(OtherThreads().empty());  // the worker ended with the stream
}

TEST_F(BackgroundIOTest, WritesBehindKeepTheOrderOfEveryWrite) {
  // Large blocks (written behind) between small writes, single bytes and numbers
  // (written through the buffer), and a read of the length on the way. Every other block
  // is a part of a longer string, which the caller lets go of at once.
  Obj item(Item("dest"));
  Obj out(FolderItemCreateOutputFile(item, 0));
  ASSERT_TRUE(out);
  std::string want;
  std::mt19937 g(4);
  for (int i = 0; i < 40; i++) {
    size_t n = i % 3 == 0 ? 262144 : i % 3 == 1 ? 70000 + g() % 300000 : g() % 5000;
    std::string block = RandomBytes(n, 100 + i);
    if (i % 2) {
      size_t before = g() % 3000;
      std::string around = RandomBytes(before, i) + block + RandomBytes(g() % 3000, i + 1);
      BinaryStreamWritePart(out, Str(around, kEncodingUnknown), static_cast<uint32_t>(before),
                            static_cast<uint32_t>(n));
    } else {
      BinaryStreamWrite(out, Str(block, kEncodingUnknown));
    }
    want += block;
    BinaryStreamWriteByte(out, i);
    want += static_cast<char>(i);
    BinaryStreamWriteLong(out, 0x01020304 + i);
    want += std::string{1, 2, 3, static_cast<char>(4 + i)};
    ASSERT_EQ(BinaryStreamGetPosition(out), want.size());
    ASSERT_EQ(BinaryStreamGetLength(out), want.size());
    ASSERT_EQ(BinaryStreamGetLastError(out), 0);
  }
  // A part is cut at the string's end; one that begins there or past it writes nothing.
  std::string tail = RandomBytes(100000, 7);
  BinaryStreamWritePart(out, Str(tail, kEncodingUnknown), 30000, 0xFFFFFFFFu);
  want += tail.substr(30000);
  BinaryStreamWritePart(out, Str(tail, kEncodingUnknown), 99990, 20);
  want += tail.substr(99990);
  BinaryStreamWritePart(out, Str(tail, kEncodingUnknown), 100000, 5);
  BinaryStreamWritePart(out, Str(tail, kEncodingUnknown), 0xFFFFFFFFu, 0xFFFFFFFFu);
  EXPECT_EQ(BinaryStreamGetPosition(out), want.size());
  EXPECT_TRUE(BinaryStreamCommit(out));
  EXPECT_TRUE(ReadFile(P("dest")) == want);
  EXPECT_TRUE(Parts().empty());
  EXPECT_TRUE(OtherThreads().empty());
}

TEST_F(BackgroundIOTest, WritesBehindThenReadBackAndOverwrite) {
  // A read-write stream: the bytes written behind are there for a read and a seek.
  Obj item(Item("file"));
  Obj s(FolderItemCreateBinaryFile(item, Str("All")));
  ASSERT_TRUE(s);
  std::string data = RandomBytes(1 << 20, 5);
  BinaryStreamWrite(s, Str(data, kEncodingUnknown));
  BinaryStreamSetPosition(s, 1000);
  EXPECT_TRUE(Str(BinaryStreamRead(s, 100, nullptr)).bytes() == data.substr(1000, 100));
  std::string patch = RandomBytes(200000, 6);
  BinaryStreamWrite(s, Str(patch, kEncodingUnknown));  // at 1100
  data.replace(1100, patch.size(), patch);
  BinaryStreamSetPosition(s, data.size());
  BinaryStreamWrite(s, Str("end", kEncodingUnknown));
  data += "end";
  BinaryStreamClose(s);
  EXPECT_EQ(BinaryStreamGetLastError(s), 0);
  EXPECT_TRUE(ReadFile(P("file")) == data);
}

TEST_F(BackgroundIOTest, FailedWriteBehindReachesTheCaller) {
  WriteFile(P("dest"), "old");
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = {1 << 20, saved.rlim_max};
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  Obj item(Item("dest"));
  Obj out(FolderItemCreateOutputFile(item, 0));
  ASSERT_TRUE(out);
  Str block(RandomBytes(262144, 7), kEncodingUnknown);
  int32_t seen = 0;
  int writes = 0;
  // The application's loop: write a block, look at the last error.
  for (; writes < 40 && seen == 0; writes++) {
    BinaryStreamWrite(out, block);
    seen = BinaryStreamGetLastError(out);
  }
  if (seen == 0) {
    BinaryStreamFlush(out);
    seen = BinaryStreamGetLastError(out);
  }
  bool committed = BinaryStreamCommit(out);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(seen, EFBIG);
  EXPECT_LT(writes, 40);  // seen a few blocks after the limit, not only at the end
  EXPECT_FALSE(committed);
  EXPECT_EQ(BinaryStreamGetLastError(out), EFBIG);
  EXPECT_EQ(ReadFile(P("dest")), "old");
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
}

TEST_F(BackgroundIOTest, DiscardMidStreamLeavesNothing) {
  WriteFile(P("dest"), "old");
  Obj item(Item("dest"));
  Obj out(FolderItemCreateOutputFile(item, 0));
  Str block(RandomBytes(262144, 8), kEncodingUnknown);
  for (int i = 0; i < 16; i++) BinaryStreamWrite(out, block);
  // Interrupted: the command closes without committing while blocks still wait.
  BinaryStreamClose(out);
  EXPECT_TRUE(OtherThreads().empty());
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
  EXPECT_EQ(ReadFile(P("dest")), "old");
  EXPECT_FALSE(BinaryStreamCommit(out));
}

TEST_F(BackgroundIOTest, AbandonedOutputGetsNoFurtherWrites) {
  WriteFile(P("dest"), "old");
  Obj item(Item("dest"));
  Obj out(FolderItemCreateOutputFile(item, 0));
  Str block(RandomBytes(262144, 9), kEncodingUnknown);
  for (int i = 0; i < 8; i++) BinaryStreamWrite(out, block);
  // The temporary file has no name: it is found among the open descriptors.
  EXPECT_EQ(Parts().size(), 0u);
  int fd = -1;
  for (const std::string& n : Listing("/proc/self/fd")) {
    char target[4096];
    ssize_t len = readlink(("/proc/self/fd/" + n).c_str(), target, sizeof target - 1);
    if (len > 0 && std::string(target, len).compare(0, dir_.size() + 2, dir_ + "/#") == 0)
      fd = open(("/proc/self/fd/" + n).c_str(), O_RDONLY);  // keeps the file readable
  }
  ASSERT_GE(fd, 0);
  MVAbandonSafeOutputs();  // the end of the process
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
  struct stat before;
  ASSERT_EQ(fstat(fd, &before), 0);
  BinaryStreamWrite(out, block);  // refused: nothing more reaches the removed file
  EXPECT_NE(BinaryStreamGetLastError(out), 0);
  struct stat after;
  ASSERT_EQ(fstat(fd, &after), 0);
  EXPECT_EQ(after.st_size, before.st_size);
  close(fd);
  EXPECT_FALSE(BinaryStreamCommit(out));
  EXPECT_EQ(ReadFile(P("dest")), "old");
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
}

TEST_F(BackgroundIOTest, WorkerLeavesTheProgramsSignalsToTheProgram) {
  WriteFile(P("src"), RandomBytes(4 << 20, 10));
  Obj item(Item("src"));
  Obj in(FolderItemOpenBinaryFile(item, false));
  Str first(BinaryStreamRead(in, 262144, nullptr));  // the worker reads on meanwhile
  std::vector<std::string> workers = OtherThreads();
  ASSERT_EQ(workers.size(), 1u);
  unsigned long long blocked = BlockedSignals(workers[0]);
  for (int sig : {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE, SIGXFSZ})
    EXPECT_TRUE(blocked & (1ull << (sig - 1))) << "signal " << sig;
  EXPECT_FALSE(BlockedSignals(std::to_string(getpid())) & (1ull << (SIGINT - 1)));
  BinaryStreamClose(in);
}

thread_local int tOwner = 0;

// The workers have ended: joined, a worker's thread leaves the process's list of threads
// at once on a kernel, within moments under an emulator (one that is still running never).
bool WorkersGone() {
  for (int i = 0; i < 500 && !OtherThreads().empty(); i++) usleep(10000);
  return OtherThreads().empty();
}

// Ctrl-C while both workers run: the program's thread keeps its own thread-local storage
// after the handler, stopping the command joins both workers, and the next command's
// workers start afresh.
TEST_F(BackgroundIOTest, SignalMidWorkThenStopAndWorkAgain) {
  const int handled[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE, SIGXFSZ};
  struct sigaction before[6];
  for (int i = 0; i < 6; i++) sigaction(handled[i], nullptr, &before[i]);
  MVInstallSignalHandlers();
  tOwner = 1;
  std::string data = RandomBytes(4 << 20, 11);
  WriteFile(P("src"), data);
  Obj item(Item("src"));
  for (int round = 0; round < 2; round++) {
    SCOPED_TRACE(round == 0 ? "stopped" : "run again");
    Obj in(FolderItemOpenBinaryFile(item, false));
    Obj dest(Item("dest"));
    Obj out(FolderItemCreateOutputFile(dest, 0));
    Str first(BinaryStreamRead(in, 262144, nullptr));  // the reader works on meanwhile
    BinaryStreamWrite(out, first);                      // and the writer starts
    ASSERT_EQ(OtherThreads().size(), 2u);
    if (round == 0) {
      raise(SIGINT);
      EXPECT_EQ(tOwner, 1);
      EXPECT_EQ(RuntimeStopRequested(), kMVInterrupt);
      RuntimeInterruptHandled();
      BinaryStreamClose(out);  // discarded
    } else {
      for (;;) {
        Str block(BinaryStreamRead(in, 262144, nullptr));
        if (MVStringLength(block) == 0) break;
        BinaryStreamWrite(out, block);
      }
      EXPECT_TRUE(BinaryStreamCommit(out));
    }
    BinaryStreamClose(in);
    EXPECT_TRUE(WorkersGone());
  }
  EXPECT_EQ(ReadFile(P("dest")), data);
  for (int i = 0; i < 6; i++) sigaction(handled[i], &before[i], nullptr);
}

TEST_F(BackgroundIOTest, ByteLoopsWriteInBlocksOf64KiB) {
  if (WriteCalls() < 0) GTEST_SKIP() << "no task I/O accounting";
  Obj item(Item("bytes"));
  Obj out(FolderItemCreateBinaryFile(item, Str("All")));
  ASSERT_TRUE(out);
  std::string want;
  long before = WriteCalls();
  for (int i = 0; i < 262144; i++) {
    BinaryStreamWriteByte(out, i * 7);
    want += static_cast<char>(i * 7);
  }
  BinaryStreamClose(out);
  long calls = WriteCalls() - before;  // the stream's own buffer: 4, not 64 of 4 KiB
  EXPECT_LE(calls, 5);
  EXPECT_TRUE(ReadFile(P("bytes")) == want);
}

}  // namespace
