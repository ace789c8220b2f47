// Script files: 'x file' verifies the whole script against a simulation of the key
// system and, when no line would fail, runs it line by line. Tool lines go to the same
// command methods as at the prompt (in script mode); every other line runs in a fresh
// shell.
#include "app/App.h"

#include "app/run.h"
#include "app/util.h"

namespace {

// Non-empty lines a script may hold: the rows of the verification table.
const int32_t kMaxScriptLines = 5000;

enum ToolWord { kNone, kCreateSys, kResSys, kKillSys, kTransSys, kEnc, kDec };

// The tool command that a script line starts with (letter case ignored).
ToolWord ToolWordOf(MVString* line) {
  if (StartsWith(line, MV_LIT("createsys"), 9)) return kCreateSys;
  if (StartsWith(line, MV_LIT("ressys"), 6)) return kResSys;
  if (StartsWith(line, MV_LIT("killsys"), 7)) return kKillSys;
  if (StartsWith(line, MV_LIT("transsys"), 8)) return kTransSys;
  if (StartsWith(line, MV_LIT("enc"), 3)) return kEnc;
  if (StartsWith(line, MV_LIT("dec"), 3)) return kDec;
  return kNone;
}

void SetCommandLine(MVString* line) {
  RuntimeLockUnlockStrings(line, CommandLine);
  CommandLine = line;
}

// The script as a text stream (owned), or NULL when the name is empty or names no
// readable file (a folder included).
MVTextInputStream* OpenScript(MVFolderItem* item) {
  if (!item || !fileExistsGetter(item) || FolderItemIsFolder(item)) return nullptr;
  return FolderItemOpenTextFile(item);
}

void CloseStream(MVTextInputStream* in) {
  TextInputStreamClose(in);
  RuntimeUnlockObject(in);
}

// Non-empty lines of the script, counted up to one past the limit.
int32_t CountCommandLines(MVFolderItem* item) {
  MVTextInputStream* in = OpenScript(item);
  if (!in) return 0;
  int32_t n = 0;
  while (n <= kMaxScriptLines && !TextInputStreamEOF(in)) {
    Str line(TextInputStreamReadLine(in, nullptr));
    if (!line.empty()) n++;
    RuntimeBackgroundTask();
  }
  CloseStream(in);
  return n;
}

void PrintTooLong() {
  PRINT("The scriptfile has more than 5000 command lines and cannot be run.");
}

// --- Verification ---------------------------------------------------------------------

struct Verifier {
  MVObject* self;
  int32_t errors;
  int32_t warnings;
  bool systemPresent;
  Str text;    // the row being checked
  Str lineNo;  // its file line number, as decimal text

  void Error(MVString* reason) {
    Print(Str::Borrow(MV_LIT("Error Line ")) + lineNo + MV_LIT(" - ") + text + reason);
    errors++;
  }

  void Warning(MVString* reason) {
    Print(Str::Borrow(MV_LIT("Warning Line ")) + lineNo + MV_LIT(" - ") + text + reason);
    warnings++;
  }

  // Store the row in CommandLine and split it.
  void TakeParameters() {
    SetCommandLine(text.get());
    App_GetParameters(self);
  }

  // StringVal(Params(i)) is 0.
  static bool BadComponent(int32_t i) { return Val(GetParam(i)) == 0; }

  // StringVal(Params(i)) is 0 or above the component's size (which may be negative).
  static bool BadComponent(int32_t i, int32_t size) {
    double v = Val(GetParam(i));
    return v == 0 || v > static_cast<double>(size);
  }

  // The file a source name names has no bytes, or is missing.
  static bool EmptySource(MVString* name) {
    if (!name) return true;
    MVFolderItem* item = GetFolderItem(name);
    bool empty = !item || fileSizeGetter(item) == 0;
    RuntimeUnlockObject(item);
    return empty;
  }

  void CreateSys() {
    bool passed = false;
    if (systemPresent) {
      Error(MV_LIT(" | System is present"));
    } else {
      TakeParameters();
      Str expansion = GetParam(4);
      if (ParamIndex != 4) {
        Error(MV_LIT(" | Missing Parameters "));
      } else if (BadComponent(1)) {
        Error(MV_LIT(" | component 1 error"));
      } else if (BadComponent(2)) {
        Error(MV_LIT(" | component 2 error"));
      } else if (BadComponent(3)) {
        Error(MV_LIT(" | component 3 error"));
      } else if (!Same(expansion.get(), MV_LIT("l")) && !Same(expansion.get(), MV_LIT("m")) &&
                 !Same(expansion.get(), MV_LIT("h")) && !Same(expansion.get(), MV_LIT("n"))) {
        Error(MV_LIT(" | expansion param error"));
      } else {
        passed = true;
      }
    }
    if (passed) systemPresent = true;
  }

  // A restore that would pass loads the sizes of the system it names.
  void ResSys() {
    if (systemPresent) {
      Error(MV_LIT(" | System is present"));
      return;
    }
    TakeParameters();
    Str path = GetParam(1);
    if (path.empty()) {
      Error(MV_LIT(" | Path is missing"));
      return;
    }
    Str last(StringDBCSRight(path.get(), 1));
    if (!Same(last.get(), MV_LIT("/"))) {
      path = path + MV_LIT("/");
      SetParam(1, path.get());
    }
    App_GetSystemData(self, path.get());
    systemPresent = true;
  }

  void KillSys() {
    if (!systemPresent) Warning(MV_LIT(" | no system present"));
    systemPresent = false;
  }

  void TransSys() {
    if (!systemPresent) {
      Error(MV_LIT(" | System not present"));
      return;
    }
    TakeParameters();
    if (GetParam(1).empty()) Error(MV_LIT(" | Path is missing"));
  }

  void Crypt() {
    if (Same(text.get(), MV_LIT("enc")) || Same(text.get(), MV_LIT("dec"))) {
      Error(MV_LIT(" | Parameters missing"));
      return;
    }
    if (!systemPresent) {
      Error(MV_LIT(" | System not present"));
      return;
    }
    TakeParameters();
    Str source = GetParam(1);
    Str target = GetParam(2);
    if (ParamIndex != 5) {
      Error(MV_LIT(" | Missing Parameters "));
    } else if (BadComponent(3, Comp1Count)) {
      Error(MV_LIT(" | component 1 error"));
    } else if (BadComponent(4, Comp2Count)) {
      Error(MV_LIT(" | component 2 error"));
    } else if (BadComponent(5, Comp3Count)) {
      Error(MV_LIT(" | component 3 error"));
    } else if (Same(source.get(), target.get())) {
      Error(MV_LIT(" | src/tar conflict"));
    } else if (EmptySource(source.get())) {
      Error(MV_LIT(" | srcfile name conflict"));
    }
  }

  void Check(ToolWord word) {
    if (word == kCreateSys) CreateSys();
    if (word == kResSys) ResSys();
    if (word == kKillSys) KillSys();
    if (word == kTransSys) TransSys();
    if (word == kEnc || word == kDec) Crypt();
  }
};

// Reads the script into the table: rows 1.. of {text, file line number}, tool lines
// only, in file order. Returns the row count, or -1 when the script has more non-empty
// lines than the table has rows.
int32_t ReadToolLines(MVTextInputStream* in, MVArray* table) {
  int32_t rows = 0;
  int32_t nonEmpty = 0;
  int32_t lineNo = 0;
  while (!TextInputStreamEOF(in)) {
    Str line(TextInputStreamReadLine(in, nullptr));
    lineNo++;
    RuntimeBackgroundTask();
    if (line.empty()) continue;
    if (++nonEmpty > kMaxScriptLines) return -1;
    if (ToolWordOf(line.get()) == kNone) continue;
    rows++;
    SetStr2(table, rows, 0, line.get());
    Str number(StringStrInt32(lineNo));
    SetStr2(table, rows, 1, number.get());
  }
  return rows;
}

// --- Execution ------------------------------------------------------------------------

// The tool commands with their outcome (1 done, 0 refused or failed), in the shape
// ProtectedCall expects.
int32_t CreateSysCall(MVObject* self, int32_t) { return CreateSysCommand(self); }
int32_t RestoreSysCall(MVObject* self, int32_t) { return RestoreSysCommand(self); }
int32_t KillSysCall(MVObject* self, int32_t) { return KillSysCommand(self, 0); }
int32_t TransferSysCall(MVObject* self, int32_t) { return TransferSysCommand(self); }
int32_t EncryptCall(MVObject* self, int32_t) { return EncryptCommand(self); }
int32_t DecryptCall(MVObject* self, int32_t) { return DecryptCommand(self); }

void* CommandOf(ToolWord word) {
  if (word == kCreateSys) return reinterpret_cast<void*>(CreateSysCall);
  if (word == kResSys) return reinterpret_cast<void*>(RestoreSysCall);
  if (word == kTransSys) return reinterpret_cast<void*>(TransferSysCall);
  if (word == kEnc) return reinterpret_cast<void*>(EncryptCall);
  if (word == kDec) return reinterpret_cast<void*>(DecryptCall);
  return reinterpret_cast<void*>(KillSysCall);  // KillSys(0): no question asked
}

// Runs one line of the script. Returns an exception that escaped a command (owned), or
// NULL; *done is false when a tool command refused or failed. A shell line is done
// whatever its exit status.
MVObject* RunLine(MVObject* self, MVString* line, bool* done) {
  *done = true;
  Print(Str::Borrow(MV_LIT(".")) + line);
  ToolWord word = ToolWordOf(line);
  if (word == kNone) {
    MVObject* shell = NewShell();
    ShellExecute(shell, line);
    Str result(ShellResult(shell));
    Print(result);
    RuntimeUnlockObject(shell);
    return nullptr;
  }
  SetCommandLine(line);
  int32_t outcome = 0;
  MVObject* ex = ProtectedCall(CommandOf(word), self, 0, &outcome);
  *done = ex == nullptr && outcome != 0;
  return ex;
}

// Passes an exception on to the handler that protects this command, and drops ours.
void PassOn(MVObject* ex) {
  RuntimeReraiseException(ex);
  RuntimeUnlockObject(ex);
}

}  // namespace

int32_t App_VerifyScript(MVObject* self) {
  Verifier v{self, 0, 0, false, Str(), Str()};
  App_SystemData(self, 0);
  v.systemPresent = Comp1Count > 0;

  MVArray* table = CreateArray(2, kMVElemString, kMaxScriptLines, 1);
  int32_t rows = -1;
  Str name = GetParam(1);
  MVFolderItem* item = name.empty() ? nullptr : GetFolderItem(name.get());
  MVTextInputStream* in = OpenScript(item);
  RuntimeUnlockObject(item);
  bool opened = in != nullptr;
  if (opened) {
    rows = ReadToolLines(in, table);
    CloseStream(in);
  }
  if (rows < 0) {  // too long, or gone since RunScript looked at it
    RuntimeUnlockArray(table);
    if (opened) {
      PrintTooLong();
    } else {
      PRINT("The scriptfile defined cannot be located.  Please");
      PRINT("verify and reenter.");
    }
    return 1;
  }

  for (int32_t r = 1; r <= rows; r++) {
    v.text = GetStr2(table, r, 0);
    v.lineNo = GetStr2(table, r, 1);
    v.Check(ToolWordOf(v.text.get()));
    RuntimeBackgroundTask();
  }
  RuntimeUnlockArray(table);

  App_SystemData(self, 0);
  Print(StrOf(v.errors) + MV_LIT(" errors ") + StrOf(v.warnings) + MV_LIT(" warnings"));
  return v.errors > 0 ? 1 : 0;
}

void App_RunScript(MVObject* self) {
  if (Same(CommandLine, MV_LIT("x"))) {
    PRINT("Parameters missing error.  Enter help x");
    PRINT(" ");
    return;
  }
  App_GetParameters(self);
  Str name = GetParam(1);
  MVFolderItem* item = name.empty() ? nullptr : GetFolderItem(name.get());
  MVTextInputStream* probe = OpenScript(item);
  if (!probe) {
    RuntimeUnlockObject(item);
    PRINT("The scriptfile defined cannot be located.  Please");
    PRINT("verify and reenter.");
    return;
  }
  CloseStream(probe);
  if (CountCommandLines(item) > kMaxScriptLines) {
    RuntimeUnlockObject(item);
    PrintTooLong();
    return;
  }

  PRINT("Verifying...");
  int32_t failed = 1;
  MVObject* ex = ProtectedCall(reinterpret_cast<void*>(App_VerifyScript), self, 0, &failed);
  if (ex) {
    RuntimeUnlockObject(item);
    PassOn(ex);
    return;
  }
  if (failed == 1) {
    RuntimeUnlockObject(item);
    PRINT("VerifyScript failed");
    return;
  }
  PRINT("Verify OK");

  PRINT("Executing script file...");
  ScriptMode = 1;
  MVTextInputStream* in = OpenScript(item);
  RuntimeUnlockObject(item);
  // The first tool command that refuses or fails ends the script: the lines after it
  // may depend on its work (a killsys after a failed transsys would lose the key).
  bool done = true;
  int32_t lineNo = 0;
  Str failedLine;
  while (in && done && !TextInputStreamEOF(in)) {
    if (RuntimeStopRequested() != kMVGoOn) {  // interrupted: no further line runs
      CloseStream(in);
      ScriptMode = 0;
      return;
    }
    Str line(TextInputStreamReadLine(in, nullptr));
    lineNo++;
    if (!line.empty()) {
      ex = RunLine(self, line.get(), &done);
      if (ex) {
        CloseStream(in);
        ScriptMode = 0;
        PassOn(ex);
        return;
      }
      if (!done) failedLine = line;
    }
    RuntimeBackgroundTask();
  }
  if (in) CloseStream(in);
  ScriptMode = 0;
  if (RuntimeStopRequested() != kMVGoOn) return;  // its last line was interrupted
  if (done) {
    PRINT("==== Script completed ===");
  } else {
    Print(Str::Borrow(MV_LIT("Script stopped at line ")) + StrOf(lineNo) + MV_LIT(" - ") + failedLine +
          MV_LIT(" | the command did not complete"));
  }
  PRINT(" ");
  ScriptMode = 0;
  PrintSystemPresence();
  PRINT(" ");
}
