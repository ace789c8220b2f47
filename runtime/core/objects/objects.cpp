// Objects: creation, the live-object list, reference counting, finalization with
// resurrection, and destruction made iterative by the pending list.
#include <stdlib.h>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/objects_internal.h"
#include "runtime/core/objects/report.h"
#include "runtime/values/alloc.h"

namespace {

MVObject* g_live = nullptr;
uint32_t g_liveCount = 0;

// Objects whose memory is freed once the destruction in progress is done.
bool g_destroying = false;
MVObject** g_pending = nullptr;
uint32_t g_pendingCount = 0;
uint32_t g_pendingCapacity = 0;

void AppendPending(MVObject* o) {
  if (g_pendingCount == g_pendingCapacity) {
    uint32_t grow = g_pendingCapacity > 16 ? g_pendingCapacity : 16;
    void* bigger = realloc(g_pending, (g_pendingCapacity + grow) * sizeof(MVObject*));
    if (!bigger) MVOutOfMemory();
    g_pending = static_cast<MVObject**>(bigger);
    g_pendingCapacity += grow;
  }
  g_pending[g_pendingCount++] = o;
}

void Initialize(MVClass* cls, MVObject* o) {
  if (!cls) return;
  Initialize(cls->superclass, o);
  if (cls->initializer) cls->initializer(o);
}

void Free(MVObject* o) {
  for (MVClass* c = o->cls; c; c = c->superclass)
    if (c->releaser) c->releaser(o);
  // A per-object event table (one that differs from the class's) comes from
  // RuntimeNewVtable.
  if (o->events && (!o->cls || o->events != o->cls->events)) free(o->events);
  if (o->prevLive) o->prevLive->nextLive = o->nextLive;
  else if (g_live == o) g_live = o->nextLive;
  if (o->nextLive) o->nextLive->prevLive = o->prevLive;
  free(o);
  g_liveCount--;
}

void Destroy(MVObject* o) {
  o->refCount = 1;
  for (MVClass* c = o->cls; c; c = c->superclass) {
    if (!c->finalizer) continue;
    c->finalizer(o);
    if (o->refCount > 1) {  // the finalizer stored a new reference: the object lives on
      o->refCount--;
      return;
    }
  }
  o->refCount = 0;
  if (g_destroying) {
    AppendPending(o);
    return;
  }
  g_destroying = true;
  Free(o);
  while (g_pendingCount) Free(g_pending[--g_pendingCount]);
  g_destroying = false;
}

}  // namespace

extern "C" MVObject* RuntimeNewObject(MVClass* cls) {
  if (!cls) {
    RaiseNilObjectException();
    return nullptr;
  }
  if (cls->isInterface)
    MVRuntimeErrorReport(4, "../Common/Object Model/RuntimeObjectFoundation", 271,
                         "!parent->isAnInterface", nullptr);
  // Never less than the header, whatever the record says.
  size_t size = cls->instanceSize < sizeof(MVObject) ? sizeof(MVObject) : cls->instanceSize;
  MVObject* o = static_cast<MVObject*>(calloc(1, size));
  if (!o) {
    MVRaiseAllocationFailure();
    return nullptr;
  }
  g_liveCount++;
  o->nextLive = g_live;
  if (g_live) g_live->prevLive = o;
  g_live = o;
  o->methods = cls->methods;
  o->cls = cls;
  o->events = cls->events;
  o->refCount = 1;
  Initialize(cls, o);
  return o;
}

extern "C" void RuntimeLockObject(MVObject* o) {
  if (o && o->refCount) o->refCount++;
}

extern "C" void RuntimeUnlockObject(MVObject* o) {
  if (!o || o->refCount == 0) return;
  if (--o->refCount == 0) Destroy(o);
}

extern "C" void RuntimeLockUnlockObjects(MVObject* newValue, MVObject* oldValue) {
  if (newValue == oldValue) return;
  RuntimeLockObject(newValue);
  RuntimeUnlockObject(oldValue);
}

extern "C" uint32_t MVLiveObjectCount(void) { return g_liveCount; }

uint32_t MVPendingDestructionCount() { return g_pendingCount; }
