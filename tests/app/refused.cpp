// One faulty use of the command table or of ProtectedCall per CASE (see CMakeLists.txt);
// CASE 0 is the real table with correct calls.
#include "app/commands.h"
#include "app/run.h"

namespace {

int32_t Twice(MVObject*, int32_t n) { return 2 * n; }
bool Done(MVObject*) { return true; }

[[maybe_unused]] void Calls(MVObject* self) {
  int32_t result = 0;
  bool done = false;
  (void)done;
#if CASE == 0
  ProtectedCall(&result, Twice, self, 21);
  ProtectedCall(App_KillSys, self, 1);
  CallFailed(App_ShowHelp, self);
#elif CASE == 1
  ProtectedCall(App_ShowHelp, self, 1);
#elif CASE == 2
  ProtectedCall(&result, Twice, self);
#elif CASE == 3
  ProtectedCall(&done, Done, self);
#endif
}

}  // namespace

// A table with one faulty row, in place of the real one.
#if CASE >= 4
#undef APP_COMMANDS
#endif
#if CASE == 4
#define APP_COMMANDS(COMMAND)                                                                      \
  COMMAND("enc", 3, App_Encrypt, kNoArgument, EncryptCommand, kNoArgument, VerifyCrypt, "S D E1 E2 E3", 2) \
  COMMAND("encrypt", 7, App_Encrypt, kNoArgument, EncryptCommand, kNoArgument, VerifyCrypt, "S D E1 E2 E3", 2)
#elif CASE == 5
#define APP_COMMANDS(COMMAND) \
  COMMAND("help", 3, App_ShowHelp, kNoArgument, ShowHelpCommand, kNoArgument, kPromptOnly, "[TOPIC]", 0)
#elif CASE == 6
int32_t App_Unregistered(MVObject*);
#define APP_COMMANDS(COMMAND) \
  COMMAND("help", 4, App_Unregistered, kNoArgument, ShowHelpCommand, kNoArgument, kPromptOnly, "[TOPIC]", 0)
#elif CASE == 7
#define APP_COMMANDS(COMMAND) \
  COMMAND("help", 4, App_ShowHelp, 1, ShowHelpCommand, kNoArgument, kPromptOnly, "[TOPIC]", 0)
#elif CASE == 8
#define APP_COMMANDS(COMMAND) \
  COMMAND("help", 4, App_ShowHelp, kNoArgument, kPromptOnly, kNoArgument, kPromptOnly, "[TOPIC]", 0)
#elif CASE == 9
#define APP_COMMANDS(COMMAND) \
  COMMAND("x", 1, App_RunScript, kNoArgument, RunScriptCommand, kNoArgument, kPromptOnly, "[SCRIPT]", 1)
#elif CASE == 10
#define APP_COMMANDS(COMMAND) \
  COMMAND("x", 1, App_RunScript, kNoArgument, RunScriptCommand, kNoArgument, kPromptOnly, "[FLAG] SCRIPT", 0)
#endif

#include "app/commands.cpp"
