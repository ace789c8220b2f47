// How enc and dec run the cipher: the routines (OMBRIX_CIPHER_PATH) and the number of
// threads (OMBRIX_THREADS), and the run of a whole stream in segments on the worker pool.
#pragma once
#include "app/cipher_engine.h"
#include "app/cipher_position.h"
#include "app/filler_random.h"
#include "app/rt.h"

class Input;   // app/crypt_io.h
class Output;

struct CipherSettings {
  cipher::Path path;  // the routines of every vector step of the command
  int32_t threads;    // cipher threads, the program's own among them
};

// The settings from the environment, or the processor's best path and one thread per
// processor; *chosen tells whether the environment named the path. A value that cannot
// be used is refused with one line, and the result is false.
bool ReadCipherSettings(CipherSettings* settings, bool* chosen);

// How a run of the cipher over a stream ended.
enum class CryptOutcome { kDone, kReadFailed, kWriteFailed, kStopped };

// What an expanded key's segments need beside the engine: where each cipher byte goes,
// and the command's filler key (drawn once from the random source), from which each
// segment keys a substream of its own.
struct Expansion {
  const cipher::FillerPrefix* prefix;
  const uint8_t* fillerKey;  // filler::kKeyBytes
  filler::Kind kind;
};

// True when segments of an expanded output stay bounded with this key: no cipher byte
// has so many fillers that its output alone would overflow a segment.
bool SegmentsFit(const cipher::FillerPrefix& prefix);

// Encrypts or decrypts a stream in segments run on the worker pool, each from the state
// `master` (started at the stream's first byte) computes for its first byte, and writes
// them in order: the cipher bytes one engine would give, at the same positions. With
// `expansion` (an expanded key: null without), encryption cuts segments by the size of
// their output and places each cipher byte and its fillers where the prefix sums say;
// decryption cuts the encrypted input anywhere and finds each segment's cipher bytes
// from the prefix sums. At most `threads` segments are in memory at a time. A batch of
// one segment (a short input), or one for which the pool has no memory, runs on the
// program's thread.
CryptOutcome CryptSegments(cipher::Engine& master, const Expansion* expansion, Input* in, Output* out,
                           bool decrypt, int32_t threads);
