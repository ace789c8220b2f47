// Line output and input on the standard streams, through pipes put over fds 0 and 1.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "runtime/console/console.h"
#include "runtime/console/console_internal.h"
#include "runtime/values/string.h"
#include "tests/emulation.h"

namespace {

std::string Text(MVString* s) {
  return s ? std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s)) : std::string();
}

// Everything Print writes to standard output while `body` runs.
template <typename F> std::string CaptureOutput(F body) {
  fflush(stdout);
  int fds[2];
  EXPECT_EQ(pipe(fds), 0);
  int saved = dup(1);
  dup2(fds[1], 1);
  close(fds[1]);
  body();
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, n);
  close(fds[0]);
  return out;
}

void PrintBytes(const char* bytes, uint32_t n, uint32_t encoding) {
  MVString* s = MVStringFromBytes(bytes, n, encoding);
  RuntimeConsolePrint(s);
  RuntimeUnlockString(s);
}

TEST(ConsolePrint, WritesLineAndTerminator) {
  EXPECT_EQ(CaptureOutput([] { PrintBytes(" ", 1, kEncodingASCII); }), " \n");
  EXPECT_EQ(CaptureOutput([] { RuntimeConsolePrint(nullptr); }), "");
  EXPECT_EQ(CaptureOutput([] { PrintBytes("[Ombrix] ", 9, kEncodingUTF8); }), "[Ombrix] \n");
}

TEST(ConsolePrint, NulEndsAsciiOutput) {
  EXPECT_EQ(CaptureOutput([] { PrintBytes("a\0b", 3, kEncodingUnknown); }), "a");
  EXPECT_EQ(CaptureOutput([] { PrintBytes("a\0b", 3, kEncodingASCII); }), "a");
}

TEST(ConsolePrint, NonAsciiTextBecomesUtf8) {
  EXPECT_EQ(CaptureOutput([] { PrintBytes("caf\xC3\xA9", 5, kEncodingUTF8); }), "caf\xC3\xA9\n");
  EXPECT_EQ(CaptureOutput([] { PrintBytes("\xC3\xA9", 2, kEncodingUnknown); }), "\xC3\xA9\n");
  // An ASCII tag is written as it is, whatever the bytes.
  EXPECT_EQ(CaptureOutput([] { PrintBytes("\xE9", 1, kEncodingASCII); }), "\xE9\n");
}

// Puts a pipe over standard input for the duration of a test; the write end stays open
// so that bytes can arrive later.
class ConsoleInput : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pipe(fds_), 0);
    saved_ = dup(0);
    dup2(fds_[0], 0);
    close(fds_[0]);
    MVConsoleResetInput();
  }
  void TearDown() override {
    if (fds_[1] >= 0) close(fds_[1]);
    dup2(saved_, 0);
    close(saved_);
    MVConsoleResetInput();
  }
  void Feed(const std::string& bytes) { ASSERT_EQ(write(fds_[1], bytes.data(), bytes.size()), (ssize_t)bytes.size()); }
  void EndInput() {
    close(fds_[1]);
    fds_[1] = -1;
  }
  std::string Line() {
    MVString* s = RuntimeConsoleInput();
    if (s) {
      EXPECT_EQ(s->encoding, kEncodingASCII);
    }
    std::string t = Text(s);
    RuntimeUnlockString(s);
    return t;
  }
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

TEST_F(ConsoleInput, CrLfIsOneTerminator) {
  Feed("ab\r\nc\n");
  EndInput();
  EXPECT_EQ(Line(), "ab");
  EXPECT_EQ(Line(), "c");
  EXPECT_FALSE(RuntimeConsoleInputAtEnd());
  EXPECT_EQ(Line(), "");
  EXPECT_TRUE(RuntimeConsoleInputAtEnd());
}

TEST_F(ConsoleInput, ByteAfterLoneCrBeginsNextLine) {
  Feed("a\rx\n");
  EndInput();
  EXPECT_EQ(Line(), "a");
  EXPECT_EQ(MVConsolePendingByte(), 'x');
  EXPECT_EQ(Line(), "x");
  EXPECT_EQ(MVConsolePendingByte(), 0);
}

// The byte read ahead is a byte like any other: a second CR is an empty line of its
// own, and a 0xFF read ahead is kept as every byte of a name is (found by the console
// input fuzz target).
TEST_F(ConsoleInput, ByteAfterLoneCrIsHandledAsAnyOther) {
  Feed("a\r\rb\r\xff" "c\r\n");
  EndInput();
  EXPECT_EQ(Line(), "a");
  EXPECT_EQ(Line(), "");
  EXPECT_EQ(Line(), "b");
  EXPECT_EQ(Line(), "\xff" "c");
}

TEST_F(ConsoleInput, ReadAheadAfterCrDoesNotWait) {
  Feed("a\r");
  EXPECT_EQ(Line(), "a");  // nothing has arrived after the CR: returns at once
  EXPECT_EQ(MVConsolePendingByte(), 0);
  EXPECT_FALSE(RuntimeConsoleInputAtEnd());
  EXPECT_EQ(fcntl(0, F_GETFL) & O_NONBLOCK, 0);  // blocking mode restored
  Feed("x\n");
  EXPECT_EQ(Line(), "x");
}

TEST_F(ConsoleInput, WaitsOnInputLeftNonBlocking) {
  int flags = fcntl(0, F_GETFL);
  fcntl(0, F_SETFL, flags | O_NONBLOCK);
  pid_t pid = fork();
  if (pid == 0) {
    usleep(50000);
    if (write(fds_[1], "late\n", 5) != 5) _exit(1);
    _exit(0);
  }
  EXPECT_EQ(Line(), "late");  // not taken for the end of input
  EXPECT_FALSE(RuntimeConsoleInputAtEnd());
  EXPECT_NE(fcntl(0, F_GETFL) & O_NONBLOCK, 0);  // the mode found is left as it was
  int status = 0;
  waitpid(pid, &status, 0);
  fcntl(0, F_SETFL, flags);
}

TEST_F(ConsoleInput, NulEndsLineAndFfIsKept) {
  Feed(std::string("a\0b\n", 4) + "a\xFF" "b\n");
  EndInput();
  EXPECT_EQ(Line(), "a");
  EXPECT_EQ(Line(), "b");
  EXPECT_EQ(Line(), "a\xFF" "b");
}

TEST_F(ConsoleInput, KeepsBlanksAndHighBytes) {
  Feed("  Enc x  \n\t\xE9\n");
  EndInput();
  EXPECT_EQ(Line(), "  Enc x  ");
  EXPECT_EQ(Line(), "\t\xE9");
}

TEST_F(ConsoleInput, EndOfInputIsSticky) {
  Feed("last");
  EndInput();
  EXPECT_EQ(Line(), "last");  // an unterminated last line is still returned
  EXPECT_TRUE(RuntimeConsoleInputAtEnd());
  // Later bytes on a new writer are not read any more: every call returns nil at once.
  EXPECT_EQ(RuntimeConsoleInput(), nullptr);
  EXPECT_EQ(RuntimeConsoleInput(), nullptr);
}

TEST_F(ConsoleInput, EmptyLinesAreNil) {
  Feed("\n\r\n");
  EndInput();
  EXPECT_EQ(RuntimeConsoleInput(), nullptr);
  EXPECT_EQ(RuntimeConsoleInput(), nullptr);
  EXPECT_FALSE(RuntimeConsoleInputAtEnd());
  EXPECT_EQ(RuntimeConsoleInput(), nullptr);
  EXPECT_TRUE(RuntimeConsoleInputAtEnd());
}

TEST_F(ConsoleInput, OverlongLineEndsTheProcessForWantOfMemory) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "under AddressSanitizer the address-space limit starves the sanitizer's "
                  "own allocator first";
#endif
  if (RunningEmulated()) GTEST_SKIP() << "the address-space limit binds the emulator, not the program";
  // 8 MB without a line end on standard input, and little room left to grow into.
  char path[] = "/tmp/console_longline_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  unlink(path);
  static char chunk[65536];
  memset(chunk, 'a', sizeof chunk);
  for (int i = 0; i < 128; i++) ASSERT_EQ(write(fd, chunk, sizeof chunk), (ssize_t)sizeof chunk);
  lseek(fd, 0, SEEK_SET);
  EXPECT_EXIT(
      {
        dup2(fd, 0);
        long pages = 0;
        FILE* statm = fopen("/proc/self/statm", "r");
        if (!statm || fscanf(statm, "%ld", &pages) != 1) _exit(3);
        fclose(statm);
        struct rlimit limit;
        limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (2 << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(4);
        RuntimeConsoleInput();
        _exit(5);
      },
      testing::ExitedWithCode(0), "");
  close(fd);
}

TEST_F(ConsoleInput, CrAtEndOfInput) {
  Feed("z\r");
  EndInput();
  EXPECT_EQ(Line(), "z");
  EXPECT_TRUE(RuntimeConsoleInputAtEnd());
}

}  // namespace
