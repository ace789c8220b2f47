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

// The number of hard links of the file the item names (a symbolic link is followed), or
// 0 when it does not exist.
int32_t FolderItemLinkCount(MVFolderItem* item);

// Directory entries by name: a path text, absolute or relative to the application
// folder, taken as it is (a symbolic link under the name is not followed).
// True when the name is a symbolic link (dangling or not).
bool RuntimeNameIsLink(MVString* name);
// Removes the entry the name gives: a symbolic link itself, never its target; a folder
// only when empty. 0 when done or when nothing is there, else the errno value.
int32_t RuntimeDeleteName(MVString* name);
// Creates the folder `name`, readable and writable by its owner only. 0, or the errno
// value (EEXIST when something is there already).
int32_t RuntimeCreateFolder(MVString* name);
// Gives the entry `from` the name `to` in one step, replacing what `to` names (never
// following a link under either name). 0, or the errno value.
int32_t RuntimeRenameName(MVString* from, MVString* to);

#ifdef __cplusplus
}
#endif
