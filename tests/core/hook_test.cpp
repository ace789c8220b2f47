// The unhandled-exception path: the installed hook, the default hook's message on
// standard error, the application's UnhandledException event and the shutting-down mark.
#include <gtest/gtest.h>

#include <string>

#include "runtime/console/console.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/values/string.h"

namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

MVObject* NewException(MVClass* cls, const char* message, int32_t number) {
  MVObject* o = RuntimeNewObject(cls);
  MVException* e = reinterpret_cast<MVException*>(o);
  e->message = MVStringFromCString(message, kEncodingUTF8);
  e->errorNumber = number;
  return o;
}

class Unhandled : public ::testing::Test {
 protected:
  void SetUp() override {
    MVSetShuttingDown(false);
    MVSetUnhandledHook(MVDefaultUnhandledHook);
  }
  void TearDown() override {
    MVSetShuttingDown(false);
    MVSetUnhandledHook(nullptr);
  }
};

TEST_F(Unhandled, DefaultHookPrintsThreePartMessageOnce) {
  MVObject* e = NewException(MVNilObjectExceptionClass(), "Disk full", -3);
  CaptureStderr();
  MVDefaultUnhandledHook(e);
  MVDefaultUnhandledHook(e);  // already shutting down: nothing more
  EXPECT_EQ(GetCapturedStderr(),
            "Exception Message: Disk full\nException Error Number: -3\nAn exception of class "
            "NilObjectException was not handled.  The application must shut down.");
  EXPECT_TRUE(MVShuttingDown());
  RuntimeUnlockObject(e);
}

TEST_F(Unhandled, EndAndThreadEndArePrintedNever) {
  MVObject* end = NewException(MVEndExceptionClass(), "quiet", 1);
  MVObject* threadEnd = NewException(MVThreadEndExceptionClass(), "quiet", 1);
  CaptureStderr();
  MVDefaultUnhandledHook(threadEnd);
  EXPECT_FALSE(MVShuttingDown()) << "a thread's end changes nothing";
  MVDefaultUnhandledHook(end);
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_TRUE(MVShuttingDown());
  RuntimeUnlockObject(end);
  RuntimeUnlockObject(threadEnd);

  // An end exception class built outside the runtime counts by its name.
  MVSetShuttingDown(false);
  MVClass* own = MVMakeClass("EndException", MVRuntimeExceptionClass(), sizeof(MVException), nullptr, nullptr, nullptr);
  MVObject* ownEnd = NewException(own, "quiet", 2);
  CaptureStderr();
  MVDefaultUnhandledHook(ownEnd);
  EXPECT_EQ(GetCapturedStderr(), "");
  RuntimeUnlockObject(ownEnd);
}

TEST_F(Unhandled, RaiseWithoutHandlerPrintsThroughInstalledHook) {
  uint32_t live = MVLiveObjectCount();
  CaptureStderr();
  MVRaiseNew(MVTypeMismatchExceptionClass(), nullptr, 0);
  EXPECT_EQ(GetCapturedStderr(),
            "Exception Message: \nException Error Number: 0\nAn exception of class "
            "TypeMismatchException was not handled.  The application must shut down.");
  EXPECT_EQ(MVLiveObjectCount(), live);
}

TEST_F(Unhandled, WithoutHookReportsTheAssertion) {
  MVSetUnhandledHook(nullptr);
  MVObject* e = NewException(MVNilObjectExceptionClass(), "x", 0);
  CaptureStdout();
  RuntimeUnhandledException(e);
  EXPECT_EQ(GetCapturedStdout(),
            "Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\nalong with the "
            "information below.\n\n../Common/Object Model/RuntimeExceptionFoundation: 796\nFailure "
            "Condition: 0\n\n\n");
  RuntimeUnlockObject(e);
}

TEST(Exceptions, FunctionNotFoundMessageAndFinalizer) {
  uint32_t live = MVLiveObjectCount();
  MVString* fn = MVStringFromCString("forkpty", kEncodingASCII);
  MVString* lib = MVStringFromCString("libutil.so.1", kEncodingASCII);
  MVObject* e = MVProtectedCall(reinterpret_cast<void*>(&RuntimeRaiseFunctionNotFoundException),
                                reinterpret_cast<MVWord>(fn), reinterpret_cast<MVWord>(lib), 0, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->cls, MVFunctionNotFoundExceptionClass());
  MVString* m = reinterpret_cast<MVException*>(e)->message;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(MVStringBytes(m)), MVStringLength(m)),
            "Could not load forkpty from libutil.so.1");
  EXPECT_EQ(e->cls->instanceSize, sizeof(MVException));
  EXPECT_TRUE(RuntimeObjectIsa(e, MVRuntimeExceptionClass()));
  // The exception's own message reference goes with it.
  RuntimeLockString(m);
  uint32_t before = m->refCount;
  RuntimeUnlockObject(e);
  EXPECT_EQ(m->refCount, before - 1);
  RuntimeUnlockString(m);
  RuntimeUnlockString(fn);
  RuntimeUnlockString(lib);
  EXPECT_EQ(MVLiveObjectCount(), live);
}

// The application's UnhandledException event sees every exception but the two ends.
int g_appCalls = 0;
MVObject* g_appSeen = nullptr;
MVObject* g_appSelf = nullptr;
uint32_t AppUnhandled(MVObject* app, MVObject* e) {
  g_appCalls++;
  g_appSelf = app;
  g_appSeen = e;
  return 1;
}

TEST_F(Unhandled, ApplicationEventRunsBeforeTheMessage) {
  g_appCalls = 0;
  MVClass* cls = RuntimeNewClass(RuntimeConsoleApplicationClass(), MV_CONSOLE_APP_METHODS, 0,
                                 MV_CONSOLE_APP_EVENTS, 0, 0);
  cls->name = MVStringFromCString("HookApp", kEncodingASCII);
  cls->instanceSize = MV_CONSOLE_APP_INSTANCE_SIZE;
  cls->events[kMVEventUnhandledException].handler = reinterpret_cast<void*>(&AppUnhandled);
  MVObject* app = RuntimeNewObject(cls);
  RuntimeRegisterConsoleAppObject(app, false);
  ASSERT_EQ(MVApplicationObject(), app);

  MVObject* e = NewException(MVOutOfBoundsExceptionClass(), "idx", 9);
  MVObject* end = NewException(MVEndExceptionClass(), nullptr, 0);
  CaptureStderr();
  MVDefaultUnhandledHook(end);
  EXPECT_EQ(g_appCalls, 0);
  MVDefaultUnhandledHook(e);  // shutting down already: the event still runs, no message
  EXPECT_EQ(g_appCalls, 1);
  EXPECT_EQ(g_appSelf, app);
  EXPECT_EQ(g_appSeen, e);
  EXPECT_EQ(GetCapturedStderr(), "");
  RuntimeUnlockObject(e);
  RuntimeUnlockObject(end);
  RuntimeUnlockObject(app);
}

}  // namespace
