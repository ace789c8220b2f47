#include "runtime/console/command_form.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "runtime/console/console.h"
#include "runtime/console/console_internal.h"
#include "runtime/core/objects/signals.h"
#include "runtime/values/string.h"

namespace {

const char kSynopsis[] =
    "Usage: ombrix [OPTIONS] COMMAND [ARGUMENTS]\n"
    "       ombrix                        (the session at the \"[Ombrix] \" prompt)\n"
    "Commands:\n"
    "  enc SOURCE DESTINATION E1 E2 E3   encrypt SOURCE into DESTINATION\n"
    "  dec SOURCE DESTINATION E1 E2 E3   decrypt SOURCE into DESTINATION\n"
    "  createsys N1 N2 N3 LEVEL          create the key system (LEVEL n, l, m or h)\n"
    "  sysdat                            print the key system's sizes\n"
    "  transsys DIR                      copy the key system to DIR\n"
    "  ressys DIR                        restore the key system from DIR\n"
    "  transkill DIR                     copy the key system to DIR, then delete it\n"
    "  killsys                           delete the key system\n"
    "  x SCRIPT                          verify and run a script file\n"
    "  help [TOPIC]                      the session's help text\n";

const char kOptions[] =
    "Options (before COMMAND only):\n"
    "  -h, --help       print this text\n"
    "  --version        print the version\n"
    "  -v, --verbose    print the session's lines for the command on standard error\n"
    "  --keys DIR       use the key system in DIR (also OMBRIX_KEYS; by default the\n"
    "                   program's own folder)\n"
    "  --plain          enc writes and dec reads the plain format of the prompt and of\n"
    "                   earlier versions (no check, no salt) instead of sealed files\n"
    "\n"
    "Relative names are taken in the current folder; - as SOURCE reads standard input,\n"
    "- as DESTINATION writes standard output. Exit status: 0 done, 1 refused or failed,\n"
    "2 usage error. Without arguments ombrix reads its commands at the prompt.\n"
    "\n"
    "The manual: man ombrix\n";

bool g_form = false;
bool g_verbose = false;
bool g_plain = false;
std::string g_keys;
bool g_haveKeys = false;
int g_status = 0;
int32_t g_capture = kMVLinesOut;
std::string g_held;  // held lines, each ending in "\n"
bool g_heldOverflow = false;
std::vector<std::string> g_leftOut;  // progress lines never held
// Held lines are the few of one command; a script's transcript is bounded here.
const size_t kHeldLimit = 4u << 20;

void WriteAll(int fd, const std::string& text) { MVWriteFully(fd, text.data(), text.size()); }

int UsageError(const std::string& message) {
  WriteAll(STDERR_FILENO, "ombrix: " + message + "\n" + kSynopsis);
  g_status = 2;
  return 2;
}

std::string Bytes(MVString* s) {
  return std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s));
}

// The non-blank lines of a text of lines, each without its trailing blanks.
std::vector<std::string> LinesOf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace

extern "C" int MVReadCommandOptions(int* argc, char** argv, const char* version) {
  int n = *argc;
  if (n < 2) return -1;
  int i = 1;
  for (; i < n; i++) {
    const char* a = argv[i];
    if (strcmp(a, "-h") == 0 || strcmp(a, "--help") == 0) {
      WriteAll(STDOUT_FILENO, std::string(kSynopsis) + "\n" + kOptions);
      return 0;
    }
    if (strcmp(a, "--version") == 0) {
      WriteAll(STDOUT_FILENO, version);
      return 0;
    }
    if (strcmp(a, "-v") == 0 || strcmp(a, "--verbose") == 0) {
      g_verbose = true;
    } else if (strcmp(a, "--plain") == 0) {
      g_plain = true;
    } else if (strcmp(a, "--keys") == 0 || strncmp(a, "--keys=", 7) == 0) {
      const char* dir = a[6] == '=' ? a + 7 : (i + 1 < n ? argv[++i] : nullptr);
      if (!dir || !*dir) return UsageError("--keys needs a folder");
      g_keys = dir;
      g_haveKeys = true;
    } else if (strcmp(a, "--") == 0) {
      i++;
      break;
    } else if (a[0] == '-' && a[1] != '\0') {
      return UsageError(std::string("unknown option '") + a + "'");
    } else {
      break;
    }
  }
  if (i >= n) return UsageError("no command given");
  // The program, then COMMAND and its operands (argv's terminating NULL moves along).
  memmove(argv + 1, argv + i, static_cast<size_t>(n - i + 1) * sizeof(char*));
  *argc = n - i + 1;
  g_form = true;
  if (!g_haveKeys) {
    const char* env = getenv("OMBRIX_KEYS");
    if (env && *env) {
      g_keys = env;
      g_haveKeys = true;
    }
  }
  MVReraiseOnEnd();
  return -1;
}

extern "C" int MVCommandExitStatus(void) { return g_status; }

extern "C" bool MVConsoleTakesLine(const uint8_t* bytes, uint32_t n) {
  if (g_capture == kMVLinesOut) return false;
  if (g_capture == kMVLinesToError) {
    std::string line(reinterpret_cast<const char*>(bytes), n);
    WriteAll(STDERR_FILENO, line + "\n");
    return true;
  }
  std::string line(reinterpret_cast<const char*>(bytes), n);
  for (const std::string& progress : g_leftOut)
    if (line == progress) return true;
  if (g_held.size() + n + 1 > kHeldLimit) {
    g_heldOverflow = true;
    return true;
  }
  g_held += line + '\n';
  return true;
}

extern "C" int32_t RuntimeCommandForm(void) {
  if (!g_form) return 0;
  return kMVCommandForm | (g_verbose ? kMVCommandVerbose : 0) | (g_plain ? kMVCommandPlain : 0);
}

extern "C" MVString* RuntimeKeyFolderOption(void) {
  if (!g_haveKeys) return nullptr;
  return MAVOBuildString(g_keys.data(), static_cast<int32_t>(g_keys.size()), kEncodingUTF8);
}

extern "C" void RuntimeConsoleCapture(int32_t mode) {
  if (mode == kMVLinesOut || mode == kMVLinesHeld || mode == kMVLinesToError) g_capture = mode;
}

extern "C" void RuntimeConsoleLeaveOut(MVString* line) { g_leftOut.push_back(Bytes(line)); }

extern "C" void RuntimeConsoleRelease(int32_t how) {
  std::string held;
  held.swap(g_held);
  if (g_heldOverflow) held += "(further lines were left out)\n";
  g_heldOverflow = false;
  if (how == kMVLinesToOutput) {
    // A reader that went away ends the program as a lost console output does.
    if (!MVWriteFully(STDOUT_FILENO, held.data(), held.size()) && errno == EPIPE) MVNoteOutputGone();
  } else if (how == kMVOneErrorLine) {
    // A refusal of several lines is one error: its lines joined by a blank.
    std::string joined;
    for (const std::string& line : LinesOf(held)) joined += (joined.empty() ? "" : " ") + line;
    if (!joined.empty()) WriteAll(STDERR_FILENO, "ombrix: " + joined + "\n");
  } else if (how == kMVErrorLines) {
    for (const std::string& line : LinesOf(held)) WriteAll(STDERR_FILENO, "ombrix: " + line + "\n");
  }
}

extern "C" void RuntimeErrorLine(MVString* text) {
  WriteAll(STDERR_FILENO, "ombrix: " + Bytes(text) + "\n");
}

extern "C" void RuntimeUsageError(MVString* text) { UsageError(Bytes(text)); }

extern "C" void RuntimeSetExitStatus(int32_t status) { g_status = status; }

extern "C" MVString* RuntimeSystemReason(int32_t error) {
  const char* text = strerror(error);
  return MAVOBuildString(text, static_cast<int32_t>(strlen(text)), kEncodingUTF8);
}

extern "C" bool RuntimeIsTerminal(int32_t fd) { return isatty(fd) == 1; }

extern "C" void RuntimeEndOnSignal(void) {
  if (RuntimeStopRequested() != kMVGoOn) MVEndOnSignal();
}
