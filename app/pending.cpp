// Commands whose implementation has not landed yet. Each prints that it is missing
// instead of pretending to work; the file shrinks as the commands arrive.
#include "app/App.h"
#include "app/util.h"

static void NotBuilt() { PRINT("This command is not available in this build yet."); }

void App_Encrypt(MVObject*) { NotBuilt(); }
void App_Decrypt(MVObject*) { NotBuilt(); }
void App_RunScript(MVObject*) { NotBuilt(); }
int32_t App_VerifyScript(MVObject*) { return 1; }
