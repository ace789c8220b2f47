// The command's filler generator and pool (see filler_pool.h).
#include "app/filler_pool.h"

#include "app/rt.h"
#include "app/wipe.h"

namespace fillers {

namespace {

filler::Source gSource;
uint8_t gKey[filler::kKeyBytes];

}  // namespace

bool Start(filler::Kind kind) {
  bool ok = RuntimeSecureRandomKey(gKey, filler::kKeyBytes) != 0;
  if (ok) filler::Start(&gSource, gKey, 0, kind);
  return ok;
}

const uint8_t* Key() { return gKey; }

void End() {
  WipeSecret(&gSource, sizeof gSource);
  WipeSecret(gKey, sizeof gKey);
}

uint8_t Pool::pool_[Pool::kPool + 8];

const uint8_t* Pool::Take(uint32_t n, uint32_t* got) {
  if (at_ == have_) {
    uint32_t want = owed_ < kPool ? static_cast<uint32_t>(owed_) : kPool;
    filler::Draw(&gSource, pool_, want);
    owed_ -= want;
    at_ = 0;
    have_ = want;
  }
  uint32_t k = have_ - at_ < n ? have_ - at_ : n;
  const uint8_t* p = pool_ + at_;
  at_ += k;
  *got = k;
  return p;
}

}  // namespace fillers
