#include "plugins/shell/shell.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "plugins/shell/services.h"

namespace shellplugin {
namespace {

const char kNoShell[] = "No shell available";
const char kTooLong[] = "The command line is too long to be handed to the shell.";
// The longest single argument the system passes to a new program, its NUL included.
const size_t kLongestArgument = 32 * 4096;
const uint32_t kChunk = 512;

ShellData* Data(void* self) {
  return reinterpret_cast<ShellData*>(static_cast<uint8_t*>(self) + g_shellClass.dataOffset);
}

// The encoding the runtime uses for the font name "System", asked once.
uint32_t SystemEncoding() {
  static bool known = false;
  static uint32_t encoding = 0;
  if (!known) {
    encoding = GetFontEncoding("System");
    known = true;
  }
  return encoding;
}

// --- The process-wide list of running shells (no references held on the objects).
void** g_running = nullptr;
uint32_t g_runningCount = 0;
uint32_t g_runningCapacity = 0;

bool IsListed(void* self) {
  for (uint32_t i = 0; i < g_runningCount; i++)
    if (g_running[i] == self) return true;
  return false;
}

void AddRunning(void* self) {
  if (g_runningCount == g_runningCapacity) {
    uint32_t grow = g_runningCapacity > 16 ? g_runningCapacity : 16;
    uint32_t capacity = g_runningCapacity == 0 ? 16 : g_runningCapacity + grow;
    void** items = static_cast<void**>(realloc(g_running, capacity * sizeof(void*)));
    if (!items) return;  // not listed: Poll ignores it, Close still closes it
    g_running = items;
    g_runningCapacity = capacity;
  }
  g_running[g_runningCount++] = self;
}

bool RemoveRunning(void* self) {
  for (uint32_t i = 0; i < g_runningCount; i++) {
    if (g_running[i] != self) continue;
    memmove(g_running + i, g_running + i + 1, (g_runningCount - i - 1) * sizeof(void*));
    g_runningCount--;
    if (g_runningCapacity - g_runningCount > 2 * g_runningCount) {
      uint32_t capacity = g_runningCount / 16 * 16 + 16;
      void** items = static_cast<void**>(realloc(g_running, capacity * sizeof(void*)));
      if (items) {
        g_running = items;
        g_runningCapacity = capacity;
      }
    }
    return true;
  }
  return false;
}

__attribute__((destructor)) void FreeRunningList() {
  free(g_running);
  g_running = nullptr;
  g_runningCount = g_runningCapacity = 0;
}

// --- Children.

// Close every descriptor from 3 up to the highest one the system allows; `limit` is
// computed by the parent (a vfork child should do as little as possible).
void CloseFrom3(long limit) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, 3u, ~0u, 0u) == 0) return;
#endif
  for (long fd = 3; fd < limit; fd++) close(static_cast<int>(fd));
}

__attribute__((noinline)) long OpenMax() {
  long n = sysconf(_SC_OPEN_MAX);
  return n > 0 ? n : 1024;
}

// A line too long for an argument list goes to bash as a script file instead: an
// anonymous in-memory file holding the line, read by bash as "/dev/fd/3". Returns its
// descriptor, -1 when the line fits an argument, or -2 when no such file can be made.
int ScriptFileFor(const char* line) {
  size_t n = strlen(line);
  if (n < kLongestArgument) return -1;
  int fd = static_cast<int>(syscall(SYS_memfd_create, "ombrix-shell-line", 1u /* CLOEXEC */));
  if (fd < 0) return -2;
  for (size_t done = 0; done < n;) {
    ssize_t w = write(fd, line + done, n - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      close(fd);
      return -2;
    }
    done += static_cast<size_t>(w);
  }
  return fd;
}

// In a child: close every descriptor from 3 up, but keep the script file (if any) as
// descriptor 3; then run the command line with bash. Never returns.
[[noreturn]] void RunBash(const char* line, int scriptFd, long limit) {
  if (scriptFd < 0) {
    CloseFrom3(limit);
    execl("/bin/bash", "bash", "-c", line, static_cast<char*>(nullptr));
    _exit(255);
  }
  if (scriptFd != 3) {
    if (dup2(scriptFd, 3) != 3) _exit(255);
  } else {
    fcntl(3, F_SETFD, 0);
  }
  for (long fd = 4; fd < limit; fd++) close(static_cast<int>(fd));
  execl("/bin/bash", "bash", "/dev/fd/3", static_cast<char*>(nullptr));
  _exit(255);
}

// Children whose status was not there yet when their command was closed. They are
// collected later, so that finished commands do not stay behind as zombies.
pid_t* g_unreaped = nullptr;
uint32_t g_unreapedCount = 0;
uint32_t g_unreapedCapacity = 0;

void RememberUnreaped(pid_t pid) {
  if (g_unreapedCount == g_unreapedCapacity) {
    uint32_t capacity = g_unreapedCapacity ? g_unreapedCapacity * 2 : 16;
    pid_t* items = static_cast<pid_t*>(realloc(g_unreaped, capacity * sizeof(pid_t)));
    if (!items) return;
    g_unreaped = items;
    g_unreapedCapacity = capacity;
  }
  g_unreaped[g_unreapedCount++] = pid;
}

void ReapFinished() {
  for (uint32_t i = 0; i < g_unreapedCount;) {
    int status;
    if (waitpid(g_unreaped[i], &status, WNOHANG) == 0) {
      i++;
      continue;
    }
    g_unreaped[i] = g_unreaped[--g_unreapedCount];  // ended, or no longer ours
  }
}

__attribute__((destructor)) void FreeUnreaped() {
  free(g_unreaped);
  g_unreaped = nullptr;
  g_unreapedCount = g_unreapedCapacity = 0;
}

// Exit code from a no-hang status collection (0 when the child has not ended yet), or
// the system error number. The output of a synchronous child closes as it exits, so the
// status is normally there at once; a child that is still finishing gets a brief grace
// period so that its exit code is not lost.
int32_t CollectStatus(pid_t pid, int graceMilliseconds) {
  int status = 0;
  for (int waited = 0;; waited++) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (r != 0) break;
    if (waited >= graceMilliseconds) {
      RememberUnreaped(pid);
      return 0;
    }
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
  }
  return (status >> 8) & 0xFF;
}

// A command the user interrupted: asked to end, then made to after a grace period, and
// collected. Returns its exit code as CollectStatus does.
int32_t EndChild(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  for (int waited = 0; waited < 250; waited++) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return (status >> 8) & 0xFF;
    if (r < 0 && errno != EINTR) return errno;
    struct timespec ms = {0, 1000000};
    nanosleep(&ms, nullptr);
  }
  kill(pid, SIGKILL);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return (status >> 8) & 0xFF;
}

// The vfork child: output and errors to the pipe, then bash. It runs in a frame of its
// own so that it leaves the parent's variables alone.
[[noreturn]] __attribute__((noinline)) void PipedChild(int readEnd, int writeEnd, long limit,
                                                        const char* line, int scriptFd) {
  close(readEnd);
  dup2(writeEnd, 1);
  dup2(1, 2);
  if (writeEnd != 1 && writeEnd != 2) close(writeEnd);
  RunBash(line, scriptFd, limit);
}

// Pipe + vfork child with its standard output and standard error on the pipe. Returns
// the child's id (or -1, with both ends closed; -2 when there is no pipe, -3 when the
// line cannot be handed over) and the reading end in *readEnd.
pid_t StartPiped(const char* line, int* readEnd) {
  int script = ScriptFileFor(line);
  if (script == -2) return -3;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    if (script >= 0) close(script);
    return -2;
  }
  long limit = OpenMax();
  pid_t pid = vfork();
  if (pid == 0) PipedChild(fds[0], fds[1], limit, line, script);
  if (script >= 0) close(script);
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    return -1;
  }
  *readEnd = fds[0];
  return pid;
}

int32_t RunSynchronous(ShellData* d, const char* line) {
  int fd = -1;
  pid_t pid = StartPiped(line, &fd);
  if (pid == -2 || pid == -3) {
    d->result = pid == -2 ? BuildString(kNoShell, sizeof kNoShell - 1, kEncodingASCII)
                          : BuildString(kTooLong, sizeof kTooLong - 1, kEncodingASCII);
    d->isRunning = 0;
    return -1;
  }
  if (pid < 0) {
    d->isRunning = 0;
    return -1;
  }
  uint8_t* bytes = nullptr;
  uint32_t length = 0, capacity = 0;
  uint8_t chunk[kChunk];
  bool stopped = false;
  for (;;) {
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) {
      if (RtStopRequested() == 0) continue;
      stopped = true;  // the user interrupted the command, or the program is ending
      break;
    }
    if (n <= 0) break;
    if (length + n > capacity) {
      uint32_t grown = capacity ? capacity * 2 : 4096;
      while (grown < length + n) grown *= 2;
      uint8_t* more = static_cast<uint8_t*>(realloc(bytes, grown));
      if (!more) break;
      bytes = more;
      capacity = grown;
    }
    memcpy(bytes + length, chunk, n);
    length += n;
  }
  close(fd);
  int32_t outcome = stopped ? EndChild(pid) : CollectStatus(pid, 250);
  d->result = BuildString(bytes, static_cast<int32_t>(length), SystemEncoding());
  free(bytes);
  d->isRunning = 0;
  return outcome;
}

int32_t RunAsynchronous(void* self, ShellData* d, const char* line) {
  int fd = -1;
  pid_t pid = StartPiped(line, &fd);
  if (pid == -2 || pid == -3) {
    d->result = pid == -2 ? BuildString(kNoShell, sizeof kNoShell - 1, kEncodingASCII)
                          : BuildString(kTooLong, sizeof kTooLong - 1, kEncodingASCII);
    return -1;
  }
  if (pid < 0) return -1;
  d->pid = pid;
  d->outputFd = fd;
  AddRunning(self);
  return 0;
}

int32_t RunInteractive(void* self, ShellData* d, const char* line) {
  long limit = OpenMax();
  int script = ScriptFileFor(line);
  if (script == -2) {
    d->result = BuildString(kTooLong, sizeof kTooLong - 1, kEncodingASCII);
    return -1;
  }
  int master = -1;
  pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) {
    if (script >= 0) close(script);
    return -1;
  }
  if (pid == 0) {
    struct termios t;
    if (tcgetattr(0, &t) == 0) {
      t.c_lflag &= ~(ECHO | ICANON);
      t.c_cc[VMIN] = 1;
      t.c_cc[VTIME] = 0;
      tcsetattr(0, TCSANOW, &t);
    }
    RunBash(line, script, limit);
  }
  if (script >= 0) close(script);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  d->pid = pid;
  d->outputFd = master;
  AddRunning(self);
  return 0;
}

void RaiseEvent(void* self, uint32_t index) {
  if (index >= g_shellClass.eventCount) return;
  MAVOEventHandlerProc handler = RtGetEventInstance(self, g_shellClass.events[index].descriptor);
  if (handler) handler(self);
}

void PollTask(void* argument) { ShellPoll(argument); }

MVString* LineFeed() {
  static MVString* lf = nullptr;
  if (!lf) lf = BuildString("\n", 1, kEncodingASCII);
  return lf;
}

}  // namespace

void ShellConstructor(void* self) {
  ShellData* d = Data(self);
  d->errorCode = 0;
  d->timeOut = 2000;
  d->mode = 0;
  d->isRunning = 0;
  d->outputFd = -1;
  d->buffer = nullptr;
  d->bufferLength = 0;
  d->result = nullptr;
  d->pid = 0;
  d->taskId = RtPluginRegisterBackgroundTask(PollTask, 10, self);
}

void ShellDestructor(void* self) {
  ShellData* d = Data(self);
  RtPluginUnregisterBackgroundTask(d->taskId);
  d->taskId = 0;
  ShellClose(self);
  free(d->buffer);
  d->buffer = nullptr;
  d->bufferLength = 0;
  UnlockString(d->result);
  d->result = nullptr;
}

void ShellExecute(void* self, MVString* command) {
  ShellData* d = Data(self);
  ReapFinished();
  UnlockString(d->result);
  d->result = nullptr;
  ShellClose(self);
  MVString* line = ConvertString(command, SystemEncoding());
  if (!line && command) {  // no converter offered: run the text as it is
    LockString(command);
    line = command;
  }
  UnlockString(d->result);
  d->result = nullptr;
  free(d->buffer);
  d->buffer = nullptr;
  d->bufferLength = 0;
  d->isRunning = 1;
  const char* text = line ? RtStringGetCString(line) : "";
  if (!text) text = line ? reinterpret_cast<const char*>(MVStringBytes(line)) : "";
  int32_t outcome;
  switch (d->mode) {
    case 0: outcome = RunSynchronous(d, text); break;
    case 1: outcome = RunAsynchronous(self, d, text); break;
    case 2: outcome = RunInteractive(self, d, text); break;
    default: outcome = -1; break;
  }
  UnlockString(line);
  d->errorCode = outcome;
}

void ShellExecuteWithParameters(void* self, MVString* command, MVString* parameters) {
  uint32_t commandLength = MVStringLength(command);
  uint32_t parametersLength = MVStringLength(parameters);
  if (parametersLength == 0) {
    ShellExecute(self, command);
    return;
  }
  uint32_t length = commandLength + parametersLength + 1;
  uint8_t* bytes = static_cast<uint8_t*>(malloc(length));
  if (!bytes) return;
  if (commandLength) memcpy(bytes, MVStringBytes(command), commandLength);
  bytes[commandLength] = ' ';
  memcpy(bytes + commandLength + 1, MVStringBytes(parameters), parametersLength);
  uint32_t encoding = command ? command->encoding : parameters->encoding;
  MVString* line = BuildString(bytes, static_cast<int32_t>(length), encoding);
  free(bytes);
  ShellExecute(self, line);
  UnlockString(line);
}

MVString* ShellReadAll(void* self) {
  ShellData* d = Data(self);
  if (d->bufferLength == 0) return nullptr;
  MVString* s = BuildString(d->buffer, static_cast<int32_t>(d->bufferLength), SystemEncoding());
  free(d->buffer);
  d->buffer = nullptr;
  d->bufferLength = 0;
  return s;
}

void ShellWrite(void* self, MVString* s) {
  ShellData* d = Data(self);
  if (d->outputFd == -1) return;
  const uint8_t* p = MVStringBytes(s);
  uint32_t left = MVStringLength(s);
  while (left > 0) {
    ssize_t n = write(d->outputFd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    p += n;
    left -= static_cast<uint32_t>(n);
  }
}

void ShellWriteLine(void* self, MVString* s) {
  ShellWrite(self, s);
  ShellWrite(self, LineFeed());
}

void ShellClose(void* self) {
  ShellData* d = Data(self);
  if (RemoveRunning(self) && g_runningCount == 0) {
    struct itimerval off;
    memset(&off, 0, sizeof off);
    setitimer(ITIMER_REAL, &off, nullptr);
  }
  if (d->outputFd != -1) {
    close(d->outputFd);
    d->errorCode = d->pid > 0 ? CollectStatus(d->pid, 0) : 0;
  }
  d->outputFd = -1;
  d->pid = 0;
  d->isRunning = 0;
}

void ShellPoll(void* self) {
  if (!IsListed(self)) return;
  ShellData* d = Data(self);
  struct pollfd p = {d->outputFd, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0 || p.revents == 0) return;
  uint8_t chunk[kChunk];
  ssize_t n;
  do {
    n = read(d->outputFd, chunk, sizeof chunk);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    ShellClose(self);
    RaiseEvent(self, 1);  // Completed()
    return;
  }
  uint8_t* grown = static_cast<uint8_t*>(realloc(d->buffer, d->bufferLength + n));
  if (!grown) return;
  memcpy(grown + d->bufferLength, chunk, n);
  d->buffer = grown;
  d->bufferLength += static_cast<uint32_t>(n);
  RaiseEvent(self, 0);  // DataAvailable()
}

MVString* ShellResultGetter(void* self, int32_t) {
  ShellData* d = Data(self);
  LockString(d->result);
  return d->result;
}

void ShellModeSetter(void* self, int32_t, int32_t value) {
  ShellData* d = Data(self);
  if (d->isRunning || value < 0 || value > 2) return;
  d->mode = value;
}

uint32_t RunningShellCount() { return g_runningCount; }
uint32_t RunningShellCapacity() { return g_runningCapacity; }

}  // namespace shellplugin
