// The App class's methods and the console's command words: the one table that the class
// registration (app/entry.cpp), the prompt loop (app/App.cpp) and the script runner and
// verifier (app/script.cpp) read.
//
// Both lists are macros that each reader expands into code of its own: the code image
// cannot hold a table of pointers in its data block (only pointers in code are
// relocated when it is loaded).
//
// Adding a console command: declare its method in app/App.h and write it; add a METHOD
// row (its place in the method table) and a COMMAND row below; give it a help topic in
// app/help.cpp. A command that scripts may run also has a routine with its outcome
// (declared in app/App.h) and a check of the script verifier in app/script.cpp. A shape
// of arguments that two of them read (the command and its check) is read in one place,
// app/command_args.h.
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
//   COMMAND(word, n, method, argument, routine, script argument, check)
//
// word, n    a line whose first n characters equal `word` (letter case ignored) is this
//            command; n is the word's length. No word begins with another, so at most one
//            row matches a line.
// method     the App method the prompt calls: method(self), or method(self, argument)
//            when `argument` is a number rather than kNoArgument.
// routine    what a script line of this word runs: the command with its outcome (true
//            when it did its work), called as routine(self) or routine(self, script
//            argument). kPromptOnly: scripts hand such a line to the shell.
// check      the script verifier's check of such a line (app/script.cpp), or kPromptOnly.
#define APP_COMMANDS(COMMAND)                                                                               \
  COMMAND("help",      4, App_ShowHelp,    kNoArgument, kPromptOnly,        kNoArgument, kPromptOnly)       \
  COMMAND("createsys", 9, App_CreateSys,   kNoArgument, CreateSysCommand,   kNoArgument, VerifyCreateSys)   \
  COMMAND("ressys",    6, App_RestoreSys,  kNoArgument, RestoreSysCommand,  kNoArgument, VerifyRestoreSys)  \
  COMMAND("killsys",   7, App_KillSys,     1,           KillSysCommand,     0,           VerifyKillSys)     \
  COMMAND("transsys",  8, App_TransferSys, kNoArgument, TransferSysCommand, kNoArgument, VerifyTransferSys) \
  COMMAND("transkill", 9, App_TransKill,   kNoArgument, TransKillCommand,   kNoArgument, VerifyTransKill)   \
  COMMAND("enc",       3, App_Encrypt,     kNoArgument, EncryptCommand,     kNoArgument, VerifyCrypt)       \
  COMMAND("dec",       3, App_Decrypt,     kNoArgument, DecryptCommand,     kNoArgument, VerifyCrypt)       \
  COMMAND("x",         1, App_RunScript,   kNoArgument, kPromptOnly,        kNoArgument, kPromptOnly)       \
  COMMAND("sysdat",    6, App_SystemData,  1,           kPromptOnly,        kNoArgument, kPromptOnly)

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

// --- Dispatch (app/commands.cpp).

// The row (0-based, table order) of the command word `line` starts with, or kNoCommand.
// Every word is tested in table order; a later match would replace an earlier one.
constexpr int32_t kNoCommand = -1;
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
