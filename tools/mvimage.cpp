// mvimage: builds the code image of the application object.
//   mvimage --object APP.o --exports NAMES --output IMAGE [--digest SUM] [--plugin LIB]
//           [--loose DIR] [--entry NAME]
// NAMES holds the runtime's export names, one a line. IMAGE receives the six blocks as
// the ".mv" section holds them; SUM the SHA-256 digest of those bytes (32 bytes), for
// the ".mvsum" section the loader checks; --loose also writes the six loose files into
// DIR.
#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>

#include "runtime/core/objects/image_format.h"
#include "runtime/values/sha256.h"
#include "tools/image_builder.h"

namespace {

bool ReadFile(const std::string& path, mvimage::Bytes* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

bool WriteFile(const std::string& path, const mvimage::Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (out.fail()) {
    fprintf(stderr, "mvimage: cannot write %s\n", path.c_str());
    return false;
  }
  return true;
}

int Usage() {
  fprintf(stderr,
          "usage: mvimage --object APP.o --exports NAMES --output IMAGE [--digest SUM] "
          "[--plugin LIB] [--loose DIR] [--entry NAME]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string object, exportsPath, output, digest, plugin, loose, entry = "MVImageEntry";
  for (int i = 1; i < argc; i++) {
    std::string* target = nullptr;
    if (!strcmp(argv[i], "--object")) target = &object;
    else if (!strcmp(argv[i], "--exports")) target = &exportsPath;
    else if (!strcmp(argv[i], "--output")) target = &output;
    else if (!strcmp(argv[i], "--digest")) target = &digest;
    else if (!strcmp(argv[i], "--plugin")) target = &plugin;
    else if (!strcmp(argv[i], "--loose")) target = &loose;
    else if (!strcmp(argv[i], "--entry")) target = &entry;
    if (!target || i + 1 >= argc) return Usage();
    *target = argv[++i];
  }
  if (object.empty() || exportsPath.empty() || (output.empty() && loose.empty()) ||
      (!digest.empty() && output.empty()))
    return Usage();

  mvimage::Bytes objectBytes, names, library;
  if (!ReadFile(object, &objectBytes)) {
    fprintf(stderr, "mvimage: cannot read %s\n", object.c_str());
    return 1;
  }
  if (!ReadFile(exportsPath, &names)) {
    fprintf(stderr, "mvimage: cannot read %s\n", exportsPath.c_str());
    return 1;
  }
  if (!plugin.empty() && !ReadFile(plugin, &library)) {
    fprintf(stderr, "mvimage: cannot read %s\n", plugin.c_str());
    return 1;
  }
  mvimage::ExportNames exports;
  std::string line;
  for (uint8_t c : names) {
    if (c == '\n' || c == '\r') {
      if (!line.empty()) exports.Add(line);
      line.clear();
    } else {
      line += static_cast<char>(c);
    }
  }
  if (!line.empty()) exports.Add(line);

  mvimage::Image image;
  std::vector<std::string> errors;
  if (!mvimage::BuildImage(objectBytes, exports, entry, &image, &errors)) {
    for (const std::string& e : errors)
      fprintf(stderr, "mvimage: %s: %s\n", object.c_str(), e.c_str());
    fprintf(stderr, "mvimage: %zu problem(s); no image written\n", errors.size());
    return 1;
  }
  if (!plugin.empty()) image.resources = mvimage::PluginResourceBlock(library);
  image.options = mvimage::VersionOptionsBlock();

  if (!output.empty()) {
    mvimage::Bytes section = mvimage::SerializeImage(image);
    if (!WriteFile(output, section)) return 1;
    if (!digest.empty()) {
      mvimage::Bytes sum(MV_SHA256_BYTES);
      RuntimeSha256(section.data(), section.size(), sum.data());
      if (!WriteFile(digest, sum)) return 1;
    }
  }
  if (!loose.empty()) {
    const mvimage::Bytes code = mvimage::LooseCodeFile(image);
    const std::pair<const char*, const mvimage::Bytes*> files[] = {
        {MV_LOOSE_IMPORTS, &image.imports},   {MV_LOOSE_CODE, &code},
        {MV_LOOSE_DATA, &image.data},         {MV_LOOSE_RESOURCES, &image.resources},
        {MV_LOOSE_OPTIONS, &image.options},   {MV_LOOSE_SYMBOLS, &image.symbols},
    };
    for (const auto& f : files)
      if (!WriteFile(loose + "/" + f.first, *f.second)) return 1;
  }
  return 0;
}
