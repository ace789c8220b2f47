// The argument form: `ombrix [OPTIONS] COMMAND [ARGUMENTS]` runs one command and ends.
// The runtime has read the options (runtime/console/command_form.h); Run's arguments are
// the program, COMMAND and its operands.
#pragma once
#include "app/util.h"

// True when the program was started with a command rather than for the session.
bool InArgumentForm();
// Runs the command of Run's arguments and sets the exit status: 0 it did its work, 1 it
// refused or failed, 2 a usage error. A signal that stopped it ends the program here.
void RunArguments(MVObject* self, MVArray* args);

// --- What the commands ask of the form they run in.

// The command the arguments name is running (not a line of a script it runs).
bool RunningNamedCommand();
// --plain was given: the argument form's enc writes, and its dec reads, the plain format
// instead of the sealed one.
bool PlainRequested();

// GetParameters keeps the parameters the argument form filled in (once): the operands
// are whole arguments, blanks and all.
bool TakePresetParameters();
// In the argument form, the file and folder names among the parameters just split from
// CommandLine (a script's line) are taken in the current folder.
void ResolveParameterNames();
// The file name of Params(i) (1 or 2) as the user gave it, for messages: in the argument
// form the operand, or the script line's word, before it was taken in the current
// folder; otherwise Params(i) itself.
Str TypedName(int32_t i);
// `name` is standard input (output) in this run: "-" as an operand of enc or dec.
bool IsStandardName(MVString* name);
// The item a source or destination name stands for: standard input or output for "-"
// given as an operand, otherwise the named file (owned; may be NULL).
MVFolderItem* SourceItem(MVString* name);
MVFolderItem* DestinationItem(MVString* name);
