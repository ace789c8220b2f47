// Creating files that only their owner may read: key material.
#pragma once
#include "runtime/files/folderitem.h"

#ifdef __cplusplus
extern "C" {
#endif

// Like FolderItemCreateTextFile, but a file that does not exist yet is created with mode
// 0600 (exclusively, so no other process can slip in an open descriptor first), and an
// existing one is set to 0600 before it is truncated.
MVTextOutputStream* FolderItemCreatePrivateTextFile(MVFolderItem* item);

#ifdef __cplusplus
}
#endif
