// The console: Run's start-up and prompt loop, reading a command line, splitting it into
// parameters, and the dispatch of each line to a command method or to the shell.
#include "app/App.h"

#include "app/args.h"
#include "app/commands.h"
#include "app/keyfiles.h"
#include "app/run.h"
#include "app/util.h"

bool EndsProgram(MVObject* ex) {
  if (!ex) return false;
  RuntimeUnhandledException(ex);
  RuntimeUnlockObject(ex);  // the reference the caller handed over
  return true;
}

// Only the presence of "sys.dat" counts; its contents are read elsewhere.
void PrintSystemPresence() {
  Obj item(GetFolderItem(keyfile::SystemFile()));
  if (item.get() && fileExistsGetter(item.get())) {
    // Something other than a regular file (a FIFO) is never opened: it could block.
    Obj in(FolderItemIsRegularFile(item.get()) ? FolderItemOpenTextFile(item.get()) : nullptr);
    if (in.get()) TextInputStreamClose(in.get());
    PRINT("System is ready.");
  } else {
    PRINT("System is not installed.  Issue createsys or ressys.");
  }
}

namespace {

void PrintBanner() {
  PRINT(" ");
  PRINT("=====================================");
  PRINT("==");
  PRINT("==   Ombrix Encryption for Linux   ");
  PRINT("==      Command Line Interface    ");
  PRINT("==           Version 1.5.0");
  PRINT("==  ");
  PRINT("=====================================");
  PRINT("enter help for general topics");
  PRINT("enter help f for formats reference");
  PRINT("enter end or quit or exit to terminate");
  PRINT(" ");
}

void PrintTermination() {
  PRINT("=== Ombrix Encryption for Linux CLI v1.5.0 Terminated ===");
  PRINT(" ");
}

void BuildCharTable() {
  for (int32_t code = 0; code <= 255; code++) {
    Str c(StringDBCSChr(code));
    MVString* longer = RuntimeAddString(CharTable, c.get());
    RuntimeUnlockString(CharTable);
    CharTable = longer;
    RuntimeBackgroundTask();
  }
}

bool IsTermination(MVString* line) {
  return Same(line, MV_LIT("end")) || Same(line, MV_LIT("exit")) || Same(line, MV_LIT("quit"));
}

// Runs the line through the shell and prints everything it wrote as one text.
void PassToShell(MVObject* shell) {
  ShellExecute(shell, CommandLine);
  Str result(ShellResult(shell));
  Print(result);
}

}  // namespace

// The main loop. It leaves only through MV_ApplicationQuit, whose end-of-program
// exception redirects this function's own return; so every quit is followed at once by
// a return. A command that lets a runtime exception escape ends the program the same way.
int32_t App_Run(MVObject* self, MVArray* args) {
  if (InArgumentForm()) {  // one command from the program's arguments, no prompt
    BuildCharTable();
    RunArguments(self, args);
    MV_ApplicationQuit(0);
    return 0;
  }
  MVObject* shell = NewShell();
  BuildCharTable();
  bool failed = CallFailed(App_SystemData, self, 0);
  if (!failed) {
    PrintBanner();
    PrintSystemPresence();
  }

  while (!failed) {
    failed = CallFailed(App_GetCmd, self);
    if (failed) break;
    MVString* line = CommandLine;
    if (!line) {
      if (RuntimeConsoleInputAtEnd()) {
        PrintTermination();
        break;
      }
      RuntimeBackgroundTask();
      continue;
    }
    if (IsTermination(line)) {
      PrintTermination();
      break;
    }

    int32_t command = CommandOf(line);
    failed = command != kNoCommand ? RunAtPrompt(self, command) : CallFailed(PassToShell, shell);
    // Ctrl-C stopped the command (a termination signal or a lost output is acted on by
    // the next read of a line).
    if (!failed && RuntimeStopRequested() == kMVInterrupt) {
      PRINT("The command was interrupted.");
      RuntimeInterruptHandled();
    }
    RuntimeBackgroundTask();
  }

  RuntimeUnlockObject(shell);  // before the quit, which redirects this function's return
  MV_ApplicationQuit(0);
  return 0;
}

void App_GetCmd(MVObject*) {
  // A program that is ending reads no more lines (the runtime's input ends it).
  if (RuntimeStopRequested() != kMVEnd) PRINT("[Ombrix] ");
  MVString* line = RuntimeConsoleInput();
  RuntimeUnlockString(CommandLine);
  CommandLine = line;
}

// Blanks separate the parameters, one blank each: the k-th blank from the first one on
// opens Params(k). Parameters past the fifth have no slot; their characters are dropped
// while the blanks are still counted.
//
// One pass over the line's bytes, whatever its length: characters are the runtime's
// units (two bytes for UTF-16, one byte otherwise; in UTF-8 the byte 32 is never part of
// another character), and each parameter is copied out once.
void App_GetParameters(MVObject*) {
  if (TakePresetParameters()) return;
  ParamIndex = 0;
  for (int32_t i = 1; i <= 5; i++) SetParam(i, nullptr);
  MVString* line = CommandLine;
  const uint8_t* p = MVStringBytes(line);
  const uint32_t unit = line && line->encoding == kEncodingUTF16 ? 2 : 1;
  const uint32_t units = MVStringLength(line) / unit;
  auto blankAt = [&](uint32_t u) {
    return unit == 1 ? p[u] == ' ' : (p[2 * u] | (p[2 * u + 1] << 8)) == ' ';
  };

  uint32_t first = 0;
  while (first < units && !blankAt(first)) first++;
  if (first == units) return;

  uint32_t start = 0;
  bool inRun = false;  // a run of non-blanks is open at `start`
  for (uint32_t u = first; u <= units; u++) {
    bool blank = u == units || blankAt(u);  // the end of the line closes the last run
    if (!blank && !inRun) {
      start = u;
      inRun = true;
    }
    if (blank && inRun) {
      if (ParamIndex <= 5) {
        Str text(StringMid3(line, static_cast<int32_t>(start * unit + 1),
                            static_cast<int32_t>((u - start) * unit)));
        SetParam(ParamIndex, text.get());
      }
      inRun = false;
    }
    if (blank && u < units) ParamIndex++;
    if ((u & 0xFFF) == 0) RuntimeBackgroundTask();
  }
  ResolveParameterNames();
}
