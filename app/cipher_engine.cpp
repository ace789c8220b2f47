// The byte engine: offsets of the slots, chunk by chunk, and the choice of routine.
#include "app/cipher_engine.h"

#include "app/cipher_paths.h"
#include "app/cipher_position.h"

namespace cipher {

namespace {

uint32_t Gcd256(uint32_t d) {
  d &= 255;
  if (d == 0) return 256;
  uint32_t g = 1;
  while ((d & 1) == 0 && g < 256) {
    d >>= 1;
    g <<= 1;
  }
  return g;
}

inline uint8_t* Align64(uint8_t* p) {
  uintptr_t a = reinterpret_cast<uintptr_t>(p);
  return reinterpret_cast<uint8_t*>((a + 63) & ~static_cast<uintptr_t>(63));
}

}  // namespace

uint8_t* Engine::Pattern(int r) { return Align64(patternSpace_) + r * kPatternCap; }
uint8_t* Engine::Scratch() { return Align64(scratchSpace_); }

// Lays out slot r's offsets from its state; falls back to simulation when the cycle does
// not fit the pattern.
void Engine::BuildGenerator(int r, const Slot& start) {
  Generator& g = gen_[r];
  uint8_t* pat = Pattern(r);
  g.live = start;
  g.off = 0;
  g.pos = 0;
  Slot s = start;
  bool flipped = false;
  uint8_t off = 0;
  uint32_t j = 0;
  pat[0] = 0;
  while (!flipped && j < kPatternSpan) {
    int32_t phase = s.phase;
    off = static_cast<uint8_t>(off + StepSlot(&s));
    flipped = s.phase != phase;
    pat[++j] = off;
  }
  if (!flipped) {
    g.patterned = false;
    return;
  }
  uint32_t lead = j;
  uint32_t p0 = s.period0 < 1 ? 1 : static_cast<uint32_t>(s.period0);
  uint32_t p1 = s.period1 < 1 ? 1 : static_cast<uint32_t>(s.period1);
  uint32_t period = p0 + p1;
  if (period > kPatternSpan) {
    g.patterned = false;
    return;
  }
  // Drift over one period, from the canonical state just after the first flip.
  Slot probe = s;
  uint8_t drift = 0;
  for (uint32_t i = 0; i < period; i++) drift = static_cast<uint8_t>(drift + StepSlot(&probe));
  uint32_t cycle = period * (256 / Gcd256(drift));
  if (lead + cycle > kPatternSpan) {
    g.patterned = false;
    return;
  }
  uint32_t whole = cycle;
  while (whole % 64) whole += cycle;
  if (lead + whole <= kPatternSpan) cycle = whole;
  uint32_t end = lead + cycle + kChunk;
  while (j < end) {
    off = static_cast<uint8_t>(off + StepSlot(&s));
    pat[++j] = off;
  }
  g.patterned = true;
  g.wrap = lead + cycle;
  g.cycle = cycle;
}

// The offsets of the next n bytes of slot r; advances the slot past them.
const uint8_t* Engine::Offsets(int r, uint32_t n) {
  Generator& g = gen_[r];
  if (g.patterned) {
    const uint8_t* p = Pattern(r) + g.pos;
    g.pos += n;
    // Back into the cycle (a short cycle is passed many times by one chunk).
    if (g.pos >= g.wrap) g.pos = g.wrap - g.cycle + (g.pos - (g.wrap - g.cycle)) % g.cycle;
    return p;
  }
  uint8_t* p = Pattern(r);
  for (uint32_t j = 0; j < n; j++) {
    p[j] = g.off;
    g.off = static_cast<uint8_t>(g.off + StepSlot(&g.live));
  }
  return p;
}

void Engine::TakeTable(int r, const uint8_t* table) {
  bool seen[kTableSize] = {};
  bool perm = true;
  for (int k = 0; k < kTableSize; k++) {
    uint8_t b = table[k];
    table_[r][k] = b;
    twice_[r][k] = twice_[r][k + kTableSize] = b;
    if (seen[b]) perm = false;
    seen[b] = true;
    inverse_[r][b] = static_cast<uint8_t>(k);
  }
  perm_[r] = perm;
  if (path_ == Path::kAvx2) {
    PieceDifferences(table_[r], diffs_[r]);
    PieceDifferences(inverse_[r], inverseDiffs_[r]);
  }
}

void Engine::Start(const Key& key, Path path, uint64_t position) {
  key_ = &key;
  path_ = path;
  allPerm_ = true;
  for (int r = 0; r < kSlots; r++) {
    TakeTable(r, key.table[r]);
    allPerm_ = allPerm_ && perm_[r];
    BuildGenerator(r, key.slot[r]);
  }
  Seek(position);
}

// Patterned slots go to the position's place in their pattern; the others take their
// state and offset there, computed directly.
void Engine::Seek(uint64_t position) {
  fillerPos_ = static_cast<int32_t>(position % kFillerCycle);
  for (int r = 0; r < kSlots; r++) {
    Generator& g = gen_[r];
    if (g.patterned) {
      uint64_t lead = g.wrap - g.cycle;
      g.pos = static_cast<uint32_t>(position < g.wrap ? position : lead + (position - lead) % g.cycle);
    } else {
      g.live = SlotAt(key_->slot[r], position, &g.off);
    }
  }
}

void Engine::CopyFrom(const Engine& from) {
  // The image's memcpy goes byte by byte: one string move, of everything but the scratch.
  const uint8_t* s = reinterpret_cast<const uint8_t*>(&from);
  uint8_t* d = reinterpret_cast<uint8_t*>(this);
  uint32_t n = static_cast<uint32_t>(reinterpret_cast<const uint8_t*>(from.scratchSpace_) - s);
#if defined(__i386__) || defined(__x86_64__)
  __asm__ volatile("rep movsb" : "+D"(d), "+S"(s), "+c"(n) : : "memory");
#else
  for (uint32_t i = 0; i < n; i++) d[i] = s[i];
#endif
}

uint32_t Engine::NextFiller() {
  fillerPos_ = fillerPos_ == kFillerCycle ? 1 : fillerPos_ + 1;
  return static_cast<uint32_t>(key_->expansion[fillerPos_]);
}

uint64_t Engine::NextFillers(uint32_t n, uint32_t* counts) {
  uint64_t sum = 0;
  int32_t p = fillerPos_;
  const int32_t* e = key_->expansion;
  for (uint32_t i = 0; i < n; i++) {
    p = p == kFillerCycle ? 1 : p + 1;
    counts[i] = static_cast<uint32_t>(e[p]);
    sum += counts[i];
  }
  fillerPos_ = p;
  return sum;
}

void Engine::RunChunk(const uint8_t* src, uint8_t* data, uint32_t n, bool decrypt) {
  const uint8_t* offs[kSlots];
  for (int r = 0; r < kSlots; r++) offs[r] = Offsets(r, n);
  uint32_t done = 0;
  if (path_ == Path::kAvx512 && (!decrypt || allPerm_)) {
    done = n & ~63u;
    if (decrypt)
      InverseVector(inverse_, src, data, done, offs, Scratch());
    else
      ForwardVector(table_, src, data, done, offs, Scratch());
  } else if (path_ == Path::kAvx2 && (!decrypt || allPerm_)) {
    done = n & ~31u;
    if (decrypt)
      InverseAvx2(inverseDiffs_, src, data, done, offs);
    else
      ForwardAvx2(diffs_, src, data, done, offs);
  }
  if (done < n) {
    const uint8_t* rest[kSlots];
    for (int r = 0; r < kSlots; r++) rest[r] = offs[r] + done;
    if (decrypt)
      InversePortable(inverse_, twice_, perm_, allPerm_, missing_, src + done, data + done,
                      n - done, rest, laid_);
    else
      ForwardPortable(table_, src + done, data + done, n - done, rest, laid_);
  }
}

void Engine::Run(const uint8_t* src, uint8_t* data, uint32_t n, bool decrypt) {
  for (uint32_t i = 0; i < n;) {
    uint32_t m = n - i < kChunk ? n - i : kChunk;
    RunChunk(src + i, data + i, m, decrypt);
    i += m;
  }
}

bool PathAvailable(Path path) {
  if (path == Path::kAvx512) return VectorPathAvailable();
  if (path == Path::kAvx2) return Avx2PathAvailable();
  return true;
}

Path BestPath() {
  return VectorPathAvailable() ? Path::kAvx512 : Avx2PathAvailable() ? Path::kAvx2 : Path::kPortable;
}

void Engine::Encrypt(const uint8_t* src, uint8_t* dst, uint32_t n) { Run(src, dst, n, false); }
void Engine::Decrypt(const uint8_t* src, uint8_t* dst, uint32_t n) { Run(src, dst, n, true); }

}  // namespace cipher
