// Class records: creation with their inline tables, the class list, type tests, casts,
// interface method tables and event handler lookup.
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/objects_internal.h"
#include "runtime/core/objects/report.h"
#include "runtime/values/alloc.h"
#include "runtime/values/string.h"


namespace {

const char kModule[] = "../Common/Object Model/RuntimeObjectFoundation";

MVClass* g_classes = nullptr;  // newest first
bool g_raisingAllocationFailure = false;

bool NameIs(const MVString* name, const char* text) {
  return name && strcasecmp(reinterpret_cast<const char*>(MVStringBytes(name)), text) == 0;
}

// Copies min(from, to) entries and reports when the new class declares fewer.
template <typename T>
void Inherit(T* out, uint32_t outCount, const T* base, uint32_t baseCount, int32_t line,
             const char* condition) {
  if (line && outCount < baseCount) MVRuntimeErrorReport(4, kModule, line, condition, nullptr);
  uint32_t n = outCount < baseCount ? outCount : baseCount;
  if (n) memcpy(out, base, n * sizeof(T));
}

}  // namespace

void MVRaiseAllocationFailure() {
  if (g_raisingAllocationFailure) MVOutOfMemory();
  g_raisingAllocationFailure = true;
  MVClass* cls = MVNilObjectExceptionClass();
  if (!cls) MVOutOfMemory();
  MVRaiseNew(cls, nullptr, 0);
  g_raisingAllocationFailure = false;
}

MVClass* MVClassListHead() { return g_classes; }

extern "C" MVClass* RuntimeNewClass(MVClass* base, uint32_t methods, uint32_t interfaces,
                                    uint32_t events, uint32_t aux, uint32_t properties) {
  uint64_t size = sizeof(MVClass) + uint64_t{sizeof(MVInterfaceEntry)} * interfaces +
                  uint64_t{sizeof(MVMethodEntry)} * methods + uint64_t{sizeof(MVEventEntry)} * events +
                  uint64_t{sizeof(MVAuxEntry)} * aux + uint64_t{sizeof(MVPropertyEntry)} * properties;
  MVClass* out = size <= 0x7FFFFFFF ? static_cast<MVClass*>(calloc(1, static_cast<size_t>(size)))
                                    : nullptr;
  if (!out) {
    MVRaiseAllocationFailure();
    return nullptr;
  }
  uint8_t* p = reinterpret_cast<uint8_t*>(out) + sizeof(MVClass) +
               sizeof(MVInterfaceEntry) * size_t{interfaces};
  out->methods = reinterpret_cast<MVMethodEntry*>(p);
  p += sizeof(MVMethodEntry) * size_t{methods};
  out->events = reinterpret_cast<MVEventEntry*>(p);
  p += sizeof(MVEventEntry) * size_t{events};
  out->aux = reinterpret_cast<MVAuxEntry*>(p);
  p += sizeof(MVAuxEntry) * size_t{aux};
  out->properties = reinterpret_cast<MVPropertyEntry*>(p);
  out->methodCount = methods;
  out->interfaceCount = interfaces;
  out->eventCount = events;
  out->auxCount = aux;
  out->propertyCount = properties;

  if (base) {
    // A class that declares fewer entries than its superclass is reported; only as many
    // inherited entries as fit are copied.
    Inherit(out->methods, methods, base->methods, base->methodCount, 166,
            "out->methodCount >= base->methodCount");
    Inherit(out->interfaces, interfaces, base->interfaces, base->interfaceCount, 168,
            "out->interfaceCount >= base->interfaceCount");
    Inherit(out->events, events, base->events, base->eventCount, 170,
            "out->eventCount >= base->eventCount");
    Inherit(out->aux, aux, base->aux, base->auxCount, 0, nullptr);
    Inherit(out->properties, properties, base->properties, base->propertyCount, 182,
            "out->propertyCount >= base->propertyCount");
  }
  out->superclass = base;
  out->next = g_classes;
  g_classes = out;
  return out;
}

extern "C" void RuntimeRegisterClass(MVClass* cls) {
  if (!cls) {
    MVRuntimeErrorReport(4, kModule, 114, "theClass", nullptr);
    return;
  }
  // Linking a record that is already listed would make the list circular.
  for (MVClass* c = g_classes; c; c = c->next)
    if (c == cls) return;
  cls->next = g_classes;
  g_classes = cls;
}

extern "C" MVMethodEntry* RuntimeNewVtable(uint32_t entries) {
  uint64_t size = uint64_t{sizeof(MVMethodEntry)} * entries;
  if (size < 1) return nullptr;
  void* table = size <= 0x7FFFFFFF ? calloc(1, static_cast<size_t>(size)) : nullptr;
  if (!table) {
    MVRaiseAllocationFailure();
    return nullptr;
  }
  return static_cast<MVMethodEntry*>(table);
}

extern "C" bool RuntimeObjectIsa(MVObject* o, MVClass* cls) {
  if (!o) return false;
  if (!cls) return true;
  MVClass* own = o->cls;
  if (!own) return false;
  if (cls->isInterface) {
    for (uint32_t i = 0; i < own->interfaceCount; i++)
      if (own->interfaces[i].interface == cls) return true;
    return false;
  }
  for (MVClass* c = own; c; c = c->superclass)
    if (c == cls) return true;
  return false;
}

extern "C" MVObject* RuntimeCheckCast(MVObject* o, MVClass* cls) {
  if (!o) return nullptr;
  // Every successful cast hands back one reference, the nil-class one included.
  if (!cls || RuntimeObjectIsa(o, cls) ||
      (o->cls && NameIs(o->cls->name, "OLEObject") && cls->superclass &&
       NameIs(cls->superclass->name, "OLEObject"))) {
    RuntimeLockObject(o);
    return o;
  }
  MVRaiseNew(MVIllegalCastExceptionClass(), nullptr, 0);
  return nullptr;
}

extern "C" MVMethodEntry* RuntimeLookupInterfaceVtable(MVObject* o, MVClass* interface) {
  if (!o || !interface || !o->cls) {
    RaiseNilObjectException();
    return nullptr;
  }
  MVClass* own = o->cls;
  for (uint32_t i = 0; i < own->interfaceCount; i++)
    if (own->interfaces[i].interface == interface) return own->interfaces[i].methods;
  MVRaiseNew(MVIllegalCastExceptionClass(), nullptr, 0);
  return nullptr;
}

extern "C" void* RuntimeLookupEventHandler(MVObject* o, uint32_t eventIndex) {
  if (!o || !o->events || !o->cls || o->cls->eventCount == 0) return nullptr;
  // An index beyond the class's events names no handler (and no memory outside the table).
  if (eventIndex >= o->cls->eventCount) return nullptr;
  return o->events[eventIndex].handler;
}

extern "C" MVClass* MVFindClass(const char* name) {
  if (!name) return nullptr;
  // The runtime's own exception classes are findable before anyone has raised one.
  static bool runtimeClasses = [] {
    MVRuntimeExceptionClass();
    MVNilObjectExceptionClass();
    MVIllegalCastExceptionClass();
    MVOutOfBoundsExceptionClass();
    MVStackOverflowExceptionClass();
    MVTypeMismatchExceptionClass();
    MVFunctionNotFoundExceptionClass();
    MVEndExceptionClass();
    MVThreadEndExceptionClass();
    return true;
  }();
  (void)runtimeClasses;
  for (MVClass* c = g_classes; c; c = c->next)
    if (NameIs(c->name, name)) return c;
  return nullptr;
}

extern "C" MVClass* MVMakeClass(const char* name, MVClass* superclass, uint32_t instanceSize,
                                MVObjectRoutine initializer, MVObjectRoutine finalizer,
                                MVObjectRoutine releaser) {
  MVClass* cls = superclass
                     ? RuntimeNewClass(superclass, superclass->methodCount, superclass->interfaceCount,
                                       superclass->eventCount, superclass->auxCount,
                                       superclass->propertyCount)
                     : RuntimeNewClass(nullptr, 0, 0, 0, 0, 0);
  if (!cls) return nullptr;
  cls->name = MVStringFromCString(name, kEncodingASCII);
  cls->instanceSize = instanceSize;
  cls->initializer = initializer;
  cls->finalizer = finalizer;
  cls->releaser = releaser;
  return cls;
}
