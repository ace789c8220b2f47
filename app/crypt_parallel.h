// How enc and dec run the cipher: the routines (OMBRIX_CIPHER_PATH) and the number of
// threads (OMBRIX_THREADS), and the run of a whole stream in segments on the worker pool.
#pragma once
#include "app/cipher_engine.h"
#include "app/rt.h"

struct CipherSettings {
  cipher::Path path;  // the routines of every vector step of the command
  int32_t threads;    // cipher threads, the program's own among them
};

// The settings from the environment, or the processor's best path and one thread per
// processor; *chosen tells whether the environment named the path. A value that cannot
// be used is refused with one line, and the result is false.
bool ReadCipherSettings(CipherSettings* settings, bool* chosen);

enum class SegmentOutcome { kDone, kReadFailed, kWriteFailed, kStopped };

// Encrypts or decrypts a stream without expansion in segments run on the worker pool,
// each from the state `master` (started at the stream's first byte) computes for its
// first byte, and writes them in order: the bytes one engine would give. At most
// `threads` segments are in memory at a time. Where the pool has no memory, the master
// itself runs the segments one after the other.
SegmentOutcome CryptSegments(cipher::Engine& master, MVBinaryStream* in, MVBinaryStream* out,
                             bool decrypt, int32_t threads);
