#include "runtime/core/objects/signals.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#if defined(__i386__)
#include <asm/ldt.h>
#include <sys/syscall.h>
#endif

#include "runtime/core/objects/shutdown.h"

namespace {

volatile sig_atomic_t g_interrupt = 0;    // SIGINT arrived and was not reported yet
volatile sig_atomic_t g_termination = 0;  // SIGTERM, SIGQUIT or SIGHUP
volatile sig_atomic_t g_outputGone = 0;   // a write to standard output found no reader
MVEndWork g_endWork = nullptr;             // the upper layers' part of the end
bool g_reraise = false;                    // the end raises the signal again

// Sets the descriptor of the running thread's thread-local storage to what the thread
// runs on now, just before its handler returns. A user-mode emulator that keeps one
// descriptor table for every thread of the process reloads the descriptor when a handler
// returns and would give the thread the storage of the thread started last: its errno,
// its allocator cache and the threading library's idea of who it is (a join of that
// thread then fails as a join of itself, and what the thread uses is freed while it
// runs). On a kernel the call sets what is already there.
__attribute__((no_sanitize_address)) void KeepThreadStorage() {
#if defined(__i386__)
  uint16_t selector;
  __asm__ volatile("movw %%gs, %0" : "=r"(selector));
  if ((selector & 4) != 0 || selector >> 3 == 0) return;  // no storage in the table
  uintptr_t base;  // the storage begins with its own address
  __asm__ volatile("movl %%gs:0, %0" : "=r"(base));
  struct user_desc d = {};
  d.entry_number = selector >> 3;
  d.base_addr = static_cast<unsigned>(base);
  d.limit = 0xfffff;
  d.seg_32bit = 1;
  d.limit_in_pages = 1;
  d.useable = 1;
  int saved = errno;
  syscall(SYS_set_thread_area, &d);
  errno = saved;
#endif
}

// SIGPIPE and SIGXFSZ are caught rather than ignored so that children started by the
// shell get the default action back; for this process the failed write itself (EPIPE,
// EFBIG) is what counts, and it is handled where it happens.
void Record(int sig) {
  if (sig == SIGINT)
    g_interrupt = 1;
  else if (sig != SIGPIPE && sig != SIGXFSZ)
    g_termination = sig;
  KeepThreadStorage();
}

}  // namespace

extern "C" int32_t RuntimeStopRequested(void) {
  if (g_termination || g_outputGone) return kMVEnd;
  return g_interrupt ? kMVInterrupt : kMVGoOn;
}

extern "C" void RuntimeInterruptHandled(void) { g_interrupt = 0; }

extern "C" void MVInstallSignalHandlers(void) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = Record;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigset_t handled;
  sigemptyset(&handled);
  MVAddHandledSignals(&handled);
  for (int sig = 1; sig < NSIG; sig++)
    if (sigismember(&handled, sig) == 1) sigaction(sig, &action, nullptr);
}

extern "C" void MVAddHandledSignals(sigset_t* set) {
  const int signals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGPIPE, SIGXFSZ};
  for (int sig : signals) sigaddset(set, sig);
}

extern "C" bool MVWaitForInput(int fd) {
  sigset_t acted, outside;
  sigemptyset(&acted);
  const int signals[] = {SIGINT, SIGTERM, SIGQUIT, SIGHUP};
  for (int sig : signals) sigaddset(&acted, sig);
  sigprocmask(SIG_BLOCK, &acted, &outside);
  bool ready = false;
  while (RuntimeStopRequested() == kMVGoOn) {
    struct pollfd p = {fd, POLLIN, 0};
    int r = ppoll(&p, 1, nullptr, &outside);  // the signals get through only here
    if (r > 0 || (r < 0 && errno != EINTR)) {
      ready = true;  // input, its end, or an error the read will report
      break;
    }
  }
  sigprocmask(SIG_SETMASK, &outside, nullptr);
  return ready;
}

extern "C" int MVTerminationSignal(void) { return g_termination; }

extern "C" void MVNoteOutputGone(void) { g_outputGone = 1; }

extern "C" int MVOutputGone(void) { return g_outputGone; }

extern "C" void MVSetEndWork(MVEndWork work) { g_endWork = work; }

extern "C" void MVReraiseOnEnd(void) { g_reraise = true; }

extern "C" void MVEndOnSignal(void) {
  int sig = !g_reraise          ? 0
            : g_termination     ? static_cast<int>(g_termination)
            : g_outputGone      ? SIGPIPE
            : g_interrupt       ? SIGINT
                                : 0;
  if (g_endWork) g_endWork();
  MVRunShutdownList();
  fflush(stdout);
  if (sig) {
    signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(sig);
    _exit(128 + sig);  // not reached: the default action of each of them ends the process
  }
  _exit(0);
}
