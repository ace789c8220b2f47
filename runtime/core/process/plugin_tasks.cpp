// Background tasks of plug-ins, and the typed field accessors the image uses for
// properties with direct field access.
#include <time.h>

#include <unordered_map>
#include <vector>

#include "runtime/core/process/plugin.h"
#include "runtime/core/process/plugin_records.h"

namespace {

struct BackgroundTask {
  int32_t id;
  MAVOBackgroundProc routine;
  void* argument;
  uint32_t period;   // ticks
  uint32_t lastRun;  // tick count of the last run (registration counts as one)
};

struct TaskState {
  std::vector<BackgroundTask*> periodic;  // in registration order
  std::unordered_map<int32_t, BackgroundTask*> byId;
  int32_t nextId = 1;
  bool dispatched = false;
  uint32_t lastTicks = 0;
};

TaskState& Tasks() {
  static TaskState state;
  return state;
}

// Ticks of 1/60 s of elapsed real time since the first call. The compiled code asks at
// the end of every loop iteration, so the clock is read through the monotonic clock
// (no system call) rather than times(); the count is the same. Scaled in 64 bits.
uint32_t CurrentTicks() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  static const struct timespec base = now;
  int64_t ns = (static_cast<int64_t>(now.tv_sec) - base.tv_sec) * 1000000000LL +
               (now.tv_nsec - base.tv_nsec);
  return static_cast<uint32_t>(static_cast<uint64_t>(ns) * 60 / 1000000000ULL);
}

template <typename T>
T& Field(MVObject* o, int32_t offset) {
  return *reinterpret_cast<T*>(reinterpret_cast<uint8_t*>(o) + offset);
}

}  // namespace

extern "C" int32_t PluginRegisterBackgroundTask(void* routine, int32_t periodTicks,
                                                void* argument) {
  TaskState& s = Tasks();
  BackgroundTask* task = new BackgroundTask{s.nextId++,
                                            reinterpret_cast<MAVOBackgroundProc>(routine),
                                            argument,
                                            periodTicks > 0 ? static_cast<uint32_t>(periodTicks) : 0,
                                            CurrentTicks()};
  s.periodic.push_back(task);
  s.byId[task->id] = task;
  return task->id;
}

extern "C" void PluginUnregisterBackgroundTask(int32_t taskId) {
  TaskState& s = Tasks();
  auto it = s.byId.find(taskId);
  if (it == s.byId.end()) return;
  BackgroundTask* task = it->second;
  s.byId.erase(it);
  for (size_t i = 0; i < s.periodic.size(); i++) {
    if (s.periodic[i] == task) {
      s.periodic.erase(s.periodic.begin() + i);
      break;
    }
  }
  delete task;
}

extern "C" void RuntimeBackgroundTask(void) {
  TaskState& s = Tasks();
  uint32_t now = CurrentTicks();
  if (s.dispatched && now == s.lastTicks) return;
  s.dispatched = true;
  s.lastTicks = now;
  // Last to first. A task may register or unregister tasks (its own included) while it
  // runs, so the position is re-checked against the list after every run.
  size_t i = s.periodic.size();
  while (i > 0) {
    i--;
    if (i >= s.periodic.size()) {
      i = s.periodic.size();
      continue;
    }
    BackgroundTask* task = s.periodic[i];
    if (now - task->lastRun < task->period) continue;
    task->lastRun = now;
    if (task->routine) task->routine(task->argument);
  }
}

extern "C" int32_t intGetter(MVObject* o, int32_t offset) {
  return o ? Field<int32_t>(o, offset) : 0;
}

extern "C" void intSetter(MVObject* o, int32_t offset, int32_t value) {
  if (o) Field<int32_t>(o, offset) = value;
}

extern "C" bool boolGetter(MVObject* o, int32_t offset) {
  return o ? Field<int32_t>(o, offset) != 0 : false;
}

extern "C" void boolSetter(MVObject* o, int32_t offset, bool value) {
  if (o) Field<int32_t>(o, offset) = value ? 1 : 0;
}

extern "C" MVString* stringGetter(MVObject* o, int32_t offset) {
  if (!o) return nullptr;
  MVString* s = Field<MVString*>(o, offset);
  RuntimeLockString(s);
  return s;
}

extern "C" void stringSetter(MVObject* o, int32_t offset, MVString* value) {
  if (!o) return;
  MVString*& field = Field<MVString*>(o, offset);
  RuntimeLockString(value);
  MVString* old = field;
  field = value;
  RuntimeUnlockString(old);
}
