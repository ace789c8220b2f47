#include "runtime/files/private_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/core/exception.h"

extern "C" MVTextOutputStream* FolderItemCreatePrivateTextFile(MVFolderItem* item) {
  if (!item) {
    RaiseNilObjectException();
    return nullptr;
  }
  const char* path = MVFolderItemPath(item);
  if (path) {
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
      close(fd);
    else if (errno == EEXIST)
      chmod(path, 0600);
  }
  return FolderItemCreateTextFile(item);
}
