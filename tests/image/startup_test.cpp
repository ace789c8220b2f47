// Finding the program's own file and its folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/process/startup.h"
#include "runtime/core/process/startup_internal.h"

namespace {

class ProgramPath : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/mvpath-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
    ASSERT_EQ(mkdir((root_ + "/bin").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/real").c_str(), 0755), 0);
    Executable(root_ + "/real/prog");
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + root_ + "'").c_str()), 0); }

  static void Executable(const std::string& path) {
    std::ofstream(path) << "#!/bin/sh\n";
    chmod(path.c_str(), 0755);
  }

  std::string root_;
};

TEST_F(ProgramPath, ArgumentWithSlashIsTakenAsIs) {
  EXPECT_EQ(MVResolveProgramPath("./no/such/prog", "/usr/bin", 40), "./no/such/prog");
  EXPECT_EQ(MVResolveProgramPath((root_ + "/real/prog").c_str(), "", 40), root_ + "/real/prog");
}

TEST_F(ProgramPath, SearchPathFindsTheFirstExecutableRegularFile) {
  std::ofstream(root_ + "/bin/prog") << "not executable";
  ASSERT_EQ(mkdir((root_ + "/dir").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ + "/dir/prog").c_str(), 0755), 0);  // a folder is not a program
  std::string path = root_ + "/bin:" + root_ + "/dir:" + root_ + "/real:/bin";
  EXPECT_EQ(MVResolveProgramPath("prog", path.c_str(), 40), root_ + "/real/prog");
  EXPECT_EQ(MVResolveProgramPath("prog", "/nonexistent", 40), "");
  EXPECT_EQ(MVResolveProgramPath("prog", nullptr, 40), "");
  EXPECT_EQ(MVResolveProgramPath(nullptr, path.c_str(), 40), "");
  // Names are never handed to a shell.
  EXPECT_EQ(MVResolveProgramPath("prog;touch x", path.c_str(), 40), "");
}

TEST_F(ProgramPath, EmptySearchPathElementIsTheCurrentDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir((root_ + "/real").c_str()), 0);
  std::string found = MVResolveProgramPath("prog", "/nonexistent::/bin", 40);
  ASSERT_EQ(chdir(cwd), 0);
  EXPECT_EQ(found, "./prog");
}

TEST_F(ProgramPath, LinksAreFollowedToTheFinalTargetAndRelativeTextReplacesThePath) {
  ASSERT_EQ(symlink((root_ + "/bin/second").c_str(), (root_ + "/bin/prog").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "/real/prog").c_str(), (root_ + "/bin/second").c_str()), 0);
  EXPECT_EQ(MVResolveProgramPath("prog", (root_ + "/bin").c_str(), 40), root_ + "/real/prog");
  ASSERT_EQ(symlink("../real/prog", (root_ + "/bin/rel").c_str()), 0);
  EXPECT_EQ(MVResolveProgramPath((root_ + "/bin/rel").c_str(), "", 40), "../real/prog");
}

TEST_F(ProgramPath, ALinkCycleEnds) {
  ASSERT_EQ(symlink((root_ + "/bin/b").c_str(), (root_ + "/bin/a").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "/bin/a").c_str(), (root_ + "/bin/b").c_str()), 0);
  std::string path = MVResolveProgramPath((root_ + "/bin/a").c_str(), "", 40);
  EXPECT_TRUE(path == root_ + "/bin/a" || path == root_ + "/bin/b") << path;
}

TEST(ProgramFolder, IsAbsoluteAgainstTheCurrentDirectory) {
  EXPECT_EQ(MVFolderOfPath("/opt/ombrix/ombrix", "/home/u"), "/opt/ombrix");
  EXPECT_EQ(MVFolderOfPath("/ombrix", "/home/u"), "/");
  EXPECT_EQ(MVFolderOfPath("ombrix", "/home/u"), "/home/u");
  EXPECT_EQ(MVFolderOfPath("./ombrix", "/home/u/"), "/home/u");
  EXPECT_EQ(MVFolderOfPath("../x/ombrix", "/home/u"), "/home/u/../x");
  EXPECT_EQ(MVFolderOfPath("sub/ombrix", "/"), "/sub");
  EXPECT_EQ(MVFolderOfPath("", "/home/u"), "/home/u");
}

TEST(StackCheck, RaisesStackOverflowBelowTheLimitOnly) {
  uintptr_t top = MVStackTop(), limit = MVStackLimit();
  uintptr_t sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  void* check = reinterpret_cast<void*>(&RuntimeStackCheck);
  MVSetStackBounds(top, sp - 65536);
  EXPECT_EQ(MVProtectedCall(check, 0, 0, 0, nullptr), nullptr);
  MVSetStackBounds(top, sp - 4096);  // less than 8 KiB left
  MVObject* e = MVProtectedCall(check, 0, 0, 0, nullptr);
  MVSetStackBounds(top, limit);
  ASSERT_NE(e, nullptr);
  EXPECT_TRUE(RuntimeObjectIsa(e, MVStackOverflowExceptionClass()));
  RuntimeUnlockObject(e);
}

}  // namespace
