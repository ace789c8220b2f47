// What a FolderItem is, what a folder holds, and advisory locks: the checks that let the
// application treat files it cannot trust without blocking on them.
#pragma once
#include <stdint.h>
#include "runtime/files/folderitem.h"
#include "runtime/values/array.h"

#ifdef __cplusplus
extern "C" {
#endif

// True when the item names an existing regular file (a symbolic link is followed). A
// FIFO, a device, a socket or a folder is not one: opening them may block or read
// something other than stored bytes.
bool FolderItemIsRegularFile(MVFolderItem* item);

// The names held by the folder the item names ("." and ".." left out, in the order the
// system lists them): an array of strings, indices 0 .. count - 1 (owned), or nil when
// the item is not a folder that can be read.
MVArray* FolderItemChildNames(MVFolderItem* item);

// Takes an advisory lock (flock) on the item's file or folder, shared or exclusive, and
// never waits for it. Returns a handle > 0 for RuntimeReleaseLock; 0 when another open
// file holds a lock that conflicts; -1 when the item cannot be opened or locked.
int32_t FolderItemTryLock(MVFolderItem* item, bool exclusive);
// Releases a lock taken by FolderItemTryLock (handles <= 0 are ignored).
void RuntimeReleaseLock(int32_t handle);

#ifdef __cplusplus
}
#endif
