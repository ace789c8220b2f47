#include "plugins/shell/services.h"

namespace shellplugin {
namespace {

MAVOResolver g_resolver = nullptr;

// One runtime service: its export name and the address the resolver gave for it.
struct Service {
  const char* name;
  void* address;
  bool asked;
};

void* Lookup(Service& s) {
  if (!s.asked && g_resolver) {
    s.address = g_resolver(s.name);
    s.asked = true;
  }
  return s.address;
}

Service g_registerVersion = {"RegisterPluginVersion", nullptr, false};
Service g_registerClass = {"PluginRegisterClass", nullptr, false};
Service g_registerTask = {"PluginRegisterBackgroundTask", nullptr, false};
Service g_unregisterTask = {"PluginUnregisterBackgroundTask", nullptr, false};
Service g_eventInstance = {"GetEventInstance", nullptr, false};
Service g_buildString = {"MAVOBuildString", nullptr, false};
Service g_cString = {"StringGetCString", nullptr, false};
Service g_lockString = {"MAVOLockString", nullptr, false};
Service g_unlockString = {"MAVOUnlockString", nullptr, false};
Service g_convertString = {"MAVOConvertString", nullptr, false};
Service g_fontEncoding = {"MAVOGetFontEncoding", nullptr, false};
Service g_stopRequested = {"RuntimeStopRequested", nullptr, false};

template <typename Fn>
Fn As(Service& s) {
  return reinterpret_cast<Fn>(Lookup(s));
}

}  // namespace

void SetResolver(MAVOResolver resolver) { g_resolver = resolver; }

void RtRegisterPluginVersion(int32_t version) {
  if (auto fn = As<void (*)(int32_t)>(g_registerVersion)) fn(version);
}

int32_t RtPluginRegisterClass(MAVOclassDefinition* definition) {
  auto fn = As<int32_t (*)(MAVOclassDefinition*)>(g_registerClass);
  return fn ? fn(definition) : -1;
}

int32_t RtPluginRegisterBackgroundTask(MAVOBackgroundProc routine, int32_t period,
                                       void* argument) {
  auto fn = As<int32_t (*)(MAVOBackgroundProc, int32_t, void*)>(g_registerTask);
  return fn ? fn(routine, period, argument) : 0;
}

void RtPluginUnregisterBackgroundTask(int32_t taskId) {
  if (auto fn = As<void (*)(int32_t)>(g_unregisterTask)) fn(taskId);
}

MAVOEventHandlerProc RtGetEventInstance(void* object, void* descriptor) {
  auto fn = As<void* (*)(void*, void*)>(g_eventInstance);
  return fn ? reinterpret_cast<MAVOEventHandlerProc>(fn(object, descriptor)) : nullptr;
}

MVString* BuildString(const void* bytes, int32_t length, uint32_t encoding) {
  auto fn = As<MVString* (*)(const void*, int32_t, uint32_t)>(g_buildString);
  return fn ? fn(bytes, length, encoding) : nullptr;
}

const char* RtStringGetCString(MVString* s) {
  auto fn = As<const char* (*)(MVString*)>(g_cString);
  return fn ? fn(s) : nullptr;
}

void LockString(MVString* s) {
  if (auto fn = As<void (*)(MVString*)>(g_lockString)) fn(s);
}

void UnlockString(MVString* s) {
  if (auto fn = As<void (*)(MVString*)>(g_unlockString)) fn(s);
}

MVString* ConvertString(MVString* s, uint32_t encoding) {
  auto fn = As<MVString* (*)(MVString*, uint32_t)>(g_convertString);
  return fn ? fn(s, encoding) : nullptr;
}

uint32_t GetFontEncoding(const char* fontName) {
  auto fn = As<uint32_t (*)(const char*)>(g_fontEncoding);
  return fn ? fn(fontName) : 0;
}

int32_t RtStopRequested() {
  auto fn = As<int32_t (*)()>(g_stopRequested);
  return fn ? fn() : 0;
}

}  // namespace shellplugin
