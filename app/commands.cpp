// The dispatch that the command table (app/commands.h) drives: which word a line starts
// with, the calls of a row's method at the prompt and of its routine in a script and in
// the argument form, and the argument form's reading of a row's operands. The table's
// consistency is checked here at compile time.
#include "app/commands.h"

#include "app/run.h"
#include "app/util.h"

namespace {

// --- Checks of the table.

using command_table::LengthOf;
using command_table::Lower;

struct Word {
  const char* text;
  int32_t n;
};

// Each word is tested on its first n characters, so n is its length: with fewer, no line
// would match; with more, only the word alone. And no two words may begin alike: a line
// must match one row at most, as the prompt and the script runner both assume.
constexpr bool WordsAreSound() {
#define APP_WORD(word, n, ...) Word{word, n},
  const Word words[] = {APP_COMMANDS(APP_WORD)};
#undef APP_WORD
  const int32_t count = sizeof words / sizeof words[0];
  for (int32_t i = 0; i < count; i++) {
    if (words[i].n != LengthOf(words[i].text) || words[i].n < 1) return false;
    for (int32_t j = i + 1; j < count; j++) {
      int32_t shorter = words[i].n < words[j].n ? words[i].n : words[j].n;
      int32_t k = 0;
      while (k < shorter && Lower(words[i].text[k]) == Lower(words[j].text[k])) k++;
      if (k == shorter) return false;
    }
  }
  return true;
}
static_assert(WordsAreSound(), "a command word's n is not its length, or it begins another word");

constexpr bool SameText(const char* a, const char* b) {
  while (*a && *a == *b) {
    a++;
    b++;
  }
  return *a == *b;
}

// The method is in App's method table (by name: the addresses of two functions are not
// compile-time constants to every build).
constexpr bool IsAppMethod(const char* method) {
#define APP_OR_NAMED(function, signature) || SameText(method, #function)
  return false APP_METHODS(APP_OR_NAMED);
#undef APP_OR_NAMED
}
#define APP_CHECK_METHOD(word, n, method, ...) \
  static_assert(IsAppMethod(#method),          \
                "the command '" word "' calls a method App does not register");
APP_COMMANDS(APP_CHECK_METHOD)
#undef APP_CHECK_METHOD

// Every row has its command with its outcome: the argument form runs each by it.
#define APP_CHECK_ROUTINE(word, n, method, argument, routine, ...) \
  static_assert(!IsPromptOnly(routine), "the command '" word "' has no routine with its outcome");
APP_COMMANDS(APP_CHECK_ROUTINE)
#undef APP_CHECK_ROUTINE

// The operands of the argument form, read from their usage: words separated by one blank,
// the optional ones in brackets and after every required one.
struct Operands {
  int32_t required;
  int32_t most;
  bool sound;
};

constexpr Operands OperandsIn(const char* usage) {
  Operands o{0, 0, true};
  int32_t i = 0;
  while (usage[i]) {
    bool optional = usage[i] == '[';
    int32_t start = i;
    while (usage[i] && usage[i] != ' ') i++;
    if (i == start || (optional && usage[i - 1] != ']') || (!optional && o.most > o.required))
      o.sound = false;
    o.most++;
    if (!optional) o.required++;
    if (usage[i] == ' ' && !usage[++i]) o.sound = false;  // a blank at the end
  }
  return o;
}

// Only operands the command always takes may be names: the argument form takes them in
// the current folder before the command reads them.
#define APP_CHECK_OPERANDS(word, n, method, argument, routine, scriptArgument, check, operands, names) \
  static_assert(OperandsIn(operands).sound,                                                         \
                "the operands of '" word "' are not words, the optional ones last");             \
  static_assert(names >= 0 && names <= OperandsIn(operands).required,                               \
                "the command '" word "' names more operands than it always takes");
APP_COMMANDS(APP_CHECK_OPERANDS)
#undef APP_CHECK_OPERANDS

// --- Calls.

// The prompt's call of a method, with or without its argument. A method of another
// shape has no overload and does not compile.
bool CallMethod(MVObject* self, void (*method)(MVObject*), NoArgument) {
  return CallFailed(method, self);
}
bool CallMethod(MVObject* self, void (*method)(MVObject*, int32_t), int32_t argument) {
  return CallFailed(method, self, argument);
}

// A script's call of a routine: its outcome as a word (1 done, 0 not) for the protected
// call, which passes words only.
int32_t OutcomeOf(bool (*routine)(MVObject*), MVObject* self) { return routine(self) ? 1 : 0; }
int32_t OutcomeWith(bool (*routine)(MVObject*, int32_t), MVObject* self, int32_t argument) {
  return routine(self, argument) ? 1 : 0;
}

MVObject* CallRoutine(MVObject* self, bool (*routine)(MVObject*), NoArgument, int32_t* outcome) {
  return ProtectedCall(outcome, OutcomeOf, routine, self);
}
MVObject* CallRoutine(MVObject* self, bool (*routine)(MVObject*, int32_t), int32_t argument,
                      int32_t* outcome) {
  return ProtectedCall(outcome, OutcomeWith, routine, self, argument);
}

// Scripts run a row that has a check (named here: the checks are the verifier's own) and
// hand the others to the shell.
constexpr bool HasCheck(const char* check) { return !SameText(check, "kPromptOnly"); }

template <bool kInScripts, typename Routine, typename Argument>
MVObject* CallInScript(MVObject* self, Routine routine, Argument argument, int32_t* outcome) {
  if constexpr (kInScripts) {
    return CallRoutine(self, routine, argument, outcome);
  } else {
    *outcome = 0;
    return nullptr;
  }
}

// A one-letter word is a command only as the whole first word: many programs' names
// begin with that letter too ("xxd notes.txt" is for the shell, not a script to run).
bool IsWord(MVString* line, int32_t n) {
  if (n > 1) return true;
  Str next(StringDBCSMid3(line, n + 1, 1));
  return next.empty() || Same(next.get(), MV_LIT(" "));
}

}  // namespace

int32_t CommandOf(MVString* line) {
  int32_t found = kNoCommand;
  int32_t row = 0;
#define APP_TEST_WORD(word, n, ...)                                     \
  if (StartsWith(line, MV_LIT(word), n) && IsWord(line, n)) found = row; \
  row++;
  APP_COMMANDS(APP_TEST_WORD)
#undef APP_TEST_WORD
  return found;
}

bool RunsInScripts(int32_t row) {
  int32_t r = 0;
#define APP_IN_SCRIPTS(word, n, method, argument, routine, scriptArgument, check, ...) \
  if (row == r++) return HasCheck(#check);
  APP_COMMANDS(APP_IN_SCRIPTS)
#undef APP_IN_SCRIPTS
  return false;
}

bool RunAtPrompt(MVObject* self, int32_t row) {
  int32_t r = 0;
#define APP_AT_PROMPT(word, n, method, argument, ...) \
  if (row == r++) return CallMethod(self, method, argument);
  APP_COMMANDS(APP_AT_PROMPT)
#undef APP_AT_PROMPT
  return false;
}

MVObject* RunInScript(MVObject* self, int32_t row, bool* done) {
  int32_t outcome = 0;
  MVObject* ex = nullptr;
  int32_t r = 0;
#define APP_IN_SCRIPT(word, n, method, argument, routine, scriptArgument, check, ...) \
  if (row == r++) ex = CallInScript<HasCheck(#check)>(self, routine, scriptArgument, &outcome);
  APP_COMMANDS(APP_IN_SCRIPT)
#undef APP_IN_SCRIPT
  *done = ex == nullptr && outcome != 0;
  return ex;
}

int32_t CommandNamed(MVString* word) {
  int32_t r = 0;
#define APP_NAMED(text, ...)                        \
  if (Same(word, MV_LIT(text))) return r; \
  r++;
  APP_COMMANDS(APP_NAMED)
#undef APP_NAMED
  return kNoCommand;
}

MVString* OperandsOf(int32_t row) {
  int32_t r = 0;
#define APP_OPERANDS(word, n, method, argument, routine, scriptArgument, check, operands, names) \
  if (row == r++) return LengthOf(operands) > 0 ? MV_LIT(operands) : nullptr;
  APP_COMMANDS(APP_OPERANDS)
#undef APP_OPERANDS
  return nullptr;
}

bool OperandCountFits(int32_t row, int32_t n) {
  int32_t r = 0;
#define APP_FITS(word, n_, method, argument, routine, scriptArgument, check, operands, names) \
  if (row == r++) return n >= OperandsIn(operands).required && n <= OperandsIn(operands).most;
  APP_COMMANDS(APP_FITS)
#undef APP_FITS
  return false;
}

int32_t NamesOf(int32_t row) {
  int32_t r = 0;
#define APP_NAMES(word, n, method, argument, routine, scriptArgument, check, operands, names) \
  if (row == r++) return names;
  APP_COMMANDS(APP_NAMES)
#undef APP_NAMES
  return 0;
}

MVObject* RunInArgumentForm(MVObject* self, int32_t row, bool* done) {
  int32_t outcome = 0;
  MVObject* ex = nullptr;
  int32_t r = 0;
#define APP_IN_FORM(word, n, method, argument, routine, ...) \
  if (row == r++) ex = CallRoutine(self, routine, argument, &outcome);
  APP_COMMANDS(APP_IN_FORM)
#undef APP_IN_FORM
  *done = ex == nullptr && outcome != 0;
  return ex;
}
