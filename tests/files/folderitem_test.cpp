// FolderItem: path resolution, queries, rename, delete, copy, opening and the
// writability test.
#include <errno.h>
#include <limits.h>
#include <sys/wait.h>

#include "tests/files/files_test_util.h"

using namespace filetest;

namespace {

class FolderItemTest : public FilesTest {};

// --- Path resolution.

TEST_F(FolderItemTest, RelativeNamesGoAgainstTheApplicationFolderWhateverTheWorkingDirectory) {
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir("/"), 0);
  WriteFile(P("sys.dat"), "5\n");
  Obj item(Item("sys.dat"));
  Obj nested(Item("sub/../sys.dat"));
  Obj tilde(Item("~x"));
  Obj empty(Item(""));
  EXPECT_EQ(chdir(cwd), 0);

  ASSERT_TRUE(item);
  EXPECT_EQ(PathOf(item), P("sys.dat"));
  EXPECT_TRUE(fileExistsGetter(item));
  EXPECT_EQ(fileSizeGetter(item), 2u);
  ASSERT_TRUE(nested);
  EXPECT_EQ(PathOf(nested), P("sub/../sys.dat"));  // left to the system as written
  ASSERT_TRUE(tilde);
  EXPECT_EQ(PathOf(tilde), P("~x"));
  ASSERT_TRUE(empty);
  EXPECT_EQ(PathOf(empty), dir_ + "/");  // the application folder itself
}

TEST_F(FolderItemTest, ApplicationFolderIsKeptTidyAndAbsolute) {
  MVSetApplicationFolder((dir_ + "//./").c_str());
  EXPECT_EQ(std::string(MVApplicationFolder()), dir_);
  MVSetApplicationFolder("/");
  Obj root(Item("etc"));
  EXPECT_EQ(PathOf(root), "/etc/");
}

TEST_F(FolderItemTest, FoldersGetATrailingSlashAndMissingFilesStayValid) {
  ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
  Obj folder(Item(P("d")));
  Obj missing(Item(P("nofile")));
  ASSERT_TRUE(folder);
  EXPECT_EQ(PathOf(folder), P("d/"));
  EXPECT_TRUE(FolderItemIsFolder(folder));
  ASSERT_TRUE(missing);
  EXPECT_FALSE(fileExistsGetter(missing));
  EXPECT_EQ(FolderItemGetLastError(missing), ENOENT);
  EXPECT_EQ(fileSizeGetter(missing), 0u);
  EXPECT_EQ(FolderItemGetLastError(missing), ENOENT);
}

TEST_F(FolderItemTest, ComponentThatIsNotAFolderOrANulByteGivesNil) {
  WriteFile(P("f"), "x");
  EXPECT_EQ(Item(P("f/x")), nullptr);
  EXPECT_EQ(Item(P("f/")), nullptr);
  EXPECT_EQ(Item(std::string("a\0b", 3)), nullptr);
}

TEST_F(FolderItemTest, SymbolicLinksRedirectOnceToTheirTarget) {
  ASSERT_EQ(mkdir(P("other").c_str(), 0755), 0);
  WriteFile(P("other/target.txt"), "t");
  ASSERT_EQ(symlink("target.txt", P("other/rel").c_str()), 0);
  ASSERT_EQ(symlink(P("other/target.txt").c_str(), P("abs").c_str()), 0);
  ASSERT_EQ(symlink("abs", P("chain").c_str()), 0);
  ASSERT_EQ(symlink("gone", P("dangling").c_str()), 0);

  Obj rel(Item(P("other/rel")));
  Obj abs(Item("abs"));
  Obj chain(Item("chain"));
  Obj dangling(Item("dangling"));
  // A relative target is read against the link's own folder, where the system finds it.
  EXPECT_EQ(PathOf(rel), P("other/target.txt"));
  EXPECT_EQ(PathOf(abs), P("other/target.txt"));
  EXPECT_EQ(PathOf(chain), P("abs"));  // one level only
  EXPECT_EQ(PathOf(dangling), P("gone"));
  EXPECT_FALSE(fileExistsGetter(dangling));
  Obj original(Item(P("other/target.txt")));
  EXPECT_TRUE(FolderItemSameFile(chain, original));
}

TEST_F(FolderItemTest, NilItemsRaiseNilObjectException) {
  EXPECT_EQ(Raised(fileExistsGetter), "NilObjectException");
  EXPECT_EQ(Raised(fileSizeGetter), "NilObjectException");
  EXPECT_EQ(Raised(FolderItemDelete), "NilObjectException");
  EXPECT_EQ(Raised(FolderItemOpenTextFile), "NilObjectException");
  EXPECT_EQ(Raised(FolderItemCreateBinaryFile), "NilObjectException");
  WriteFile(P("a"), "a");
  Obj a(Item("a"));
  EXPECT_EQ(Raised(FolderItemCopyFileTo, reinterpret_cast<uintptr_t>(a.get()), 0),
            "NilObjectException");
  Obj notAnItem(RuntimeGetTextEncoding(kEncodingUTF8));
  EXPECT_EQ(Raised(fileExistsGetter, reinterpret_cast<uintptr_t>(notAnItem.get())),
            "IllegalCastException");
}

// --- Rename and delete.

TEST_F(FolderItemTest, RenameInPlaceReplacesAnExistingFile) {
  WriteFile(P("a.txt"), "A");
  WriteFile(P("b.txt"), "B");
  Obj item(Item("a.txt"));
  fileNameSetter(item, Str("b.txt"));
  EXPECT_EQ(PathOf(item), P("b.txt"));
  EXPECT_FALSE(PathExists(P("a.txt")));
  EXPECT_EQ(ReadFile(P("b.txt")), "A");
  EXPECT_EQ(FolderItemGetLastError(item), 0);
}

TEST_F(FolderItemTest, RenamingAMissingItemOnlyChangesWhatItNames) {
  WriteFile(P("b.txt"), "B");
  Obj item(Item("a.txt"));
  fileNameSetter(item, Str("b.txt"));
  EXPECT_EQ(PathOf(item), P("b.txt"));
  EXPECT_EQ(ReadFile(P("b.txt")), "B");
}

TEST_F(FolderItemTest, RenamingAFolderAndFailingRenames) {
  ASSERT_EQ(mkdir(P("d").c_str(), 0755), 0);
  Obj folder(Item("d"));
  fileNameSetter(folder, Str("e"));
  EXPECT_EQ(PathOf(folder), P("e"));  // no trailing "/" is added
  EXPECT_TRUE(FolderItemIsFolder(folder));

  WriteFile(P("a"), "A");
  Obj item(Item("a"));
  fileNameSetter(item, Str("nofolder/b"));
  EXPECT_EQ(FolderItemGetLastError(item), ENOENT);
  EXPECT_EQ(PathOf(item), P("a"));  // kept on failure
  fileNameSetter(item, Str(std::string("b\0c", 3)));
  EXPECT_EQ(FolderItemGetLastError(item), EINVAL);
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"a", "e"}));
}

TEST_F(FolderItemTest, DeleteRemovesFilesAndOnlyEmptyFolders) {
  ASSERT_EQ(mkdir(P("full").c_str(), 0755), 0);
  WriteFile(P("full/x"), "x");
  ASSERT_EQ(mkdir(P("empty").c_str(), 0755), 0);
  Obj full(Item("full"));
  Obj empty(Item("empty"));
  Obj file(Item("full/x"));
  FolderItemDelete(full);
  EXPECT_EQ(FolderItemGetLastError(full), ENOTEMPTY);
  EXPECT_TRUE(PathExists(P("full/x")));
  FolderItemDelete(empty);
  EXPECT_FALSE(PathExists(P("empty")));
  FolderItemDelete(file);
  EXPECT_FALSE(PathExists(P("full/x")));
  Obj missing(Item("missing"));
  FolderItemDelete(missing);
  EXPECT_EQ(FolderItemGetLastError(missing), ENOENT);
}

// --- Copy.

TEST_F(FolderItemTest, CopyOverwritesCreatesAndCopiesIntoFolders) {
  WriteFile(P("src"), std::string(300000, 'q') + "end");
  chmod(P("src").c_str(), 0640);
  WriteFile(P("old"), "previous content that is longer");
  ASSERT_EQ(mkdir(P("into").c_str(), 0755), 0);
  Obj src(Item("src"));
  Obj old(Item("old"));
  Obj fresh(Item("fresh"));
  Obj into(Item("into"));

  FolderItemCopyFileTo(src, old);
  FolderItemCopyFileTo(src, fresh);
  FolderItemCopyFileTo(src, into);
  EXPECT_EQ(FolderItemGetLastError(src), 0);
  std::string content = ReadFile(P("src"));
  EXPECT_EQ(ReadFile(P("old")), content);
  EXPECT_EQ(ReadFile(P("fresh")), content);
  EXPECT_EQ(ReadFile(P("into/src")), content);
  struct stat st;
  ASSERT_EQ(stat(P("fresh").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);
}

TEST_F(FolderItemTest, CopyFailuresAreTheSourcesLastError) {
  WriteFile(P("a"), "keep me");
  Obj a(Item("a"));
  Obj missing(Item("missing"));
  Obj badTarget(Item("nofolder/x"));
  Obj self(Item("a"));
  FolderItemCopyFileTo(missing, a);
  EXPECT_EQ(FolderItemGetLastError(missing), ENOENT);
  FolderItemCopyFileTo(a, badTarget);
  EXPECT_EQ(FolderItemGetLastError(a), ENOENT);
  FolderItemCopyFileTo(a, self);  // onto itself: refused, nothing lost
  EXPECT_EQ(FolderItemGetLastError(a), EINVAL);
  EXPECT_EQ(ReadFile(P("a")), "keep me");
  Obj folder(Item(""));
  FolderItemCopyFileTo(folder, missing);
  EXPECT_EQ(FolderItemGetLastError(folder), EISDIR);
  EXPECT_FALSE(PathExists(P("missing")));
}

TEST_F(FolderItemTest, HostileNamesRunNoCommandAndTouchNoOtherFile) {
  const std::vector<std::string> names = {
      "blank and 'single' \"double\"",
      "$(touch PWNED1)",
      "`touch PWNED2`",
      "x;touch PWNED3;y",
      "line\ntouch PWNED4",
      "-rf",
      "--",
      "a&b|c>d<e*?[x]\\z",
  };
  char cwd[PATH_MAX];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);  // any command run would leave its marker here
  WriteFile(P("bystander"), "untouched");
  std::vector<std::string> expected = {"bystander"};
  for (size_t i = 0; i < names.size(); i++) {
    std::string from = names[i];
    std::string to = names[(i + 1) % names.size()] + ".copy";
    WriteFile(P(from), "content " + std::to_string(i));
    Obj src(Item(from));
    Obj dst(Item(to));
    ASSERT_TRUE(src);
    ASSERT_TRUE(dst);
    FolderItemCopyFileTo(src, dst);
    EXPECT_EQ(FolderItemGetLastError(src), 0) << from;
    EXPECT_EQ(ReadFile(P(to)), "content " + std::to_string(i)) << to;
    expected.push_back(from);
    expected.push_back(to);
  }
  EXPECT_EQ(chdir(cwd), 0);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Listing(dir_), expected);
  EXPECT_EQ(ReadFile(P("bystander")), "untouched");
}

// --- Opening and creating.

TEST_F(FolderItemTest, OpenersReportFailuresAsLastError) {
  Obj missing(Item("missing"));
  EXPECT_EQ(FolderItemOpenTextFile(missing), nullptr);
  EXPECT_EQ(FolderItemGetLastError(missing), ENOENT);
  Obj folder(Item(""));
  EXPECT_EQ(FolderItemOpenBinaryFile(folder, false), nullptr);
  EXPECT_EQ(FolderItemGetLastError(folder), EISDIR);
  Obj nowhere(Item("nofolder/x"));
  EXPECT_EQ(FolderItemCreateTextFile(nowhere), nullptr);
  EXPECT_EQ(FolderItemGetLastError(nowhere), ENOENT);
}

TEST_F(FolderItemTest, CreateTruncatesAnExistingFileAndCreatesAMissingOne) {
  WriteFile(P("t"), "old content");
  Obj item(Item("t"));
  Obj s(FolderItemCreateTextFile(item));
  ASSERT_TRUE(s);
  EXPECT_EQ(ReadFile(P("t")), "");
  TextOutputStreamClose(s);
  Obj fresh(Item("fresh.bin"));
  Obj b(FolderItemCreateBinaryFile(fresh, Str("All")));
  ASSERT_TRUE(b);
  BinaryStreamWriteByte(b, 7);
  BinaryStreamClose(b);
  EXPECT_EQ(ReadFile(P("fresh.bin")), "\x07");
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"fresh.bin", "t"}));  // no probe left
}

// --- Writability.

// Runs fn in a child process as the unprivileged user "nobody"; the child's exit
// status is fn's result (0 = all checks passed). -1 when the switch is impossible.
template <typename F>
int AsNobody(F fn) {
  pid_t pid = fork();
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
    _exit(fn());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return -2;
  return WEXITSTATUS(status) == 99 ? -1 : WEXITSTATUS(status);
}

TEST_F(FolderItemTest, ReadOnlyFilesAndFoldersForTheSuperUserAndForOthers) {
  WriteFile(P("ro"), "precious");
  chmod(P("ro").c_str(), 0444);
  ASSERT_EQ(mkdir(P("rodir").c_str(), 0555), 0);
  WriteFile(P("$$TestFile$$"), "someone else's");
  struct stat before;
  ASSERT_EQ(stat(P("ro").c_str(), &before), 0);

  // An unprivileged user may not create in either, and nothing is changed by trying.
  std::string dir = dir_;
  int child = AsNobody([dir]() {
    MVSetApplicationFolder(dir.c_str());
    Obj ro(Item("ro"));
    if (FolderItemCreateTextFile(ro)) return 1;
    if (FolderItemGetLastError(ro) != EACCES) return 2;
    Obj inRo(Item("rodir/new"));
    if (FolderItemCreateBinaryFile(inRo, nullptr)) return 3;
    if (FolderItemGetLastError(inRo) != EACCES) return 4;
    Obj folder(Item("rodir"));
    if (FolderItemCreateTextFile(folder)) return 5;
    return 0;
  });
  if (child == -1) {
    GTEST_LOG_(INFO) << "cannot switch to another user; unprivileged half skipped";
  } else {
    EXPECT_EQ(child, 0);
  }
  struct stat after;
  ASSERT_EQ(stat(P("ro").c_str(), &after), 0);
  EXPECT_EQ(ReadFile(P("ro")), "precious");
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(Listing(P("rodir")), std::vector<std::string>{});
  EXPECT_EQ(ReadFile(P("$$TestFile$$")), "someone else's");

  if (geteuid() == 0) {
    // The super-user may write read-only files and folders: creating succeeds there.
    Obj ro(Item("ro"));
    Obj s(FolderItemCreateTextFile(ro));
    EXPECT_TRUE(s);
    EXPECT_EQ(ReadFile(P("ro")), "");
    Obj inRo(Item("rodir/new"));
    Obj b(FolderItemCreateBinaryFile(inRo, nullptr));
    EXPECT_TRUE(b);
    EXPECT_EQ(Listing(P("rodir")), std::vector<std::string>{"new"});
  }
  // A missing file in a writable folder: the probe takes another name than the one in use.
  Obj fresh(Item("fresh"));
  Obj f(FolderItemCreateTextFile(fresh));
  EXPECT_TRUE(f);
  EXPECT_EQ(ReadFile(P("$$TestFile$$")), "someone else's");
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"$$TestFile$$", "fresh", "ro", "rodir"}));
}

}  // namespace
