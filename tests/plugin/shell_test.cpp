// The Shell class of libMVShell, loaded through the host and driven through the
// entry-point table the way the image drives it.
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>

#include <map>

#include <gtest/gtest.h>

#include "plugin_test_util.h"
#include "runtime/core/objects/object.h"

using namespace plugintest;

namespace {

// Offsets of the plug-in data inside a Shell object (after the object header).
const int32_t kHeader = sizeof(MVObject);
const int32_t kErrorCode = kHeader, kTimeOut = kHeader + 4, kMode = kHeader + 8,
              kIsRunning = kHeader + 12, kOutputFd = kHeader + 16,
              kPID = kHeader + MV_BY_WIDTH(36, 52);

std::map<void*, int> g_dataEvents, g_completedEvents;
void OnDataAvailable(void* o) { g_dataEvents[o]++; }
void OnCompleted(void* o) { g_completedEvents[o]++; }

MVClass* ShellLikeClass() {
  alignas(MVClass) static uint8_t bytes[sizeof(MVClass)];
  MVClass* cls = reinterpret_cast<MVClass*>(bytes);
  cls->eventCount = 2;
  cls->instanceSize = 84;
  return cls;
}

MVEventEntry g_events[2] = {{reinterpret_cast<void*>(&OnDataAvailable), 0},
                            {reinterpret_cast<void*>(&OnCompleted), 0}};

void SleepMs(int ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

template <typename Fn>
Fn EntryAs(const char* name) {
  return reinterpret_cast<Fn>(Entry(name));
}

// A Shell object as the image creates one: header, then the plug-in's 60 bytes, with an
// event table whose handlers count the events raised.
class Shell {
 public:
  Shell() {
    EnsureInstalled();
    memset(&o_, 0, sizeof o_);
    o_.header.cls = ShellLikeClass();
    o_.header.events = g_events;
    o_.header.refCount = 1;
    g_dataEvents[self()] = g_completedEvents[self()] = 0;  // addresses get reused
    EntryAs<void (*)(void*)>("Shell.__init")(self());
  }
  ~Shell() { EntryAs<void (*)(void*)>("Shell.__exit")(self()); }

  MVObject* self() { return &o_.header; }
  void Execute(const std::string& command) {
    MVString* s = Str(command);
    EntryAs<void (*)(void*, MVString*)>("Shell.Execute(command as String)")(self(), s);
    RuntimeUnlockString(s);
  }
  void Execute(const std::string& command, const std::string& parameters) {
    MVString* c = Str(command);
    MVString* p = Str(parameters);
    EntryAs<void (*)(void*, MVString*, MVString*)>(
        "Shell.Execute(command as String, parameters as String)")(self(), c, p);
    RuntimeUnlockString(c);
    RuntimeUnlockString(p);
  }
  std::string Result() {
    MVString* r = EntryAs<MVString* (*)(void*, int32_t)>("Shell.Result.Get")(self(), 0);
    std::string t = Text(r);
    RuntimeUnlockString(r);
    return t;
  }
  bool ResultIsNil() {
    MVString* r = EntryAs<MVString* (*)(void*, int32_t)>("Shell.Result.Get")(self(), 0);
    RuntimeUnlockString(r);
    return r == nullptr;
  }
  MVString* ReadAll() { return EntryAs<MVString* (*)(void*)>("Shell.ReadAll() as String")(self()); }
  void Write(const std::string& s) { Call("Shell.Write(s as String)", s); }
  void WriteLine(const std::string& s) { Call("Shell.WriteLine(s as String)", s); }
  void Close() { EntryAs<void (*)(void*)>("Shell.Close")(self()); }
  void Poll() { EntryAs<void (*)(void*)>("Shell.Poll")(self()); }
  void SetMode(int32_t m) { EntryAs<void (*)(void*, int32_t, int32_t)>("Shell.Mode.Set")(self(), 0, m); }
  int32_t Mode() { return intGetter(self(), kMode); }
  int32_t ErrorCode() { return intGetter(self(), kErrorCode); }
  int32_t PID() { return intGetter(self(), kPID); }
  int32_t OutputFd() { return intGetter(self(), kOutputFd); }
  bool IsRunning() { return boolGetter(self(), kIsRunning); }

  // Poll (or let the background task poll) until Completed, collecting the output.
  std::string RunToCompletion(bool byBackgroundTask = false, int timeoutMs = 10000) {
    std::string out;
    for (int waited = 0; g_completedEvents[self()] == 0 && waited < timeoutMs; waited += 2) {
      if (byBackgroundTask)
        RuntimeBackgroundTask();
      else
        Poll();
      MVString* s = ReadAll();
      out += Text(s);
      RuntimeUnlockString(s);
      SleepMs(2);
    }
    MVString* s = ReadAll();
    out += Text(s);
    RuntimeUnlockString(s);
    return out;
  }

 private:
  void Call(const char* entry, const std::string& text) {
    MVString* s = Str(text);
    EntryAs<void (*)(void*, MVString*)>(entry)(self(), s);
    RuntimeUnlockString(s);
  }
  struct {
    MVObject header;
    uint8_t data[60];
  } o_;
};

void Reap(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

bool IntervalTimerSet() {
  struct itimerval t;
  getitimer(ITIMER_REAL, &t);
  return t.it_value.tv_sec != 0 || t.it_value.tv_usec != 0;
}

}  // namespace

TEST(ShellPlugin, StartsIdleWithDocumentedValues) {
  Shell sh;
  EXPECT_EQ(sh.ErrorCode(), 0);
  EXPECT_EQ(intGetter(sh.self(), kTimeOut), 2000);
  EXPECT_EQ(sh.Mode(), 0);
  EXPECT_FALSE(sh.IsRunning());
  EXPECT_EQ(sh.OutputFd(), -1);
  EXPECT_EQ(sh.PID(), 0);
  EXPECT_TRUE(sh.ResultIsNil());
  EXPECT_EQ(sh.ReadAll(), nullptr);
  sh.Write("nothing attached");  // silently nothing
  sh.Close();
}

TEST(ShellPlugin, SynchronousModeCollectsOutputErrorsAndExitCode) {
  Shell sh;
  sh.Execute("printf 'ab\\n'");
  EXPECT_EQ(sh.Result(), "ab\n");
  EXPECT_EQ(sh.ErrorCode(), 0);
  EXPECT_FALSE(sh.IsRunning());
  EXPECT_EQ(sh.PID(), 0);
  EXPECT_EQ(sh.ReadAll(), nullptr);  // synchronous output goes to Result only

  sh.Execute("true");
  EXPECT_TRUE(sh.ResultIsNil());
  sh.Execute("echo out; echo err >&2; exit 3");
  EXPECT_EQ(sh.Result(), "out\nerr\n");
  EXPECT_EQ(sh.ErrorCode(), 3);
  sh.Execute("no_such_command_for_the_shell_test");
  EXPECT_NE(sh.Result().find("no_such_command_for_the_shell_test: command not found"),
            std::string::npos);
  EXPECT_EQ(sh.ErrorCode(), 127);
  // More than one read's worth of output arrives whole.
  sh.Execute("head -c 100000 /dev/zero | tr '\\0' x");
  EXPECT_EQ(sh.Result(), std::string(100000, 'x'));
}

TEST(ShellPlugin, ExecuteWithParametersJoinsWithOneBlank) {
  Shell sh;
  sh.Execute("printf '[%s]'", "a b");
  EXPECT_EQ(sh.Result(), "[a][b]");
  sh.Execute("echo", "");
  EXPECT_EQ(sh.Result(), "\n");
}

TEST(ShellPlugin, ModeAcceptsZeroToTwoOnlyWhileIdle) {
  Shell sh;
  sh.SetMode(3);
  EXPECT_EQ(sh.Mode(), 0);
  sh.SetMode(-1);
  EXPECT_EQ(sh.Mode(), 0);
  sh.SetMode(2);
  EXPECT_EQ(sh.Mode(), 2);
  sh.SetMode(1);
  EXPECT_EQ(sh.Mode(), 1);
  sh.Execute("sleep 5");
  ASSERT_TRUE(sh.IsRunning());
  pid_t child = sh.PID();
  sh.SetMode(0);
  EXPECT_EQ(sh.Mode(), 1);
  sh.Close();
  EXPECT_FALSE(sh.IsRunning());
  sh.SetMode(0);
  EXPECT_EQ(sh.Mode(), 0);
  Reap(child);
}

TEST(ShellPlugin, AsynchronousModeDeliversOutputThroughPollAndEvents) {
  Shell sh;
  sh.SetMode(1);
  sh.Execute("printf hello; sleep 0.2; printf ' world'");
  EXPECT_TRUE(sh.IsRunning());
  EXPECT_GT(sh.PID(), 0);
  EXPECT_GE(sh.OutputFd(), 0);
  EXPECT_EQ(sh.ErrorCode(), 0);
  EXPECT_EQ(sh.RunToCompletion(/*byBackgroundTask=*/true), "hello world");
  EXPECT_GE(g_dataEvents[sh.self()], 2);
  EXPECT_EQ(g_completedEvents[sh.self()], 1);
  EXPECT_FALSE(sh.IsRunning());
  EXPECT_EQ(sh.PID(), 0);
  EXPECT_EQ(sh.OutputFd(), -1);
  // Polling an idle shell does nothing.
  sh.Poll();
  EXPECT_EQ(g_completedEvents[sh.self()], 1);
}

TEST(ShellPlugin, ReadAllTwiceGivesThePendingBytesThenNil) {
  Shell sh;
  sh.SetMode(1);
  sh.Execute("printf abc; sleep 1");
  for (int i = 0; i < 2000 && g_dataEvents[sh.self()] == 0; i++) {
    sh.Poll();
    SleepMs(2);
  }
  pid_t child = sh.PID();
  MVString* first = sh.ReadAll();
  MVString* second = sh.ReadAll();
  EXPECT_EQ(Text(first), "abc");
  EXPECT_EQ(second, nullptr);
  RuntimeUnlockString(first);
  sh.Close();
  Reap(child);
}

TEST(ShellPlugin, InteractiveModeTakesInputWithoutEcho) {
  Shell sh;
  sh.SetMode(2);
  sh.Execute("echo ready; read line; echo \"got:$line:\"");
  EXPECT_TRUE(sh.IsRunning());
  EXPECT_GT(sh.PID(), 0);
  // The child switches its terminal before it runs the command: wait for the command.
  std::string out;
  for (int i = 0; i < 5000 && out.find("ready") == std::string::npos; i++) {
    sh.Poll();
    MVString* s = sh.ReadAll();
    out += Text(s);
    RuntimeUnlockString(s);
    SleepMs(1);
  }
  sh.WriteLine("x");
  out += sh.RunToCompletion();
  EXPECT_EQ(out, "ready\r\ngot:x:\r\n");  // the line itself is not echoed
  EXPECT_FALSE(sh.IsRunning());
  // Writing to a pipe's reading end (asynchronous mode) fails quietly.
  sh.SetMode(1);
  sh.Execute("sleep 1");
  pid_t child = sh.PID();
  sh.Write("ignored");
  sh.Close();
  Reap(child);
}

TEST(ShellPlugin, SecondExecuteClosesTheFirstCommand) {
  Shell sh;
  sh.SetMode(1);
  sh.Execute("printf first; sleep 5");
  pid_t first = sh.PID();
  ASSERT_GT(first, 0);
  for (int i = 0; i < 2000 && g_dataEvents[sh.self()] == 0; i++) {
    sh.Poll();
    SleepMs(2);
  }
  sh.Execute("printf second");  // the first command's pending output goes with it
  EXPECT_NE(sh.PID(), first);
  EXPECT_EQ(sh.RunToCompletion(), "second");
  // The first child is left running without its reader.
  EXPECT_EQ(kill(first, 0), 0);
  Reap(first);
}

TEST(ShellPlugin, IntervalTimerIsClearedWhenTheLastRunningShellCloses) {
  struct itimerval far = {{0, 0}, {1000, 0}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &far, nullptr), 0);
  Shell a, b, idle;
  a.SetMode(1);
  b.SetMode(2);
  a.Execute("sleep 5");
  b.Execute("sleep 5");
  pid_t pa = a.PID(), pb = b.PID();
  idle.Close();  // not running: no effect
  EXPECT_TRUE(IntervalTimerSet());
  a.Close();
  EXPECT_TRUE(IntervalTimerSet());
  b.Close();
  EXPECT_FALSE(IntervalTimerSet());
  Reap(pa);
  Reap(pb);
}

TEST(ShellPlugin, NoPipeGivesNoShellAvailable) {
  Shell sync, async;
  async.SetMode(1);
  // Use up the descriptors under a small limit.
  struct rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit small = {64, saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &small), 0);
  std::vector<int> held;
  for (int fd; (fd = dup(0)) >= 0;) held.push_back(fd);
  sync.Execute("echo never");
  async.Execute("echo never");
  for (int fd : held) close(fd);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(sync.Result(), "No shell available");
  EXPECT_EQ(sync.ErrorCode(), -1);
  EXPECT_FALSE(sync.IsRunning());
  EXPECT_EQ(async.Result(), "No shell available");
  EXPECT_EQ(async.ErrorCode(), -1);
  EXPECT_TRUE(async.IsRunning());  // a failed start stays running until closed
  async.SetMode(0);
  EXPECT_EQ(async.Mode(), 1);
  async.Close();
  async.SetMode(0);
  EXPECT_EQ(async.Mode(), 0);
}

TEST(ShellPlugin, ManyRunningShellsGrowAndShrinkTheList) {
  // Forty shells at once exceed the list's first two capacities; closing them all
  // must leave every one idle and the timer cleared.
  std::vector<Shell*> shells;
  std::vector<pid_t> children;
  for (int i = 0; i < 40; i++) {
    Shell* s = new Shell;
    s->SetMode(1);
    s->Execute("sleep 5");
    children.push_back(s->PID());
    shells.push_back(s);
  }
  struct itimerval far = {{0, 0}, {1000, 0}};
  setitimer(ITIMER_REAL, &far, nullptr);
  for (Shell* s : shells) {
    EXPECT_TRUE(s->IsRunning());
    delete s;  // the destructor closes
  }
  EXPECT_FALSE(IntervalTimerSet());
  for (pid_t p : children) Reap(p);
}

TEST(ShellPlugin, ClosedCommandsDoNotStayBehindAsZombies) {
  Shell sh;
  sh.SetMode(1);
  sh.Execute("sleep 0.1");
  pid_t child = sh.PID();
  sh.Close();  // still running: its status cannot be collected yet
  EXPECT_EQ(sh.ErrorCode(), 0);
  SleepMs(400);
  sh.SetMode(0);
  sh.Execute("true");  // collects what has ended meanwhile
  errno = 0;
  EXPECT_EQ(waitpid(child, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}
