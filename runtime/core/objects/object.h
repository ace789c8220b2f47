// The object model: class records, objects, reference counting, type tests, events,
// and the runtime exception classes. Record layouts are the ones compiled code reads.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/values/string.h"
#include "runtime/values/array.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MVObject MVObject;
typedef struct MVClass MVClass;
typedef void (*MVObjectRoutine)(MVObject*);

typedef struct MVMethodEntry {   // 8 bytes
  void* function;
  MVString* signature;           // e.g. "ShowHelp%%o<App>"
} MVMethodEntry;

typedef struct MVEventEntry {    // 8 bytes
  void* handler;
  uint32_t second;
} MVEventEntry;

typedef struct MVAuxEntry {      // 8 bytes, copied with the class, never read
  uint32_t a, b;
} MVAuxEntry;

typedef struct MVPropertyEntry { // 16 bytes
  uint32_t w[4];
} MVPropertyEntry;

typedef struct MVInterfaceEntry { // 12 bytes, inline behind the class record
  MVClass* interface;
  uint32_t reserved;
  MVMethodEntry* methods;
} MVInterfaceEntry;

struct MVClass {                 // 68 bytes, then the inline arrays
  MVClass* superclass;
  MVString* name;
  MVClass* next;
  uint32_t instanceSize;
  uint8_t isInterface;
  uint8_t pad[3];
  MVObjectRoutine initializer;
  MVObjectRoutine finalizer;
  MVObjectRoutine releaser;
  uint32_t methodCount;
  MVMethodEntry* methods;
  uint32_t eventCount;
  MVEventEntry* events;
  uint32_t auxCount;
  MVAuxEntry* aux;
  uint32_t propertyCount;
  MVPropertyEntry* properties;
  uint32_t interfaceCount;
  MVInterfaceEntry interfaces[];
};

struct MVObject {                // 24-byte header, then the fields of the class chain
  MVMethodEntry* methods;
  MVClass* cls;
  MVEventEntry* events;
  uint32_t refCount;
  MVObject* prevLive;
  MVObject* nextLive;
};

// RuntimeException and subclasses: fields after the header.
typedef struct MVException {
  MVObject header;
  int32_t errorNumber;           // offset 24
  MVString* message;             // offset 28
  MVArray* stack;                // offset 32, 1-D string array
} MVException;

// --- Exported entry points.
MVClass* RuntimeNewClass(MVClass* superclass, uint32_t methods, uint32_t interfaces,
                         uint32_t events, uint32_t aux, uint32_t properties);
void RuntimeRegisterClass(MVClass* cls);
MVMethodEntry* RuntimeNewVtable(uint32_t entries);
MVObject* RuntimeNewObject(MVClass* cls);   // also exported as CreateInstance
void RuntimeLockObject(MVObject* o);
void RuntimeUnlockObject(MVObject* o);
void RuntimeLockUnlockObjects(MVObject* newValue, MVObject* oldValue);
bool RuntimeObjectIsa(MVObject* o, MVClass* cls);
MVObject* RuntimeCheckCast(MVObject* o, MVClass* cls);
MVMethodEntry* RuntimeLookupInterfaceVtable(MVObject* o, MVClass* interface);
// Event handler of the event with the given index in the object's event table, or NULL.
void* RuntimeLookupEventHandler(MVObject* o, uint32_t eventIndex);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
uint32_t MVLiveObjectCount(void);
// The runtime's own classes (created on first use, kept for the process).
MVClass* MVRuntimeExceptionClass(void);
MVClass* MVNilObjectExceptionClass(void);
MVClass* MVIllegalCastExceptionClass(void);
MVClass* MVOutOfBoundsExceptionClass(void);
MVClass* MVStackOverflowExceptionClass(void);
MVClass* MVTypeMismatchExceptionClass(void);
MVClass* MVFunctionNotFoundExceptionClass(void);
MVClass* MVEndExceptionClass(void);
MVClass* MVThreadEndExceptionClass(void);
// Find a registered class by name (case-insensitive), or NULL.
MVClass* MVFindClass(const char* name);
// Build a class for runtime code: name, superclass, instance size, routines.
MVClass* MVMakeClass(const char* name, MVClass* superclass, uint32_t instanceSize,
                     MVObjectRoutine initializer, MVObjectRoutine finalizer,
                     MVObjectRoutine releaser);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
