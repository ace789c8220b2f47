// The application frame: the ConsoleApplication class, registration, Run, quit and the
// exit code. Run happens once per process, so each scenario runs in a child process.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "runtime/console/console.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/values/array.h"
#include "runtime/values/string.h"

namespace {

std::string Text(MVString* s) {
  return s ? std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s)) : std::string();
}

struct ChildResult {
  int status = -1;     // exit status of the child
  std::string output;  // its standard output
};

// Runs scenario() in a child whose standard output is captured; the child's exit status
// is the scenario's result.
ChildResult InChild(int (*scenario)()) {
  fflush(stdout);
  int fds[2];
  ChildResult r;
  if (pipe(fds) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    int code = scenario();
    fflush(stdout);
    _exit(code);
  }
  close(fds[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.output.append(buf, n);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  return r;
}

// A subclass of ConsoleApplication whose Run handler is `run`.
MVObject* NewApp(void* run) {
  MVClass* cls = RuntimeNewClass(RuntimeConsoleApplicationClass(), MV_CONSOLE_APP_METHODS, 0,
                                 MV_CONSOLE_APP_EVENTS, 0, 0);
  cls->name = MVStringFromCString("FakeApp", kEncodingASCII);
  cls->instanceSize = MV_CONSOLE_APP_INSTANCE_SIZE;
  cls->events[kMVEventRun].handler = run;
  return RuntimeNewObject(cls);
}

int32_t* ExitCode(MVObject* app) {
  return reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(app) + MV_CONSOLE_APP_EXIT_CODE_OFFSET);
}

// Runs RuntimeRun under a handler, as the end-of-program exception may leave it.
bool RunProtected(int32_t* result) {
  MVWord r = 0;
  MVObject* ex = MVProtectedCall(reinterpret_cast<void*>(&RuntimeRun), 0, 0, 0, &r);
  bool end = ex && RuntimeObjectIsa(ex, MVEndExceptionClass());
  RuntimeUnlockObject(ex);
  if (result) *result = static_cast<int32_t>(r);
  return end;
}

int g_runCalls = 0;

int32_t QuitThreeReturnSeven(MVObject*, MVArray*) {
  g_runCalls++;
  MV_ApplicationQuit(3);
  return 7;
}

int32_t ReturnSeven(MVObject*, MVArray*) {
  g_runCalls++;
  return 7;
}

TEST(ConsoleApplicationClass, Record) {
  MVClass* cls = RuntimeConsoleApplicationClass();
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(cls, RuntimeConsoleApplicationClass());
  EXPECT_EQ(MVFindClass("ConsoleApplication"), cls);
  EXPECT_EQ(Text(cls->name), "ConsoleApplication");
  EXPECT_EQ(cls->instanceSize, MV_BY_WIDTH(28u, 56u)) << "the header and the exit code";
  ASSERT_EQ(cls->methodCount, 6u);
  EXPECT_EQ(cls->eventCount, 2u);
  const char* const kSignatures[] = {
      "DoEvents%%o<ConsoleApplication>i4", "Daemonize%b%o<ConsoleApplication>",
      "_AddPollableObject%%o<ConsoleApplication>o<_Pollable>",
      "_RemovePollableObject%%o<ConsoleApplication>o<_Pollable>",
      "YieldToNextThread%%o<ConsoleApplication>", "__DependencyList%%o<ConsoleApplication>"};
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(Text(cls->methods[i].signature), kSignatures[i]);
    EXPECT_NE(cls->methods[i].function, nullptr);
  }
  EXPECT_EQ(cls->methods[0].function, reinterpret_cast<void*>(&RuntimeDoEvents));
  EXPECT_EQ(cls->methods[1].function, reinterpret_cast<void*>(&DaemonizeApp));
}

TEST(ConsoleApplication, DoEventsWaitsTheGivenTime) {
  struct timespec a, b;
  clock_gettime(CLOCK_MONOTONIC, &a);
  RuntimeDoEvents(nullptr, -1);
  RuntimeDoEvents(nullptr, 0);
  RuntimeDoEvents(nullptr, 30);
  clock_gettime(CLOCK_MONOTONIC, &b);
  double ms = (b.tv_sec - a.tv_sec) * 1e3 + (b.tv_nsec - a.tv_nsec) / 1e6;
  EXPECT_GE(ms, 29.0);
  EXPECT_LT(ms, 2000.0);
}

TEST(ConsoleApplication, RegistrationHoldsOneReference) {
  MVObject* first = NewApp(nullptr);
  EXPECT_EQ(*ExitCode(first), 0);
  RuntimeRegisterConsoleAppObject(first, false);
  EXPECT_EQ(MVApplicationObject(), first);
  EXPECT_EQ(first->refCount, 2u);
  RuntimeRegisterConsoleAppObject(first, false);  // the same object again
  EXPECT_EQ(first->refCount, 2u);
  RuntimeRegisterConsoleAppObject(nullptr, false);  // a new default object
  MVObject* made = MVApplicationObject();
  ASSERT_NE(made, nullptr);
  EXPECT_NE(made, first);
  EXPECT_EQ(made->cls, RuntimeConsoleApplicationClass());
  EXPECT_EQ(made->refCount, 1u);
  EXPECT_EQ(first->refCount, 1u);  // the previous one released
  RuntimeUnlockObject(first);
  EXPECT_EQ(RuntimeExit(), 0);
}

TEST(ConsoleApplication, QuitInsideRunSetsExitCode) {
  ChildResult r = InChild([]() -> int {
    MVObject* app = NewApp(reinterpret_cast<void*>(&QuitThreeReturnSeven));
    RuntimeRegisterConsoleAppObject(app, false);
    RuntimeUnlockObject(app);
    RuntimeRun();  // the end exception of the quit inside Run lands in the Run dispatch
    if (g_runCalls != 1 || RuntimeExit() != 3) return 10 + RuntimeExit();
    MV_ApplicationQuit(5);  // already quitting: changes nothing, raises nothing
    if (RuntimeExit() != 3) return 2;
    if (RuntimeRun() != 0 || g_runCalls != 1) return 3;  // Run happens once
    return 0;
  });
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(r.output, "");
}

TEST(ConsoleApplication, RunResultBecomesExitCode) {
  ChildResult r = InChild([]() -> int {
    MVObject* app = NewApp(reinterpret_cast<void*>(&ReturnSeven));
    RuntimeRegisterConsoleAppObject(app, false);
    RuntimeUnlockObject(app);
    // Without a quit from Run, RuntimeRun's own quit raises the end exception.
    if (!RunProtected(nullptr)) return 1;
    if (g_runCalls != 1) return 2;
    return RuntimeExit() == 7 ? 0 : 3;
  });
  EXPECT_EQ(r.status, 0) << r.output;
}

int32_t g_argCount = -1;
std::string g_args;
uint32_t g_argTag = 0;

int32_t RecordArguments(MVObject*, MVArray* args) {
  auto ubound = reinterpret_cast<MVArrayUBoundFn>(args->ops->slot[kMVArrayUBound]);
  auto get = reinterpret_cast<MVArrayGet1>(args->ops->slot[kMVArrayGet]);
  g_argCount = ubound(args, 1) + 1;
  for (int32_t i = 0; i < g_argCount; i++) {
    MVString* s = reinterpret_cast<MVString*>(get(args, i));
    if (i == 0) g_argTag = s->encoding;
    g_args += Text(s) + "|";
    RuntimeUnlockString(s);
  }
  MV_ApplicationQuit(0);
  return 1;
}

TEST(ConsoleApplication, RunReceivesProcessArguments) {
  ChildResult r = InChild([]() -> int {
    static char a0[] = "./ombrix", a1[] = "one", a2[] = "two words";
    static char* argv[] = {a0, a1, a2, nullptr};
    MVSetProcessArguments(3, argv);
    MVObject* app = NewApp(reinterpret_cast<void*>(&RecordArguments));
    RuntimeRegisterConsoleAppObject(app, false);
    RuntimeUnlockObject(app);
    RuntimeRun();
    if (g_argCount != 3 || g_argTag != kEncodingASCII) return 1;
    if (g_args != "./ombrix|one|two words|") return 2;
    return RuntimeExit();
  });
  EXPECT_EQ(r.status, 0) << r.output;
}

MVObject* g_unhandled = nullptr;

void RecordUnhandled(MVObject* ex) {
  RuntimeLockObject(ex);
  g_unhandled = ex;
}

int32_t RaiseNil(MVObject*, MVArray*) {
  RaiseNilObjectException();
  return 9;
}

TEST(ConsoleApplication, OtherExceptionsFromRunAreUnhandled) {
  ChildResult r = InChild([]() -> int {
    MVSetUnhandledHook(RecordUnhandled);
    MVObject* app = NewApp(reinterpret_cast<void*>(&RaiseNil));
    RuntimeRegisterConsoleAppObject(app, false);
    RuntimeUnlockObject(app);
    MVSetShuttingDown(true);  // as the default hook leaves it: the final quit raises nothing
    RuntimeRun();
    if (!g_unhandled || !RuntimeObjectIsa(g_unhandled, MVNilObjectExceptionClass())) return 1;
    return RuntimeExit() == 0 ? 0 : 2;  // Run did not return: its result is not used
  });
  EXPECT_EQ(r.status, 0) << r.output;
}

TEST(ConsoleApplication, RunWithoutApplicationReports) {
  ChildResult r = InChild([]() -> int {
    MVReleaseApplicationObject();
    RuntimeRun();
    return RuntimeExit();
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.output.find("Runtime Error 4:Failed Assertion"), std::string::npos);
  EXPECT_NE(r.output.find("Trying to call the Run event before making the console application object."),
            std::string::npos);
  EXPECT_NE(r.output.find("../Common/RuntimeMain: 1115\nFailure Condition: app\n"), std::string::npos);
}

}  // namespace
