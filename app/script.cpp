// Script files: 'x file' verifies the whole script against a simulation of the key
// system and of the files its enc and dec lines write and, when no line would fail,
// runs it line by line. Tool lines go to the same
// command methods as at the prompt (in script mode); every other line runs in a fresh
// shell.
#include "app/App.h"

#include "app/command_args.h"
#include "app/commands.h"
#include "app/run.h"
#include "app/util.h"

namespace {

// Non-empty lines a script may hold: the rows of the verification table.
const int32_t kMaxScriptLines = 5000;

// The row of the command table of a tool line (a word that scripts run), or kNoCommand
// for a shell line.
int32_t ToolRowOf(MVString* line) {
  int32_t row = CommandOf(line);
  return row != kNoCommand && RunsInScripts(row) ? row : kNoCommand;
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
  RuntimeUnlockObject(in);  // the reference OpenScript handed out
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
  // The destinations of the enc and dec rows that passed so far, as their parameters
  // name them: files the script will have written by the rows that follow.
  Arr written;
  int32_t writtenCount;

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

  // The file a source name names has no bytes, or is missing.
  static bool EmptySource(MVString* name) {
    if (!name) return true;
    Obj item(GetFolderItem(name));
    return !item.get() || fileSizeGetter(item.get()) == 0;
  }

  void NoteWritten(const Str& name) {
    if (writtenCount < kMaxScriptLines) SetStr(written.get(), writtenCount++, name.get());
  }

  // An earlier row writes the file of this name (the same text, letter case kept).
  bool WrittenBefore(const Str& name) const {
    for (int32_t i = 0; i < writtenCount; i++) {
      Str w = GetStr(written.get(), i);
      uint32_t n = w.length();
      if (n != name.length()) continue;
      uint32_t k = 0;
      while (k < n && w.bytes()[k] == name.bytes()[k]) k++;
      if (k == n) return true;
    }
    return false;
  }
};

// The checks of the tool lines, one per command that scripts run (named in the command
// table, app/commands.h). Each prints the first failure of its row and applies the row's
// effect on the simulated key system.

// " | component N error": a size or an entry number of component N is refused.
Str ComponentReason(int32_t component) {
  return Str::Borrow(MV_LIT(" | component ")) + StrOf(component) + MV_LIT(" error");
}

// The reason for a fault of a createsys line.
Str SizesReason(SizesFault fault) {
  if (fault == kSizesCount) return Str::Borrow(MV_LIT(" | Missing Parameters "));
  if (fault == kSizesLevel) return Str::Borrow(MV_LIT(" | expansion param error"));
  return ComponentReason(ComponentOf(fault));
}

void VerifyCreateSys(Verifier& v) {
  if (v.systemPresent) {
    v.Error(MV_LIT(" | System is present"));
    return;
  }
  v.TakeParameters();
  SizesAndLevel sizes;
  if (SizesFault fault = ReadSizesAndLevel(&sizes)) {
    v.Error(SizesReason(fault).get());
    return;
  }
  v.systemPresent = true;
}

// A restore that would pass loads the sizes of the system it names.
void VerifyRestoreSys(Verifier& v) {
  if (v.systemPresent) {
    v.Error(MV_LIT(" | System is present"));
    return;
  }
  v.TakeParameters();
  Str path = GetParam(1);
  if (path.empty()) {
    v.Error(MV_LIT(" | Path is missing"));
    return;
  }
  Str last(StringDBCSRight(path.get(), 1));
  if (!Same(last.get(), MV_LIT("/"))) {
    path = path + MV_LIT("/");
    SetParam(1, path.get());
  }
  App_GetSystemData(v.self, path.get());
  v.systemPresent = true;
}

void VerifyKillSys(Verifier& v) {
  if (!v.systemPresent) v.Warning(MV_LIT(" | no system present"));
  v.systemPresent = false;
}

void VerifyTransferSys(Verifier& v) {
  if (!v.systemPresent) {
    v.Error(MV_LIT(" | System not present"));
    return;
  }
  v.TakeParameters();
  if (GetParam(1).empty()) v.Error(MV_LIT(" | Path is missing"));
}

// Checked as a transfer; one that would pass leaves no system behind.
void VerifyTransKill(Verifier& v) {
  int32_t errors = v.errors;
  VerifyTransferSys(v);
  if (v.errors == errors) v.systemPresent = false;
}

void VerifyCrypt(Verifier& v) {
  if (Same(v.text.get(), MV_LIT("enc")) || Same(v.text.get(), MV_LIT("dec"))) {
    v.Error(MV_LIT(" | Parameters missing"));
    return;
  }
  if (!v.systemPresent) {
    v.Error(MV_LIT(" | System not present"));
    return;
  }
  v.TakeParameters();
  Str source = GetParam(1);
  Str target = GetParam(2);
  EntryNumbers numbers;
  if (!ReadEntryNumbers(&numbers)) {
    v.Error(MV_LIT(" | Missing Parameters "));
  } else if (int32_t c = numbers.OutOfRange()) {
    v.Error(ComponentReason(c).get());
  } else if (Same(source.get(), target.get())) {
    v.Error(MV_LIT(" | src/tar conflict"));
  } else if (!v.WrittenBefore(source) && v.EmptySource(source.get())) {
    // A file that an earlier row writes is there by the time this row runs.
    v.Error(MV_LIT(" | srcfile name conflict"));
  } else {
    v.NoteWritten(target);
  }
}

void Check(Verifier& v, void (*check)(Verifier&)) { check(v); }
void Check(Verifier&, PromptOnly) {}

// Checks the row of a tool line with its command's check.
void CheckRow(Verifier& v, int32_t row) {
  int32_t r = 0;
#define APP_CHECK_ROW(word, n, method, argument, routine, scriptArgument, check, ...) \
  if (row == r++) Check(v, check);
  APP_COMMANDS(APP_CHECK_ROW)
#undef APP_CHECK_ROW
}

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
    if (ToolRowOf(line.get()) == kNoCommand) continue;
    rows++;
    SetStr2(table, rows, 0, line.get());
    Str number(StringStrInt32(lineNo));
    SetStr2(table, rows, 1, number.get());
  }
  return rows;
}

// --- Execution ------------------------------------------------------------------------

// Runs one line of the script. Returns an exception that escaped a command (owned), or
// NULL; *done is false when a tool command refused or failed. A shell line is done
// whatever its exit status.
MVObject* RunLine(MVObject* self, MVString* line, bool* done) {
  *done = true;
  Print(Str::Borrow(MV_LIT(".")) + line);
  int32_t row = ToolRowOf(line);
  if (row == kNoCommand) {
    Obj shell(NewShell());
    ShellExecute(shell.get(), line);
    Str result(ShellResult(shell.get()));
    Print(result);
    return nullptr;
  }
  SetCommandLine(line);
  return RunInScript(self, row, done);
}

// Passes an exception on to the handler that protects this command, and drops ours.
void PassOn(MVObject* ex) {
  RuntimeReraiseException(ex);
  RuntimeUnlockObject(ex);  // the reference the caller handed over
}

}  // namespace

int32_t App_VerifyScript(MVObject* self) {
  Verifier v{self, 0, 0, false, Str(), Str(), Arr(CreateArray(1, kMVElemString, kMaxScriptLines)), 0};
  App_SystemData(self, 0);
  v.systemPresent = Comp1Count > 0;

  Arr table(CreateArray(2, kMVElemString, kMaxScriptLines, 1));
  int32_t rows = -1;
  Str name = GetParam(1);
  Obj item(name.empty() ? nullptr : GetFolderItem(name.get()));
  MVTextInputStream* in = OpenScript(item.get());
  bool opened = in != nullptr;
  if (opened) {
    rows = ReadToolLines(in, table.get());
    CloseStream(in);
  }
  if (rows < 0) {  // too long, or gone since RunScript looked at it
    if (opened) {
      PrintTooLong();
    } else {
      PRINT("The scriptfile defined cannot be located.  Please");
      PRINT("verify and reenter.");
    }
    return 1;
  }

  for (int32_t r = 1; r <= rows; r++) {
    v.text = GetStr2(table.get(), r, 0);
    v.lineNo = GetStr2(table.get(), r, 1);
    CheckRow(v, ToolRowOf(v.text.get()));
    RuntimeBackgroundTask();
  }

  App_SystemData(self, 0);
  Print(StrOf(v.errors) + MV_LIT(" errors ") + StrOf(v.warnings) + MV_LIT(" warnings"));
  return v.errors > 0 ? 1 : 0;
}

// True when the script was verified and every line of it ran.
bool RunScriptCommand(MVObject* self) {
  if (Same(CommandLine, MV_LIT("x"))) {
    PRINT("Parameters missing error.  Enter help x");
    PRINT(" ");
    return false;
  }
  App_GetParameters(self);
  Str name = GetParam(1);
  Obj item(name.empty() ? nullptr : GetFolderItem(name.get()));
  MVTextInputStream* probe = OpenScript(item.get());
  if (!probe) {
    PRINT("The scriptfile defined cannot be located.  Please");
    PRINT("verify and reenter.");
    return false;
  }
  CloseStream(probe);
  if (CountCommandLines(item.get()) > kMaxScriptLines) {
    PrintTooLong();
    return false;
  }

  PRINT("Verifying...");
  int32_t failed = 1;
  MVObject* ex = ProtectedCall(&failed, App_VerifyScript, self);
  if (ex) {
    PassOn(ex);
    return false;
  }
  if (failed == 1) {
    PRINT("VerifyScript failed");
    return false;
  }
  PRINT("Verify OK");

  PRINT("Executing script file...");
  ScriptMode = 1;
  MVTextInputStream* in = OpenScript(item.get());
  // The first tool command that refuses or fails ends the script: the lines after it
  // may depend on its work (a killsys after a failed transsys would lose the key).
  bool done = true;
  int32_t lineNo = 0;
  Str failedLine;
  while (in && done && !TextInputStreamEOF(in)) {
    if (RuntimeStopRequested() != kMVGoOn) {  // interrupted: no further line runs
      CloseStream(in);
      ScriptMode = 0;
      return false;
    }
    Str line(TextInputStreamReadLine(in, nullptr));
    lineNo++;
    if (!line.empty()) {
      ex = RunLine(self, line.get(), &done);
      if (ex) {
        CloseStream(in);
        ScriptMode = 0;
        PassOn(ex);
        return false;
      }
      if (!done) failedLine = line;
    }
    RuntimeBackgroundTask();
  }
  if (in) CloseStream(in);
  ScriptMode = 0;
  if (RuntimeStopRequested() != kMVGoOn) return false;  // its last line was interrupted
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
  return done;
}

void App_RunScript(MVObject* self) { RunScriptCommand(self); }
