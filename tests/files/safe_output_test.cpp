// The safe output path: what the destination looks like before, during and after an
// output, for every kind of destination, and what an interruption or a failure leaves.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "runtime/core/objects/signals.h"
#include "tests/files/files_test_util.h"

using namespace filetest;

namespace {

class SafeOutputTest : public FilesTest {
 protected:
  // The names in the folder that are temporary files.
  std::vector<std::string> Parts() const {
    std::vector<std::string> parts;
    for (const std::string& n : Listing(dir_))
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".part") == 0) parts.push_back(n);
    return parts;
  }
  mode_t ModeOf(const std::string& name) const {
    struct stat st;
    return stat(P(name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  // Writes `bytes` to a new binary output for `name` and commits it.
  bool Write(const std::string& name, const std::string& bytes, int32_t flags = 0) {
    Obj item(Item(name));
    Obj out(FolderItemCreateOutputFile(item, flags));
    if (!out) return false;
    BinaryStreamWrite(out, Str(bytes, kEncodingUnknown));
    return BinaryStreamCommit(out);
  }
};

TEST_F(SafeOutputTest, NothingChangesUntilTheCommit) {
  WriteFile(P("dest"), "old");
  Obj item(Item("dest"));
  Obj out(FolderItemCreateOutputFile(item, 0));
  ASSERT_TRUE(out);
  BinaryStreamWrite(out, Str("new", kEncodingUnknown));
  BinaryStreamFlush(out);
  EXPECT_EQ(ReadFile(P("dest")), "old");
  EXPECT_EQ(Parts().size(), 0u);  // no name while it is written
  EXPECT_TRUE(BinaryStreamCommit(out));
  EXPECT_EQ(ReadFile(P("dest")), "new");
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
}

TEST_F(SafeOutputTest, CloseWithoutCommitAndReleaseDiscard) {
  WriteFile(P("dest"), "old");
  {
    Obj item(Item("dest"));
    Obj out(FolderItemCreateOutputFile(item, 0));
    BinaryStreamWrite(out, Str("half", kEncodingUnknown));
    BinaryStreamClose(out);
    EXPECT_NE(BinaryStreamGetLastError(out), 0);
    EXPECT_FALSE(BinaryStreamCommit(out));  // already closed
  }
  {
    Obj item(Item("fresh"));
    Obj out(FolderItemCreateOutputTextFile(item, 0));
    TextOutputStreamWriteLine(out, Str("line"));
  }  // released while open
  EXPECT_EQ(ReadFile(P("dest")), "old");
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
}

TEST_F(SafeOutputTest, ModesOfReplacedNewAndPrivateFiles) {
  WriteFile(P("kept"), "old");
  chmod(P("kept").c_str(), 0640);
  mode_t old = umask(022);
  EXPECT_TRUE(Write("kept", "new"));
  EXPECT_TRUE(Write("fresh", "new"));
  EXPECT_TRUE(Write("key", "new", kMVOutputPrivate));
  WriteFile(P("oldkey"), "old");
  chmod(P("oldkey").c_str(), 0644);
  EXPECT_TRUE(Write("oldkey", "new", kMVOutputPrivate));
  umask(old);
  EXPECT_EQ(ModeOf("kept"), 0640u);
  EXPECT_EQ(ModeOf("fresh"), 0644u);
  EXPECT_EQ(ModeOf("key"), 0600u);
  EXPECT_EQ(ModeOf("oldkey"), 0600u);
}

TEST_F(SafeOutputTest, LinksAreFollowedToTheFileTheyName) {
  mkdir(P("sub").c_str(), 0755);
  WriteFile(P("sub/real"), "old");
  ASSERT_EQ(symlink("sub/real", P("rel").c_str()), 0);  // relative to the link's folder
  ASSERT_EQ(symlink(P("sub/missing").c_str(), P("dangling").c_str()), 0);
  EXPECT_TRUE(Write("rel", "through the link"));
  EXPECT_TRUE(Write("dangling", "created"));
  struct stat st;
  EXPECT_EQ(lstat(P("rel").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(ReadFile(P("sub/real")), "through the link");
  EXPECT_EQ(ReadFile(P("sub/missing")), "created");
  ASSERT_EQ(symlink("loop2", P("loop1").c_str()), 0);
  ASSERT_EQ(symlink("loop1", P("loop2").c_str()), 0);
  EXPECT_FALSE(Write("loop1", "x"));
}

TEST_F(SafeOutputTest, HardLinkedFileIsUpdatedInPlace) {
  WriteFile(P("a"), "a longer old content");
  ASSERT_EQ(link(P("a").c_str(), P("b").c_str()), 0);
  struct stat before, after;
  stat(P("a").c_str(), &before);
  EXPECT_TRUE(Write("a", "short"));
  stat(P("a").c_str(), &after);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(ReadFile(P("b")), "short");
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"a", "b"}));
}

TEST_F(SafeOutputTest, FoldersAndProtectedFilesAreRefused) {
  mkdir(P("folder").c_str(), 0755);
  WriteFile(P("program"), "the program");
  MVProtectFile(P("program").c_str());
  // Held open for the rest of the run, so that no later test's file gets its inode.
  static int keep = open(P("program").c_str(), O_RDONLY);
  (void)keep;
  ASSERT_EQ(symlink("program", P("alias").c_str()), 0);
  Obj folder(Item("folder"));
  EXPECT_FALSE(FolderItemCreateOutputFile(folder, 0));
  Obj alias(Item("alias"));
  EXPECT_TRUE(FolderItemIsProtected(alias));
  EXPECT_FALSE(FolderItemCreateOutputFile(alias, 0));
  EXPECT_EQ(FolderItemGetLastError(alias), kMVErrorProtectedFile);
  Obj src(Item("src"));
  WriteFile(P("src"), "copy");
  FolderItemCopyFileTo(src, alias);
  EXPECT_EQ(FolderItemGetLastError(src), kMVErrorProtectedFile);
  EXPECT_EQ(ReadFile(P("program")), "the program");
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"alias", "folder", "program", "src"}));
}

TEST_F(SafeOutputTest, DeviceIsWrittenDirectly) {
  Obj null(Item("/dev/null"));
  Obj out(FolderItemCreateOutputFile(null, 0));
  ASSERT_TRUE(out);
  BinaryStreamWrite(out, Str("gone", kEncodingUnknown));
  EXPECT_TRUE(BinaryStreamCommit(out));
  struct stat st;
  ASSERT_EQ(stat("/dev/null", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST_F(SafeOutputTest, FailedWriteKeepsTheOldFile) {
  WriteFile(P("dest"), "old");
  struct rlimit saved;
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit small = {4096, saved.rlim_max};
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  bool ok = Write("dest", std::string(100000, 'x'));
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_FALSE(ok);
  EXPECT_EQ(ReadFile(P("dest")), "old");
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
}

TEST_F(SafeOutputTest, AbandonedOutputsLeaveNothing) {
  WriteFile(P("dest"), "old");
  Obj item(Item("dest"));
  Obj out(FolderItemCreateOutputFile(item, 0));
  BinaryStreamWrite(out, Str("new", kEncodingUnknown));
  MVAbandonSafeOutputs();  // the end of the process
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"dest"});
  EXPECT_FALSE(BinaryStreamCommit(out));
  EXPECT_EQ(ReadFile(P("dest")), "old");
}

TEST_F(SafeOutputTest, InterruptedCopyReplacesNothing) {
  WriteFile(P("src"), std::string(1 << 20, 's'));
  WriteFile(P("dst"), "old");
  Obj src(Item("src"));
  Obj dst(Item("dst"));
  struct sigaction saved;
  sigaction(SIGINT, nullptr, &saved);
  MVInstallSignalHandlers();
  raise(SIGINT);  // recorded by the program's handler, acted on by the copy
  FolderItemCopyFileTo(src, dst);
  EXPECT_EQ(FolderItemGetLastError(src), EINTR);
  RuntimeInterruptHandled();
  sigaction(SIGINT, &saved, nullptr);
  EXPECT_EQ(ReadFile(P("dst")), "old");
  FolderItemCopyFileTo(src, dst);
  EXPECT_TRUE(ReadFile(P("dst")) == std::string(1 << 20, 's'));
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"dst", "src"}));
}

// Temporary files left by killed writers go at the next write to their destination;
// one whose writer still holds it, and those of other names, stay.
TEST_F(SafeOutputTest, StaleTemporaryFilesGoAtTheNextWrite) {
  WriteFile(P("dest.Ab12Cd.part"), "stale");
  WriteFile(P(".ombrix.Zz9Yy8.part"), "stale, long name");
  WriteFile(P("dest.Held01.part"), "being written");
  WriteFile(P("other.Ab12Cd.part"), "another file's");
  int held = open(P("dest.Held01.part").c_str(), O_RDONLY);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  EXPECT_TRUE(Write("dest", "new"));
  EXPECT_EQ(Parts(), (std::vector<std::string>{"dest.Held01.part", "other.Ab12Cd.part"}));
  close(held);
}

// A multiply linked file cannot be replaced in one step: while one writer holds it,
// another is refused rather than mixed in.
TEST_F(SafeOutputTest, SecondInPlaceWriterIsRefused) {
  WriteFile(P("a"), "old");
  ASSERT_EQ(link(P("a").c_str(), P("b").c_str()), 0);
  Obj item(Item("b"));
  Obj first(FolderItemCreateOutputFile(item, 0));
  ASSERT_TRUE(first);
  Obj again(Item("a"));
  EXPECT_FALSE(FolderItemCreateOutputFile(again, 0));
  EXPECT_EQ(FolderItemGetLastError(again), kMVErrorOutputBusy);
  BinaryStreamWrite(first, Str("new", kEncodingUnknown));
  EXPECT_TRUE(BinaryStreamCommit(first));
  EXPECT_EQ(ReadFile(P("a")), "new");
  EXPECT_TRUE(Write("a", "newer"));  // released with the commit
}

// A guarded file is refused under every name that leads to it: a chain of links, a hard
// link, a link guarded in its place; until the guards are cleared.
TEST_F(SafeOutputTest, GuardedFilesAreRefusedUnderEveryName) {
  WriteFile(P("key"), "key");
  WriteFile(P("target"), "what a guarded link leads to");
  ASSERT_EQ(link(P("key").c_str(), P("hard").c_str()), 0);
  ASSERT_EQ(symlink(P("key").c_str(), P("one").c_str()), 0);
  ASSERT_EQ(symlink("one", P("two").c_str()), 0);
  ASSERT_EQ(symlink("two", P("three").c_str()), 0);
  ASSERT_EQ(symlink("target", P("link").c_str()), 0);
  EXPECT_TRUE(RuntimeGuardFile(Str(P("key"))));
  EXPECT_TRUE(RuntimeGuardFile(Str(P("link"))));
  EXPECT_FALSE(RuntimeGuardFile(Str(P("missing"))));
  for (const char* name : {"key", "hard", "three", "target"}) {
    Obj item(Item(name));
    EXPECT_EQ(FolderItemOutputRefusal(item), kMVErrorGuardedFile) << name;
    EXPECT_FALSE(FolderItemCreateOutputFile(item, 0)) << name;
    EXPECT_EQ(FolderItemGetLastError(item), kMVErrorGuardedFile) << name;
  }
  Obj fresh(Item("fresh"));
  EXPECT_EQ(FolderItemOutputRefusal(fresh), 0);
  RuntimeClearGuards();
  EXPECT_TRUE(Write("three", "written in place"));
  EXPECT_EQ(ReadFile(P("hard")), "written in place");
}

// A link of /proc to an open pipe (what /dev/stdout leads to) is written through the
// link itself: its text names no file.
TEST_F(SafeOutputTest, PipeReachedThroughProcIsWrittenDirectly) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  std::string fd = "/proc/self/fd/" + std::to_string(pipeEnds[1]);
  ASSERT_EQ(symlink(fd.c_str(), P("stdout").c_str()), 0);  // as /dev/stdout is
  EXPECT_TRUE(Write("stdout", "through the pipe"));
  close(pipeEnds[1]);
  char got[64] = {};
  EXPECT_EQ(read(pipeEnds[0], got, sizeof got), 16);
  EXPECT_STREQ(got, "through the pipe");
  close(pipeEnds[0]);
}

}  // namespace
