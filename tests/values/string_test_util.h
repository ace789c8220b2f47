// Helpers of the string tests.
#pragma once
#include <string>

#include "runtime/values/string.h"
#include "runtime/values/string_internal.h"

namespace strtest {

// An owned string released at scope exit.
class Owned {
 public:
  explicit Owned(MVString* s = nullptr) : s_(s) {}
  Owned(const std::string& bytes, uint32_t enc)
      : s_(MVStringFromBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), enc)) {}
  ~Owned() { RuntimeUnlockString(s_); }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  MVString* get() const { return s_; }
  operator MVString*() const { return s_; }
  MVString* operator->() const { return s_; }

 private:
  MVString* s_;
};

inline std::string Text(const MVString* s) {
  return s ? std::string(reinterpret_cast<const char*>(mvstr::Bytes(s)), s->length) : std::string();
}
inline uint32_t Tag(const MVString* s) { return s ? s->encoding : 0xDEADu; }

}  // namespace strtest
