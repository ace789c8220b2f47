// The argument form: the command word and its operands from Run's arguments, checks in
// this form's words, the command run with its lines held back, and the exit status.
//
// The commands themselves are the session's: the operands become the parameters the
// prompt's line would have given, so every check of them is the one the prompt and the
// script verifier use. Only what the session cannot meet (standard input and output,
// the system's reason a file cannot be read) is checked here first.
#include "app/args.h"

#include "app/App.h"
#include "app/keyfiles.h"
#include "app/run.h"
#include "app/util.h"

namespace {

enum Command { kEnc, kDec, kCreateSys, kSysDat, kTransSys, kResSys, kTransKill, kKillSys, kScript, kHelp };
constexpr int32_t kUnknown = -1;

bool gPreset = false;  // Params hold the operands until the command's GetParameters

// The names among the parameters as typed (slots 1 and 2; owned references).
constexpr int32_t kTypedNames = 2;
MVString* gTyped[kTypedNames + 1];

void KeepTyped(int32_t i, MVString* name) {
  if (i < 1 || i > kTypedNames) return;
  RuntimeLockUnlockStrings(name, gTyped[i]);
  gTyped[i] = name;
}

// Whole command words (letter case ignored): no prefixes here.
int32_t CommandNamed(MVString* word) {
  if (Same(word, MV_LIT("enc"))) return kEnc;
  if (Same(word, MV_LIT("dec"))) return kDec;
  if (Same(word, MV_LIT("createsys"))) return kCreateSys;
  if (Same(word, MV_LIT("sysdat"))) return kSysDat;
  if (Same(word, MV_LIT("transsys"))) return kTransSys;
  if (Same(word, MV_LIT("ressys"))) return kResSys;
  if (Same(word, MV_LIT("transkill"))) return kTransKill;
  if (Same(word, MV_LIT("killsys"))) return kKillSys;
  if (Same(word, MV_LIT("x"))) return kScript;
  if (Same(word, MV_LIT("help"))) return kHelp;
  return kUnknown;
}

// The operands a command takes, as the usage names them. (Tests, not a switch: a switch
// of pointers may become a table in the data block.)
MVString* OperandsOf(int32_t command) {
  if (command == kEnc || command == kDec) return MV_LIT("SOURCE DESTINATION E1 E2 E3");
  if (command == kCreateSys) return MV_LIT("N1 N2 N3 LEVEL");
  if (command == kTransSys || command == kResSys || command == kTransKill) return MV_LIT("DIR");
  if (command == kScript) return MV_LIT("SCRIPT");
  if (command == kHelp) return MV_LIT("[TOPIC]");
  return nullptr;
}

bool CountFits(int32_t command, int32_t n) {
  switch (command) {
    case kEnc:
    case kDec:
      return n == 5;
    case kCreateSys:
      return n == 4;
    case kTransSys:
    case kResSys:
    case kTransKill:
    case kScript:
      return n == 1;
    case kHelp:
      return n <= 1;
    default:
      return n == 0;
  }
}

// How many of the leading operands name files or folders.
int32_t NamesOf(int32_t command) {
  switch (command) {
    case kEnc:
    case kDec:
      return 2;
    case kTransSys:
    case kResSys:
    case kTransKill:
    case kScript:
      return 1;
    default:
      return 0;
  }
}

// The same for a line as the prompt and the script runner read it (prefixes).
int32_t NamesInLine(MVString* line) {
  if (StartsWith(line, MV_LIT("enc"), 3) || StartsWith(line, MV_LIT("dec"), 3)) return 2;
  if (StartsWith(line, MV_LIT("transsys"), 8) || StartsWith(line, MV_LIT("ressys"), 6) ||
      StartsWith(line, MV_LIT("transkill"), 9) || StartsWith(line, MV_LIT("x"), 1))
    return 1;
  return 0;
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
  if (empty) {
    Refuse(typed + (encrypt ? MV_LIT(" is empty: nothing to encrypt") : MV_LIT(" is empty: nothing to decrypt")));
    return false;
  }
  return true;
}

bool SystemInstalled() { return FileExists(keyfile::SystemFile()); }

// The command with its outcome (1 done, 0 not), for the protected call.
int32_t RunCommand(MVObject* self, int32_t command) {
  switch (command) {
    case kEnc:
      return EncryptCommand(self) ? 1 : 0;
    case kDec:
      return DecryptCommand(self) ? 1 : 0;
    case kCreateSys:
      return CreateSysCommand(self) ? 1 : 0;
    case kTransSys:
      return TransferSysCommand(self) ? 1 : 0;
    case kResSys:
      return RestoreSysCommand(self) ? 1 : 0;
    case kKillSys:
      return KillSysCommand(self, 1) ? 1 : 0;
    case kScript:
      return RunScriptCommand(self) ? 1 : 0;
    case kTransKill: {
      // Done when the key system it found is gone: it deletes only a verified copy.
      bool before = SystemInstalled();
      App_TransKill(self);
      return before && !SystemInstalled() ? 1 : 0;
    }
    case kSysDat:
      Comp1Count = 0;
      App_SystemData(self, 1);
      return Comp1Count > 0 ? 1 : 0;
    case kHelp:
      App_ShowHelp(self);
      return 1;
    default:
      return 0;
  }
}

}  // namespace

bool InArgumentForm() { return (RuntimeCommandForm() & kMVCommandForm) != 0; }

bool TakePresetParameters() {
  if (!gPreset) return false;
  gPreset = false;
  return true;
}

void ResolveParameterNames() {
  if (!InArgumentForm()) return;
  int32_t names = NamesInLine(CommandLine);
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
  if (command == kUnknown) {
    RuntimeUsageError((Str::Borrow(MV_LIT("unknown command '")) + word + MV_LIT("'")).get());
    return;
  }
  if (!CountFits(command, n)) {
    Str usage = Str::Borrow(MV_LIT("wrong number of arguments: ")) + word;
    if (MVString* operands = OperandsOf(command)) usage = usage + MV_LIT(" ") + operands;
    RuntimeUsageError(usage.get());
    return;
  }
  keyfile::UseChosenFolder();
  if (CallFailed(App_SystemData, self, 0)) {
    RuntimeSetExitStatus(1);
    return;
  }

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
  int32_t done = 0;
  MVObject* ex = ProtectedCall(&done, RunCommand, self, static_cast<int32_t>(command));
  ScriptMode = 0;
  gPreset = false;
  bool failed = EndsProgram(ex) || done == 0;
  // Interrupted, told to end, or its reader gone: the command has cleaned up, and the
  // caller sees the signal rather than the command's complaint about it.
  if (RuntimeStopRequested() != kMVGoOn) {
    RuntimeConsoleRelease(kMVDropLines);
    RuntimeEndOnSignal();
  }
  RuntimeConsoleRelease(failed ? (command == kScript ? kMVErrorLines : kMVOneErrorLine)
                               : prints ? kMVLinesToOutput : kMVDropLines);
  RuntimeConsoleCapture(kMVLinesOut);
  RuntimeSetExitStatus(failed ? 1 : 0);
  RuntimeEndOnSignal();  // the output of sysdat or help found no reader
}
