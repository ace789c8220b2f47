// Copies between folders through their own descriptors: what is read, what is written
// and where, and what a later verification or deletion acts on once names have changed.
#include <errno.h>
#include <sys/stat.h>

#include "runtime/files/folder_copy.h"
#include "tests/files/files_test_util.h"

using namespace filetest;

namespace {

class FolderCopyTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    mkdir(P("from").c_str(), 0755);
    mkdir(P("to").c_str(), 0755);
  }
  void TearDown() override {
    RuntimeCopyEnd(copy_);
    FilesTest::TearDown();
  }
  int32_t Begin(const std::string& from = "from", const std::string& to = "to") {
    int32_t error = 0;
    copy_ = RuntimeCopyBegin(Str(from), Str(to), &error);
    return copy_ ? 0 : error;
  }
  int32_t Copy(const std::string& name) { return RuntimeCopyFile(copy_, Str(name)); }
  int32_t copy_ = 0;
};

// The destination's name is replaced, whatever it held: never written through a link or
// into a file with other names.
TEST_F(FolderCopyTest, ADestinationNameIsReplacedNeverWrittenInto) {
  WriteFile(P("from/a"), "new a");
  WriteFile(P("from/b"), "new b");
  WriteFile(P("victim"), "untouched");
  chmod(P("from/a").c_str(), 0600);
  ASSERT_EQ(symlink(P("victim").c_str(), P("to/a").c_str()), 0);
  ASSERT_EQ(link(P("victim").c_str(), P("to/b").c_str()), 0);
  ASSERT_EQ(Begin(), 0);
  EXPECT_EQ(Copy("a"), 0);
  EXPECT_EQ(Copy("b"), 0);
  EXPECT_EQ(ReadFile(P("victim")), "untouched");
  EXPECT_EQ(ReadFile(P("to/a")), "new a");
  EXPECT_EQ(ReadFile(P("to/b")), "new b");
  struct stat st;
  ASSERT_EQ(lstat(P("to/a").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the source's mode
  EXPECT_EQ(Listing(P("to")), (std::vector<std::string>{"a", "b"}));
}

// A source that is no regular file under its own name is not read (nor waited for).
TEST_F(FolderCopyTest, OnlyRegularFilesUnderTheirOwnNameAreRead) {
  WriteFile(P("elsewhere"), "through a link");
  ASSERT_EQ(symlink(P("elsewhere").c_str(), P("from/link").c_str()), 0);
  ASSERT_EQ(mkfifo(P("from/fifo").c_str(), 0600), 0);
  mkdir(P("from/folder").c_str(), 0755);
  ASSERT_EQ(Begin(), 0);
  EXPECT_EQ(Copy("link"), ELOOP);
  EXPECT_EQ(Copy("fifo"), EINVAL);
  EXPECT_EQ(Copy("folder"), EINVAL);
  EXPECT_EQ(Copy("missing"), ENOENT);
  EXPECT_EQ(Copy("../elsewhere"), EINVAL);
  EXPECT_EQ(Listing(P("to")), std::vector<std::string>{});
}

// Verification and deletion act on the files copied only: a name given to another file
// since (or a file put back under it) counts as changed.
TEST_F(FolderCopyTest, VerificationAndDeletionFollowTheFilesNotTheNames) {
  for (const char* name : {"kept", "moved", "swapped"}) WriteFile(P("from/") + name, name);
  ASSERT_EQ(Begin(), 0);
  for (const char* name : {"kept", "moved", "swapped"}) ASSERT_EQ(Copy(name), 0) << name;
  ASSERT_EQ(rename(P("to/moved").c_str(), P("to/moved.away").c_str()), 0);
  WriteFile(P("to/moved"), "moved");  // the same bytes, another file
  WriteFile(P("from/swapped.new"), "swapped");
  ASSERT_EQ(rename(P("from/swapped.new").c_str(), P("from/swapped").c_str()), 0);
  EXPECT_EQ(RuntimeCopyVerify(copy_, Str("kept")), 0);
  EXPECT_EQ(RuntimeCopyVerify(copy_, Str("moved")), ESTALE);
  EXPECT_EQ(RuntimeCopyVerify(copy_, Str("swapped")), ESTALE);
  EXPECT_EQ(RuntimeCopyVerify(copy_, Str("never")), ENOENT);
  EXPECT_EQ(RuntimeCopyDeleteSource(copy_, Str("kept")), 0);
  EXPECT_EQ(RuntimeCopyDeleteSource(copy_, Str("swapped")), ESTALE);
  EXPECT_EQ(RuntimeCopyDeleteSource(copy_, Str("kept")), 0);  // gone already
  EXPECT_EQ(Listing(P("from")), (std::vector<std::string>{"moved", "swapped"}));
}

// Each folder is resolved once: a link to a folder is followed at the start, and a
// name changed afterwards redirects nothing.
TEST_F(FolderCopyTest, FoldersAreResolvedOnceAtTheStart) {
  WriteFile(P("from/a"), "a");
  mkdir(P("other").c_str(), 0755);
  ASSERT_EQ(symlink("to", P("via").c_str()), 0);
  ASSERT_EQ(Begin("from", "via"), 0);
  ASSERT_EQ(unlink(P("via").c_str()), 0);
  ASSERT_EQ(symlink("other", P("via").c_str()), 0);
  EXPECT_EQ(Copy("a"), 0);
  EXPECT_EQ(ReadFile(P("to/a")), "a");
  EXPECT_EQ(Listing(P("other")), std::vector<std::string>{});
  int32_t error = 0;
  EXPECT_EQ(RuntimeCopyBegin(Str("from"), Str("missing"), &error), 0);
  EXPECT_EQ(error, ENOENT);
}

}  // namespace
