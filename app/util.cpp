#include "app/util.h"

#include "app/App.h"

bool StartsWith(MVString* s, MVString* word, int32_t n) {
  Str head(StringDBCSLeft(s, n));
  return RuntimeStringCompare(head.get(), word) == 0;
}

static MVWord Get1(MVArray* a, int32_t i) {
  return reinterpret_cast<MVArrayGet1>(a->ops->slot[kMVArrayGet])(a, i);
}

static void Set1(MVArray* a, MVWord v, int32_t i) {
  reinterpret_cast<MVArraySet1>(a->ops->slot[kMVArraySet])(a, v, i);
}

Str GetParam(int32_t i) { return GetStr(Params, i); }
void SetParam(int32_t i, MVString* v) { SetStr(Params, i, v); }

int32_t GetInt(MVArray* a, int32_t i) { return static_cast<int32_t>(Get1(a, i)); }
void SetInt(MVArray* a, int32_t i, int32_t v) { Set1(a, static_cast<uint32_t>(v), i); }

Str GetStr(MVArray* a, int32_t i) { return Str(reinterpret_cast<MVString*>(Get1(a, i))); }
void SetStr(MVArray* a, int32_t i, MVString* v) { Set1(a, reinterpret_cast<MVWord>(v), i); }

Str GetStr2(MVArray* a, int32_t i, int32_t j) {
  return Str(reinterpret_cast<MVString*>(
      reinterpret_cast<MVArrayGet2>(a->ops->slot[kMVArrayGet])(a, i, j)));
}

void SetStr2(MVArray* a, int32_t i, int32_t j, MVString* v) {
  reinterpret_cast<MVArraySet2>(a->ops->slot[kMVArraySet])(a, reinterpret_cast<MVWord>(v), i, j);
}

MVFolderItem* GetFolderItem(MVString* name) { return RuntimeGetFolderItem(name, 0); }

bool FileExists(MVString* name) {
  Obj f(GetFolderItem(name));
  return f.get() && fileExistsGetter(f.get());
}
