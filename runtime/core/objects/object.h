// The object model: class records, objects, reference counting, type tests, events,
// and the runtime exception classes. Record layouts are the ones compiled code reads.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/values/string.h"
#include "runtime/values/array.h"
#include "runtime/values/word.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MVObject MVObject;
typedef struct MVClass MVClass;
typedef void (*MVObjectRoutine)(MVObject*);

// Sizes and offsets below are those on i386; on x86-64 every pointer and MVWord takes 8
// bytes (both are checked after the definitions).
typedef struct MVMethodEntry {   // 8 bytes
  void* function;
  MVString* signature;           // e.g. "ShowHelp%%o<App>"
} MVMethodEntry;

typedef struct MVEventEntry {    // 8 bytes
  void* handler;
  MVWord second;
} MVEventEntry;

typedef struct MVAuxEntry {      // 8 bytes, copied with the class, never read
  MVWord a, b;
} MVAuxEntry;

typedef struct MVPropertyEntry { // 16 bytes
  MVWord w[4];
} MVPropertyEntry;

typedef struct MVInterfaceEntry { // 12 bytes, inline behind the class record
  MVClass* interface;
  MVWord reserved;
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

MV_LAYOUT_ASSERT(sizeof(MVMethodEntry) == MV_BY_WIDTH(8, 16) &&
                     sizeof(MVEventEntry) == MV_BY_WIDTH(8, 16) &&
                     sizeof(MVAuxEntry) == MV_BY_WIDTH(8, 16) &&
                     sizeof(MVPropertyEntry) == MV_BY_WIDTH(16, 32) &&
                     sizeof(MVInterfaceEntry) == MV_BY_WIDTH(12, 24),
                 "the class record's entries");
MV_LAYOUT_ASSERT(offsetof(MVClass, superclass) == 0 && offsetof(MVClass, name) == MV_BY_WIDTH(4, 8) &&
                     offsetof(MVClass, next) == MV_BY_WIDTH(8, 16) &&
                     offsetof(MVClass, instanceSize) == MV_BY_WIDTH(12, 24) &&
                     offsetof(MVClass, isInterface) == MV_BY_WIDTH(16, 28) &&
                     offsetof(MVClass, initializer) == MV_BY_WIDTH(20, 32) &&
                     offsetof(MVClass, finalizer) == MV_BY_WIDTH(24, 40) &&
                     offsetof(MVClass, releaser) == MV_BY_WIDTH(28, 48) &&
                     offsetof(MVClass, methodCount) == MV_BY_WIDTH(32, 56) &&
                     offsetof(MVClass, methods) == MV_BY_WIDTH(36, 64) &&
                     offsetof(MVClass, eventCount) == MV_BY_WIDTH(40, 72) &&
                     offsetof(MVClass, events) == MV_BY_WIDTH(44, 80) &&
                     offsetof(MVClass, auxCount) == MV_BY_WIDTH(48, 88) &&
                     offsetof(MVClass, aux) == MV_BY_WIDTH(52, 96) &&
                     offsetof(MVClass, propertyCount) == MV_BY_WIDTH(56, 104) &&
                     offsetof(MVClass, properties) == MV_BY_WIDTH(60, 112) &&
                     offsetof(MVClass, interfaceCount) == MV_BY_WIDTH(64, 120) &&
                     offsetof(MVClass, interfaces) == MV_BY_WIDTH(68, 128) &&
                     sizeof(MVClass) == MV_BY_WIDTH(68, 128),
                 "class record layout");
MV_LAYOUT_ASSERT(sizeof(MVObject) == MV_BY_WIDTH(24, 48) && offsetof(MVObject, methods) == 0 &&
                     offsetof(MVObject, cls) == MV_BY_WIDTH(4, 8) &&
                     offsetof(MVObject, events) == MV_BY_WIDTH(8, 16) &&
                     offsetof(MVObject, refCount) == MV_BY_WIDTH(12, 24) &&
                     offsetof(MVObject, prevLive) == MV_BY_WIDTH(16, 32) &&
                     offsetof(MVObject, nextLive) == MV_BY_WIDTH(20, 40),
                 "object header layout");
MV_LAYOUT_ASSERT(sizeof(MVException) == MV_BY_WIDTH(36, 72) &&
                     offsetof(MVException, errorNumber) == MV_BY_WIDTH(24, 48) &&
                     offsetof(MVException, message) == MV_BY_WIDTH(28, 56) &&
                     offsetof(MVException, stack) == MV_BY_WIDTH(32, 64),
                 "exception layout");

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
