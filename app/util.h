// Small helpers shared by the App methods.
#pragma once
#include "app/rt.h"
#include "app/support.h"

// An owned string reference, released when it goes out of scope.
class Str {
 public:
  Str() : s_(nullptr) {}
  explicit Str(MVString* owned) : s_(owned) {}          // takes an owned reference
  Str(const Str& o) : s_(o.s_) { RuntimeLockString(s_); }
  Str& operator=(const Str& o) {
    RuntimeLockUnlockStrings(o.s_, s_);
    s_ = o.s_;
    return *this;
  }
  ~Str() { RuntimeUnlockString(s_); }
  static Str Borrow(MVString* s) {                      // adds a reference
    RuntimeLockString(s);
    return Str(s);
  }
  MVString* get() const { return s_; }
  uint32_t length() const { return MVStringLength(s_); }
  const uint8_t* bytes() const { return MVStringBytes(s_); }
  bool empty() const { return s_ == nullptr; }
  Str operator+(MVString* b) const { return Str(RuntimeAddString(s_, b)); }
  Str operator+(const Str& b) const { return Str(RuntimeAddString(s_, b.s_)); }

 private:
  MVString* s_;
};

// An owned reference to a runtime object (a FolderItem, a stream, the shell) or array,
// released when it goes out of scope (or at reset). Where a reference passes to another
// keeper (a caller, a global, the runtime), the code holds a plain pointer instead.
template <typename T, void (*Unlock)(T*)>
class OwnedRef {
 public:
  explicit OwnedRef(T* owned = nullptr) : p_(owned) {}
  ~OwnedRef() { Unlock(p_); }
  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;
  T* get() const { return p_; }
  void reset(T* owned = nullptr) {
    Unlock(p_);
    p_ = owned;
  }

 private:
  T* p_;
};
using Obj = OwnedRef<MVObject, RuntimeUnlockObject>;
using Arr = OwnedRef<MVArray, RuntimeUnlockArray>;

// Print one console line (the empty string prints nothing at all).
inline void Print(MVString* s) { RuntimeConsolePrint(s); }
inline void Print(const Str& s) { RuntimeConsolePrint(s.get()); }
#define PRINT(text) RuntimeConsolePrint(MV_LIT(text))

// Letter-case-insensitive equality of runtime strings.
inline bool Same(MVString* a, MVString* b) { return RuntimeStringCompare(a, b) == 0; }
// The first n characters of s equal `word` (letter case ignored).
bool StartsWith(MVString* s, MVString* word, int32_t n);

// Element access of the runtime arrays, through their operations tables.
Str GetParam(int32_t i);                         // Params(i)
void SetParam(int32_t i, MVString* v);
int32_t GetInt(MVArray* a, int32_t i);
void SetInt(MVArray* a, int32_t i, int32_t v);
Str GetStr(MVArray* a, int32_t i);
void SetStr(MVArray* a, int32_t i, MVString* v);
Str GetStr2(MVArray* a, int32_t i, int32_t j);
void SetStr2(MVArray* a, int32_t i, int32_t j, MVString* v);

// Str(n) of the runtime, and Trim(Str(n)).
inline Str StrOf(int32_t n) { return Str(StringStrInt32(n)); }
// Val of a string.
inline double Val(MVString* s) { return StringVal(s); }
inline double Val(const Str& s) { return StringVal(s.get()); }
// CInt: the truncating conversion.
inline int32_t CInt(double d) { return RuntimeCvtReal64ToSInt32(d); }

// A FolderItem for a name relative to the application folder (or an absolute path);
// owned, may be NULL.
MVFolderItem* GetFolderItem(MVString* name);
// "name" exists (resolved as GetFolderItem does).
bool FileExists(MVString* name);
