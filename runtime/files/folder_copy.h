// Copies of named files from one folder into another through the two folders' own
// descriptors: each folder is resolved once, when the copy begins, so a link or a name
// swapped in later redirects nothing.
//
// A file is read only when it is a regular file under its name (never through a link),
// and written into a new file of the destination folder (created exclusively under a
// temporary name, never through a link), which is synced, compared with the source
// through the two descriptors, and only then given its name in one step (renameat),
// replacing what the name held: a file already there is never written into. The copy
// keeps the source's permission bits. Each file copied is remembered by what it is
// (device and inode) on both sides, so that a later verification or deletion acts only
// on the very files that were copied.
#pragma once
#include <stdint.h>
#include "runtime/files/folderitem.h"

#ifdef __cplusplus
extern "C" {
#endif

// Begins a copy from the folder `from` to the folder `to` (absolute names, or relative to
// the base folder; empty for the base folder itself), each opened once, a symbolic link
// to a folder followed. A handle > 0, or 0 with *error set (ENOENT, ENOTDIR...).
int32_t RuntimeCopyBegin(MVString* from, MVString* to, int32_t* error);
// Copies the file `name` (a plain name, no "/"), as described above. 0, or why not: an
// errno value (ELOOP: the source is a symbolic link; EINVAL: it is no regular file, or
// the destination's name holds the source itself; EINTR: the user interrupted it), or
// kMVErrorProtectedFile for a destination name that holds a file of the program.
int32_t RuntimeCopyFile(int32_t copy, MVString* name);
// Verifies the copied file `name` again through newly opened descriptors: its name in
// each folder still gives the file that was copied, and the two hold the same bytes. 0,
// or why not (ESTALE: a name gives another file now; EIO: the bytes differ; ENOENT: the
// file was never copied).
int32_t RuntimeCopyVerify(int32_t copy, MVString* name);
// Deletes the copied source file `name` through the source folder's descriptor, only
// when the name still gives the file that was copied (a link is removed, never
// followed). 0, also when the name is gone already; ESTALE when it gives another file;
// ENOENT when the file was never copied; another errno value when it cannot be removed.
int32_t RuntimeCopyDeleteSource(int32_t copy, MVString* name);
// Ends the copy and forgets its files (a handle <= 0 is ignored).
void RuntimeCopyEnd(int32_t copy);

#ifdef __cplusplus
}
#endif
