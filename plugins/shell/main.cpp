// Entry point and class registration of libMVShell.
#include "plugins/shell/services.h"
#include "plugins/shell/shell.h"

namespace shellplugin {
namespace {

void* const kField = MAVO_DIRECT_ACCESS;

MAVOproperty g_shellProperties[] = {
    {nullptr, "ErrorCode", "Integer", MAVO_PROPERTY_READ_ONLY, kField, nullptr,
     offsetof(ShellData, errorCode), {0, 0, 0}},
    {nullptr, "TimeOut", "Integer", MAVO_PROPERTY_READ_WRITE, kField, kField,
     offsetof(ShellData, timeOut), {0, 0, 0}},
    {nullptr, "Result", "String", MAVO_PROPERTY_READ_ONLY,
     reinterpret_cast<void*>(&ShellResultGetter), nullptr, 0, {0, 0, 0}},
    {nullptr, "PID", "Integer", MAVO_PROPERTY_READ_ONLY, kField, nullptr,
     offsetof(ShellData, pid), {0, 0, 0}},
    {nullptr, "Mode", "Integer", MAVO_PROPERTY_READ_WRITE, kField,
     reinterpret_cast<void*>(&ShellModeSetter), offsetof(ShellData, mode), {0, 0, 0}},
    {nullptr, "IsRunning", "Boolean", MAVO_PROPERTY_READ_ONLY, kField, nullptr,
     offsetof(ShellData, isRunning), {0, 0, 0}},
};

MAVOmethodDefinition g_shellMethods[] = {
    {reinterpret_cast<void*>(&ShellExecute), nullptr, "Execute(command as String)", 4},
    {reinterpret_cast<void*>(&ShellExecuteWithParameters), nullptr,
     "Execute(command as String, parameters as String)", 4},
    {reinterpret_cast<void*>(&ShellReadAll), nullptr, "ReadAll() as String", 4},
    {reinterpret_cast<void*>(&ShellWrite), nullptr, "Write(s as String)", 4},
    {reinterpret_cast<void*>(&ShellWriteLine), nullptr, "WriteLine(s as String)", 4},
    {reinterpret_cast<void*>(&ShellClose), nullptr, "Close", 4},
    {reinterpret_cast<void*>(&ShellPoll), nullptr, "Poll", 4},
};

MAVOevent g_shellEvents[] = {
    {"DataAvailable()", nullptr},
    {"Completed()", nullptr},
};

}  // namespace

MAVOclassDefinition g_shellClass = {
    MAVO_CLASS_VERSION, "Shell", nullptr, sizeof(ShellData), 0,
    &ShellConstructor, &ShellDestructor,
    g_shellProperties, sizeof g_shellProperties / sizeof g_shellProperties[0],
    g_shellMethods, sizeof g_shellMethods / sizeof g_shellMethods[0],
    g_shellEvents, sizeof g_shellEvents / sizeof g_shellEvents[0],
    nullptr, 0, nullptr, {0, 0, 0, 0}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};

MAVOclassDefinition g_notRunningClass = {
    MAVO_CLASS_VERSION, "ShellNotRunningException", "RuntimeException", 0, 0,
    nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0,
    nullptr, 0, nullptr, {0, 0, 0, 0}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};

MAVOclassDefinition g_notAvailableClass = {
    MAVO_CLASS_VERSION, "ShellNotAvailableException", "RuntimeException", 0, 0,
    nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0,
    nullptr, 0, nullptr, {0, 0, 0, 0}, 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}};

}  // namespace shellplugin

extern "C" __attribute__((visibility("default"))) int32_t MAVOPluginMain(MAVOResolver resolver) {
  using namespace shellplugin;
  SetResolver(resolver);
  RtRegisterPluginVersion(MAVO_CLASS_VERSION);
  g_notRunningClass.flags |= MAVO_CLASS_CONSOLE_SAFE;
  g_notAvailableClass.flags |= MAVO_CLASS_CONSOLE_SAFE;
  g_shellClass.flags |= MAVO_CLASS_CONSOLE_SAFE;
  RtPluginRegisterClass(&g_notRunningClass);
  RtPluginRegisterClass(&g_notAvailableClass);
  return RtPluginRegisterClass(&g_shellClass);
}
