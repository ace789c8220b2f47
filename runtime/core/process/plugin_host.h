// Internals of the plug-in host shared by its modules (C++ only).
#pragma once
#include "runtime/runtime_only.h"
#include <stdint.h>

#include <string>

#include "runtime/core/process/plugin.h"
#include "runtime/core/process/plugin_records.h"

// One loaded library, newest first in the process-wide list.
struct MVLoadedPlugin {
  int32_t version = 1;       // interface version, set by the plug-in
  void* handle = nullptr;    // dynamic-linker handle
  int lockFd = -1;           // open descriptor holding the lock on the extracted file
  std::string path;          // extracted file, empty when the library was not extracted
  std::string loadedFrom;    // the file given to the dynamic linker
  MVLoadedPlugin* next = nullptr;
};

// The plug-in whose entry point is running (registrations belong to it), or null.
MVLoadedPlugin*& MVCurrentPlugin();
// Head of the list of loaded plug-ins.
MVLoadedPlugin*& MVLoadedPlugins();

// The parts of a plug-in resource: a Pascal string with the library's file name (a plain
// name: not empty, not "." or "..", no '/' and no NUL), then the library's bytes. False
// when the resource is damaged.
bool MVParsePluginResource(const uint8_t* data, uint32_t size, std::string* library,
                           const uint8_t** bytes, uint32_t* count);

// Install every plug-in resource of the resource map (ends the process with status 1
// when one cannot be installed).
void MVInstallPlugins();
// Complete every registered class definition that has not been built yet.
void MVBuildPluginClasses();
// The runtime class built for a registered plug-in class, or null.
MVClass* MVPluginClass(const char* name);
