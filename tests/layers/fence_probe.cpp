// Compiled by check_fence.py with the code image's flags, never linked. PROBE 0 uses
// only exported names; every other probe uses one runtime-internal declaration and must
// not compile for the image.
#include "app/rt.h"

#if PROBE == 100
#include "runtime/core/objects/report.h"
#elif PROBE == 101
#include "runtime/values/alloc.h"
#elif PROBE == 102
#include "runtime/core/objects/symbols.h"
#endif

void Probe() {
  RuntimeConsolePrint(MV_LIT("exported"));
#if PROBE == 1
  MVApplicationObject();
#elif PROBE == 2
  MVProgressErase();
#elif PROBE == 3
  MVRaiseNew(nullptr, "", 0);
#elif PROBE == 4
  MVLiveObjectCount();
#elif PROBE == 5
  MVPluginResolve("rnd");
#elif PROBE == 6
  MVEndOnSignal();
#elif PROBE == 7
  MVApplicationFolder();
#elif PROBE == 8
  MVAbandonSafeOutputs();
#elif PROBE == 9
  MVStringFromCString("", 0);
#elif PROBE == 10
  MVParkMillerStep(1);
#endif
}
