#include "runtime/files/standard_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "runtime/files/files_internal.h"
#include "runtime/values/string.h"

namespace {

std::string Bytes(MVString* s) {
  return std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s));
}

}  // namespace

extern "C" MVBinaryStream* RuntimeStandardStream(int32_t which) {
  if (which != STDIN_FILENO && which != STDOUT_FILENO) return nullptr;
  // A copy of the descriptor: closing the stream closes the copy only.
  int fd = fcntl(which, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, which == STDIN_FILENO ? "rb" : "wb");
  if (!f) {
    close(fd);
    return nullptr;
  }
  bool input = which == STDIN_FILENO;
  return reinterpret_cast<MVBinaryStream*>(MVNewBinaryStream(MVFileHandle::Adopt(f, input, !input)));
}

extern "C" MVString* RuntimeCurrentFolderName(MVString* name) {
  std::string text = Bytes(name);
  if (!text.empty() && text[0] == '/') {
    RuntimeLockString(name);
    return name;
  }
  char buf[4096];
  std::string folder = getcwd(buf, sizeof buf) ? buf : "/";
  if (folder.back() != '/') folder += '/';
  std::string full = folder + text;
  uint32_t encoding = name ? name->encoding : kEncodingUTF8;
  return MAVOBuildString(full.data(), static_cast<int32_t>(full.size()), encoding);
}

extern "C" void RuntimeSetBaseFolder(MVString* folder) {
  std::string text = Bytes(folder);
  if (!text.empty()) MVSetApplicationFolder(text.c_str());
}

extern "C" int32_t RuntimeSourceProblem(MVString* path) {
  std::string text = Bytes(path);
  if (text.empty()) return ENOENT;
  int fd = open(text.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return errno ? errno : EIO;
  struct stat st;
  int problem = fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  close(fd);
  return problem;
}
