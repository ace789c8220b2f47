// The Shell class: one command line at a time through /bin/bash in a child process.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "runtime/core/process/plugin_records.h"
#include "runtime/values/string.h"

namespace shellplugin {

// Per-instance data, inside every Shell object at the class's data offset.
struct ShellData {
  int32_t errorCode;      // exit code of the last command, a system error number, or -1
  int32_t timeOut;        // stored and returned only
  int32_t mode;           // 0 synchronous, 1 asynchronous, 2 interactive
  int32_t isRunning;      // boolean
  int32_t outputFd;       // pipe reading end or pseudo-terminal controlling side, or -1
  uint8_t* buffer;        // output not yet taken by ReadAll (C allocator)
  uint32_t bufferLength;
  MVString* result;       // output of the last synchronous command, or the failure text
  int32_t taskId;         // background poll
  int32_t pid;            // running child (modes 1 and 2), or 0
  uint32_t spare[5];
};
static_assert(sizeof(ShellData) == MV_BY_WIDTH(60, 80), "Shell instance data: 60 bytes on i386");
static_assert(offsetof(ShellData, errorCode) == 0, "ErrorCode");
static_assert(offsetof(ShellData, timeOut) == 4, "TimeOut");
static_assert(offsetof(ShellData, mode) == 8, "Mode");
static_assert(offsetof(ShellData, isRunning) == 12, "IsRunning");
static_assert(offsetof(ShellData, result) == MV_BY_WIDTH(28, 40), "Result");
static_assert(offsetof(ShellData, pid) == MV_BY_WIDTH(36, 52), "PID");

// The class definitions handed to the runtime.
extern MAVOclassDefinition g_shellClass;
extern MAVOclassDefinition g_notRunningClass;
extern MAVOclassDefinition g_notAvailableClass;

// Routines of the class (the object is the runtime object; its data is at the offset
// the runtime wrote into g_shellClass).
void ShellConstructor(void* self);
void ShellDestructor(void* self);
void ShellExecute(void* self, MVString* command);
void ShellExecuteWithParameters(void* self, MVString* command, MVString* parameters);
MVString* ShellReadAll(void* self);
void ShellWrite(void* self, MVString* s);
void ShellWriteLine(void* self, MVString* s);
void ShellClose(void* self);
void ShellPoll(void* self);
MVString* ShellResultGetter(void* self, int32_t parameter);
void ShellModeSetter(void* self, int32_t parameter, int32_t value);

// The process-wide list of running shells (for tests of this library).
uint32_t RunningShellCount();
uint32_t RunningShellCapacity();

}  // namespace shellplugin
