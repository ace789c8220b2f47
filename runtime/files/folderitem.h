// FolderItem: a location in the file system, reached by path text.
#pragma once
#include <stdint.h>
#include "runtime/core/objects/object.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef MVObject MVFolderItem;
typedef MVObject MVTextInputStream;
typedef MVObject MVTextOutputStream;
typedef MVObject MVBinaryStream;

// --- Exported entry points.
MVFolderItem* RuntimeGetFolderItem(MVString* path, int32_t kind);
bool fileExistsGetter(MVFolderItem* item);
uint64_t fileSizeGetter(MVFolderItem* item);
void fileNameSetter(MVFolderItem* item, MVString* name);
void FolderItemDelete(MVFolderItem* item);
void FolderItemCopyFileTo(MVFolderItem* item, MVFolderItem* destination);
MVTextInputStream* FolderItemOpenTextFile(MVFolderItem* item);
MVTextOutputStream* FolderItemCreateTextFile(MVFolderItem* item);
MVBinaryStream* FolderItemOpenBinaryFile(MVFolderItem* item, bool readWrite);
MVBinaryStream* FolderItemCreateBinaryFile(MVFolderItem* item, MVString* fileType);
int32_t FolderItemGetLastError(MVFolderItem* item);
// Additions of this runtime beyond the classic members:
// the item's absolute path (owned reference);
MVString* FolderItemGetPath(MVFolderItem* item);
// true when both items name one existing file (same device and inode);
bool FolderItemSameFile(MVFolderItem* a, MVFolderItem* b);
// true when the item is an existing folder.
bool FolderItemIsFolder(MVFolderItem* item);
// A new output file for the item's path through the safe output path (safe_output.h):
// nothing at the destination changes until the stream is committed
// (BinaryStreamCommit, TextOutputStreamCommit); closing or releasing it uncommitted
// discards it. flags: kMVOutputPrivate. Nil, with the item's last error set
// (kMVErrorProtectedFile for the program's own files), when it cannot be started.
MVBinaryStream* FolderItemCreateOutputFile(MVFolderItem* item, int32_t flags);
MVTextOutputStream* FolderItemCreateOutputTextFile(MVFolderItem* item, int32_t flags);
// true when the item names a file the program never writes: its own file, a loaded
// plug-in library.
bool FolderItemIsProtected(MVFolderItem* item);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// The application folder (absolute, without a trailing "/"), computed once at start-up
// from the program's own path, or set by tests. NULL until set.
// A relative folder is taken against the working directory read at start-up.
void MVSetApplicationFolder(const char* folder);
const char* MVApplicationFolder(void);
// The file layer's start-up step (RuntimeInit): reads the current working directory
// once; relative names go against it until the application folder is set.
void MVFilesStartup(void);
// The path text of an item (NUL-terminated; NULL for a nil item).
const char* MVFolderItemPath(MVFolderItem* item);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
