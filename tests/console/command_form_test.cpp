// The argument form's options and its held lines. The module keeps what it read for the
// whole process, so each case runs in a child; the child's standard output and error go
// to one pipe.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/console/command_form.h"
#include "runtime/console/console.h"
#include "runtime/values/string.h"

namespace {

struct Child {
  int status = -1;
  std::string output;
};

Child InChild(const std::function<int()>& scenario) {
  fflush(nullptr);
  int fds[2];
  Child r;
  if (pipe(fds) != 0) return r;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], 1);
    dup2(fds[1], 2);
    _exit(scenario());
  }
  close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) r.output.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int st = 0;
  waitpid(pid, &st, 0);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string Text(MVString* s) {
  std::string t = s ? std::string(reinterpret_cast<const char*>(MVStringBytes(s)), MVStringLength(s)) : "";
  RuntimeUnlockString(s);
  return t;
}

struct OptionCase {
  std::vector<const char*> args;  // after the program
  int answer;                     // what MVReadCommandOptions returns
  std::string rest;               // the operands left, joined by "|"
  int32_t form;
  std::string keys;
  std::string printed;            // the start of what was printed
};

TEST(CommandOptions, ReadBeforeTheCommandOnly) {
  setenv("OMBRIX_KEYS", "envkeys", 1);
  const OptionCase cases[] = {
      {{}, -1, "ombrix", 0, "", ""},
      {{"enc", "-v", "b"}, -1, "ombrix|enc|-v|b", kMVCommandForm, "envkeys", ""},
      {{"-v", "--keys", "k", "sysdat"}, -1, "ombrix|sysdat", kMVCommandForm | kMVCommandVerbose, "k", ""},
      {{"--keys=k2", "--", "-x"}, -1, "ombrix|-x", kMVCommandForm, "k2", ""},
      {{"--plain", "-v", "dec"}, -1, "ombrix|dec", kMVCommandForm | kMVCommandVerbose | kMVCommandPlain,
       "envkeys", ""},
      {{"-v", "--version", "enc"}, 0, "", 0, "", "Ombrix 9\n"},
      {{"-h"}, 0, "", 0, "", "Usage: ombrix [OPTIONS] COMMAND [ARGUMENTS]\n"},
      {{"--helpme"}, 2, "", 0, "", "ombrix: unknown option '--helpme'\nUsage: "},
      {{"-v"}, 2, "", 0, "", "ombrix: no command given\nUsage: "},
      {{"--keys"}, 2, "", 0, "", "ombrix: --keys needs a folder\n"},
      {{"--keys", "", "enc"}, 2, "", 0, "", "ombrix: --keys needs a folder\n"},
  };
  for (const OptionCase& c : cases) {
    std::string label = c.args.empty() ? "(none)" : c.args[0];
    Child r = InChild([&c]() {
      std::vector<char*> argv = {const_cast<char*>("ombrix")};
      for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
      argv.push_back(nullptr);
      int argc = static_cast<int>(argv.size()) - 1;
      int answer = MVReadCommandOptions(&argc, argv.data(), "Ombrix 9\n");
      if (answer != c.answer) return 10;
      if (answer >= 0) return MVCommandExitStatus() == (answer == 2 ? 2 : 0) ? 0 : 11;
      std::string rest;
      for (int i = 0; i < argc; i++) rest += (i ? "|" : "") + std::string(argv[i]);
      if (argv[argc] != nullptr || rest != c.rest) return 12;
      if (RuntimeCommandForm() != c.form) return 13;
      if (c.form && Text(RuntimeKeyFolderOption()) != c.keys) return 14;
      return 0;
    });
    EXPECT_EQ(r.status, 0) << label;
    EXPECT_EQ(r.output.substr(0, c.printed.size()), c.printed) << label;
    if (c.printed.empty()) {
      EXPECT_EQ(r.output, "") << label;
    }
  }
}

TEST(CommandOptions, HeldLinesGoOutAsTheCommandsOutputOrAsOneError) {
  auto print = [](const char* text) {
    MVString* s = MVStringFromCString(text, kEncodingUTF8);
    RuntimeConsolePrint(s);
    RuntimeUnlockString(s);
  };
  struct {
    int32_t how;
    std::string expected;
  } const cases[] = {
      {kMVDropLines, "after\n"},
      {kMVLinesToOutput, "A System is not in place.  Please issue ressys or \ncreatesys.\n \nafter\n"},
      {kMVOneErrorLine, "ombrix: A System is not in place.  Please issue ressys or createsys.\nafter\n"},
      {kMVErrorLines, "ombrix: A System is not in place.  Please issue ressys or\nombrix: createsys.\nafter\n"},
  };
  for (const auto& c : cases) {
    Child r = InChild([&]() {
      RuntimeConsoleCapture(kMVLinesHeld);
      MVString* progress = MVStringFromCString("Loading System data...", kEncodingUTF8);
      RuntimeConsoleLeaveOut(progress);
      RuntimeUnlockString(progress);
      print("Loading System data...");
      print("A System is not in place.  Please issue ressys or ");
      print("createsys.");
      print(" ");
      RuntimeConsoleRelease(c.how);
      RuntimeConsoleCapture(kMVLinesOut);
      print("after");
      return 0;
    });
    EXPECT_EQ(r.output, c.expected) << c.how;
  }
}

}  // namespace
