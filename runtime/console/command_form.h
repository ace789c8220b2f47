// The argument form of the program: `ombrix [OPTIONS] COMMAND [ARGUMENTS]` runs one
// command and ends with an exit status. This module reads the options, answers -h,
// --help and --version, keeps what the command's run needs (the key folder, verbose,
// the plain format),
// and gives the application its channels: lines held back or passed to standard error,
// error lines on standard error, the exit status, and the end after a signal.
#pragma once
#include <stdint.h>
#include "runtime/core/objects/object.h"

#ifdef __cplusplus
extern "C" {
#endif

// What RuntimeCommandForm answers: bits. kMVCommandPlain: --plain was given.
enum { kMVCommandForm = 1, kMVCommandVerbose = 2, kMVCommandPlain = 4 };
// What RuntimeConsoleCapture takes: where the lines RuntimeConsolePrint gets go.
enum { kMVLinesOut = 0, kMVLinesHeld = 1, kMVLinesToError = 2 };
// What RuntimeConsoleRelease does with the held lines.
enum { kMVDropLines = 0, kMVLinesToOutput = 1, kMVOneErrorLine = 2, kMVErrorLines = 3 };

// --- Exported entry points.
// 0 for the session; kMVCommandForm (and kMVCommandVerbose, kMVCommandPlain) when a
// command was given.
int32_t RuntimeCommandForm(void);
// The key-system folder given with --keys, else OMBRIX_KEYS; nil when neither (owned).
MVString* RuntimeKeyFolderOption(void);
void RuntimeConsoleCapture(int32_t mode);
// Lines equal to `line` are a progress line: never held (so never part of an error).
void RuntimeConsoleLeaveOut(MVString* line);
// Releases the held lines (blank lines are left out of error lines) and forgets them.
void RuntimeConsoleRelease(int32_t how);
// "ombrix: " + text on standard error.
void RuntimeErrorLine(MVString* text);
// "ombrix: " + text and the usage synopsis on standard error; exit status 2.
void RuntimeUsageError(MVString* text);
void RuntimeSetExitStatus(int32_t status);
// The system's text for an error number (owned).
MVString* RuntimeSystemReason(int32_t error);
// True when the descriptor is a terminal.
bool RuntimeIsTerminal(int32_t fd);
// When a signal asked the program to stop (or its output is gone), ends it now: the
// clean-up of a signal's end, then the signal raised again with its default action.
// Returns when nothing asked.
void RuntimeEndOnSignal(void);

// --- Runtime-internal.
#ifndef MV_EXPORTS_ONLY
// Reads the options before COMMAND. Returns -1 when the program goes on (argv then holds
// the program, COMMAND and its operands; *argc their count), or the exit status after
// answering -h, --help, --version (with `version`, a line) or a usage error.
int MVReadCommandOptions(int* argc, char** argv, const char* version);
// The exit status the argument form ended with (0 for the session).
int MVCommandExitStatus(void);
// A line printed by RuntimeConsolePrint (without its line end): true when this module
// took it.
bool MVConsoleTakesLine(const uint8_t* bytes, uint32_t n);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
