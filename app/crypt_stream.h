// enc's and dec's cipher over a whole stream: block by block on the program's thread, or
// in segments on the worker pool (app/crypt_parallel.h).
#pragma once
#include "app/crypt_parallel.h"

// The engine of the running command (static: it is large).
cipher::Engine& CommandEngine();

// The cipher threads of a command: all those allowed where the work pays for them (a
// regular file whose output is long enough, or a stream, whose segmented run keeps a
// short input on one thread); else the program's own. With an expanded key, it builds
// the prefix sums CommandPrefix() gives.
int32_t CipherThreads(const cipher::Key& key, int32_t allowed, bool encrypt, bool stream, uint64_t length);
// Where each cipher byte of an expanded key goes (built by CipherThreads).
const cipher::FillerPrefix* CommandPrefix();

// threads: the cipher threads (1: the program's own); segments need an expansion where
// the key is expanded. The command's engine must have been started.
CryptOutcome EncryptStream(Input* in, Output* out, int32_t threads, const Expansion* x);
CryptOutcome DecryptStream(Input* in, Output* out, int32_t threads, const Expansion* x);
