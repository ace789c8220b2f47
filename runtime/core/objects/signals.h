// Signals. The handlers only record what arrived; the program acts on it in its normal
// flow: console input ends the program or discards the line being typed, and the long
// loops of commands (and the shell plug-in's waits) ask whether to stop between blocks.
#pragma once
#include <stdint.h>
#ifndef MV_EXPORTS_ONLY
#include <signal.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

// What RuntimeStopRequested answers.
enum {
  kMVGoOn = 0,       // nothing arrived
  kMVInterrupt = 1,  // Ctrl-C: stop the running command and return to the prompt
  kMVEnd = 2         // a termination signal, or standard output is gone: stop and end
};

// --- Exported entry points.
int32_t RuntimeStopRequested(void);
// The running command has reported its interruption: forget the Ctrl-C.
void RuntimeInterruptHandled(void);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// Handlers for SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE and SIGXFSZ (empty mask, no
// flags, so a blocking read or wait returns EINTR and its caller can look at what
// arrived; a write to a closed pipe or past the file size limit fails instead of ending
// the process).
void MVInstallSignalHandlers(void);
// Adds those six signals to *set: threads of the runtime's own block them, so that they
// always reach the program's thread.
void MVAddHandledSignals(sigset_t* set);
// Waits until fd has input (or its end, or an error) and returns true, or returns false
// as soon as something RuntimeStopRequested reports has arrived. A signal that arrives
// just before the wait still ends it: the signals are blocked outside the wait itself.
bool MVWaitForInput(int fd);
// The termination signal that arrived (SIGTERM, SIGQUIT or SIGHUP), or 0.
int MVTerminationSignal(void);
// Standard output can no longer be written (a closed pipe, a hung-up terminal).
void MVNoteOutputGone(void);
int MVOutputGone(void);
// Ends the process after a termination signal, from the normal flow: the end work that
// start-up installed (the progress line erased, half-written outputs removed, the
// application object released), then the shutdown list run (which removes extracted
// plug-ins), exit status 0.
__attribute__((noreturn)) void MVEndOnSignal(void);
// The layers above this one do their part of that end through this routine; none by
// default.
typedef void (*MVEndWork)(void);
// From now on the end after a signal raises that signal again with its default action
// (the caller sees how the program ended); a lost output counts as SIGPIPE, a Ctrl-C
// that stopped the command as SIGINT. Without it the end has exit status 0.
void MVReraiseOnEnd(void);
void MVSetEndWork(MVEndWork work);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
