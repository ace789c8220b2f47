// Helpers of the plug-in tests: installing the built libraries through the host from
// resources, as the program does, and reaching them through the entry-point table.
#pragma once
#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/core/process/plugin.h"
#include "runtime/core/process/plugin_records.h"
#include "runtime/core/process/resources.h"
#include "runtime/files/folderitem.h"
#include "runtime/values/string.h"

namespace plugintest {

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Resource data of a plug-in: Pascal name, then the library bytes (kept for the process).
inline const std::vector<uint8_t>& PluginResource(const std::string& name,
                                                  const std::vector<uint8_t>& library) {
  auto* data = new std::vector<uint8_t>();
  data->push_back(static_cast<uint8_t>(name.size()));
  data->insert(data->end(), name.begin(), name.end());
  data->insert(data->end(), library.begin(), library.end());
  return *data;
}

inline void AddPluginResource(const std::string& name, const std::vector<uint8_t>& library) {
  const std::vector<uint8_t>& data = PluginResource(name, library);
  MVAddResource(MV_FOURCC('M', 'V', 'P', 'l'), 65535, data.data(),
                static_cast<uint32_t>(data.size()), 0);
}

// One folder per test process for everything the tests create; removed at exit (the
// processes that run death-test statements have roots of their own).
inline const std::string& TestRoot() {
  static const std::string* root = [] {
    auto* r = new std::string("/tmp/mvplugin-test-" + std::to_string(getpid()));
    mkdir(r->c_str(), 0700);
    atexit([] {
      if (system(("rm -rf " + TestRoot()).c_str()) != 0) {}
    });
    return r;
  }();
  return *root;
}

inline std::string MakeTempFolder(const char* tag) {
  std::string t = TestRoot() + "/" + tag + "-XXXXXX";
  return mkdtemp(&t[0]) ? t : std::string();
}

// Names of the entries of a folder (without "." and "..").
inline std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = opendir(folder.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    closedir(d);
  }
  return names;
}

struct Installation {
  std::string home;
  std::string appFolder;
};

// Install libMVShell.so and the probe into this process once: a fresh home folder and
// an empty application folder, so both are extracted.
inline const Installation& EnsureInstalled() {
  static Installation* inst = nullptr;
  if (!inst) {
    inst = new Installation{MakeTempFolder("home"), MakeTempFolder("app")};
    setenv("HOME", inst->home.c_str(), 1);
    MVSetApplicationFolder(inst->appFolder.c_str());
    AddPluginResource("libMVShell.so", ReadFile(MVSHELL_LIBRARY));
    AddPluginResource("libMVProbe.so", ReadFile(MVPROBE_LIBRARY));
    RuntimeInitExternalClasses();
  }
  return *inst;
}

inline MVString* Str(const std::string& s) {
  return MVStringFromBytes(s.data(), static_cast<uint32_t>(s.size()), kEncodingUTF8);
}

inline std::string Text(MVString* s) {
  return s ? std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s))
           : std::string();
}

inline void* Entry(const std::string& name) {
  MVString* s = Str(name);
  void* e = RuntimeLookupPluginEntrypoint(s);
  RuntimeUnlockString(s);
  return e;
}

}  // namespace plugintest
