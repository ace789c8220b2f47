// The records a plug-in hands to the runtime: class definitions with their properties,
// methods and events, and the calling conventions of the routines they name. Both the
// runtime and the plug-ins include this header, so it needs only <stdint.h> and the
// machine word's header. Offsets in the comments are those on i386 (pointers are native;
// both machines' layouts are checked at the end).
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "runtime/values/word.h"

#ifdef __cplusplus
extern "C" {
#endif

// Interface version of the class definitions this runtime understands.
#define MAVO_CLASS_VERSION 9
// Class flag: usable in applications without a user interface.
#define MAVO_CLASS_CONSOLE_SAFE 4u
// Property flags.
#define MAVO_PROPERTY_READ_WRITE 4u
#define MAVO_PROPERTY_READ_ONLY 6u
// A getter or setter of this value reads or writes the 32-bit instance field at
// data offset + parameter directly.
#define MAVO_DIRECT_ACCESS ((void*)(intptr_t)-1)

// The resolver a plug-in receives: runtime export address by name, or 0.
typedef void* (*MAVOResolver)(const char* name);
// The plug-in's entry point, exported by the name "MAVOPluginMain".
typedef int32_t (*MAVOPluginMainProc)(MAVOResolver resolver);

// Calling conventions of the routines named in the records (cdecl, object first).
typedef void (*MAVOObjectProc)(void* object);              // constructor, destructor
typedef int32_t (*MAVOIntGetterProc)(void* object, int32_t parameter);
typedef void (*MAVOIntSetterProc)(void* object, int32_t parameter, int32_t value);
typedef void* (*MAVOPointerGetterProc)(void* object, int32_t parameter);  // e.g. strings
typedef void (*MAVOBackgroundProc)(void* argument);
// An event handler installed by the application, as GetEventInstance returns it.
typedef void (*MAVOEventHandlerProc)(void* object);

typedef struct MAVOproperty {       // 40 bytes
  const char* group;                // 0
  const char* name;
  const char* type;                 // "Integer", "String", "Boolean" ...
  uint32_t flags;                   // MAVO_PROPERTY_READ_WRITE / _READ_ONLY
  void* getter;                     // routine, MAVO_DIRECT_ACCESS or 0
  void* setter;                     // routine, MAVO_DIRECT_ACCESS or 0 (read-only)
  int32_t parameter;                // byte offset inside the plug-in data for direct access
  uint32_t reserved[3];
} MAVOproperty;

typedef struct MAVOmethodDefinition {  // 16 bytes (definitions of version 7 and above)
  void* function;
  void* setterFunction;
  const char* declaration;          // e.g. "Execute(command as String)"
  uint32_t flags;
} MAVOmethodDefinition;

typedef struct MAVOevent {          // 8 bytes
  const char* declaration;          // e.g. "DataAvailable()"
  // Filled by the runtime: the address of the event's MAVOeventDescriptor. The plug-in
  // passes it back to GetEventInstance.
  void* descriptor;
} MAVOevent;

// The runtime's descriptor of one plug-in event: its index in the event table of the
// class (events inherited from the superclass come first).
typedef struct MAVOeventDescriptor {
  uint32_t index;
  const char* declaration;
} MAVOeventDescriptor;

typedef struct MAVOconstant {       // 8 bytes
  const char* declaration;
  const char* value;
} MAVOconstant;

typedef struct MAVOclassDefinition {  // 128 bytes
  uint32_t version;                 // 0   MAVO_CLASS_VERSION
  const char* name;                 // 4
  const char* superName;            // 8   or 0
  uint32_t dataSize;                // 12  bytes of per-instance data
  uint32_t dataOffset;              // 16  filled by the runtime
  MAVOObjectProc constructor;       // 20
  MAVOObjectProc destructor;        // 24
  MAVOproperty* properties;         // 28
  uint32_t propertyCount;           // 32
  MAVOmethodDefinition* methods;    // 36
  uint32_t methodCount;             // 40
  MAVOevent* events;                // 44
  uint32_t eventCount;              // 48
  MAVOconstant* constants;          // 52
  uint32_t constantCount;           // 56
  const char* interfaces;           // 60  comma-separated names, or 0
  uint32_t reserved1[4];            // 64
  uint32_t flags;                   // 80  MAVO_CLASS_CONSOLE_SAFE
  uint32_t reserved2[11];           // 84
} MAVOclassDefinition;

#ifdef __cplusplus
}
#endif

MV_LAYOUT_ASSERT(sizeof(MAVOproperty) == MV_BY_WIDTH(40, 64) &&
                     offsetof(MAVOproperty, parameter) == MV_BY_WIDTH(24, 48),
                 "property record");
MV_LAYOUT_ASSERT(sizeof(MAVOmethodDefinition) == MV_BY_WIDTH(16, 32), "method record");
MV_LAYOUT_ASSERT(sizeof(MAVOevent) == MV_BY_WIDTH(8, 16), "event record");
MV_LAYOUT_ASSERT(sizeof(MAVOconstant) == MV_BY_WIDTH(8, 16), "constant record");
MV_LAYOUT_ASSERT(sizeof(MAVOclassDefinition) == MV_BY_WIDTH(128, 184) &&
                     offsetof(MAVOclassDefinition, dataOffset) == MV_BY_WIDTH(16, 28) &&
                     offsetof(MAVOclassDefinition, interfaces) == MV_BY_WIDTH(60, 112) &&
                     offsetof(MAVOclassDefinition, flags) == MV_BY_WIDTH(80, 136),
                 "class record");
