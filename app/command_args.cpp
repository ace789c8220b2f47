// The readings of the commands' arguments (app/command_args.h).
#include "app/command_args.h"

#include "app/App.h"
#include "app/keyfiles.h"

namespace {

// Params(3) holds component 1's entry number.
constexpr int32_t kFirstNumber = 3;

int32_t ComponentSize(int32_t component) {
  return component == 1 ? Comp1Count : component == 2 ? Comp2Count : Comp3Count;
}

}  // namespace

int32_t EntryNumbers::NotNumeric() const {
  for (int32_t c = 1; c <= 3; c++)
    if (value[c - 1] == 0) return c;
  return 0;
}

int32_t EntryNumbers::OutOfRange() const {
  for (int32_t c = 1; c <= 3; c++) {
    double v = value[c - 1];
    if (!(v >= 1 && v <= ComponentSize(c))) return c;
  }
  return 0;
}

bool ReadEntryNumbers(EntryNumbers* numbers) {
  if (ParamIndex != 5) return false;
  for (int32_t c = 0; c < 3; c++) {
    numbers->text[c] = GetParam(kFirstNumber + c);
    numbers->value[c] = Val(numbers->text[c]);
  }
  return true;
}

void RefuseNotNumeric(int32_t component) {
  Print(Str::Borrow(MV_LIT("Numeric Parameter required for component ")) + StrOf(component) +
        MV_LIT(" error."));
}

void RefuseOutOfRange(int32_t component) {
  Print(Str::Borrow(MV_LIT("Key component ")) + StrOf(component) + MV_LIT(" contains ") +
        StrOf(ComponentSize(component)) + MV_LIT(" elements"));
}

bool LevelLimit(MVString* letter, int32_t* limit) {
  static_assert(99 + 1 <= keyfile::kSeed.max, "seeds of level h fit the layout");
  if (Same(letter, MV_LIT("l")))
    *limit = 10;
  else if (Same(letter, MV_LIT("m")))
    *limit = 50;
  else if (Same(letter, MV_LIT("h")))
    *limit = 99;
  else if (Same(letter, MV_LIT("n")))
    *limit = 0;
  else
    return false;
  return true;
}

SizesFault ReadSizesAndLevel(SizesAndLevel* sizes) {
  if (ParamIndex != 4) return kSizesCount;
  double v[3];
  for (int32_t c = 0; c < 3; c++) {
    // A size is a count of entries: 1 to 2,147,483,647 (a key file's count is no more).
    v[c] = Val(GetParam(1 + c));
    if (!(v[c] >= 1 && v[c] <= 2147483647.0)) return static_cast<SizesFault>(kSizesNumber1 + c);
  }
  int32_t limit = 0;
  if (!LevelLimit(GetParam(4).get(), &limit)) return kSizesLevel;
  for (int32_t c = 0; c < 3; c++) sizes->size[c] = CInt(v[c]);
  sizes->seedLimit = limit;
  return kSizesRead;
}

void RefuseSizes(SizesFault fault) {
  if (fault == kSizesCount)
    PRINT("Missing Parameters error.  Enter Help C");
  else if (fault >= kSizesNumber1 && fault <= kSizesNumber3)
    RefuseNotNumeric(ComponentOf(fault));
  else if (fault == kSizesLevel)
    PRINT("Missing or invalid expansion param error.");
}
