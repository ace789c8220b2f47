// The runtime services this library uses, reached only through the resolver that the
// runtime hands to MAVOPluginMain. Each forwarder asks the resolver once, keeps the
// answer and, when the runtime does not offer the service (address 0), returns 0 or -1
// without calling anything.
#pragma once
#include <stdint.h>

#include "runtime/core/process/plugin_records.h"
#include "runtime/values/string.h"

namespace shellplugin {

void SetResolver(MAVOResolver resolver);

void RtRegisterPluginVersion(int32_t version);
int32_t RtPluginRegisterClass(MAVOclassDefinition* definition);
int32_t RtPluginRegisterBackgroundTask(MAVOBackgroundProc routine, int32_t period,
                                       void* argument);
void RtPluginUnregisterBackgroundTask(int32_t taskId);
MAVOEventHandlerProc RtGetEventInstance(void* object, void* descriptor);

MVString* BuildString(const void* bytes, int32_t length, uint32_t encoding);
const char* RtStringGetCString(MVString* s);
void LockString(MVString* s);
void UnlockString(MVString* s);
MVString* ConvertString(MVString* s, uint32_t encoding);
uint32_t GetFontEncoding(const char* fontName);
// Non-zero when the user interrupted the running command or the program is ending.
int32_t RtStopRequested();

}  // namespace shellplugin
