// The App class: application-wide state and the methods of the console application.
// Methods take the App object as their receiver, as registered in App's method table.
#pragma once
#include "app/rt.h"

// --- Application-wide state (created by the image entry before Run starts).
extern MVString* CommandLine;   // the current command line, exactly as read
extern MVArray* Params;         // strings, indices 0..5; Params(1..5) the parameters
extern int32_t ParamIndex;      // blanks counted by the last GetParameters
extern MVString* CharTable;     // the 256 byte values 0..255 in ascending order
extern int32_t Comp1Count, Comp2Count, Comp3Count;  // entries of the installed components
extern int32_t ScriptMode;      // 1 while a script runs

// --- App methods (their order in the method table: app/commands.h).
int32_t App_Run(MVObject* self, MVArray* args);
void App_ShowHelp(MVObject* self);
void App_CreateSys(MVObject* self);
void App_KillSys(MVObject* self, int32_t mode);
void App_RestoreSys(MVObject* self);
void App_Encrypt(MVObject* self);
void App_Decrypt(MVObject* self);
void App_TransferSys(MVObject* self);
void App_GetCmd(MVObject* self);
void App_GetParameters(MVObject* self);
void App_RunScript(MVObject* self);
void App_TransKill(MVObject* self);
void App_SystemData(MVObject* self, int32_t mode);
int32_t App_VerifyScript(MVObject* self);
void App_GetSystemData(MVObject* self, MVString* prefix);

// The commands with their outcome, for the script runner and the argument form: true
// when the command did its work, false when it refused or failed (having printed why,
// unless script mode keeps that message silent). The App methods above run them and drop
// the outcome.
bool ShowHelpCommand(MVObject* self);
bool SystemDataCommand(MVObject* self, int32_t mode);
bool CreateSysCommand(MVObject* self);
bool KillSysCommand(MVObject* self, int32_t mode);
bool RestoreSysCommand(MVObject* self);
bool TransferSysCommand(MVObject* self);
bool TransKillCommand(MVObject* self);
bool EncryptCommand(MVObject* self);
bool DecryptCommand(MVObject* self);
bool RunScriptCommand(MVObject* self);
// Whether `letter` (one character, letter case ignored) selects a topic of ShowHelp.
bool IsHelpTopic(MVString* letter);

// The Shell class of the plug-in, as the image reaches it (app/shell.cpp).
MVObject* NewShell();                               // one owned reference
void ShellExecute(MVObject* shell, MVString* command);
MVString* ShellResult(MVObject* shell);             // owned reference
