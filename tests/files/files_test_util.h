// Helpers of the file-layer tests: a scratch folder, owned runtime references, and
// plain file access that does not go through the code under test.
#pragma once
#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <dirent.h>

#include <gtest/gtest.h>

#include "runtime/core/objects/exception.h"
#include "runtime/files/folderitem.h"
#include "runtime/files/safe_output.h"
#include "runtime/files/streams.h"

namespace filetest {

// One owned object reference, released at the end of the scope.
class Obj {
 public:
  explicit Obj(MVObject* o = nullptr) : o_(o) {}
  ~Obj() { RuntimeUnlockObject(o_); }
  Obj(const Obj&) = delete;
  Obj& operator=(const Obj&) = delete;
  MVObject* get() const { return o_; }
  operator MVObject*() const { return o_; }
  explicit operator bool() const { return o_ != nullptr; }
  void reset(MVObject* o = nullptr) {
    RuntimeUnlockObject(o_);
    o_ = o;
  }

 private:
  MVObject* o_;
};

// One owned string reference.
class Str {
 public:
  explicit Str(MVString* s = nullptr) : s_(s) {}
  explicit Str(const std::string& bytes, uint32_t enc = kEncodingUTF8)
      : s_(MVStringFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), enc)) {}
  ~Str() { RuntimeUnlockString(s_); }
  Str(const Str&) = delete;
  Str& operator=(const Str&) = delete;
  MVString* get() const { return s_; }
  operator MVString*() const { return s_; }
  std::string bytes() const {
    return std::string(reinterpret_cast<const char*>(MVStringBytes(s_)), MVStringLength(s_));
  }

 private:
  MVString* s_;
};

inline MVObject* Item(const std::string& path) { return RuntimeGetFolderItem(Str(path), 0); }

inline std::string PathOf(MVObject* item) {
  const char* p = MVFolderItemPath(item);
  return p ? p : "";
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fd);
}

inline std::string ReadFile(const std::string& path) {
  std::string out;
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buf[4096];
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(fd);
  return out;
}

inline bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Names in a folder, sorted, without "." and "..".
inline std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  DIR* d = opendir(folder.c_str());
  if (!d) return names;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

// The class name of an exception caught by MVProtectedCall ("" for none), released.
inline std::string CaughtClass(MVObject* exception) {
  if (!exception) return "";
  std::string name(reinterpret_cast<const char*>(MVStringBytes(exception->cls->name)),
                   MVStringLength(exception->cls->name));
  RuntimeUnlockObject(exception);
  return name;
}

template <typename F>
std::string Raised(F* fn, MVWord a = 0, MVWord b = 0, MVWord c = 0) {
  MVWord result = 0;
  return CaughtClass(MVProtectedCall(reinterpret_cast<void*>(fn), a, b, c, &result));
}

inline int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  chmod(path, 0700);
  return remove(path);
}

// A fresh scratch folder per test (world-searchable, so that a child running as
// another user can reach it), removed afterwards; the application folder points at it.
class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/mvfiles.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    chmod(dir_.c_str(), 0755);
    MVSetApplicationFolder(dir_.c_str());
    liveObjects_ = MVLiveObjectCount();
  }
  void TearDown() override {
    EXPECT_EQ(MVLiveObjectCount(), liveObjects_) << "objects left alive";
    MVSetApplicationFolder(nullptr);
    nftw(dir_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
  uint32_t liveObjects_ = 0;
};

}  // namespace filetest
