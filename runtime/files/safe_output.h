// The one way this program writes an output file.
//
// The destination name is resolved once, every symbolic link followed, into a descriptor
// of the folder that holds the file and the file's name there; everything after goes
// through that descriptor, so a link or a name swapped in later redirects nothing. A
// regular destination is written into a temporary file created exclusively in that folder
// (never through a link, mode 0600 while it is written) and replaces the file at the name
// only when it is complete: a failure, an interruption or the end of the process leaves
// an existing destination as it was. Replacing keeps the old file's permission bits (and
// its owner and group where the process may set them); a file with more than one hard
// link is updated in place once the complete output exists, so that every name sees the
// new content. A destination that exists and is not a regular file (a device, a FIFO) is
// written directly. The program's own file and the plug-in libraries it loaded are never
// written, nor the files the running command guards (RuntimeGuardFile): what is at the
// name is compared with them before anything is written, and the file an in-place update
// or a direct output opens is compared again. The temporary file has no name while it is
// written where the file system allows that; elsewhere the stale ones of killed writers
// go at the next write to the destination. An in-place update holds a lock on the file
// until it is committed, and a second writer is refused (kMVErrorOutputBusy) rather than
// mixed in.
#pragma once
#include <stdint.h>
#include "runtime/files/folderitem.h"

#ifdef __cplusplus
extern "C" {
#endif

// Flags of the output creators.
enum {
  kMVOutputPrivate = 1  // the result is readable and writable by its owner only (0600)
};
// Last error of an item whose output was refused because it names a protected file.
enum { kMVErrorProtectedFile = 0x10001 };
// Last error of an item whose output was refused because another process is updating
// that multiply linked file in place.
enum { kMVErrorOutputBusy = 0x10002 };

// Last error of an item whose output was refused because it is a file the running
// command guards.
enum { kMVErrorGuardedFile = 0x10003 };

// The exported creators and commits are declared with FolderItem and the streams.

// From now until RuntimeClearGuards, no output writes the file `name` gives (absolute,
// or relative to the base folder): the entry itself, taken by descriptor without
// following a link, and where it is a symbolic link the file it leads to. False when
// nothing is there.
bool RuntimeGuardFile(MVString* name);
// The same for the regular file open under a stream (nothing for a pipe or a terminal).
void BinaryStreamGuardFile(MVBinaryStream* s);
void RuntimeClearGuards(void);
// Why an output for the item would be refused before it is begun, the destination
// resolved as the output resolves it: kMVErrorProtectedFile, kMVErrorGuardedFile, or 0.
int32_t FolderItemOutputRefusal(MVFolderItem* item);
// The same for the file under a stream's descriptor (standard output).
int32_t BinaryStreamOutputRefusal(MVBinaryStream* s);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// Never write the file at `path` (links followed): the program, its plug-ins.
void MVProtectFile(const char* path);
// True when `path` (links followed) is a protected file.
int MVIsProtectedFile(const char* path);
// Removes the temporary file of every output still being written (end of the process);
// their later completion or discarding does nothing.
void MVAbandonSafeOutputs(void);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
