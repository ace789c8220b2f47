// The progress line: its text, and silence when standard error is not a terminal.
#include "runtime/console/progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "runtime/console/console_internal.h"

namespace {

TEST(ProgressText, BytesPercentRateAndTimeLeft) {
  const int64_t MiB = 1 << 20;
  EXPECT_EQ(MVProgressText(512 * MiB, 1024 * MiB, kMVProgressBytes, 40, 80),
            "512.0 MiB of 1.0 GiB   50%  12.8 MiB/s  0:40 left");
  EXPECT_EQ(MVProgressText(100, 4000, kMVProgressBytes, 1, 80), "100 B of 3.9 KiB    2%  100 B/s  0:39 left");
  // Nothing done yet: no rate, no estimate.
  EXPECT_EQ(MVProgressText(0, 10 * MiB, kMVProgressBytes, 0.5, 80), "0 B of 10.0 MiB    0%  0 B/s  --:-- left");
  // Hours, and a count beyond the total (a file that grew) held at the total.
  EXPECT_EQ(MVProgressText(1, 10000, kMVProgressKeyFiles, 1, 80),
            "1 of 10000 key files    0%  1 files/s  2:46:39 left");
  EXPECT_EQ(MVProgressText(12, 10, kMVProgressKeyFiles, 2, 80), "10 of 10 key files  100%  5 files/s  0:00 left");
}

TEST(ProgressText, FitsTheTerminal) {
  std::string text = MVProgressText(1, 1000, kMVProgressKeyFiles, 1, 20);
  EXPECT_EQ(text, "1 of 1000 key files");  // 19 columns: the last one stays free
  EXPECT_EQ(MVProgressText(1, 1000, kMVProgressKeyFiles, 1, 1), "");
}

TEST(Progress, NothingWrittenWhenStandardErrorIsNoTerminal) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  int saved = dup(2);
  dup2(fds[1], 2);
  close(fds[1]);
  RuntimeProgressBegin(1000, kMVProgressBytes);
  for (int i = 0; i <= 1000; i++) RuntimeProgressStep(i);
  MVProgressErase();
  RuntimeProgressEnd();
  dup2(saved, 2);
  close(saved);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  char c;
  EXPECT_LE(read(fds[0], &c, 1), 0);
  close(fds[0]);
}

}  // namespace
