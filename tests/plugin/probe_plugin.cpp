// A probe plug-in for the host tests. Its entry point records what it saw and registers
// a small class hierarchy (registered derived class first, a reserved name, a runtime
// superclass). PROBE_VERSION in the environment chooses the version it declares.
#include <stdlib.h>
#include <string.h>

#include "runtime/core/process/plugin_records.h"

namespace {

char g_seenPath[4096];
int g_constructed = 0;
int g_destroyed = 0;

void BaseConstructor(void*) { g_constructed++; }
void BaseDestructor(void*) { g_destroyed++; }

MAVOevent g_baseEvents[] = {{"Ping()", nullptr}};
MAVOevent g_derivedEvents[] = {{"Pong()", nullptr}};

MAVOclassDefinition Definition(const char* name, const char* super, uint32_t dataSize) {
  MAVOclassDefinition d;
  memset(&d, 0, sizeof d);
  d.version = MAVO_CLASS_VERSION;
  d.name = name;
  d.superName = super;
  d.dataSize = dataSize;
  d.flags = MAVO_CLASS_CONSOLE_SAFE;
  return d;
}

MAVOclassDefinition g_base = Definition("ProbeBase", nullptr, 8);
MAVOclassDefinition g_derived = Definition("ProbeDerived", "ProbeBase", 4);
MAVOclassDefinition g_exception = Definition("ProbeException", "RuntimeException", 4);
MAVOclassDefinition g_reserved = Definition("Database", nullptr, 4);

}  // namespace

extern "C" __attribute__((visibility("default"))) const char* ProbeSeenPath() {
  return g_seenPath;
}
extern "C" __attribute__((visibility("default"))) int ProbeConstructed() { return g_constructed; }
extern "C" __attribute__((visibility("default"))) int ProbeDestroyed() { return g_destroyed; }
extern "C" __attribute__((visibility("default"))) MAVOclassDefinition* ProbeDefinition(int i) {
  MAVOclassDefinition* all[] = {&g_base, &g_derived, &g_exception, &g_reserved};
  return all[i];
}

extern "C" __attribute__((visibility("default"))) int32_t MAVOPluginMain(MAVOResolver resolve) {
  const char* path = getenv("MVPLUGINPATH");
  strncpy(g_seenPath, path ? path : "", sizeof g_seenPath - 1);
  g_base.constructor = BaseConstructor;
  g_base.destructor = BaseDestructor;
  g_base.events = g_baseEvents;
  g_base.eventCount = 1;
  g_derived.events = g_derivedEvents;
  g_derived.eventCount = 1;
  // Names in another letter case than the export table's: the resolver ignores case.
  auto version = reinterpret_cast<void (*)(int32_t)>(resolve("registerpluginversion"));
  auto registerClass = reinterpret_cast<int32_t (*)(void*)>(resolve("PLUGINREGISTERCLASS"));
  if (!version || !registerClass) return -1;
  const char* v = getenv("PROBE_VERSION");
  version(v ? atoi(v) : MAVO_CLASS_VERSION);
  registerClass(&g_derived);
  registerClass(&g_base);
  registerClass(&g_reserved);
  return registerClass(&g_exception);
}
