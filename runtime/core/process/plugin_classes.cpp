// Plug-in classes: registration, the runtime classes built from their definitions, the
// entry-point table through which the image reaches plug-in code, and event lookup.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <array>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "runtime/core/process/plugin_host.h"
#include "runtime/core/objects/report.h"
#include "runtime/core/objects/shutdown.h"
#include "runtime/values/alloc.h"

namespace {

struct CaseLess {
  bool operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
  }
};

struct PluginClass {
  std::string name;
  MAVOObjectProc constructor;
  MAVOObjectProc destructor;
  MAVOclassDefinition* definition;
  MVLoadedPlugin* plugin;
  MVClass* cls = nullptr;
  bool building = false;
};

struct ClassState {
  std::vector<PluginClass*> list;  // newest first
  std::map<std::string, PluginClass*, CaseLess> byName;
  std::map<std::string, void*, CaseLess> entries;
  size_t entriesBuiltFrom = 0;     // classes the entry table was built from
  bool entriesBuilt = false;
};

ClassState& State() {
  static ClassState state;
  return state;
}

// Names the runtime keeps for its own database classes.
const char* const kReserved[] = {"Database",       "DatabaseRecord", "DatabaseCursor",
                                 "DatabaseCursorField", "DatabaseField", "RecordSet",
                                 "DatabaseQuery"};

bool IsReserved(const char* name) {
  for (const char* r : kReserved)
    if (strcasecmp(r, name) == 0) return true;
  return false;
}

// The runtime's own classes are created on first use; look them up through their
// getters so that a plug-in can name one before anything else has used it.
MVClass* RuntimeClassNamed(const char* name) {
  static const std::pair<const char*, MVClass* (*)()> kOwn[] = {
      {"RuntimeException", MVRuntimeExceptionClass},
      {"NilObjectException", MVNilObjectExceptionClass},
      {"IllegalCastException", MVIllegalCastExceptionClass},
      {"OutOfBoundsException", MVOutOfBoundsExceptionClass},
      {"StackOverflowException", MVStackOverflowExceptionClass},
      {"TypeMismatchException", MVTypeMismatchExceptionClass},
      {"FunctionNotFoundException", MVFunctionNotFoundExceptionClass},
      {"EndException", MVEndExceptionClass},
      {"ThreadEndException", MVThreadEndExceptionClass},
  };
  for (const auto& own : kOwn)
    if (strcasecmp(own.first, name) == 0) return own.second();
  return MVFindClass(name);
}

// Initializer and releaser of a built class call the plug-in's constructor and
// destructor. The object model hands them only the object, and every class of a chain
// gets the same object, so each built class has routines of its own: a fixed pool.
constexpr size_t kRoutineSlots = 64;
PluginClass* g_slotOwner[kRoutineSlots];
size_t g_slotsUsed = 0;

template <size_t N>
void SlotInitializer(MVObject* o) {
  if (g_slotOwner[N] && g_slotOwner[N]->constructor) g_slotOwner[N]->constructor(o);
}

template <size_t N>
void SlotReleaser(MVObject* o) {
  if (g_slotOwner[N] && g_slotOwner[N]->destructor) g_slotOwner[N]->destructor(o);
}

template <size_t... I>
constexpr std::array<MVObjectRoutine, sizeof...(I)> Initializers(std::index_sequence<I...>) {
  return {{&SlotInitializer<I>...}};
}

template <size_t... I>
constexpr std::array<MVObjectRoutine, sizeof...(I)> Releasers(std::index_sequence<I...>) {
  return {{&SlotReleaser<I>...}};
}

const auto kInitializers = Initializers(std::make_index_sequence<kRoutineSlots>());
const auto kReleasers = Releasers(std::make_index_sequence<kRoutineSlots>());

MVString* Text(const char* s) { return MVStringFromCString(s, kEncodingUTF8); }

void Build(PluginClass* pc) {
  MAVOclassDefinition* def = pc->definition;
  if (pc->cls || def->dataOffset != 0) return;
  if (pc->building) {  // a superclass chain that leads back to this class
    MVRuntimeErrorReport(2, "../Common/plugin", 6190, "!classDef->building", def->name);
    return;
  }
  pc->building = true;
  MVLoadedPlugin*& current = MVCurrentPlugin();
  MVLoadedPlugin* saved = current;
  current = pc->plugin;

  MVClass* super = nullptr;
  if (def->superName && *def->superName) {
    auto it = State().byName.find(def->superName);
    if (it != State().byName.end() && it->second != pc) {
      Build(it->second);
      super = it->second->cls;
    } else {
      super = RuntimeClassNamed(def->superName);
    }
    if (!super) {
      std::string extra = std::string("can't find superclass ") + def->superName;
      MVRuntimeErrorReport(2, "../Common/plugin", 6212, "superclass", extra.c_str());
    }
  }
  uint32_t offset = super ? super->instanceSize : static_cast<uint32_t>(sizeof(MVObject));
  uint32_t baseMethods = super ? super->methodCount : 0;
  uint32_t baseEvents = super ? super->eventCount : 0;
  uint32_t baseProperties = super ? super->propertyCount : 0;
  // Interface lists name interfaces of other plug-ins; this program has none, so the
  // class keeps only those it inherits.
  MVClass* cls = RuntimeNewClass(super, baseMethods + def->methodCount,
                                 super ? super->interfaceCount : 0, baseEvents + def->eventCount,
                                 super ? super->auxCount : 0, baseProperties + def->propertyCount);
  def->dataOffset = offset;
  if (cls) {
    cls->name = Text(def->name);
    cls->instanceSize = offset + def->dataSize;
    if ((def->constructor || def->destructor) && g_slotsUsed < kRoutineSlots) {
      size_t slot = g_slotsUsed++;
      g_slotOwner[slot] = pc;
      if (def->constructor) cls->initializer = kInitializers[slot];
      if (def->destructor) cls->releaser = kReleasers[slot];
    } else if (def->constructor || def->destructor) {
      MVRuntimeErrorReport(2, "../Common/plugin", 6240, "slot < kRoutineSlots", def->name);
    }
    for (uint32_t k = 0; k < def->methodCount; k++) {
      cls->methods[baseMethods + k].function = def->methods[k].function;
      cls->methods[baseMethods + k].signature = Text(def->methods[k].declaration);
    }
    for (uint32_t k = 0; k < def->propertyCount; k++) {
      const MAVOproperty& p = def->properties[k];
      MVWord* w = cls->properties[baseProperties + k].w;
      w[0] = reinterpret_cast<MVWord>(p.getter);
      w[1] = reinterpret_cast<MVWord>(p.setter);
      w[2] = offset + static_cast<uint32_t>(p.parameter);
      w[3] = p.flags;
    }
  }
  for (uint32_t k = 0; k < def->eventCount; k++) {
    def->events[k].descriptor = new MAVOeventDescriptor{baseEvents + k, def->events[k].declaration};
    if (cls) cls->events[baseEvents + k] = MVEventEntry{nullptr, 0};
  }
  pc->cls = cls;
  pc->building = false;
  current = saved;
}

void BuildEntries(ClassState& s) {
  if (s.entriesBuilt && s.entriesBuiltFrom == s.list.size()) return;
  s.entries.clear();
  // Oldest first, so that the first class registered under a name wins.
  for (auto it = s.list.rbegin(); it != s.list.rend(); ++it) {
    const PluginClass* pc = *it;
    const MAVOclassDefinition* def = pc->definition;
    const std::string c = pc->name + ".";
    s.entries.emplace(c + "__init", reinterpret_cast<void*>(def->constructor));
    s.entries.emplace(c + "__exit", reinterpret_cast<void*>(def->destructor));
    for (uint32_t k = 0; k < def->methodCount; k++)
      if (def->methods[k].declaration)
        s.entries.emplace(c + def->methods[k].declaration, def->methods[k].function);
    for (uint32_t k = 0; k < def->propertyCount; k++) {
      const MAVOproperty& p = def->properties[k];
      if (!p.name) continue;
      if (p.getter && p.getter != MAVO_DIRECT_ACCESS)
        s.entries.emplace(c + p.name + ".Get", p.getter);
      if (p.setter && p.setter != MAVO_DIRECT_ACCESS)
        s.entries.emplace(c + p.name + ".Set", p.setter);
    }
    for (uint32_t k = 0; k < def->eventCount; k++)
      if (def->events[k].declaration)
        s.entries.emplace(c + "Events." + def->events[k].declaration, def->events[k].descriptor);
  }
  s.entriesBuiltFrom = s.list.size();
  s.entriesBuilt = true;
}

}  // namespace

void MVBuildPluginClasses() {
  if (MVCurrentPlugin())
    MVRuntimeErrorReport(4, "../Common/plugin", 6161, "!loadingPlugin", nullptr);
  // Oldest first; superclasses are completed on demand.
  ClassState& s = State();
  for (auto it = s.list.rbegin(); it != s.list.rend(); ++it) Build(*it);
}

MVClass* MVPluginClass(const char* name) {
  auto it = State().byName.find(name);
  return it == State().byName.end() ? nullptr : it->second->cls;
}

extern "C" void RegisterPluginVersion(int32_t version) {
  if (MVLoadedPlugin* p = MVCurrentPlugin()) p->version = version;
}

extern "C" int32_t PluginRegisterClass(void* classDefinition) {
  MVLoadedPlugin* plugin = MVCurrentPlugin();
  MAVOclassDefinition* def = static_cast<MAVOclassDefinition*>(classDefinition);
  if (!plugin || plugin->version <= 2 || !def || !def->name || IsReserved(def->name)) return 0;
  PluginClass* pc = new PluginClass{def->name, def->constructor, def->destructor, def, plugin};
  ClassState& s = State();
  s.list.insert(s.list.begin(), pc);
  s.byName[pc->name] = pc;
  return 1;
}

extern "C" void* RuntimeLookupPluginEntrypoint(MVString* name) {
  std::string text;
  if (name) text.assign(reinterpret_cast<const char*>(MVStringBytes(name)), MVStringLength(name));
  if (text == "_") return nullptr;
  ClassState& s = State();
  BuildEntries(s);
  auto it = s.entries.find(text);
  if (it != s.entries.end()) return it->second;
  std::string extra = "can't find plugin method " + text;
  MVRuntimeErrorReport(4, "../Common/plugin", 8302,
                       "pluginEntryTable.GetEntry( entrypointName, out )", extra.c_str());
  // The image would call through the empty entry: a plug-in it was built against is
  // missing or damaged, so the program ends here, its extracted files removed.
  fflush(stdout);
  MVRunShutdownList();
  exit(1);
}

extern "C" void** RuntimeAllocatePluginEntrypointsTable(uint32_t n) {
  if (n == 0) return nullptr;
  void** table = static_cast<void**>(calloc(n, sizeof(void*)));
  if (!table) MVOutOfMemory();
  return table;
}

extern "C" void* GetEventInstance(MVObject* o, void* eventDescriptor) {
  const MAVOeventDescriptor* d = static_cast<const MAVOeventDescriptor*>(eventDescriptor);
  if (!o || !d || !o->events || !o->cls || o->cls->eventCount == 0) return nullptr;
  if (d->index >= o->cls->eventCount) return nullptr;
  return o->events[d->index].handler;
}
