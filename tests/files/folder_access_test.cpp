// File kinds, folder listings and advisory locks of FolderItems: nothing here may wait on
// a FIFO.
#include <sys/file.h>

#include <set>

#include "runtime/files/folder_access.h"
#include "tests/files/files_test_util.h"

using namespace filetest;

namespace {

class FolderAccessTest : public FilesTest {};

std::set<std::string> Names(MVArray* a) {
  std::set<std::string> out;
  MVArrayGet1 get = reinterpret_cast<MVArrayGet1>(a->ops->slot[kMVArrayGet]);
  for (int32_t i = 0; i <= a->upperBounds[0]; i++) {
    Str s(reinterpret_cast<MVString*>(get(a, i)));
    out.insert(s.bytes());
  }
  return out;
}

TEST_F(FolderAccessTest, OnlyPlainFilesAreRegular) {
  WriteFile(P("file"), "x");
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkdir(P("dir").c_str(), 0755), 0);
  ASSERT_EQ(symlink(P("file").c_str(), P("link").c_str()), 0);
  ASSERT_EQ(symlink(P("fifo").c_str(), P("fifolink").c_str()), 0);
  for (const char* name : {"file", "link"}) {
    Obj item(Item(name));
    EXPECT_TRUE(FolderItemIsRegularFile(item)) << name;
  }
  for (const char* name : {"fifo", "fifolink", "dir", "missing", "/dev/null"}) {
    Obj item(Item(name));
    EXPECT_FALSE(FolderItemIsRegularFile(item)) << name;
  }
  EXPECT_EQ(Raised(FolderItemIsRegularFile), "NilObjectException");
}

TEST_F(FolderAccessTest, ChildNamesListAFolderAndNothingElse) {
  ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(P("empty").c_str(), 0755), 0);
  WriteFile(P("d/K11.bin"), "1");
  WriteFile(P("d/with space"), "2");
  ASSERT_EQ(mkdir(P("d/sub").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(P("d/fifo").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  {
    Obj d(Item("d"));
    MVArray* names = FolderItemChildNames(d);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(Names(names), (std::set<std::string>{"K11.bin", "with space", "sub", "fifo"}));
    RuntimeUnlockArray(names);
  }
  {
    Obj empty(Item("empty"));
    MVArray* names = FolderItemChildNames(empty);
    ASSERT_NE(names, nullptr);
    EXPECT_EQ(names->upperBounds[0], -1);
    RuntimeUnlockArray(names);
  }
  for (const char* name : {"d/K11.bin", "fifo", "missing"}) {
    Obj item(Item(name));
    EXPECT_EQ(FolderItemChildNames(item), nullptr) << name;
  }
}

TEST_F(FolderAccessTest, LocksConflictAcrossOpenFilesAndAreNeverWaitedFor) {
  Obj folder(Item(""));
  int32_t shared1 = FolderItemTryLock(folder, false);
  int32_t shared2 = FolderItemTryLock(folder, false);
  EXPECT_GT(shared1, 0);
  EXPECT_GT(shared2, 0);
  EXPECT_EQ(FolderItemTryLock(folder, true), 0);  // busy: readers are in
  RuntimeReleaseLock(shared1);
  EXPECT_EQ(FolderItemTryLock(folder, true), 0);
  RuntimeReleaseLock(shared2);
  int32_t exclusive = FolderItemTryLock(folder, true);
  EXPECT_GT(exclusive, 0);
  EXPECT_EQ(FolderItemTryLock(folder, false), 0);
  // Every other open of the folder, such as another process makes, sees the same lock.
  int fd = open(dir_.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  EXPECT_NE(flock(fd, LOCK_SH | LOCK_NB), 0);
  RuntimeReleaseLock(exclusive);
  EXPECT_EQ(flock(fd, LOCK_SH | LOCK_NB), 0);
  close(fd);

  ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
  Obj fifo(Item("fifo"));
  int32_t onFifo = FolderItemTryLock(fifo, true);  // opened without waiting for a writer
  EXPECT_GT(onFifo, 0);
  RuntimeReleaseLock(onFifo);
  Obj missing(Item("missing"));
  EXPECT_EQ(FolderItemTryLock(missing, true), -1);
  RuntimeReleaseLock(0);
  RuntimeReleaseLock(-1);
}

}  // namespace

namespace {

// Entries by name: links are never followed, a name with a NUL reaches nothing.
TEST_F(FolderAccessTest, EntriesByNameNeverFollowLinks) {
  WriteFile(P("target"), "kept");
  ASSERT_EQ(symlink(P("target").c_str(), P("link").c_str()), 0);
  ASSERT_EQ(symlink(P("gone").c_str(), P("dangling").c_str()), 0);
  EXPECT_TRUE(RuntimeNameIsLink(Str(P("link"))));
  EXPECT_TRUE(RuntimeNameIsLink(Str(P("dangling"))));
  EXPECT_FALSE(RuntimeNameIsLink(Str(P("target"))));
  EXPECT_EQ(RuntimeDeleteName(Str(P("link"))), 0);
  EXPECT_EQ(RuntimeDeleteName(Str(P("dangling"))), 0);
  EXPECT_EQ(RuntimeDeleteName(Str(P("missing"))), 0);
  EXPECT_EQ(RuntimeDeleteName(Str(std::string("tar\0get", 7))), EINVAL);
  EXPECT_EQ(Listing(dir_), std::vector<std::string>{"target"});
  EXPECT_EQ(ReadFile(P("target")), "kept");

  EXPECT_EQ(RuntimeCreateFolder(Str(P("stage"))), 0);
  EXPECT_EQ(RuntimeCreateFolder(Str(P("stage"))), EEXIST);
  EXPECT_EQ(RuntimeRenameName(Str(P("target")), Str(P("stage/moved"))), 0);
  EXPECT_EQ(ReadFile(P("stage/moved")), "kept");
  EXPECT_NE(RuntimeDeleteName(Str(P("stage"))), 0);  // not empty
  Obj moved(Item(P("stage/moved")));
  ASSERT_EQ(link(P("stage/moved").c_str(), P("second").c_str()), 0);
  EXPECT_EQ(FolderItemLinkCount(moved), 2);
}

}  // namespace
