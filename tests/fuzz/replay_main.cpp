// Runs a fuzz target's entry over files: each argument is a file, or a folder whose
// files are all run (a missing folder holds none). The tests replay each target's seed
// corpus and every input that once made it fail; a failure ends this program abnormally.
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::string> Inputs(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  if (!S_ISDIR(st.st_mode)) return {path};
  std::vector<std::string> files;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') files.push_back(path + "/" + e->d_name);
    closedir(dir);
  }
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  size_t runs = 0;
  for (int i = 1; i < argc; i++) {
    for (const std::string& file : Inputs(argv[i])) {
      std::ifstream in(file, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
      fprintf(stderr, "%s\n", file.c_str());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      runs++;
    }
  }
  fprintf(stderr, "%zu inputs replayed\n", runs);
  return runs > 0 ? 0 : 1;
}
