// The cipher core of the enc and dec commands, in two layers:
//   the key (app/cipher_key.h): a plain value built from the key files by the loaders
//     below, with the cipher's byte-at-a-time definition (BuildExpansionTable, StepSlots);
//   the engine (app/cipher_engine.h): runs that value over whole blocks of data.
// The loaders read the key files, checking every field they use against the layout of
// app/key_layout.h: an entry that is damaged or cannot be read is refused with one line
// naming the file and the line, and the loader gives false.
#pragma once
#include "app/cipher_engine.h"
#include "app/cipher_key.h"
#include "app/rt.h"
#include "app/util.h"

// The key entries one command names, as checked: the K1 entry file (its name built from
// the number as typed) and the entry numbers of components 2 and 3 (1 .. their sizes).
struct CipherEntries {
  Str entryFile;
  int32_t k2Entry;
  int32_t k3Entry;
};

// Prints "Loading System data..." and reads the k2.dat and k3.bin entries into the slot
// state, the slot map and the ten expansion seeds of a key cleared by ClearCipherState.
bool LoadCipherKey(const CipherEntries& entries, cipher::Key* key);
// The 20 tables of the K1 entry file, in slot-map order, each a permutation of 0..255.
bool LoadSlotTables(const CipherEntries& entries, cipher::Key* key);
