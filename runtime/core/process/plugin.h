// The plug-in host: plug-ins stored in the resource block, the resolver they are handed,
// their class definitions, the image's entry-point table, background tasks.
#pragma once
#include <stdint.h>
#include "runtime/core/objects/object.h"

#ifdef __cplusplus
extern "C" {
#endif

// --- Exported entry points (names as the image and plug-ins ask for them).
void RuntimeInitExternalClasses(void);
// The entry "_" gives NULL; an entry no plug-in provides is reported and ends the
// process with status 1 (its extracted plug-ins removed), since the image cannot run
// without it.
void* RuntimeLookupPluginEntrypoint(MVString* name);
void** RuntimeAllocatePluginEntrypointsTable(uint32_t n);
void RuntimeBackgroundTask(void);
void RegisterPluginVersion(int32_t version);
int32_t PluginRegisterClass(void* classDefinition);
int32_t PluginRegisterBackgroundTask(void* routine, int32_t periodTicks, void* argument);
void PluginUnregisterBackgroundTask(int32_t taskId);
// eventDescriptor: the MAVOeventDescriptor (runtime/core/process/plugin_records.h) that the runtime
// stored in the plug-in's event record; the result is the handler in that slot of the
// object's event table, or NULL.
void* GetEventInstance(MVObject* o, void* eventDescriptor);
// The string services of the plug-in interface (MAVOBuildString, StringGetCString ...)
// are declared with the strings, in runtime/values/string.h.
// Typed field accessors: the 32-bit field at byte offset `offset` of the object.
int32_t intGetter(MVObject* o, int32_t offset);
void intSetter(MVObject* o, int32_t offset, int32_t value);
bool boolGetter(MVObject* o, int32_t offset);
void boolSetter(MVObject* o, int32_t offset, bool value);
MVString* stringGetter(MVObject* o, int32_t offset);
void stringSetter(MVObject* o, int32_t offset, MVString* value);

// --- Runtime-internal: not declared for the code image and plug-ins (MV_EXPORTS_ONLY),
// which reach the runtime through exported names only.
#ifndef MV_EXPORTS_ONLY
// The resolver handed to plug-ins: export address by name (case-insensitive), or 0.
void* MVPluginResolve(const char* name);
#endif  // MV_EXPORTS_ONLY

#ifdef __cplusplus
}
#endif
