#include "runtime/core/process/loader.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/core/process/block_reader.h"
#include "runtime/core/objects/exception.h"
#include "runtime/core/process/image_check.h"
#include "runtime/core/process/image_machine.h"
#include "runtime/core/objects/image_format.h"
#include "runtime/core/objects/report.h"
#include "runtime/core/process/resources.h"
#include "runtime/core/objects/shutdown.h"
#include "runtime/core/objects/signals.h"
#include "runtime/core/objects/symbols.h"
#include "runtime/values/sha256.h"
#include "runtime/values/string.h"

const char kMVLoaderModule[] = "../Common/loaderX86";

namespace {

const uint32_t kPage = 4096;
const uint16_t kSectionHeaderSize32 = 40;  // one ELF32 section header
const uint16_t kSectionHeaderSize64 = 64;  // one ELF64 section header

uint64_t Get64(const uint8_t* p) {
  uint64_t v;
  memcpy(&v, p, 8);
  return v;
}

// --- Imports that could not be linked ---------------------------------------------------

struct Unlinked {
  uintptr_t returnAddress;  // just after a call site, or 0 for an address-taking site
  std::string function;
  std::string library;      // empty for a runtime import
};

std::vector<Unlinked>& UnlinkedImports() {
  static std::vector<Unlinked> list;
  return list;
}

// The import behind a call to MVUnlinkedImport: found by the call's return address, or
// the most recent unlinked import when the function was reached through its address.
const Unlinked* FindUnlinked(uintptr_t returnAddress) {
  const std::vector<Unlinked>& list = UnlinkedImports();
  for (const Unlinked& u : list)
    if (u.returnAddress == returnAddress) return &u;
  return list.empty() ? nullptr : &list.back();
}

struct Library {
  std::string name;
  void* handle;
};

std::vector<Library>& Libraries() {
  static std::vector<Library> list;
  return list;
}

void ReportTruncated() {
  MVRuntimeErrorReport(4, kMVLoaderModule, 160, "recordInTable",
                       "Import table ends inside a record");
}

// --- Reading the blocks -----------------------------------------------------------------

// A fresh allocation that lives as long as the process (nullptr for 0 bytes unless
// `always`).
uint8_t* Allocate(uint32_t count, bool always) {
  if (count == 0 && !always) return nullptr;
  uint8_t* p = static_cast<uint8_t*>(calloc(count ? count : 1, 1));
  if (!p) {
    printf("Loader could not allocate %u bytes\n", count);
    fflush(stdout);
    exit(1);
  }
  return p;
}

// The whole pages a code block of `count` bytes occupies (at least one).
uint64_t CodePagesBytes(uint32_t count) {
  return (uint64_t{count ? count : 1} + (kPage - 1)) / kPage * kPage;
}

// Whole pages of their own for `count` bytes (at least one), readable and writable,
// never shared with heap objects; sizes in 64 bits, as the rounding of a count near 4 GiB
// would otherwise wrap. `flags`: further mmap flags.
uint8_t* MapPages(uint32_t count, int flags) {
  uint64_t bytes = CodePagesBytes(count);
  void* p = bytes <= SIZE_MAX ? mmap(nullptr, static_cast<size_t>(bytes), PROT_READ | PROT_WRITE,
                                     MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0)
                              : MAP_FAILED;
  if (p == MAP_FAILED) {
    printf("Loader could not allocate %u bytes\n", count);
    fflush(stdout);
    exit(1);
  }
  return static_cast<uint8_t*>(p);
}

// Pages about to be filled whole: given their memory at once rather than one page fault
// at a time.
uint8_t* AllocatePopulated(uint32_t count) { return MapPages(count, MAP_POPULATE); }

bool ReadExactly(FILE* file, void* to, uint32_t count) {
  return count == 0 || fread(to, 1, count, file) == count;
}

// ReadExactly into memory that is zero already, through a buffer of its own, so that the
// pages the bytes would only fill with zeros are not touched.
bool ReadIntoZeros(FILE* file, uint8_t* to, uint32_t count) {
  uint8_t piece[16 * kPage];
  for (uint32_t done = 0; done < count;) {
    uint32_t n = count - done < sizeof piece ? count - done : static_cast<uint32_t>(sizeof piece);
    if (!ReadExactly(file, piece, n)) return false;
    MVCopyNonZeroPages(to + done, piece, n);
    done += n;
  }
  return true;
}

enum Block {
  kCode = MV_BLOCK_CODE,
  kData = MV_BLOCK_DATA,
  kImports = MV_BLOCK_IMPORTS,
  kSymbols = MV_BLOCK_SYMBOLS,
  kResources = MV_BLOCK_RESOURCES,
  kOptions = MV_BLOCK_OPTIONS,
};
const char* const kBlockNames[MV_BLOCK_COUNT] = {
    "code block", "data block", "import table", "symbols block", "resource block", "options block"};

// One block: its u32 count and its bytes, both inside the `available` bytes of the
// section. False with *problem set when they are not there.
bool ReadBlock(FILE* file, uint64_t* available, uint8_t** out, uint32_t* size, Block which,
               std::string* problem) {
  uint8_t countBytes[4];
  if (*available < MV_BLOCK_COUNT_SIZE || !ReadExactly(file, countBytes, MV_BLOCK_COUNT_SIZE)) {
    *problem = std::string("the section ends inside the count of the ") + kBlockNames[which];
    return false;
  }
  *available -= MV_BLOCK_COUNT_SIZE;
  uint32_t count = MVGet32(countBytes);
  if (count > *available) {
    *problem = std::string("the ") + kBlockNames[which] + " runs past the end of the section";
    return false;
  }
  *available -= count;
  *size = count;
  *out = which == kCode ? MVAllocateCodeBlock(count)
         : which == kData ? MVAllocateDataBlock(count)
                          : Allocate(count, false);
  if (which == kData ? ReadIntoZeros(file, *out, count) : ReadExactly(file, *out, count)) return true;
  *problem = std::string("the ") + kBlockNames[which] + " cannot be read";
  return false;
}

// The blocks without which the image cannot run: its code, its data (every string
// literal lives there) and the import table that links and relocates them.
bool NeededBlocksPresent(const MVLoadedImage& im, std::string* problem) {
  const uint32_t sizes[] = {im.codeSize, im.dataSize, im.importsSize};
  for (int b = kCode; b <= kImports; b++) {
    if (sizes[b] != 0) continue;
    *problem = std::string("the ") + kBlockNames[b] + " is empty";
    return false;
  }
  return true;
}

// The whole content of a file of the current directory; an empty block when missing.
// The code file begins with the machine's tag (none on i386), which is checked and left
// out; *problem is set when it is another machine's.
uint8_t* ReadLooseFile(const char* name, uint32_t* size, bool code, std::string* problem) {
  *size = 0;
  FILE* f = fopen(name, "rb");
  if (!f) return nullptr;
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0 && bytes.size() < 0xFFFFFFFFu - n)
    bytes.insert(bytes.end(), buf, buf + n);
  fclose(f);
  uint32_t skip = 0;
  if (code && !bytes.empty() &&
      !MVCheckMachineTag(bytes.data(), bytes.size(), &skip, problem)) {
    *problem = std::string(MV_LOOSE_CODE) + ": " + *problem;
    return nullptr;
  }
  if (bytes.size() <= skip) return nullptr;
  *size = static_cast<uint32_t>(bytes.size() - skip);
  uint8_t* out = code ? MVAllocateCodeBlock(*size) : Allocate(*size, false);
  memcpy(out, bytes.data() + skip, *size);
  return out;
}

// The loose data file in a data block of its own (an empty one when it is missing).
uint8_t* ReadLooseData(uint32_t* size, std::string* problem) {
  uint8_t* bytes = ReadLooseFile(MV_LOOSE_DATA, size, false, problem);
  uint8_t* data = MVAllocateDataBlock(*size);
  if (bytes) MVCopyNonZeroPages(data, bytes, *size);
  free(bytes);
  return data;
}

std::string CurrentFolder() {
  char buf[4096];
  return getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

// The first loose file the image cannot do without that is missing or empty, or "".
std::string MissingLooseFile(const MVLoadedImage& im) {
  if (im.codeSize == 0) return MV_LOOSE_CODE " is missing or empty";
  if (im.dataSize == 0) return MV_LOOSE_DATA " is missing or empty";
  if (im.importsSize == 0) return MV_LOOSE_IMPORTS " is missing or empty";
  return "";
}

// The whole ".mv" section, read into fresh pages (*bytes, to be unmapped; at least one
// page), and the digest stored in ".mvsum" (MV_DIGEST_SIZE bytes into `stored`). False
// with *problem set when either cannot be read or the digest is not 32 bytes.
bool ReadCheckedSection(FILE* file, const MVImageSections& sections, uint8_t** bytes,
                        uint8_t* stored, std::string* problem) {
  const MVSectionPlace& mv = sections.image;
  const MVSectionPlace& sum = sections.digest;
  if (sum.size != MV_DIGEST_SIZE) {
    *problem = "the section " MV_DIGEST_SECTION " is not " + std::to_string(MV_DIGEST_SIZE) +
               " bytes";
    return false;
  }
  if (fseeko(file, sum.offset, SEEK_SET) != 0 || !ReadExactly(file, stored, MV_DIGEST_SIZE)) {
    *problem = "the section " MV_DIGEST_SECTION " cannot be read";
    return false;
  }
  *bytes = AllocatePopulated(mv.size);
  if (fseeko(file, mv.offset, SEEK_SET) != 0 || !ReadExactly(file, *bytes, mv.size)) {
    *problem = "the section " MV_IMAGE_SECTION " cannot be read";
    return false;
  }
  return true;
}

// The digest of the section read, computed on a thread of its own while the loader reads
// the blocks from the same bytes (which nobody changes meanwhile); on this thread when no
// thread can be had. The thread leaves the program's signals to the program's thread,
// and is joined before the bytes go.
class SectionDigest {
 public:
  static_assert(MV_DIGEST_SIZE == MV_SHA256_BYTES, "the stored digest is a SHA-256 digest");
  ~SectionDigest() { Join(); }
  void Start(const uint8_t* bytes, uint32_t n) {
    bytes_ = bytes;
    n_ = n;
    sigset_t block, old;
    sigemptyset(&block);
    MVAddHandledSignals(&block);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    running_ = pthread_create(&thread_, nullptr, Run, this) == 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (!running_) Compute();
  }
  // Waits for the digest: true when it is `stored`.
  bool Matches(const uint8_t* stored) {
    Join();
    return memcmp(stored, actual_, sizeof actual_) == 0;
  }

 private:
  static void* Run(void* self) {
    static_cast<SectionDigest*>(self)->Compute();
    return nullptr;
  }
  void Compute() { RuntimeSha256(bytes_, n_, actual_); }
  void Join() {
    if (running_) pthread_join(thread_, nullptr);
    running_ = false;
  }

  const uint8_t* bytes_ = nullptr;
  uint32_t n_ = 0;
  uint8_t actual_[MV_SHA256_BYTES] = {};
  pthread_t thread_{};
  bool running_ = false;
};

}  // namespace

extern "C" uint32_t MVUnlinkedImport(void) {
  const Unlinked* u = FindUnlinked(reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
  MVString* function = MVStringFromCString(u ? u->function.c_str() : nullptr, kEncodingUTF8);
  MVString* library = MVStringFromCString(u ? u->library.c_str() : nullptr, kEncodingUTF8);
  RuntimeRaiseFunctionNotFoundException(function, library);
  RuntimeUnlockString(function);
  RuntimeUnlockString(library);
  return 0;
}

bool MVReadImportName(MVBlockReader* t, std::string* out) {
  if (!t->Has(1)) return false;
  uint8_t n = t->U8();
  if (!t->Has(uint32_t{n} + 1)) return false;
  out->assign(reinterpret_cast<const char*>(t->Here()), n);
  t->Skip(uint32_t{n} + 1);
  return true;
}

void MVRememberUnlinked(uintptr_t returnAddress, const std::string& function,
                        const std::string& library) {
  UnlinkedImports().push_back(Unlinked{returnAddress, function, library});
}

void* MVLibraryHandle(const std::string& name) {
  for (const Library& lib : Libraries())
    if (strcasecmp(lib.name.c_str(), name.c_str()) == 0) return lib.handle;
  void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_GLOBAL);
  Libraries().push_back(Library{name, handle});
  if (!handle) {
    std::string text = "Missing shared library " + name;
    MVRuntimeErrorReport(4, kMVLoaderModule, 271, "lib->mLibraryHandle", text.c_str());
  }
  return handle;
}

void MVResetLinkState() {
  UnlinkedImports().clear();
  for (const Library& lib : Libraries())
    if (lib.handle) dlclose(lib.handle);
  Libraries().clear();
}

uint8_t* MVAllocateCodeBlock(uint32_t count) { return MapPages(count, 0); }

uint8_t* MVAllocateDataBlock(uint32_t count) { return MapPages(count, 0); }

void MVFreeDataBlock(uint8_t* data, uint32_t count) {
  if (data) munmap(data, static_cast<size_t>(CodePagesBytes(count)));
}

namespace {

// True when the n bytes at p are all zero: 64 bytes at a time, as words, then the rest.
bool AllZero(const uint8_t* p, uint32_t n) {
  uint32_t i = 0;
  for (; n - i >= 64; i += 64) {
    uint64_t w[8];
    memcpy(w, p + i, sizeof w);
    if ((w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7]) != 0) return false;
  }
  for (; i < n; i++)
    if (p[i]) return false;
  return true;
}

}  // namespace

bool MVMoveDataBlock(uint8_t* data, uint32_t count, uint8_t* to) {
  size_t bytes = static_cast<size_t>(CodePagesBytes(count));
  return mremap(data, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, to) != MAP_FAILED;
}

void MVCopyNonZeroPages(uint8_t* to, const uint8_t* from, uint32_t n) {
  for (uint32_t at = 0; at < n; at += kPage) {
    uint32_t piece = n - at < kPage ? n - at : kPage;
    if (!AllZero(from + at, piece)) memcpy(to + at, from + at, piece);
  }
}

bool MVProtectCodeBlock(uint8_t* code, uint32_t count) {
  if (!code) return true;
  if (mprotect(code, static_cast<size_t>(CodePagesBytes(count)), PROT_READ | PROT_EXEC) == 0)
    return true;
  printf("Loader failed to protect memory, error #%d\n", errno);
  fflush(stdout);
  return false;
}

bool MVFindImageSections(FILE* file, uint64_t fileSize, MVImageSections* sections,
                         std::string* problem) {
  problem->clear();
  *sections = MVImageSections();
  uint8_t header[64];
  if (fileSize < 52 || fseeko(file, 0, SEEK_SET) != 0 ||
      !ReadExactly(file, header, fileSize < sizeof header ? 52 : sizeof header) ||
      memcmp(header, "\x7f" "ELF", 4) != 0) {
    *problem = "the program file is not an ELF file";
    return false;
  }
  // ELF32 (i386) or ELF64 (x86-64): where the header keeps the section table's place.
  const bool wide = header[4] == 2;
  if (header[4] != 1 && !wide) {
    *problem = "the program file is neither a 32-bit nor a 64-bit ELF file";
    return false;
  }
  if (wide && fileSize < sizeof header) {
    *problem = "the program file is too short for its ELF header";
    return false;
  }
  if (header[5] != 1) {  // ELFDATA2LSB
    *problem = "the program file is not a little-endian ELF file";
    return false;
  }
  const uint16_t wantSize = wide ? kSectionHeaderSize64 : kSectionHeaderSize32;
  const size_t at = wide ? 58 : 46;  // e_shentsize; e_shnum and e_shstrndx follow
  uint64_t table = wide ? Get64(header + 40) : MVGet32(header + 32);
  uint16_t entrySize, count, namesIndex;
  memcpy(&entrySize, header + at, 2);
  memcpy(&count, header + at + 2, 2);
  memcpy(&namesIndex, header + at + 4, 2);
  if (count == 0) return true;  // no sections at all
  if (entrySize != wantSize) {
    *problem = "its section headers are not " + std::to_string(wantSize) + " bytes each";
    return false;
  }
  if (table > fileSize || uint64_t{count} * entrySize > fileSize - table) {
    *problem = "its section table lies outside the program file";
    return false;
  }
  // A section header's name offset, and its file offset and size.
  auto fields = [wide](const uint8_t* h, uint64_t* where, uint64_t* bytes) {
    *where = wide ? Get64(h + 24) : MVGet32(h + 16);
    *bytes = wide ? Get64(h + 32) : MVGet32(h + 20);
  };
  // Every header is inside the file from here on, so reading its fields can only fail
  // on a read error.
  std::vector<uint8_t> headers(size_t{count} * entrySize);
  if (fseeko(file, static_cast<off_t>(table), SEEK_SET) != 0 ||
      !ReadExactly(file, headers.data(), static_cast<uint32_t>(headers.size()))) {
    *problem = "its section table cannot be read";
    return false;
  }
  const uint8_t* names = namesIndex < count ? headers.data() + size_t{namesIndex} * entrySize
                                            : nullptr;
  uint64_t namesOffset = 0, namesSize = 0;
  if (names) fields(names, &namesOffset, &namesSize);
  if (!names || namesOffset > fileSize || namesSize > fileSize - namesOffset) {
    *problem = "its section-name table lies outside the program file";
    return false;
  }
  std::vector<uint8_t> nameBytes(static_cast<size_t>(namesSize));
  if (fseeko(file, static_cast<off_t>(namesOffset), SEEK_SET) != 0 ||
      !ReadExactly(file, nameBytes.data(), static_cast<uint32_t>(namesSize))) {
    *problem = "its section-name table cannot be read";
    return false;
  }

  // Names are compared with their NUL, so ".mv" is not taken for ".mvsum".
  struct Wanted {
    const char* name;
    size_t bytes;  // with the NUL
    MVSectionPlace* place;
  };
  const Wanted wanted[] = {{MV_IMAGE_SECTION, sizeof MV_IMAGE_SECTION, &sections->image},
                           {MV_DIGEST_SECTION, sizeof MV_DIGEST_SECTION, &sections->digest}};
  static_assert(sizeof MV_IMAGE_SECTION == 4, "the section name and its NUL are 4 bytes");
  uint64_t where[2] = {0, 0}, bytes[2] = {0, 0};  // each one's file offset and size
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t* h = headers.data() + size_t{i} * entrySize;
    uint32_t at = MVGet32(h);
    for (size_t k = 0; k < sizeof wanted / sizeof wanted[0]; k++) {
      const Wanted& w = wanted[k];
      if (w.place->found || at > namesSize || namesSize - at < w.bytes ||
          memcmp(nameBytes.data() + at, w.name, w.bytes) != 0)
        continue;
      w.place->found = true;
      fields(h, &where[k], &bytes[k]);
    }
  }
  // A digest without the image it would check is ignored (the loose files are read).
  if (!sections->image.found) sections->digest = MVSectionPlace();
  for (size_t k = 0; k < sizeof wanted / sizeof wanted[0]; k++) {
    const Wanted& w = wanted[k];
    if (!w.place->found) continue;
    if (where[k] > fileSize || bytes[k] > fileSize - where[k]) {
      *problem = std::string("the section ") + w.name + " lies outside the program file";
      return false;
    }
    if (where[k] + bytes[k] > UINT32_MAX) {
      *problem = std::string("the section ") + w.name + " lies beyond the first 4 GiB of the file";
      return false;
    }
    w.place->offset = static_cast<uint32_t>(where[k]);
    w.place->size = static_cast<uint32_t>(bytes[k]);
  }
  return true;
}

bool MVReadImageBlocks(FILE* file, uint64_t available, uint32_t fileOffset, MVLoadedImage* image,
                       std::string* problem) {
  MVLoadedImage im;
  // The machine tag, where this machine's image has one.
  uint8_t head[MV_MACHINE_TAG_SIZE];
  uint64_t headBytes = available < sizeof head ? available : sizeof head;
  uint32_t skip = 0;
  if (!ReadExactly(file, head, static_cast<uint32_t>(headBytes))) {
    *problem = "the section " MV_IMAGE_SECTION " cannot be read";
    return false;
  }
  if (!MVCheckMachineTag(head, headBytes, &skip, problem)) return false;
  if (fseeko(file, static_cast<off_t>(skip) - static_cast<off_t>(headBytes), SEEK_CUR) != 0) {
    *problem = "the section " MV_IMAGE_SECTION " cannot be read";
    return false;
  }
  available -= skip;
  fileOffset += skip;
  bool ok = ReadBlock(file, &available, &im.code, &im.codeSize, kCode, problem) &&
            ReadBlock(file, &available, &im.data, &im.dataSize, kData, problem) &&
            ReadBlock(file, &available, &im.imports, &im.importsSize, kImports, problem);
  // The symbols and resource blocks: the resource bytes start after their count.
  uint64_t resourcesStart = 0;
  ok = ok && ReadBlock(file, &available, &im.symbols, &im.symbolsSize, kSymbols, problem);
  // The resource block's bytes follow the counts of the blocks before it and its own.
  if (ok) resourcesStart = uint64_t{fileOffset} + MV_BLOCK_COUNT_SIZE * (MV_BLOCK_RESOURCES + 1) +
                           im.codeSize + im.dataSize + im.importsSize + im.symbolsSize;
  ok = ok && ReadBlock(file, &available, &im.resources, &im.resourcesSize, kResources, problem) &&
       ReadBlock(file, &available, &im.options, &im.optionsSize, kOptions, problem) &&
       NeededBlocksPresent(im, problem);
  im.resourcesFileOffset = static_cast<uint32_t>(resourcesStart);
  *image = im;
  return ok;
}

void MVFreeImage(MVLoadedImage* image) {
  if (image->region) {
    munmap(image->region, static_cast<size_t>(image->regionSize));
  } else {
    if (image->code) munmap(image->code, static_cast<size_t>(CodePagesBytes(image->codeSize)));
    MVFreeDataBlock(image->data, image->dataSize);
  }
  free(image->imports);
  free(image->symbols);
  free(image->resources);
  free(image->options);
  *image = MVLoadedImage();
}

MVImageSource MVLoadImageFile(const char* path, MVLoadedImage* image, std::string* problem) {
  problem->clear();
  // Opened without waiting: a FIFO or a device in the program's place is refused, not
  // waited on.
  int fd = path && *path ? open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
  if (fd < 0) return MVImageSource::kCannotOpen;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    *problem = "the program file is not a regular file";
    return MVImageSource::kDamaged;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "rb");
  if (!file) {
    close(fd);
    return MVImageSource::kCannotOpen;
  }
  MVImageSections sections;
  if (!MVFindImageSections(file, static_cast<uint64_t>(st.st_size), &sections, problem) ||
      !sections.image.found) {
    fclose(file);
    return problem->empty() ? MVImageSource::kNoSection : MVImageSource::kDamaged;
  }
  const MVSectionPlace& mv = sections.image;
  // With a digest, the blocks are taken from the very bytes that were checked; the check
  // runs while they are read, and its verdict comes first.
  uint8_t* checked = nullptr;
  uint8_t stored[MV_DIGEST_SIZE];
  SectionDigest digest;
  bool hashing = false;
  FILE* blocks = file;
  bool ok;
  if (sections.digest.found) {
    ok = hashing = ReadCheckedSection(file, sections, &checked, stored, problem);
    if (ok) digest.Start(checked, mv.size);
    blocks = ok ? fmemopen(checked, mv.size, "rb") : nullptr;
    if (ok && !blocks) *problem = "the section " MV_IMAGE_SECTION " cannot be read";
    ok = ok && blocks != nullptr;
  } else {
    ok = fseeko(file, mv.offset, SEEK_SET) == 0;
    if (!ok) *problem = "the section " MV_IMAGE_SECTION " cannot be read";
  }
  ok = ok && MVReadImageBlocks(blocks, mv.size, mv.offset, image, problem);
  if (blocks && blocks != file) fclose(blocks);
  if (hashing && !digest.Matches(stored)) {
    ok = false;
    *problem = "its digest does not match";
  }
  if (checked) munmap(checked, static_cast<size_t>(CodePagesBytes(mv.size)));
  fclose(file);
  if (ok) {
    MVPlaceImage(image);
    return MVImageSource::kLoaded;
  }
  MVFreeImage(image);
  return MVImageSource::kDamaged;
}

bool MVLoadLooseImage(MVLoadedImage* image, std::string* problem) {
  MVLoadedImage im;
  problem->clear();
  im.imports = ReadLooseFile(MV_LOOSE_IMPORTS, &im.importsSize, false, problem);
  im.code = ReadLooseFile(MV_LOOSE_CODE, &im.codeSize, true, problem);
  bool otherMachine = !problem->empty();
  im.data = ReadLooseData(&im.dataSize, problem);
  im.resources = ReadLooseFile(MV_LOOSE_RESOURCES, &im.resourcesSize, false, problem);
  im.options = ReadLooseFile(MV_LOOSE_OPTIONS, &im.optionsSize, false, problem);
  im.symbols = ReadLooseFile(MV_LOOSE_SYMBOLS, &im.symbolsSize, false, problem);
  *image = im;
  if (otherMachine) return false;
  MVPlaceImage(image);
  return true;
}

bool MVApplyImportTable(const uint8_t* table, uint32_t count, uint8_t* code, uint32_t codeSize,
                        uint8_t* data, uint32_t dataSize, const MVExportRow* rows,
                        uint32_t rowCount) {
  if (!table) return true;
  MVBlockReader t(table, count);
  MVImportRecord r = MVImportRecord::kDone;
  while (r == MVImportRecord::kDone && !t.AtEnd())
    r = MVApplyImportRecord(t.U8(), &t, code, codeSize, data, dataSize, rows, rowCount);
  if (r == MVImportRecord::kTruncated) ReportTruncated();
  return r == MVImportRecord::kDone;
}

void MVWalkOptions(const uint8_t* options, uint32_t count) {
  uint32_t pos = 0;
  while (options && pos < count) {
    uint8_t opcode = options[pos++];
    if (opcode == MV_OPTION_SKIP) {
      if (count - pos < 2) break;
      uint32_t skip = uint32_t{options[pos]} * options[pos + 1] * 4;
      pos += 2;
      if (count - pos < skip) break;
      pos += skip;
    } else if (opcode == MV_OPTION_VERSION) {
      // 24 bytes, then three Pascal strings; a record running past the block ends the walk.
      uint32_t size = MV_VERSION_FIXED;
      bool whole = true;
      for (int i = 0; i < 3 && whole; i++) {
        whole = count - pos > size;
        if (whole) size += 1 + options[pos + size];
      }
      if (!whole || size > count - pos) break;
      MVAddResource(MV_FOURCC('V', 'E', 'R', 'S'), 0, options + pos, size, 0);
      pos += size;
    } else {
      MVRuntimeErrorReport(4, kMVLoaderModule, 431, "0", nullptr);
    }
  }
}

MVLinkResult MVLinkImage(MVLoadedImage* image) {
  uint32_t rowCount = 0;
  const MVExportRow* rows = MVExportTable(&rowCount);
  size_t unlinkedBefore = UnlinkedImports().size();
  if (!MVApplyImportTable(image->imports, image->importsSize, image->code, image->codeSize,
                          image->data, image->dataSize, rows, rowCount))
    return MVLinkResult::kDamaged;
  // A site left unlinked would call into nothing the image can recover from.
  if (UnlinkedImports().size() != unlinkedBefore) return MVLinkResult::kUnlinked;
  // Linking was the last write into the code and the slots: from here on the code is read
  // and executed only, the slots read only.
  bool executable = MVSealImage(*image);
  MVRegisterResourceBlock(image->resources, image->resourcesSize, image->resourcesFileOffset);
  MVWalkOptions(image->options, image->optionsSize);
  MVSetImageSymbols(reinterpret_cast<uintptr_t>(image->code), image->codeSize, image->symbols,
                    image->symbolsSize);
  return executable ? MVLinkResult::kLinked : MVLinkResult::kNotExecutable;
}

int MVRunLoader(const char* path) {
  MVLoadedImage image;
  std::string problem;
  MVImageSource source = MVLoadImageFile(path, &image, &problem);
  if (source == MVImageSource::kCannotOpen) {
    std::string text = std::string("Can't open executable ") + (path ? path : "");
    MVRuntimeErrorReport(4, kMVLoaderModule, 490, "exeFile", text.c_str());
  }
  std::string what = std::string("of ") + (path ? path : "");
  if (source == MVImageSource::kCannotOpen || source == MVImageSource::kNoSection) {
    bool ours = MVLoadLooseImage(&image, &problem);
    bool none = ours && image.codeSize == 0 && image.dataSize == 0 && image.importsSize == 0 &&
                image.symbolsSize == 0 && image.resourcesSize == 0 && image.optionsSize == 0;
    if (none) {
      printf("No code image found: the program file has no " MV_IMAGE_SECTION
             " section and " MV_LOOSE_CODE " is missing.\n");
      fflush(stdout);
      return 1;
    }
    what = "in the loose files of " + CurrentFolder();
    if (ours) problem = MissingLooseFile(image);
  }
  MVLinkResult linked = MVLinkResult::kDamaged;
  if (problem.empty()) MVCheckImage(image, &problem);
  if (problem.empty()) {
    linked = MVLinkImage(&image);
    if (linked == MVLinkResult::kDamaged) problem = "an import record is damaged";
    if (linked == MVLinkResult::kUnlinked) problem = "a function it calls cannot be linked";
  }
  if (!problem.empty()) {
    printf("The code image %s is damaged: %s.\n", what.c_str(), problem.c_str());
    fflush(stdout);
    return 1;
  }
  // Code that could not be made executable would fault at its first instruction.
  if (linked != MVLinkResult::kLinked) return 1;
  using Entry = int32_t (*)(void);
  reinterpret_cast<Entry>(image.code)();
  MVRunShutdownList();
  return 0;
}
