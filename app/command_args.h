// The commands' arguments, one reading per shape: the three entry numbers of enc and dec,
// the four sizes and level of createsys, and the level letters.
//
// Each reads Params as GetParameters left them, whoever filled them: a line typed at the
// prompt, a script line (run, or checked by the script verifier), or the operands of the
// argument form (app/args.cpp). The commands and the script verifier ask the same reading
// and differ only in the words of their refusals: the session's words are here, the
// verifier's in app/script.cpp.
#pragma once
#include "app/util.h"

// --- Three entry numbers: Params(3), Params(4), Params(5) after a source and a
// destination, one number per key component.
struct EntryNumbers {
  Str text[3];      // as typed: component 1's number names its entry file
  double value[3];  // Val of each

  // The first component (1 to 3) whose number is no number (Val 0), or 0.
  int32_t NotNumeric() const;
  // The first component whose number lies outside 1 .. the installed component's size
  // (Comp1Count, Comp2Count, Comp3Count), or 0. A number that is no number is outside:
  // the script verifier's single test of each component in turn.
  int32_t OutOfRange() const;
};

// Reads the numbers of a line of five parameters. False (nothing read) when the line
// does not hold five.
bool ReadEntryNumbers(EntryNumbers* numbers);

// The session's refusals: "Numeric Parameter required for component N error." and
// "Key component N contains SIZE elements".
void RefuseNotNumeric(int32_t component);
void RefuseOutOfRange(int32_t component);

// --- The expansion level: one of the letters n, l, m, h (letter case ignored).
// True for a level, with *limit its seed range limit (seeds 1 .. limit + 1; 0 for n:
// no expansion).
bool LevelLimit(MVString* letter, int32_t* limit);

// --- Four sizes and a level: Params(1) to Params(4) of createsys.
struct SizesAndLevel {
  int32_t size[3];    // CInt(Val) of each size, whose Val is 1 to 2,147,483,647
  int32_t seedLimit;  // of the level, as LevelLimit gives it
};

// Why a createsys line's parameters were refused, in the order they are checked.
enum SizesFault {
  kSizesRead = 0,  // read: none
  kSizesCount,     // not four parameters
  kSizesNumber1,   // the size of component 1 (2, 3) is no number, or none from 1 to 2^31 - 1
  kSizesNumber2,
  kSizesNumber3,
  kSizesLevel,  // no level letter
};

// The component (1 to 3) whose size a kSizesNumber fault refuses.
inline int32_t ComponentOf(SizesFault fault) { return fault - kSizesNumber1 + 1; }

// Reads the parameters of a createsys line; *sizes is set only when they are read.
SizesFault ReadSizesAndLevel(SizesAndLevel* sizes);
// The session's refusal of a fault (one line).
void RefuseSizes(SizesFault fault);
