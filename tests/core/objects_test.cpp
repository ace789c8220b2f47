// Class records, object lifetime and type tests.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"
#include "runtime/core/objects/objects_internal.h"
#include "runtime/values/string.h"

namespace {

// The object header; the tests' instance sizes count from it.
constexpr uint32_t kHeader = sizeof(MVObject);

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

std::string Report(int line, const std::string& condition) {
  return "Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\nalong with the "
         "information below.\n\n../Common/Object Model/RuntimeObjectFoundation: " +
         std::to_string(line) + "\nFailure Condition: " + condition + "\n\n\n";
}

uint8_t* At(void* p, size_t offset) { return static_cast<uint8_t*>(p) + offset; }

MVClass* Named(MVClass* cls, const char* name, uint32_t size) {
  cls->name = MVStringFromCString(name, kEncodingASCII);
  cls->instanceSize = size;
  return cls;
}

TEST(Classes, LayoutAndInheritedTables) {
  MVClass* base = Named(RuntimeNewClass(nullptr, 2, 1, 1, 2, 1), "LayoutBase", kHeader);
  ASSERT_NE(base, nullptr);
  // Arrays behind the record: interfaces, methods, events, auxiliary, properties.
  // One interface entry, two methods, one event, two auxiliary entries (i386 sizes; a
  // word more each on x86-64).
  const size_t w = sizeof(void*) / 4;
  EXPECT_EQ(reinterpret_cast<uint8_t*>(base->methods), At(base, sizeof(MVClass) + 12 * w));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(base->events), At(base, sizeof(MVClass) + 28 * w));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(base->aux), At(base, sizeof(MVClass) + 36 * w));
  EXPECT_EQ(reinterpret_cast<uint8_t*>(base->properties), At(base, sizeof(MVClass) + 52 * w));
  EXPECT_EQ(base->methods[1].function, nullptr) << "zero-filled";
  base->methods[0].function = reinterpret_cast<void*>(0x100);
  base->methods[1].function = reinterpret_cast<void*>(0x104);
  base->interfaces[0].interface = reinterpret_cast<MVClass*>(0x200);
  base->events[0].handler = reinterpret_cast<void*>(0x300);
  base->aux[0].a = 7;
  base->aux[1].a = 8;
  base->properties[0].w[3] = 9;

  MVClass* sub = RuntimeNewClass(base, 3, 1, 2, 1, 1);
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->superclass, base);
  EXPECT_EQ(MVClassListHead(), sub) << "newest class first";
  EXPECT_EQ(sub->next, base);
  EXPECT_EQ(sub->methodCount, 3u);
  EXPECT_EQ(sub->methods[0].function, reinterpret_cast<void*>(0x100));
  EXPECT_EQ(sub->methods[1].function, reinterpret_cast<void*>(0x104));
  EXPECT_EQ(sub->methods[2].function, nullptr);
  EXPECT_EQ(sub->interfaces[0].interface, reinterpret_cast<MVClass*>(0x200));
  EXPECT_EQ(sub->events[0].handler, reinterpret_cast<void*>(0x300));
  EXPECT_EQ(sub->auxCount, 1u);
  EXPECT_EQ(sub->aux[0].a, 7u) << "auxiliary entries: at most the new count";
  EXPECT_EQ(sub->properties[0].w[3], 9u);
}

TEST(Classes, FewerEntriesThanSuperclassAreReportedAndCopyStaysInside) {
  MVClass* base = RuntimeNewClass(nullptr, 4, 2, 3, 0, 2);
  for (int i = 0; i < 4; i++) base->methods[i].function = reinterpret_cast<void*>(0x10 + i);
  base->interfaces[1].interface = reinterpret_cast<MVClass*>(0x999);
  CaptureStdout();
  // Only what fits is copied: base's second interface entry must not land on the
  // methods behind the new class's one interface.
  MVClass* sub = RuntimeNewClass(base, 2, 1, 1, 0, 1);
  std::string out = GetCapturedStdout();
  EXPECT_EQ(out, Report(166, "out->methodCount >= base->methodCount") +
                     Report(168, "out->interfaceCount >= base->interfaceCount") +
                     Report(170, "out->eventCount >= base->eventCount") +
                     Report(182, "out->propertyCount >= base->propertyCount"));
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->methods[0].function, reinterpret_cast<void*>(0x10));
  EXPECT_EQ(sub->methods[1].function, reinterpret_cast<void*>(0x11));
}

TEST(Classes, RegisterFindAndMakeClass) {
  CaptureStdout();
  RuntimeRegisterClass(nullptr);
  EXPECT_EQ(GetCapturedStdout(), Report(114, "theClass"));

  MVClass* made = MVMakeClass("QuillPen", nullptr, kHeader + 8, nullptr, nullptr, nullptr);
  ASSERT_NE(made, nullptr);
  EXPECT_EQ(made->instanceSize, kHeader + 8);
  EXPECT_EQ(MVFindClass("quillpen"), made);
  EXPECT_EQ(MVFindClass("QuillPens"), nullptr);
  EXPECT_EQ(MVFindClass("threadendexception"), MVThreadEndExceptionClass());

  // A record built elsewhere joins the list once, however often it is registered.
  MVClass& external = *static_cast<MVClass*>(calloc(1, sizeof(MVClass)));
  external.name = MVStringFromCString("ExternalInk", kEncodingASCII);
  MVClass* head = MVClassListHead();
  RuntimeRegisterClass(&external);
  RuntimeRegisterClass(&external);
  EXPECT_EQ(MVClassListHead(), &external);
  EXPECT_EQ(external.next, head);
  EXPECT_EQ(MVFindClass("EXTERNALINK"), &external);
  EXPECT_EQ(MVFindClass("QuillPen"), made);

  MVClass* sub = MVMakeClass("QuillNib", made, kHeader + 16, nullptr, nullptr, nullptr);
  EXPECT_EQ(sub->superclass, made);

  EXPECT_EQ(RuntimeNewVtable(0), nullptr);
  MVMethodEntry* table = RuntimeNewVtable(3);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table[2].function, nullptr);
}

// --- Object lifetime.

std::vector<std::string> g_log;
MVObject* g_keep = nullptr;

void Log(const char* what) { g_log.push_back(what); }
void InitRoot(MVObject* o) {
  Log("init root");
  EXPECT_EQ(o->refCount, 1u);
}
void InitLeaf(MVObject*) { Log("init leaf"); }
void FinRoot(MVObject*) { Log("fin root"); }
void FinLeaf(MVObject* o) {
  Log("fin leaf");
  EXPECT_EQ(o->refCount, 1u) << "held at 1 during finalization";
}
void RelRoot(MVObject*) { Log("rel root"); }
void RelLeaf(MVObject* o) {
  Log("rel leaf");
  EXPECT_EQ(o->refCount, 0u);
}
void FinResurrect(MVObject* o) {
  Log("fin resurrect");
  if (!g_keep) {
    RuntimeLockObject(o);
    g_keep = o;
  }
}

TEST(Objects, CreationHeaderAndOrderOfRoutines) {
  MVClass* root = MVMakeClass("LifeRoot", nullptr, kHeader + 4, InitRoot, FinRoot, RelRoot);
  MVClass* mid = MVMakeClass("LifeMid", root, kHeader + 4, nullptr, nullptr, nullptr);
  MVClass* leaf = MVMakeClass("LifeLeaf", mid, kHeader + 16, InitLeaf, FinLeaf, RelLeaf);
  uint32_t live = MVLiveObjectCount();
  g_log.clear();
  MVObject* o = RuntimeNewObject(leaf);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(MVLiveObjectCount(), live + 1);
  EXPECT_EQ(o->methods, leaf->methods);
  EXPECT_EQ(o->cls, leaf);
  EXPECT_EQ(o->events, leaf->events);
  EXPECT_EQ(o->refCount, 1u);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(At(o, kHeader + 12)), 0u) << "fields zero-filled";
  EXPECT_EQ(g_log, (std::vector<std::string>{"init root", "init leaf"}));

  RuntimeLockObject(o);
  RuntimeUnlockObject(o);
  EXPECT_EQ(MVLiveObjectCount(), live + 1);
  g_log.clear();
  RuntimeUnlockObject(o);
  EXPECT_EQ(g_log, (std::vector<std::string>{"fin leaf", "fin root", "rel leaf", "rel root"}));
  EXPECT_EQ(MVLiveObjectCount(), live);
}

TEST(Objects, LiveListSurvivesUnlinkingInAnyOrder) {
  MVClass* cls = MVMakeClass("LiveThing", nullptr, kHeader, nullptr, nullptr, nullptr);
  uint32_t live = MVLiveObjectCount();
  MVObject* a = RuntimeNewObject(cls);
  MVObject* b = RuntimeNewObject(cls);
  MVObject* c = RuntimeNewObject(cls);
  EXPECT_EQ(c->nextLive, b);
  EXPECT_EQ(b->prevLive, c);
  EXPECT_EQ(MVLiveObjectCount(), live + 3);
  RuntimeUnlockObject(b);
  EXPECT_EQ(c->nextLive, a);
  EXPECT_EQ(a->prevLive, c);
  RuntimeUnlockObject(c);
  RuntimeUnlockObject(a);
  EXPECT_EQ(MVLiveObjectCount(), live);
}

TEST(Objects, LockingAtCountZeroStaysZeroAndNilIsAccepted) {
  MVObject fake = {};
  RuntimeLockObject(&fake);
  EXPECT_EQ(fake.refCount, 0u);
  RuntimeUnlockObject(&fake);  // nothing to drop: not destroyed again
  EXPECT_EQ(fake.refCount, 0u);
  RuntimeLockObject(nullptr);
  RuntimeUnlockObject(nullptr);
  RuntimeLockUnlockObjects(nullptr, nullptr);

  MVClass* cls = MVMakeClass("Assigned", nullptr, kHeader, nullptr, nullptr, nullptr);
  MVObject* a = RuntimeNewObject(cls);
  MVObject* b = RuntimeNewObject(cls);
  RuntimeLockUnlockObjects(a, a);
  EXPECT_EQ(a->refCount, 1u);
  RuntimeLockUnlockObjects(a, b);  // b goes
  EXPECT_EQ(a->refCount, 2u);
  RuntimeUnlockObject(a);
  RuntimeUnlockObject(a);
}

TEST(Objects, FinalizerResurrection) {
  MVClass* root = MVMakeClass("Phoenix", nullptr, kHeader, nullptr, FinRoot, RelRoot);
  MVClass* leaf = MVMakeClass("PhoenixChick", root, kHeader, nullptr, FinResurrect, nullptr);
  uint32_t live = MVLiveObjectCount();
  g_keep = nullptr;
  g_log.clear();
  MVObject* o = RuntimeNewObject(leaf);
  RuntimeUnlockObject(o);
  ASSERT_EQ(g_keep, o);
  EXPECT_EQ(o->refCount, 1u);
  EXPECT_EQ(MVLiveObjectCount(), live + 1);
  EXPECT_EQ(g_log, (std::vector<std::string>{"fin resurrect"})) << "the chain stops at the resurrection";
  g_log.clear();
  RuntimeUnlockObject(g_keep);
  EXPECT_EQ(g_log, (std::vector<std::string>{"fin resurrect", "fin root", "rel root"}));
  EXPECT_EQ(MVLiveObjectCount(), live);
}

// A chain of objects, each holding the next in its field and releasing it on its way out.
struct Link {
  MVObject header;
  MVObject* next;
  uint32_t id;
};
std::vector<uint32_t> g_freed;
void ReleaseNext(MVObject* o) {
  Link* l = reinterpret_cast<Link*>(o);
  g_freed.push_back(l->id);
  MVObject* next = l->next;
  l->next = nullptr;
  RuntimeUnlockObject(next);
}
MVObject** g_children = nullptr;
uint32_t g_childCount = 0;
uint32_t g_maxPending = 0;
void ReleaseChildren(MVObject*) {
  for (uint32_t i = 0; i < g_childCount; i++) {
    RuntimeUnlockObject(g_children[i]);
    if (MVPendingDestructionCount() > g_maxPending) g_maxPending = MVPendingDestructionCount();
  }
}

TEST(Objects, LongChainsAreDestroyedIteratively) {
  MVClass* cls = MVMakeClass("ChainLink", nullptr, sizeof(Link), nullptr, nullptr, ReleaseNext);
  uint32_t live = MVLiveObjectCount();
  const uint32_t kLinks = 300000;  // far deeper than the stack could take recursively
  MVObject* head = nullptr;
  for (uint32_t i = 0; i < kLinks; i++) {
    Link* l = reinterpret_cast<Link*>(RuntimeNewObject(cls));
    l->next = head;
    l->id = i;
    head = &l->header;
  }
  g_freed.clear();
  RuntimeUnlockObject(head);
  EXPECT_EQ(MVLiveObjectCount(), live);
  ASSERT_EQ(g_freed.size(), kLinks);
  EXPECT_EQ(g_freed.front(), kLinks - 1);
  EXPECT_EQ(g_freed.back(), 0u);
  EXPECT_EQ(MVPendingDestructionCount(), 0u);

  // Many objects released at once wait in the pending list (it grows past 16) and are
  // freed last first.
  MVClass* parentClass = MVMakeClass("Parent", nullptr, kHeader, nullptr, nullptr, ReleaseChildren);
  MVObject* kids[100];
  for (uint32_t i = 0; i < 100; i++) {
    Link* l = reinterpret_cast<Link*>(RuntimeNewObject(cls));
    l->id = i;
    kids[i] = &l->header;
  }
  g_children = kids;
  g_childCount = 100;
  g_maxPending = 0;
  g_freed.clear();
  RuntimeUnlockObject(RuntimeNewObject(parentClass));
  EXPECT_EQ(g_maxPending, 100u);
  ASSERT_EQ(g_freed.size(), 100u);
  EXPECT_EQ(g_freed.front(), 99u);
  EXPECT_EQ(g_freed.back(), 0u);
  EXPECT_EQ(MVLiveObjectCount(), live);
}

TEST(Objects, InterfaceCannotBeInstantiatedButIsReported) {
  MVClass* iface = MVMakeClass("Drawable", nullptr, kHeader, nullptr, nullptr, nullptr);
  iface->isInterface = 1;
  CaptureStdout();
  MVObject* o = RuntimeNewObject(iface);
  EXPECT_EQ(GetCapturedStdout(), Report(271, "!parent->isAnInterface"));
  RuntimeUnlockObject(o);
}

TEST(Objects, SmallInstanceSizeStillHoldsTheHeader) {
  MVClass* cls = RuntimeNewClass(nullptr, 0, 0, 0, 0, 0);  // instance size left 0
  MVObject* o = RuntimeNewObject(cls);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(o->refCount, 1u);
  RuntimeUnlockObject(o);
}

// --- Type tests, casts, interfaces and events.

struct Hierarchy {
  MVClass* iface;
  MVClass* other;
  MVClass* base;
  MVClass* sub;
  MVClass* unrelated;
  MVMethodEntry* ifaceTable;
};

Hierarchy& H() {
  static Hierarchy h = [] {
    Hierarchy x;
    x.iface = MVMakeClass("Printable", nullptr, kHeader, nullptr, nullptr, nullptr);
    x.iface->isInterface = 1;
    x.other = MVMakeClass("Sortable", nullptr, kHeader, nullptr, nullptr, nullptr);
    x.other->isInterface = 1;
    x.ifaceTable = RuntimeNewVtable(1);
    x.base = Named(RuntimeNewClass(nullptr, 1, 1, 2, 0, 0), "Shape", kHeader);
    x.base->interfaces[0].interface = x.iface;
    x.base->interfaces[0].methods = x.ifaceTable;
    x.base->events[1].handler = reinterpret_cast<void*>(0x4242);
    x.sub = Named(RuntimeNewClass(x.base, 1, 1, 2, 0, 0), "Circle", kHeader);
    x.unrelated = MVMakeClass("Colour", nullptr, kHeader, nullptr, nullptr, nullptr);
    return x;
  }();
  return h;
}

TEST(Types, IsaFollowsSuperclassesAndInterfaces) {
  Hierarchy& h = H();
  MVObject* circle = RuntimeNewObject(h.sub);
  MVObject* shape = RuntimeNewObject(h.base);
  EXPECT_TRUE(RuntimeObjectIsa(circle, h.sub));
  EXPECT_TRUE(RuntimeObjectIsa(circle, h.base));
  EXPECT_FALSE(RuntimeObjectIsa(shape, h.sub));
  EXPECT_FALSE(RuntimeObjectIsa(circle, h.unrelated));
  EXPECT_TRUE(RuntimeObjectIsa(circle, h.iface)) << "inherited interface entry";
  EXPECT_FALSE(RuntimeObjectIsa(circle, h.other));
  EXPECT_FALSE(RuntimeObjectIsa(nullptr, h.base));
  EXPECT_TRUE(RuntimeObjectIsa(circle, nullptr));
  RuntimeUnlockObject(circle);
  RuntimeUnlockObject(shape);
}

class Raising : public ::testing::Test {
 protected:
  void SetUp() override { live_ = MVLiveObjectCount(); }
  void TearDown() override { EXPECT_EQ(MVLiveObjectCount(), live_); }
  // Calls fn(a, b) protected; returns the class of the exception caught (NULL for none)
  // and releases it.
  MVClass* Caught(void* fn, MVWord a, MVWord b, MVWord* result) {
    MVObject* e = MVProtectedCall(fn, a, b, 0, result);
    if (!e) return nullptr;
    MVClass* cls = e->cls;
    RuntimeUnlockObject(e);
    return cls;
  }
  uint32_t live_ = 0;
};

TEST_F(Raising, CheckCast) {
  Hierarchy& h = H();
  MVObject* circle = RuntimeNewObject(h.sub);
  MVWord r = 1;
  void* cast = reinterpret_cast<void*>(&RuntimeCheckCast);
  MVWord o = reinterpret_cast<MVWord>(circle);
  EXPECT_EQ(Caught(cast, o, reinterpret_cast<MVWord>(h.base), &r), nullptr);
  EXPECT_EQ(r, o);
  EXPECT_EQ(circle->refCount, 2u) << "a cast adds one reference";
  RuntimeUnlockObject(circle);
  EXPECT_EQ(Caught(cast, o, reinterpret_cast<MVWord>(h.iface), &r), nullptr);
  RuntimeUnlockObject(circle);
  EXPECT_EQ(Caught(cast, o, 0, &r), nullptr);
  EXPECT_EQ(r, o);
  EXPECT_EQ(circle->refCount, 2u);
  RuntimeUnlockObject(circle);
  EXPECT_EQ(Caught(cast, 0, reinterpret_cast<MVWord>(h.base), &r), nullptr);
  EXPECT_EQ(r, 0u);
  EXPECT_EQ(Caught(cast, o, reinterpret_cast<MVWord>(h.unrelated), &r), MVIllegalCastExceptionClass());
  EXPECT_EQ(circle->refCount, 1u);
  RuntimeUnlockObject(circle);
}

TEST_F(Raising, OleObjectCastsToItsDirectSubclasses) {
  MVClass* ole = MVMakeClass("OLEObject", nullptr, kHeader, nullptr, nullptr, nullptr);
  MVClass* word = MVMakeClass("WordApplication", ole, kHeader, nullptr, nullptr, nullptr);
  MVClass* deeper = MVMakeClass("WordDocument", word, kHeader, nullptr, nullptr, nullptr);
  MVObject* o = RuntimeNewObject(ole);
  MVWord r = 0;
  void* cast = reinterpret_cast<void*>(&RuntimeCheckCast);
  EXPECT_EQ(Caught(cast, reinterpret_cast<MVWord>(o), reinterpret_cast<MVWord>(word), &r), nullptr);
  EXPECT_EQ(r, reinterpret_cast<MVWord>(o));
  RuntimeUnlockObject(o);
  EXPECT_EQ(Caught(cast, reinterpret_cast<MVWord>(o), reinterpret_cast<MVWord>(deeper), &r),
            MVIllegalCastExceptionClass());
  RuntimeUnlockObject(o);
}

TEST_F(Raising, InterfaceTables) {
  Hierarchy& h = H();
  MVObject* circle = RuntimeNewObject(h.sub);
  MVWord o = reinterpret_cast<MVWord>(circle);
  void* lookup = reinterpret_cast<void*>(&RuntimeLookupInterfaceVtable);
  MVWord r = 0;
  EXPECT_EQ(Caught(lookup, o, reinterpret_cast<MVWord>(h.iface), &r), nullptr);
  EXPECT_EQ(r, reinterpret_cast<MVWord>(h.ifaceTable));
  EXPECT_EQ(Caught(lookup, o, reinterpret_cast<MVWord>(h.other), &r), MVIllegalCastExceptionClass());
  EXPECT_EQ(Caught(lookup, 0, reinterpret_cast<MVWord>(h.iface), &r), MVNilObjectExceptionClass());
  EXPECT_EQ(Caught(lookup, o, 0, &r), MVNilObjectExceptionClass());
  EXPECT_EQ(Caught(reinterpret_cast<void*>(&RuntimeNewObject), 0, 0, &r), MVNilObjectExceptionClass());
  EXPECT_EQ(Caught(reinterpret_cast<void*>(&RuntimeNilObject), 0, 0, &r), MVNilObjectExceptionClass());
  EXPECT_EQ(Caught(reinterpret_cast<void*>(&RaiseOutOfBoundsException), 0, 0, &r),
            MVOutOfBoundsExceptionClass());
  RuntimeUnlockObject(circle);
}

TEST(Types, EventHandlerLookup) {
  Hierarchy& h = H();
  MVObject* circle = RuntimeNewObject(h.sub);
  EXPECT_EQ(RuntimeLookupEventHandler(circle, 1), reinterpret_cast<void*>(0x4242)) << "inherited";
  EXPECT_EQ(RuntimeLookupEventHandler(circle, 0), nullptr);
  EXPECT_EQ(RuntimeLookupEventHandler(circle, 2), nullptr) << "beyond the class's events";
  EXPECT_EQ(RuntimeLookupEventHandler(nullptr, 0), nullptr);
  // A per-object table is used for lookup and freed with the object.
  MVEventEntry* own = reinterpret_cast<MVEventEntry*>(RuntimeNewVtable(2));
  own[0].handler = reinterpret_cast<void*>(0x77);
  circle->events = own;
  EXPECT_EQ(RuntimeLookupEventHandler(circle, 0), reinterpret_cast<void*>(0x77));
  RuntimeUnlockObject(circle);
  MVObject* plain = RuntimeNewObject(h.unrelated);
  EXPECT_EQ(RuntimeLookupEventHandler(plain, 0), nullptr);
  RuntimeUnlockObject(plain);
}

}  // namespace
