// The records a plug-in hands to the runtime: class definitions with their properties,
// methods and events, and the calling conventions of the routines they name. Both the
// runtime and the plug-ins include this header, so it needs only <stdint.h>.
#pragma once
#include <stddef.h>
#include <stdint.h>

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

#ifdef __cplusplus
#define MAVO_STATIC_ASSERT static_assert
#else
#define MAVO_STATIC_ASSERT _Static_assert
#endif
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(MAVOproperty) == 40, "property record");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(MAVOmethodDefinition) == 16, "method record");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(MAVOevent) == 8, "event record");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(MAVOconstant) == 8, "constant record");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || sizeof(MAVOclassDefinition) == 128, "class record");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || offsetof(MAVOclassDefinition, dataOffset) == 16,
                   "data offset");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || offsetof(MAVOclassDefinition, interfaces) == 60,
                   "interfaces");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || offsetof(MAVOclassDefinition, flags) == 80, "flags word");
MAVO_STATIC_ASSERT(sizeof(void*) != 4 || offsetof(MAVOproperty, parameter) == 24, "parameter");
