// The plug-in host: resolver, installation, class building, entry points, background
// tasks, field accessors, event lookup, clean-up at exit.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <time.h>

#include <gtest/gtest.h>

#include "plugin_test_util.h"
#include "runtime/core/process/exports.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/process/plugin_host.h"
#include "runtime/core/objects/shutdown.h"

using namespace plugintest;

namespace {

void SleepMs(int ms) {
  struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&t, nullptr);
}

std::string CaptureLookup(const std::string& name, void** result) {
  testing::internal::CaptureStdout();
  *result = Entry(name);
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

void* Probe(const char* symbol) {
  void* handle = dlopen(MVPROBE_LIBRARY, RTLD_LAZY | RTLD_NOLOAD);
  // Loaded from its extracted copy, not from the build folder: find it by its handle.
  for (MVLoadedPlugin* p = MVLoadedPlugins(); p && !handle; p = p->next)
    if (p->loadedFrom.find("libMVProbe.so") != std::string::npos) handle = p->handle;
  return handle ? dlsym(handle, symbol) : nullptr;
}

void AddedExport() {}

}  // namespace

TEST(PluginResolver, FindsExportsWithoutRegardToCaseAndRowsAddedLater) {
  EXPECT_EQ(MVPluginResolve("PluginRegisterClass"), reinterpret_cast<void*>(&PluginRegisterClass));
  EXPECT_EQ(MVPluginResolve("pluginregisterclass"), reinterpret_cast<void*>(&PluginRegisterClass));
  EXPECT_EQ(MVPluginResolve("GETEVENTINSTANCE"), reinterpret_cast<void*>(&GetEventInstance));
  // Every service the shell plug-in asks for is offered.
  for (const char* name : {"RegisterPluginVersion", "PluginRegisterClass",
                           "PluginRegisterBackgroundTask", "PluginUnregisterBackgroundTask",
                           "GetEventInstance", "MAVOBuildString", "StringGetCString",
                           "MAVOLockString", "MAVOUnlockString", "MAVOConvertString",
                           "MAVOGetFontEncoding"})
    EXPECT_NE(MVPluginResolve(name), nullptr) << name;
  EXPECT_EQ(MVPluginResolve("NoSuchRuntimeExport"), nullptr);
  EXPECT_EQ(MVPluginResolve(""), nullptr);
  EXPECT_EQ(MVPluginResolve(nullptr), nullptr);
  // A row added after the map was built is found: the map is rebuilt.
  EXPECT_EQ(MVPluginResolve("MVTestAddedExport"), nullptr);
  MVAddExport("MVTestAddedExport", reinterpret_cast<void*>(&AddedExport));
  EXPECT_EQ(MVPluginResolve("mvtestaddedexport"), reinterpret_cast<void*>(&AddedExport));
}

TEST(PluginInstall, ExtractsLockedFilesIntoPrivateFolder) {
  const Installation& inst = EnsureInstalled();
  std::string folder = inst.home + "/.tmpAppData";
  struct stat st;
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  std::vector<std::string> names = FolderEntries(folder);
  ASSERT_EQ(names.size(), 2u);
  for (const std::string& n : names) {
    ASSERT_GT(n.size(), 8u);
    EXPECT_EQ(n[7], '_') << n;
    std::string library = n.substr(8);
    EXPECT_TRUE(library == "libMVShell.so" || library == "libMVProbe.so") << n;
    // The lock is held: another open file description cannot take it.
    int fd = open((folder + "/" + n).c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(errno, EWOULDBLOCK);
    close(fd);
  }
  // The extracted file was the one loaded, and MVPLUGINPATH named it only meanwhile.
  auto seen = reinterpret_cast<const char* (*)()>(Probe("ProbeSeenPath"));
  ASSERT_NE(seen, nullptr);
  std::string path = seen();
  EXPECT_EQ(path.rfind(folder + "/", 0), 0u) << path;
  EXPECT_NE(path.find("_libMVProbe.so"), std::string::npos) << path;
  EXPECT_EQ(getenv("MVPLUGINPATH"), nullptr);
  EXPECT_EQ(MVCurrentPlugin(), nullptr);
}

TEST(PluginClasses, BuildsRuntimeClassesWithDataOffsets) {
  EnsureInstalled();
  auto def = reinterpret_cast<MAVOclassDefinition* (*)(int)>(Probe("ProbeDefinition"));
  ASSERT_NE(def, nullptr);
  // Registered before its superclass, built after it.
  MVClass* base = MVPluginClass("ProbeBase");
  MVClass* derived = MVPluginClass("probederived");
  ASSERT_NE(base, nullptr);
  ASSERT_NE(derived, nullptr);
  const uint32_t header = sizeof(MVObject);
  EXPECT_EQ(def(0)->dataOffset, header);
  EXPECT_EQ(base->instanceSize, header + 8);
  EXPECT_EQ(def(1)->dataOffset, header + 8);
  EXPECT_EQ(derived->instanceSize, header + 12);
  EXPECT_EQ(derived->superclass, base);
  EXPECT_EQ(derived->eventCount, 2u);
  EXPECT_EQ(static_cast<MAVOeventDescriptor*>(def(0)->events[0].descriptor)->index, 0u);
  EXPECT_EQ(static_cast<MAVOeventDescriptor*>(def(1)->events[0].descriptor)->index, 1u);
  // A runtime class as superclass.
  MVClass* exc = MVPluginClass("ProbeException");
  ASSERT_NE(exc, nullptr);
  EXPECT_EQ(exc->superclass, MVRuntimeExceptionClass());
  EXPECT_EQ(def(2)->dataOffset, MVRuntimeExceptionClass()->instanceSize);
  // A reserved name is not registered.
  EXPECT_EQ(MVPluginClass("Database"), nullptr);
  EXPECT_EQ(def(3)->dataOffset, 0u);
  // The shell's classes.
  MVClass* shell = MVPluginClass("Shell");
  ASSERT_NE(shell, nullptr);
  EXPECT_EQ(shell->instanceSize, MV_BY_WIDTH(84u, 128u));
  EXPECT_EQ(shell->methodCount, 7u);
  EXPECT_EQ(shell->eventCount, 2u);
  EXPECT_EQ(shell->propertyCount, 6u);
  EXPECT_EQ(Text(shell->methods[1].signature), "Execute(command as String, parameters as String)");
  ASSERT_NE(MVPluginClass("ShellNotRunningException"), nullptr);
  EXPECT_EQ(MVPluginClass("ShellNotAvailableException")->superclass, MVRuntimeExceptionClass());
}

TEST(PluginClasses, RuntimeObjectsRunTheConstructorAndDestructor) {
  EnsureInstalled();
  auto constructed = reinterpret_cast<int (*)()>(Probe("ProbeConstructed"));
  auto destroyed = reinterpret_cast<int (*)()>(Probe("ProbeDestroyed"));
  ASSERT_TRUE(constructed && destroyed);
  int c = constructed(), d = destroyed();
  MVObject* o = RuntimeNewObject(MVPluginClass("ProbeDerived"));
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(constructed(), c + 1);  // the base class's constructor, once
  RuntimeUnlockObject(o);
  EXPECT_EQ(destroyed(), d + 1);
}

TEST(PluginEntryPoints, NamesResolve) {
  EnsureInstalled();
  void* e = nullptr;
  EXPECT_EQ(CaptureLookup("_", &e), "");
  EXPECT_EQ(e, nullptr);
  const char* const found[] = {"Shell.__init", "Shell.__exit", "Shell.Execute(command as String)",
                               "Shell.Execute(command as String, parameters as String)",
                               "Shell.ReadAll() as String", "Shell.Write(s as String)",
                               "Shell.WriteLine(s as String)", "Shell.Close", "Shell.Poll",
                               "Shell.Result.Get", "Shell.Mode.Set", "Shell.Events.Completed()"};
  for (const char* name : found) {
    EXPECT_EQ(CaptureLookup(name, &e), "") << name;
    EXPECT_NE(e, nullptr) << name;
  }
}

TEST(PluginEntryPoints, AllocatesZeroedTables) {
  EXPECT_EQ(RuntimeAllocatePluginEntrypointsTable(0), nullptr);
  void** t = RuntimeAllocatePluginEntrypointsTable(11);
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 11; i++) EXPECT_EQ(t[i], nullptr);
}

namespace {
std::vector<int> g_ran;
int32_t g_selfRemovingId = 0;
void TaskA(void* arg) { g_ran.push_back(static_cast<int>(reinterpret_cast<intptr_t>(arg))); }
void TaskRemovingItself(void* arg) {
  TaskA(arg);
  PluginUnregisterBackgroundTask(g_selfRemovingId);
}
// Run the dispatcher once the tick count has moved on.
void DispatchNextTick() {
  SleepMs(20);
  RuntimeBackgroundTask();
}
}  // namespace

TEST(PluginBackgroundTasks, RunDueTasksLastToFirstOncePerTick) {
  int32_t a = PluginRegisterBackgroundTask(reinterpret_cast<void*>(&TaskA), 0,
                                           reinterpret_cast<void*>(1));
  int32_t b = PluginRegisterBackgroundTask(reinterpret_cast<void*>(&TaskA), 0,
                                           reinterpret_cast<void*>(2));
  int32_t slow = PluginRegisterBackgroundTask(reinterpret_cast<void*>(&TaskA), 100000,
                                              reinterpret_cast<void*>(3));
  g_selfRemovingId = PluginRegisterBackgroundTask(reinterpret_cast<void*>(&TaskRemovingItself), 0,
                                                  reinterpret_cast<void*>(4));
  EXPECT_GT(a, 0);
  EXPECT_EQ(b, a + 1);
  g_ran.clear();
  DispatchNextTick();
  EXPECT_EQ(g_ran, (std::vector<int>{4, 2, 1}));
  // A second call in the same tick runs nothing. On a slow machine the tick may end
  // between the two calls, so the pair is tried again (each time after a new tick).
  bool quiet = false;
  for (int tries = 0; tries < 20 && !quiet; tries++) {
    DispatchNextTick();
    g_ran.clear();
    RuntimeBackgroundTask();
    quiet = g_ran.empty();
  }
  EXPECT_TRUE(quiet);
  g_ran.clear();
  PluginUnregisterBackgroundTask(a);
  PluginUnregisterBackgroundTask(12345);  // unknown id: nothing
  DispatchNextTick();
  EXPECT_EQ(g_ran, (std::vector<int>{2}));
  PluginUnregisterBackgroundTask(b);
  PluginUnregisterBackgroundTask(slow);
}

TEST(PluginFieldAccessors, ReadAndWriteFieldsAndKeepStringCounts) {
  struct {
    MVObject header;
    int32_t i;
    int32_t b;
    MVString* s;
  } o = {};
  MVObject* obj = &o.header;
  const int32_t fieldI = offsetof(decltype(o), i), fieldB = offsetof(decltype(o), b),
                fieldS = offsetof(decltype(o), s);
  intSetter(obj, fieldI, -7);
  EXPECT_EQ(intGetter(obj, fieldI), -7);
  boolSetter(obj, fieldB, true);
  EXPECT_EQ(o.b, 1);
  EXPECT_TRUE(boolGetter(obj, fieldB));
  EXPECT_EQ(intGetter(nullptr, fieldI), 0);
  intSetter(nullptr, fieldI, 1);  // nil is accepted
  MVString* first = Str("first");
  MVString* second = Str("second");
  stringSetter(obj, fieldS, first);
  EXPECT_EQ(first->refCount, 2u);
  stringSetter(obj, fieldS, second);
  EXPECT_EQ(first->refCount, 1u);
  MVString* got = stringGetter(obj, fieldS);
  EXPECT_EQ(got, second);
  EXPECT_EQ(second->refCount, 3u);
  RuntimeUnlockString(got);
  stringSetter(obj, fieldS, nullptr);
  EXPECT_EQ(second->refCount, 1u);
  EXPECT_EQ(stringGetter(obj, fieldS), nullptr);
  RuntimeUnlockString(first);
  RuntimeUnlockString(second);
}

namespace {
void HandlerOne(void*) {}
void HandlerTwo(void*) {}
}  // namespace

TEST(PluginEvents, HandlerOfTheDescribedEventOrNone) {
  alignas(MVClass) static uint8_t classBytes[sizeof(MVClass)];
  MVClass* cls = reinterpret_cast<MVClass*>(classBytes);
  MVEventEntry events[2] = {{reinterpret_cast<void*>(&HandlerOne), 0},
                            {reinterpret_cast<void*>(&HandlerTwo), 0}};
  cls->eventCount = 2;
  MVObject o = {};
  o.cls = cls;
  o.events = events;
  MAVOeventDescriptor first = {0, "DataAvailable()"}, second = {1, "Completed()"},
                      beyond = {2, "Other()"};
  EXPECT_EQ(GetEventInstance(&o, &first), reinterpret_cast<void*>(&HandlerOne));
  EXPECT_EQ(GetEventInstance(&o, &second), reinterpret_cast<void*>(&HandlerTwo));
  EXPECT_EQ(GetEventInstance(&o, &beyond), nullptr);
  EXPECT_EQ(GetEventInstance(&o, nullptr), nullptr);
  EXPECT_EQ(GetEventInstance(nullptr, &first), nullptr);
  o.events = nullptr;
  EXPECT_EQ(GetEventInstance(&o, &first), nullptr);
}

// --- Installation in a process of its own (death-test style "threadsafe" re-runs the
// program for the one test, so nothing is installed there yet).

class PluginInstallProcess : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(PluginInstallProcess, ShutdownUnloadsAndDeletesExtractedFiles) {
  std::string home = MakeTempFolder("home");
  EXPECT_EXIT(
      {
        setenv("HOME", home.c_str(), 1);
        MVSetApplicationFolder(MakeTempFolder("app").c_str());
        AddPluginResource("libMVShell.so", ReadFile(MVSHELL_LIBRARY));
        RuntimeInitExternalClasses();
        bool extracted = FolderEntries(home + "/.tmpAppData").size() == 1;
        MVRunShutdownList();
        struct stat st;
        bool gone = stat((home + "/.tmpAppData").c_str(), &st) != 0;
        fprintf(stderr, "extracted=%d gone=%d\n", extracted, gone);
        exit(0);
      },
      testing::ExitedWithCode(0), "extracted=1 gone=1");
}

// The image cannot run without an entry it asks for (here a property of direct access,
// which has no routine): reported, the extracted library removed, status 1.
TEST_F(PluginInstallProcess, AnEntryNoPluginProvidesEndsTheProcess) {
  if (!getenv("MVTEST_LOOKUP_HOME")) setenv("MVTEST_LOOKUP_HOME", MakeTempFolder("home").c_str(), 1);
  std::string home = getenv("MVTEST_LOOKUP_HOME");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the report, where the death test reads it
        setenv("HOME", home.c_str(), 1);
        MVSetApplicationFolder(MakeTempFolder("app").c_str());
        AddPluginResource("libMVShell.so", ReadFile(MVSHELL_LIBRARY));
        RuntimeInitExternalClasses();
        if (FolderEntries(home + "/.tmpAppData").size() != 1) exit(2);
        Entry("Shell.ErrorCode.Get");
        exit(0);
      },
      testing::ExitedWithCode(1),
      "../Common/plugin: 8302\nFailure Condition: pluginEntryTable.GetEntry\\( entrypointName, "
      "out \\)\ncan't find plugin method Shell.ErrorCode.Get\n");
  struct stat st;
  EXPECT_NE(stat((home + "/.tmpAppData").c_str(), &st), 0);
}

TEST_F(PluginInstallProcess, AnExistingTemporaryFolderIsRemovedAtExitWhenEmpty) {
  // Another copy of the program made the folder and has ended meanwhile: this copy's
  // exit removes it. A folder still holding another file stays, with the file.
  // The same home folders in this process and in those that run the statements (which
  // run this body again from the start: the folders are made here only).
  if (!getenv("MVTEST_EMPTY_HOME")) {
    std::string empty = MakeTempFolder("home"), busy = MakeTempFolder("home");
    mkdir((empty + "/.tmpAppData").c_str(), 0700);
    mkdir((busy + "/.tmpAppData").c_str(), 0700);
    std::ofstream(busy + "/.tmpAppData/other") << "x";
    setenv("MVTEST_EMPTY_HOME", empty.c_str(), 1);
    setenv("MVTEST_BUSY_HOME", busy.c_str(), 1);
  }
  std::string emptyHome = getenv("MVTEST_EMPTY_HOME");
  std::string busyHome = getenv("MVTEST_BUSY_HOME");
  for (const std::string& home : {emptyHome, busyHome}) {
    EXPECT_EXIT(
        {
          setenv("HOME", home.c_str(), 1);
          MVSetApplicationFolder(MakeTempFolder("app").c_str());
          AddPluginResource("libMVProbe.so", ReadFile(MVPROBE_LIBRARY));
          RuntimeInitExternalClasses();
          bool extracted = MVLoadedPlugins() && !MVLoadedPlugins()->path.empty() &&
                           MVLoadedPlugins()->path.rfind(home + "/.tmpAppData/", 0) == 0;
          MVRunShutdownList();
          fprintf(stderr, "extracted=%d\n", extracted);
          exit(0);
        },
        testing::ExitedWithCode(0), "extracted=1");
  }
  struct stat st;
  EXPECT_NE(stat((emptyHome + "/.tmpAppData").c_str(), &st), 0);
  EXPECT_EQ(FolderEntries(busyHome + "/.tmpAppData"), std::vector<std::string>{"other"});
}

TEST_F(PluginInstallProcess, LibraryBesideTheProgramIsLoadedInsteadOfExtracting) {
  std::string home = MakeTempFolder("home");
  std::string app = MakeTempFolder("app");
  std::vector<uint8_t> library = ReadFile(MVSHELL_LIBRARY);
  std::ofstream(app + "/libMVShell.so", std::ios::binary)
      .write(reinterpret_cast<const char*>(library.data()), library.size());
  EXPECT_EXIT(
      {
        setenv("HOME", home.c_str(), 1);
        MVSetApplicationFolder(app.c_str());
        // The embedded copy is damaged: loading it would fail.
        AddPluginResource("libMVShell.so", std::vector<uint8_t>(100, 0));
        RuntimeInitExternalClasses();
        bool loaded = RuntimeLookupPluginEntrypoint(Str("Shell.Close")) != nullptr;
        MVRunShutdownList();
        struct stat st;
        bool noFolder = stat((home + "/.tmpAppData").c_str(), &st) != 0;
        bool kept = stat((app + "/libMVShell.so").c_str(), &st) == 0;
        fprintf(stderr, "loaded=%d noFolder=%d kept=%d\n", loaded, noFolder, kept);
        exit(0);
      },
      testing::ExitedWithCode(0), "loaded=1 noFolder=1 kept=1");
}

TEST_F(PluginInstallProcess, LibraryThatCannotBeLoadedEndsTheProcessWithReport) {
  // The same home folder in this process and in the one that runs the statement.
  if (!getenv("MVTEST_FAILING_HOME")) setenv("MVTEST_FAILING_HOME", MakeTempFolder("home").c_str(), 1);
  std::string home = getenv("MVTEST_FAILING_HOME");
  EXPECT_EXIT(
      {
        dup2(2, 1);  // the report goes to standard output
        setenv("HOME", home.c_str(), 1);
        MVSetApplicationFolder(MakeTempFolder("app").c_str());
        AddPluginResource("libMVShell.so", std::vector<uint8_t>(100, 0));
        RuntimeInitExternalClasses();
        exit(0);
      },
      testing::ExitedWithCode(1),
      "Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\nalong with the "
      "information below.\n\n../Common/plugin: 7284\nFailure Condition: 0\nThe application "
      "cannot continue because a needed file cannot be installed. .*libMVShell.so.*\n\n\n");
  // The file written before the failure is gone again, and so is the folder.
  struct stat st;
  EXPECT_NE(stat((home + "/.tmpAppData").c_str(), &st), 0);
}

TEST_F(PluginInstallProcess, UnwritableHomeFallsBackToTmp) {
  EXPECT_EXIT(
      {
        setenv("HOME", "/nonexistent/home/of/nobody", 1);
        MVSetApplicationFolder(MakeTempFolder("app").c_str());
        AddPluginResource("libMVProbe.so", ReadFile(MVPROBE_LIBRARY));
        RuntimeInitExternalClasses();
        bool loaded = MVPluginClass("ProbeBase") != nullptr;
        std::string path = MVLoadedPlugins() ? MVLoadedPlugins()->path : "";
        MVRunShutdownList();
        struct stat st;
        fprintf(stderr, "loaded=%d tmp=%d deleted=%d\n", loaded, path.rfind("/tmp/", 0) == 0,
                stat(path.c_str(), &st) != 0);
        exit(0);
      },
      testing::ExitedWithCode(0), "loaded=1 tmp=1 deleted=1");
}

TEST_F(PluginInstallProcess, ClassesOfOldInterfaceVersionsAreIgnored) {
  EXPECT_EXIT(
      {
        setenv("HOME", MakeTempFolder("home").c_str(), 1);
        setenv("PROBE_VERSION", "2", 1);
        MVSetApplicationFolder(MakeTempFolder("app").c_str());
        AddPluginResource("libMVProbe.so", ReadFile(MVPROBE_LIBRARY));
        RuntimeInitExternalClasses();
        fprintf(stderr, "registered=%d version=%d\n", MVPluginClass("ProbeBase") != nullptr,
                MVLoadedPlugins()->version);
        MVRunShutdownList();
        exit(0);
      },
      testing::ExitedWithCode(0), "registered=0 version=2");
}
