// The App class's methods and the console's command words: the one table that the class
// registration (app/entry.cpp), the prompt loop (app/App.cpp), the script runner and
// verifier (app/script.cpp) and the argument form (app/args.cpp) read.
//
// Both lists are macros that each reader expands into code of its own: the code image
// cannot hold a table of pointers in its data block (only pointers in code are
// relocated when it is loaded).
//
// Adding a console command: declare its method and its routine in app/App.h and write
// them; add a METHOD row (its place in the method table) and a COMMAND row below; give it
// a help topic in app/help.cpp and a line in the argument form's usage
// (runtime/console/command_form.cpp). A command that scripts may run also has a check of
// the script verifier in app/script.cpp. A shape of arguments that two of them read (the
// command and its check) is read in one place, app/command_args.h.
#pragma once
#include "app/App.h"

// --- The App methods, in method-table order after ConsoleApplication's own.
//
//   METHOD(function, signature)
#define APP_METHODS(METHOD)                                  \
  METHOD(App_Run, "#Run%i4%o<App>A1s")                       \
  METHOD(App_ShowHelp, "ShowHelp%%o<App>")                   \
  METHOD(App_CreateSys, "CreateSys%%o<App>")                 \
  METHOD(App_KillSys, "KillSys%%o<App>i4")                   \
  METHOD(App_RestoreSys, "RestoreSys%%o<App>")               \
  METHOD(App_Encrypt, "Encrypt%%o<App>")                     \
  METHOD(App_Decrypt, "Decrypt%%o<App>")                     \
  METHOD(App_TransferSys, "TransferSys%%o<App>")             \
  METHOD(App_GetCmd, "GetCmd%%o<App>")                       \
  METHOD(App_GetParameters, "GetParameters%%o<App>")         \
  METHOD(App_RunScript, "RunScript%%o<App>")                 \
  METHOD(App_TransKill, "TransKill%%o<App>")                 \
  METHOD(App_SystemData, "SystemData%%o<App>i4")             \
  METHOD(App_VerifyScript, "VerifyScript%i4%o<App>")         \
  METHOD(App_GetSystemData, "GetSystemData%%o<App>s")

// --- The command words, in the order the prompt tests them.
//
//   COMMAND(word, n, method, argument, routine, script argument, check, operands, names)
//
// word, n    a line whose first n characters equal `word` (letter case ignored) is this
//            command; n is the word's length. No word begins with another, so at most one
//            row matches a line. The argument form takes the whole word only.
// method     the App method the prompt calls: method(self), or method(self, argument)
//            when `argument` is a number rather than kNoArgument.
// routine    the command with its outcome (true when it did its work): the argument form
//            calls routine(self) or routine(self, argument), a script line
//            routine(self) or routine(self, script argument).
// check      the script verifier's check of such a line (app/script.cpp). kPromptOnly:
//            scripts hand such a line to the shell.
// operands   the argument form's operands, as its usage names them: words, the optional
//            ones in brackets and last.
// names      how many of the leading operands name files or folders (the argument form
//            takes them in the current folder).
#define APP_COMMANDS(COMMAND)                                                                               \
  COMMAND("help",      4, App_ShowHelp,    kNoArgument, ShowHelpCommand,    kNoArgument, kPromptOnly,       \
          "[TOPIC]", 0)                                                                                     \
  COMMAND("createsys", 9, App_CreateSys,   kNoArgument, CreateSysCommand,   kNoArgument, VerifyCreateSys,   \
          "N1 N2 N3 LEVEL", 0)                                                                              \
  COMMAND("ressys",    6, App_RestoreSys,  kNoArgument, RestoreSysCommand,  kNoArgument, VerifyRestoreSys,  \
          "DIR", 1)                                                                                         \
  COMMAND("killsys",   7, App_KillSys,     1,           KillSysCommand,     0,           VerifyKillSys,     \
          "", 0)                                                                                            \
  COMMAND("transsys",  8, App_TransferSys, kNoArgument, TransferSysCommand, kNoArgument, VerifyTransferSys, \
          "DIR", 1)                                                                                         \
  COMMAND("transkill", 9, App_TransKill,   kNoArgument, TransKillCommand,   kNoArgument, VerifyTransKill,   \
          "DIR", 1)                                                                                         \
  COMMAND("enc",       3, App_Encrypt,     kNoArgument, EncryptCommand,     kNoArgument, VerifyCrypt,       \
          "SOURCE DESTINATION E1 E2 E3", 2)                                                                 \
  COMMAND("dec",       3, App_Decrypt,     kNoArgument, DecryptCommand,     kNoArgument, VerifyCrypt,       \
          "SOURCE DESTINATION E1 E2 E3", 2)                                                                 \
  COMMAND("x",         1, App_RunScript,   kNoArgument, RunScriptCommand,   kNoArgument, kPromptOnly,       \
          "SCRIPT", 1)                                                                                      \
  COMMAND("sysdat",    6, App_SystemData,  1,           SystemDataCommand,  kNoArgument, kPromptOnly,       \
          "", 0)

// The markers of the table's columns.
struct NoArgument {};
constexpr NoArgument kNoArgument{};
struct PromptOnly {};
constexpr PromptOnly kPromptOnly{};

constexpr bool IsPromptOnly(PromptOnly) { return true; }
template <typename T>
constexpr bool IsPromptOnly(T) { return false; }

// The size of App's method table: ConsoleApplication's entries, then one per METHOD row.
#define APP_COUNT_ONE(...) +1
constexpr uint32_t kAppMethodCount = MV_CONSOLE_APP_METHODS APP_METHODS(APP_COUNT_ONE);
#undef APP_COUNT_ONE

// --- The table at compile time.
namespace command_table {

constexpr int32_t LengthOf(const char* s) {
  int32_t n = 0;
  while (s[n]) n++;
  return n;
}

constexpr char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

constexpr bool SameWord(const char* a, const char* b) {
  while (*a && Lower(*a) == Lower(*b)) {
    a++;
    b++;
  }
  return *a == *b;
}

}  // namespace command_table

// The row (0-based, table order) whose word is `word`; kNoCommand when none is. A reader
// that treats a command of its own way names it by its word, checked here when compiled:
// `constexpr int32_t kEncRow = RowOf("enc");`
constexpr int32_t kNoCommand = -1;
constexpr int32_t RowOf(const char* word) {
  int32_t row = 0;
#define APP_ROW_OF(text, ...)                                      \
  if (command_table::SameWord(text, word)) return row; \
  row++;
  APP_COMMANDS(APP_ROW_OF)
#undef APP_ROW_OF
  return kNoCommand;
}

// --- Dispatch (app/commands.cpp).

// The row (0-based, table order) of the command word `line` starts with, or kNoCommand.
// Every word is tested in table order; a later match would replace an earlier one.
int32_t CommandOf(MVString* line);
// Whether scripts run the row's command (their other lines go to the shell).
bool RunsInScripts(int32_t row);
// Runs the row's command as the prompt does, protected. True when an exception escaped
// it: it has been reported as unhandled, and the caller must wind down at once.
bool RunAtPrompt(MVObject* self, int32_t row);
// Runs the row's command as a script line does, protected, with the script argument.
// Returns an exception that escaped it (one owned reference) or NULL; *done is true when
// the command did its work. A row that scripts do not run does nothing and is not done.
MVObject* RunInScript(MVObject* self, int32_t row, bool* done);

// --- The argument form (app/commands.cpp).

// The row whose word `word` is as a whole (letter case ignored), or kNoCommand.
int32_t CommandNamed(MVString* word);
// The row's operands as its usage names them (nil when it takes none).
MVString* OperandsOf(int32_t row);
// n operands fit the row: all its required ones, and no more than it takes.
bool OperandCountFits(int32_t row, int32_t n);
// How many of the row's leading operands name files or folders.
int32_t NamesOf(int32_t row);
// Runs the row's command as the argument form does, protected, with the prompt's
// argument; as RunInScript otherwise.
MVObject* RunInArgumentForm(MVObject* self, int32_t row, bool* done);
