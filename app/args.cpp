// The argument form: the command word and its operands from Run's arguments, checks in
// this form's words, the command run with its lines held back, and the exit status.
//
// The commands themselves are the session's: the operands become the parameters the
// prompt's line would have given, so every check of them is the one the prompt and the
// script verifier use. Only what the session cannot meet (standard input and output,
// the system's reason a file cannot be read) is checked here first.
#include "app/args.h"

#include "app/App.h"
#include "app/commands.h"
#include "app/keyfiles.h"
#include "app/run.h"
#include "app/util.h"

namespace {

// The commands this form treats in a way of its own.
constexpr int32_t kEnc = RowOf("enc");
constexpr int32_t kDec = RowOf("dec");
constexpr int32_t kSysDat = RowOf("sysdat");
constexpr int32_t kScript = RowOf("x");
constexpr int32_t kHelp = RowOf("help");
static_assert(kEnc != kNoCommand && kDec != kNoCommand && kSysDat != kNoCommand &&
                  kScript != kNoCommand && kHelp != kNoCommand,
              "a command the argument form names is not in the table");

bool gPreset = false;  // Params hold the operands until the command's GetParameters
bool gNamed = false;   // the command the arguments name is running

// The names among the parameters as typed (slots 1 and 2; owned references).
constexpr int32_t kTypedNames = 2;
MVString* gTyped[kTypedNames + 1];

void KeepTyped(int32_t i, MVString* name) {
  if (i < 1 || i > kTypedNames) return;
  RuntimeLockUnlockStrings(name, gTyped[i]);
  gTyped[i] = name;
}

// An argument as a UTF-8 string with its bytes unchanged (the runtime tags arguments
// ASCII, which joining to other text could convert).
Str Argument(MVArray* args, int32_t i) {
  Str a = GetStr(args, i);
  return Str(MAVOBuildString(a.bytes(), static_cast<int32_t>(a.length()), kEncodingUTF8));
}

void Refuse(const Str& text) {
  RuntimeErrorLine(text.get());
  RuntimeSetExitStatus(1);
}

// "cannot open NAME: reason", when the source cannot be read.
bool Readable(const Str& typed, const Str& path) {
  int32_t problem = RuntimeSourceProblem(path.get());
  if (problem == 0) return true;
  Str reason(RuntimeSystemReason(problem));
  Refuse(Str::Borrow(MV_LIT("cannot open ")) + typed + MV_LIT(": ") + reason);
  return false;
}

// What the session cannot say in its own words: the system's reason a source cannot be
// read, and an empty source. (Cipher text bound for a terminal is refused by enc once it
// has opened its destination.) True when the command may run.
bool Precheck(int32_t command, MVArray* args) {
  if (command == kScript) return Readable(Argument(args, 2), GetParam(1));
  if (command != kEnc && command != kDec) return true;
  bool encrypt = command == kEnc;
  Str source = GetParam(1);
  if (IsStandardName(source.get())) return true;
  Str typed = Argument(args, 2);
  if (!Readable(typed, source)) return false;
  Obj item(GetFolderItem(source.get()));
  bool empty = item.get() && FolderItemIsRegularFile(item.get()) && fileSizeGetter(item.get()) == 0;
  // A sealed file holds an empty source as well.
  if (empty && !(encrypt && !PlainRequested())) {
    Refuse(typed + (encrypt ? MV_LIT(" is empty: nothing to encrypt") : MV_LIT(" is empty: nothing to decrypt")));
    return false;
  }
  return true;
}

// The folder --keys or OMBRIX_KEYS names, if any, is a folder; else says what it is.
bool KeyFolderIsThere() {
  Str folder(RuntimeKeyFolderOption());
  if (folder.empty()) return true;
  Obj item(GetFolderItem(Str(RuntimeCurrentFolderName(folder.get())).get()));
  bool exists = item.get() && fileExistsGetter(item.get());
  if (exists && FolderItemIsFolder(item.get())) return true;
  Refuse(Str::Borrow(MV_LIT("the key folder ")) + folder +
         (exists ? MV_LIT(" is not a folder") : MV_LIT(" does not exist")));
  return false;
}

// A key file that is there but could not be read: its name and the system's reason say
// more than the refusal the session gave for what seemed missing. (A command that did
// its work despite it keeps its own lines.)
bool RefusedUnreadable() {
  Str path;
  int32_t error = 0;
  if (!keyfile::FirstUnreadable(&path, &error)) return false;
  RuntimeConsoleRelease(kMVDropLines);
  Refuse(Str::Borrow(MV_LIT("cannot read ")) + path + MV_LIT(": ") + Str(RuntimeSystemReason(error)));
  return true;
}

// help TOPIC: the session shows the topic of the first letter of TOPIC, or a blank line
// for a letter of none; here such a TOPIC is a usage error.
bool HelpTopicKnown(int32_t command, MVArray* args, int32_t n) {
  if (command != kHelp || n == 0) return true;
  Str letter(StringDBCSMid3(Argument(args, 2).get(), 1, 1));
  return IsHelpTopic(letter.get());
}

}  // namespace

bool InArgumentForm() { return (RuntimeCommandForm() & kMVCommandForm) != 0; }

bool RunningNamedCommand() { return gNamed; }

bool PlainRequested() { return (RuntimeCommandForm() & kMVCommandPlain) != 0; }

bool TakePresetParameters() {
  if (!gPreset) return false;
  gPreset = false;
  return true;
}

void ResolveParameterNames() {
  if (!InArgumentForm()) return;
  int32_t row = CommandOf(CommandLine);
  int32_t names = row == kNoCommand ? 0 : NamesOf(row);
  for (int32_t i = 1; i <= kTypedNames; i++) KeepTyped(i, i <= names ? GetParam(i).get() : nullptr);
  for (int32_t i = 1; i <= names; i++) {
    Str name = GetParam(i);
    if (!name.empty()) SetParam(i, Str(RuntimeCurrentFolderName(name.get())).get());
  }
}

Str TypedName(int32_t i) {
  if (InArgumentForm() && i >= 1 && i <= kTypedNames && gTyped[i]) return Str::Borrow(gTyped[i]);
  return GetParam(i);
}

bool IsStandardName(MVString* name) {
  return InArgumentForm() && MVStringLength(name) == 1 && MVStringBytes(name)[0] == '-';
}

MVFolderItem* SourceItem(MVString* name) {
  return GetFolderItem(IsStandardName(name) ? MV_LIT("/dev/stdin") : name);
}

MVFolderItem* DestinationItem(MVString* name) {
  return GetFolderItem(IsStandardName(name) ? MV_LIT("/dev/stdout") : name);
}

void RunArguments(MVObject* self, MVArray* args) {
  typedef int32_t (*UBound)(MVArray*, int32_t);
  int32_t last = reinterpret_cast<UBound>(args->ops->slot[kMVArrayUBound])(args, 1);
  Str word = Argument(args, 1);
  int32_t command = CommandNamed(word.get());
  int32_t n = last - 1;
  if (command == kNoCommand) {
    RuntimeUsageError((Str::Borrow(MV_LIT("unknown command '")) + word + MV_LIT("'")).get());
    return;
  }
  if (!OperandCountFits(command, n)) {
    Str usage = Str::Borrow(MV_LIT("wrong number of arguments: ")) + word;
    if (MVString* operands = OperandsOf(command)) usage = usage + MV_LIT(" ") + operands;
    RuntimeUsageError(usage.get());
    return;
  }
  if (!HelpTopicKnown(command, args, n)) {
    RuntimeUsageError((Str::Borrow(MV_LIT("unknown help topic '")) + Argument(args, 2) + MV_LIT("'")).get());
    return;
  }
  if (PlainRequested() && command != kEnc && command != kDec) {
    RuntimeUsageError(MV_LIT("--plain is an option of enc and dec only"));
    return;
  }
  if (!KeyFolderIsThere()) return;
  keyfile::UseChosenFolder();
  if (CallFailed(App_SystemData, self, 0)) {
    RuntimeSetExitStatus(1);
    return;
  }
  // Only enc and dec go by the sizes measured here; the other commands read what they
  // need themselves.
  if (command != kEnc && command != kDec) keyfile::ForgetUnreadable();

  // The operands become the parameters (names taken in the current folder), and the
  // command line the word and its operands.
  Str line = word;
  for (int32_t i = 1; i <= n; i++) {
    Str operand = Argument(args, i + 1);
    line = line + MV_LIT(" ") + operand;
    bool stream = (command == kEnc || command == kDec) && IsStandardName(operand.get());
    KeepTyped(i, i <= NamesOf(command) ? operand.get() : nullptr);
    if (i <= NamesOf(command) && !stream) operand = Str(RuntimeCurrentFolderName(operand.get()));
    SetParam(i, operand.get());
  }
  for (int32_t i = n + 1; i <= 5; i++) {
    SetParam(i, nullptr);
    KeepTyped(i, nullptr);
  }
  ParamIndex = n;
  RuntimeLockString(line.get());
  RuntimeUnlockString(CommandLine);
  CommandLine = line.get();
  if (!Precheck(command, args)) return;
  gPreset = true;

  // The session's lines: held back (given out only as an error or as the command's own
  // output), or with -v passed to standard error as they come.
  bool verbose = (RuntimeCommandForm() & kMVCommandVerbose) != 0;
  bool prints = command == kSysDat || command == kHelp;
  RuntimeConsoleCapture(verbose && !prints ? kMVLinesToError : kMVLinesHeld);
  if (!verbose && !prints && command != kScript) {
    ScriptMode = 1;  // no progress lines, but for the one printed in scripts too
    RuntimeConsoleLeaveOut(MV_LIT("Loading System data..."));
  }
  bool done = false;
  gNamed = command != kScript;
  MVObject* ex = RunInArgumentForm(self, command, &done);
  gNamed = false;
  ScriptMode = 0;
  gPreset = false;
  bool failed = EndsProgram(ex) || !done;
  // Interrupted, told to end, or its reader gone: the command has cleaned up, and the
  // caller sees the signal rather than the command's complaint about it.
  if (RuntimeStopRequested() != kMVGoOn) {
    RuntimeConsoleRelease(kMVDropLines);
    RuntimeEndOnSignal();
  }
  if (failed && command != kScript && RefusedUnreadable()) {
    RuntimeConsoleCapture(kMVLinesOut);
    return;
  }
  // A refusal is one line; the transcript of a script and the report of sysdat stay lines.
  RuntimeConsoleRelease(failed ? (command == kScript || command == kSysDat ? kMVErrorLines : kMVOneErrorLine)
                               : prints ? kMVLinesToOutput : kMVDropLines);
  RuntimeConsoleCapture(kMVLinesOut);
  RuntimeSetExitStatus(failed ? 1 : 0);
  RuntimeEndOnSignal();  // the output of sysdat or help found no reader
}
