// The hooks through which the lower layers reach the upper ones, as start-up connects
// them: an unhandled exception reaches the console's report, the console's idle
// processing runs the plug-in host's background tasks, and the end after a termination
// signal does the upper layers' work before the shutdown list.
#include <gtest/gtest.h>
#include <stdio.h>

#include "runtime/console/console.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/process/plugin.h"
#include "runtime/core/objects/signals.h"
#include "runtime/core/process/startup_internal.h"

namespace {

int g_idleRuns = 0;
void CountIdle() { g_idleRuns++; }

int32_t g_taskRuns = 0;
void CountTask(void*) { g_taskRuns++; }

class Layers : public ::testing::Test {
 protected:
  void TearDown() override {
    MVSetUnhandledHook(nullptr);
    MVSetIdleRoutine(nullptr);
    MVSetEndWork(nullptr);
    MVSetShuttingDown(false);
  }
};

TEST_F(Layers, IdleProcessingRunsTheInstalledRoutineOnly) {
  g_idleRuns = 0;
  RuntimeDoEvents(nullptr, -1);  // nothing installed: nothing runs
  MVSetIdleRoutine(CountIdle);
  RuntimeDoEvents(nullptr, -1);
  RuntimeDoEvents(nullptr, 0);
  EXPECT_EQ(g_idleRuns, 2);
}

TEST_F(Layers, StartUpConnectsTheConsoleReportAndTheBackgroundTasks) {
  MVConnectLayers();
  MVObject* e = RuntimeNewObject(MVOutOfBoundsExceptionClass());
  ::testing::internal::CaptureStderr();
  RuntimeUnhandledException(e);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Exception Message: \nException Error Number: 0\nAn exception of class "
            "OutOfBoundsException was not handled.  The application must shut down.");
  EXPECT_TRUE(MVShuttingDown());
  RuntimeUnlockObject(e);

  g_taskRuns = 0;
  int32_t id = PluginRegisterBackgroundTask(reinterpret_cast<void*>(&CountTask), 0, nullptr);
  RuntimeDoEvents(nullptr, -1);
  PluginUnregisterBackgroundTask(id);
  EXPECT_EQ(g_taskRuns, 1) << "the console's idle processing runs the plug-in host's tasks";
}

void MarkEndWork() {
  fputs("end work", stderr);
  fflush(stderr);
}

TEST_F(Layers, SignalEndDoesTheInstalledWorkAndExitsWithZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        MVSetEndWork(MarkEndWork);
        MVEndOnSignal();
      },
      ::testing::ExitedWithCode(0), "end work");
}

}  // namespace
