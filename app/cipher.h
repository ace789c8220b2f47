// The cipher core: the key state of one enc or dec command and the byte engine that
// applies it.
//
// The state is loaded into the application's cipher arrays (SlotLine ... SlotTable,
// ExpansionTable) by ClearCipherState, LoadCipherKey, LoadSlotTables and
// BuildExpansionTable, in that order. StepSlots advances those arrays by one data byte.
//
// The byte loops of enc and dec do not step the arrays: CipherEngine takes a snapshot of
// them and produces the same bytes from its own representation (each slot's table as 256
// bytes plus a rotation offset; the offsets depend only on the stepping parameters, so
// they are laid out ahead for whole blocks).
#pragma once
#include "app/rt.h"

// 1 when expansion is in force for the loaded key.
extern int32_t ExpansionOn;

// Slots to 0, tables to the empty string.
void ClearCipherState();
// Prints "Loading System data..." and reads the k2.dat and k3.bin entries named by
// Params(4) and Params(5). Every field the cipher uses is checked against the key-file
// layout; an entry that is damaged or cannot be read is refused with one line naming
// the file and the line, and the result is false.
bool LoadCipherKey();
// The 20 tables of the K1 entry file named by Params(3), in slot-map order, each checked
// to be a permutation of 0..255; false (after the refusal line) otherwise.
bool LoadSlotTables();
// ExpansionOn and ExpansionTable(11..20000) from the ten seeds.
void BuildExpansionTable();
// One step of all 20 slots of the cipher arrays.
void StepSlots();

// Runs the loaded key over data. Bytes are numbered from the start of the command: the
// engine keeps the slot state from one call to the next.
class CipherEngine {
 public:
  // Takes the state of the cipher arrays. `large` allows the wide-vector routine when
  // the processor has it (it pays off only for longer inputs).
  void Start(bool large);
  // Encrypts or decrypts n bytes from src into dst (which may be src itself).
  void Encrypt(const uint8_t* src, uint8_t* dst, uint32_t n);
  void Decrypt(const uint8_t* src, uint8_t* dst, uint32_t n);
  // Filler count of the p-th cipher byte (p = 1..20000).
  int32_t Filler(int32_t p) const;

 private:
  void Run(const uint8_t* src, uint8_t* dst, uint32_t n, bool decrypt);
  void RunChunk(const uint8_t* src, uint8_t* dst, uint32_t n, bool decrypt);
  void GenericByte(uint8_t* b, bool decrypt);
  bool AllTablesPlain() const;
  void TakeFastState();

  bool fast_;       // the tables are plain 256-byte tables: offsets representation
  bool vector_;     // the wide-vector routine is used for whole vectors
  bool allPerm_;    // every table is a permutation of 0..255
};

// True when the processor and operating system support the wide byte-permute routine.
bool CipherHasVectorPath();
