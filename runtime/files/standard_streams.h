// The program's standard input and output as binary streams, and the names of a run
// given its work on the command line: relative names in the current folder, the folder
// of the key system chosen by the caller, and why a file cannot be read.
#pragma once
#include <stdint.h>
#include "runtime/files/folderitem.h"
#include "runtime/files/streams.h"

#ifdef __cplusplus
extern "C" {
#endif

// A binary stream over standard input (0) or standard output (1), owned; nil for any
// other number or when it cannot be set up. Closing it leaves the descriptor itself
// open; committing an output only passes on what is buffered. Reads of a pipe or a
// terminal go on until its end; a write to an output whose reader is gone ends the
// program as a lost console output does.
MVBinaryStream* RuntimeStandardStream(int32_t which);
// `name` as an absolute path: unchanged when it begins with "/", else joined to the
// process's current folder (owned). The bytes are kept as they are.
MVString* RuntimeCurrentFolderName(MVString* name);
// From now on, relative names (the key files among them) resolve in `folder` rather
// than in the application folder; a relative folder is taken in the folder the program
// started in.
void RuntimeSetBaseFolder(MVString* folder);
// 0 when `path` can be opened for reading and is no folder; otherwise the system's error
// number (EISDIR for a folder). Opening never waits: a FIFO without writer is no wait.
int32_t RuntimeSourceProblem(MVString* path);

#ifdef __cplusplus
}
#endif
