// The one way this program writes an output file.
//
// A regular destination is written into a temporary file created exclusively (never
// through a link, mode 0600 while it is written) in the folder of the file that the
// destination name resolves to, and replaces that file only when it is complete: a
// failure, an interruption or the end of the process leaves an existing destination as
// it was. Replacing keeps the old file's permission bits (and its owner and group where
// the process may set them); a file with more than one hard link is updated in place
// once the complete output exists, so that every name sees the new content. A
// destination that exists and is not a regular file (a device, a FIFO) is written
// directly. The program's own file and the plug-in libraries it loaded are never
// written. The temporary file has no name while it is written where the file system
// allows that; elsewhere the stale ones of killed writers go at the next write to the
// destination. An in-place update holds a lock on the file until it is committed, and a
// second writer is refused (kMVErrorOutputBusy) rather than mixed in.
#pragma once
#include <stdint.h>

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

// The exported creators and commits are declared with FolderItem and the streams.

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
