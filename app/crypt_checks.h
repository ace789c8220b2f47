// What enc and dec share beside the run itself (app/crypt.cpp): what sets them apart, the
// checks of their parameters, and the lines that name their files.
#pragma once
#include "app/cipher.h"
#include "app/command_args.h"
#include "app/crypt_target.h"
#include "app/rt.h"
#include "app/util.h"

// What the command reads and writes: the plain format, the sealed one, or (dec at the
// prompt and in scripts) either, as the source's start says.
enum class Format { kPlain, kSealed, kEither };

// What enc and dec do differently; the rest of the two commands is one path.
struct Way {
  bool encrypt;
  Format format;
  MVString* word;        // the command alone, without parameters
  MVString* help;        // its refusal: "Parameters missing error.  Enter help ..."
  MVString* incomplete;  // "Missing Parameters error.  Enter help ..."
  MVString* noSystem;    // the second line of the refusal without a key system
  MVString* sameFile;    // source and destination are one file
  MVString* verb;        // "Encrypting " or "Decrypting "
  MVString* completed;   // the completion line
  bool quietInScripts;   // the bare command and a missing source are not reported in scripts
};

// The ways of the command running now (the format depends on the form it runs in).
Way Encryption();
Way Decryption();

// The checks of the parameters, after the sys.dat test and the count of parameters.
// The entry numbers are turned into *entries. Returns false when refused.
bool CheckParameters(const Way& way, const EntryNumbers& numbers, CipherEntries* entries);

// Says why the destination could not be opened.
void RefuseTarget(const Way& way, const Target& target);

// The source (param 1) or destination (2) as the user gave it, for a message: "-" is
// "standard input" or "standard output".
Str FileNamed(int32_t param);

// In the argument form, a failure with the system's reason, as peers word it:
// "cannot VERB NAME: reason", the file named as the user typed it ("-" as standard input
// or output). False (nothing printed) at the prompt, or without a reason of the system.
bool PrintSystemFailure(MVString* verb, int32_t param, int32_t error);
