// The cipher core: key loading, the expansion table, slot stepping, and the byte engine.
#include "app/cipher.h"

#include <cpuid.h>
#include <immintrin.h>

#include "app/App.h"
#include "app/keyfiles.h"
#include "app/util.h"

int32_t ExpansionOn;

namespace {

constexpr int kSlots = keyfile::kSlots;
constexpr int32_t kFillerCycle = 20000;
// The engine works in chunks; the offsets of a chunk are read from one run of a slot's
// offset pattern.
constexpr uint32_t kChunk = 4096;
// A slot's pattern covers its lead-in and one full cycle of offsets within this span;
// slots whose cycle is longer have their offsets simulated chunk by chunk instead.
constexpr uint32_t kPatternSpan = 8192;
constexpr uint32_t kPatternCap = kPatternSpan + kChunk + 64;
static_assert(kPatternCap % 64 == 0, "patterns start on cache lines");

// --- The key state of the cipher arrays ------------------------------------------------

enum LineStatus { kLineRead, kNoSuchLine, kUnreadable };

// Line `number` (1-based) of a key file: reads lines 1 .. number and keeps the last.
// Missing files, files that are no regular files and read errors are unreadable; a file
// that ends before the line is damaged.
LineStatus ReadEntryLine(MVString* name, int32_t number, Str* line) {
  *line = Str();
  MVTextInputStream* in = keyfile::Open(name);
  if (!in) return kUnreadable;
  LineStatus status = kLineRead;
  for (int32_t i = 1; i <= number && status == kLineRead; i++) {
    if (TextInputStreamEOF(in))
      status = kNoSuchLine;
    else
      *line = Str(TextInputStreamReadLine(in, nullptr));
  }
  if (TextInputStreamGetLastError(in) != 0) status = kUnreadable;
  keyfile::Close(in);
  return status;
}

// The refusal of a key entry that cannot be used: one line naming the file and the line.
void ReportKeyLine(MVString* name, int32_t number, bool unreadable) {
  Print(Str::Borrow(MV_LIT("Key file ")) + name + MV_LIT(" line ") + StrOf(number) +
        (unreadable ? MV_LIT(" cannot be read error.") : MV_LIT(" is damaged error.")));
}

// The entry line `number` of a key file, checked by `parse`; reports and gives false
// when it is unreadable or damaged.
template <typename Parse>
bool LoadEntry(MVString* name, int32_t number, Parse parse) {
  Str line;
  LineStatus status = ReadEntryLine(name, number, &line);
  if (status == kLineRead && parse(line)) return true;
  ReportKeyLine(name, number, status == kUnreadable);
  return false;
}

bool AllAscii(const Str& line) {
  const uint8_t* b = line.bytes();
  for (uint32_t i = 0, n = line.length(); i < n; i++)
    if (b[i] >= 0x80) return false;
  return true;
}

// CInt(Val(Mid(line, start, width))). A field of plain digits in an ASCII line (where
// characters are bytes) is read directly; anything else goes through the runtime.
int32_t Field(const Str& line, bool ascii, int32_t start, int32_t width) {
  if (ascii && start >= 1 && static_cast<uint32_t>(start - 1 + width) <= line.length()) {
    const uint8_t* b = line.bytes() + start - 1;
    int32_t v = 0;
    int32_t i = 0;
    for (; i < width && b[i] >= '0' && b[i] <= '9'; i++) v = v * 10 + (b[i] - '0');
    if (i == width) return v;
  }
  Str f(StringDBCSMid3(line.get(), start, width));
  return CInt(Val(f));
}

}  // namespace

void ClearCipherState() {
  for (int r = 1; r <= kSlots; r++) {
    SetInt(SlotCounter, r, 0);
    SetInt(SlotPhase, r, 0);
    SetInt(SlotLine, r, 0);
    SetInt(SlotDirection, r, 0);
    SetInt(SlotShift, r, 0);
    SetInt(SlotPeriod0, r, 0);
    SetInt(SlotPeriod1, r, 0);
    SetStr(SlotTable, r, nullptr);
  }
  ExpansionOn = 0;
}

bool LoadCipherKey() {
  PRINT("Loading System data...");
  // Entry numbers were checked against the component sizes: 1 .. count.
  int32_t n2 = CInt(Val(GetParam(4))), n3 = CInt(Val(GetParam(5)));
  int32_t map[keyfile::kSlots];
  Str k2;
  bool ok = LoadEntry(MV_LIT("k2.dat"), n2, [&](const Str& line) {
    k2 = line;
    return keyfile::ParseSlotMap(line, map);
  });
  if (!ok) return false;
  keyfile::StepEntry e;
  ok = LoadEntry(MV_LIT("k3.bin"), n3, [&](const Str& line) { return keyfile::ParseStepEntry(line, &e); });
  if (!ok) return false;
  // Fields 21..40 of the k2.dat line are kept as they read, unchecked: nothing uses them.
  bool a2 = AllAscii(k2);
  for (int r = 1; r <= kSlots; r++) SetInt(SlotLine, r, map[r - 1]);
  for (int r = 1; r <= kSlots; r++) {
    int32_t start = keyfile::kK2Width * (keyfile::kSlots + r - 1) + 1;
    SetInt(SlotSpare, r, Field(k2, a2, start, keyfile::kK2Width));
  }
  for (int r = 1; r <= kSlots; r++) SetInt(SlotDirection, r, e.direction[r - 1]);
  for (int r = 1; r <= kSlots; r++) SetInt(SlotPeriod0, r, e.period0[r - 1]);
  for (int r = 1; r <= kSlots; r++) SetInt(SlotPeriod1, r, e.period1[r - 1]);
  for (int r = 1; r <= kSlots; r++) SetInt(SlotShift, r, e.shift[r - 1]);
  for (int j = 1; j <= keyfile::kSeeds; j++) SetInt(ExpansionTable, j, e.seed[j - 1]);
  return true;
}

bool LoadSlotTables() {
  Str name = Str::Borrow(MV_LIT("K1")) + GetParam(3) + MV_LIT(".bin");
  uint8_t bytes[keyfile::kTableFields];
  for (int r = 1; r <= kSlots; r++) {
    bool ok = LoadEntry(name.get(), GetInt(SlotLine, r),
                        [&](const Str& line) { return keyfile::ParseTable(line, bytes); });
    if (!ok) return false;
    Str table(MAVOBuildString(bytes, keyfile::kTableFields, kEncodingUnknown));
    SetStr(SlotTable, r, table.get());
  }
  return true;
}

namespace {

int32_t gE[kFillerCycle + 1];  // the expansion table of the current command, 1-based

void Swap(int32_t* e, int a, int b) {
  int32_t t = e[a];
  e[a] = e[b];
  e[b] = t;
}

void Reverse10(int32_t* e) {
  for (int i = 1; i <= 5; i++) Swap(e, i, 11 - i);
}

int32_t Sum10(const int32_t* e) {
  int32_t s = 0;
  for (int i = 1; i <= 10; i++) s += e[i];
  return s;
}

// CInt(Round(x / 2)): halves away from zero.
int32_t RoundHalf(int32_t x) { return x >= 0 ? (x + 1) / 2 : -((1 - x) / 2); }

void ExtendTable(int32_t* e) {
  // E(41..60) from fixed sources plus constants.
  // Sources 2, 4, ..., 20, then 19 down to 10; constants 2 4 6 8 10 8 6 4 2 1 3 5 7 5 3 1
  // 5 4 2 1 (built in code: the image carries no initialised tables).
  int src[20], add[20];
  for (int i = 0; i < 20; i++) src[i] = i < 10 ? 2 * (i + 1) : 29 - i;
  int c = 0;
  add[c++] = 2, add[c++] = 4, add[c++] = 6, add[c++] = 8, add[c++] = 10;
  add[c++] = 8, add[c++] = 6, add[c++] = 4, add[c++] = 2, add[c++] = 1;
  add[c++] = 3, add[c++] = 5, add[c++] = 7, add[c++] = 5, add[c++] = 3;
  add[c++] = 1, add[c++] = 5, add[c++] = 4, add[c++] = 2, add[c++] = 1;
  for (int i = 0; i < 20; i++) e[41 + i] = e[src[i]] + add[i];

  // Then block after block, each reading values already final.
  int t = 61;
  for (int k = 0; k < 40; k++) e[t++] = e[1 + k] + e[10 + k];
  for (int k = 0; k < 100; k++) e[t++] = e[100 - k];
  for (int k = 0; k < 100; k++) e[t++] = e[1 + 2 * k];
  for (int k = 0; k < 100; k++) e[t++] = e[199 - 2 * k];
  for (int k = 0; k < 100; k++) e[t++] = e[1 + 3 * k] + 2;
  for (int k = 0; k < 500; k++) e[t++] = RoundHalf(e[500 - k]);
  for (int k = 0; k < 250; k++) e[t++] = e[1 + 2 * k];
  for (int k = 0; k < 250; k++) e[t++] = e[500 - 2 * k];
  for (int k = 0; k < 250; k++) e[t++] = e[1 + 4 * k] + 1;
  for (int k = 0; k < 200; k++) e[t++] = e[1000 - 5 * k] + 3;
  for (int k = 0; k < 151; k++) e[t++] = e[1500 - 2 * k] + 2;
  for (int k = 0; k < 1001; k++) e[t++] = e[1000 + k] + 2;
  for (int k = 0; k < 334; k++) e[t++] = e[1 + 3 * k] + 2;
  for (int k = 0; k < 334; k++) e[t++] = e[1000 - 3 * k] + 2;
  for (int k = 0; k < 100; k++) e[t++] = e[1 + 10 * k] + 1;
  for (int k = 0; k < 100; k++) e[t++] = e[1001 + 10 * k] + 2;
  for (int k = 0; k < 100; k++) e[t++] = e[2001 + 10 * k] + 3;
  for (int k = 0; k < 100; k++) e[t++] = e[3001 + 10 * k] + 2;
  for (int k = 0; k < 101; k++) e[t++] = e[2000 - 10 * k] - 2;
  for (int k = 0; k < 101; k++) e[t++] = e[3000 - 10 * k] + 3;
  for (int k = 0; k < 101; k++) e[t++] = e[4001 - 10 * k] + 2;
  for (int k = 0; k < 40; k++) e[t++] = e[100 * (k + 1)] + 2;
  for (int k = 0; k < 39; k++) e[t++] = e[3900 - 100 * k] + 3;
  for (int k = 0; k < 444; k++) e[t++] = e[10 * (k + 1)] + 2;
  // t is now 4997, which stays 0.

  e[4998] = e[1] + e[100] + e[66];
  e[4999] = e[5] + e[1000] + e[660];
  e[5000] = e[10] + e[2100] + e[2660];
  for (int i = 1; i <= 5000; i++) {
    if (e[i] < 0) e[i] = -e[i];
    if (e[i] == 0) e[i] = 15;
  }
  for (int k = 0; k <= 2499; k++) e[5001 + k] = e[1 + 2 * k];
  for (int k = 0; k <= 2499; k++) e[7501 + k] = e[5000 - 2 * k];
  e[10000] = e[1] + e[5000];
  for (int k = 0; k <= 9999; k++) e[10001 + k] = e[10000 - k] + 1;
}

}  // namespace

void BuildExpansionTable() {
  int32_t* e = gE;
  for (int i = 1; i <= 10; i++) e[i] = GetInt(ExpansionTable, i);
  for (int i = 11; i <= kFillerCycle; i++) e[i] = 0;
  ExpansionOn = 0;
  if (Sum10(e) != 0) {
    ExpansionOn = 1;
    Swap(e, 1, 3);
    Swap(e, 6, 8);
    int32_t t = (e[1] + e[2] + e[3]) / 3;
    e[1] += t, e[3] += t, e[5] += t, e[4] -= t, e[7] -= t, e[9] -= t;
    Swap(e, 5, 10);
    Swap(e, 7, 9);
    t = (e[4] + e[5] + e[6]) / 3;
    e[2] += t, e[6] += t, e[8] += t, e[10] -= t, e[7] -= t, e[1] -= t;
    Reverse10(e);
    t = Sum10(e) / 10;
    for (int i = 1; i <= 9; i += 2) e[i] += t;
    for (int i = 2; i <= 8; i += 2) e[i] -= t;
    for (int i = 1; i <= 10; i++) e[10 + i] = e[i];
    Reverse10(e);
    t = Sum10(e) / 10;
    for (int i = 1; i <= 9; i += 2) e[i] -= t;
    for (int i = 2; i <= 8; i += 2) e[i] += t;
    for (int i = 1; i <= 10; i++) e[20 + i] = e[i];
    e[21] += 2, e[22] -= 3, e[23] += 4, e[24] -= 2, e[25] += 3;
    e[26] -= 4, e[27] += 2, e[28] -= 3, e[29] += 4, e[30] -= 2;
    for (int k = 0; k <= 9; k++) e[31 + k] = e[1 + 3 * k];
    for (int i = 1; i <= 40; i++) {
      if (e[i] >= 0 && e[i] < 2) e[i] = 2;
      if (e[i] < 0) e[i] = -e[i];
    }
    ExtendTable(e);
  }
  for (int i = 1; i <= kFillerCycle; i++) SetInt(ExpansionTable, i, e[i]);
}

void StepSlots() {
  for (int r = 1; r <= kSlots; r++) {
    int32_t counter = GetInt(SlotCounter, r) + 1;
    SetInt(SlotCounter, r, counter);
    Str t = GetStr(SlotTable, r);
    int32_t s = GetInt(SlotShift, r);
    Str rotated;
    if (GetInt(SlotDirection, r) < 1)
      rotated = Str(StringDBCSRight(t.get(), s)) + Str(StringDBCSLeft(t.get(), 256 - s));
    else
      rotated = Str(StringDBCSRight(t.get(), 256 - s)) + Str(StringDBCSLeft(t.get(), s));
    SetStr(SlotTable, r, rotated.get());
    int32_t phase = GetInt(SlotPhase, r);
    if ((phase == 0 && counter >= GetInt(SlotPeriod0, r)) ||
        (phase == 1 && counter >= GetInt(SlotPeriod1, r))) {
      SetInt(SlotPhase, r, phase == 0 ? 1 : 0);
      SetInt(SlotDirection, r, GetInt(SlotDirection, r) == 0 ? 1 : 0);
      SetInt(SlotCounter, r, 0);
    }
  }
}

// --- The byte engine -------------------------------------------------------------------
//
// The image may be placed at any address: the tables carry no alignment, and the vector
// routines use unaligned accesses only.
//
// A slot whose table is exactly 256 bytes long stays 256 bytes long, and every step
// rotates it by its shift (1..255; other shifts leave a 256-byte table as it is). The
// table seen by byte j is then the first table read at offset off(j):
//   table_j[k] = T[(k + off(j)) mod 256],
// a rotation toward lower positions adding the shift, toward higher ones subtracting it.
// off(j) depends only on the stepping parameters. After its first direction flip a slot
// repeats its steps every P = period0 + period1 steps, so its offsets repeat every
// P * 256 / gcd(drift, 256) bytes: one pattern per slot serves the whole input.

namespace {

struct SlotState {
  int32_t dir, phase, counter, shift, period0, period1;
  uint8_t off;  // offset of the next byte (simulated slots)
};

struct SlotGen {
  bool patterned;
  uint32_t pos;    // pattern position of the next byte
  uint32_t wrap;   // lead-in + cycle: positions at or past it go back one cycle
  uint32_t cycle;
  SlotState live;  // simulated slots: the state at the next byte
};

uint8_t gTable[kSlots][256];
uint8_t gInv[kSlots][256];
uint8_t gDouble[kSlots][512];  // the table twice, for first-occurrence search
// The patterns start on cache lines (kPatternCap is a multiple of 64), and a cycle is
// lengthened to a multiple of 64 where that still fits: whole chunks then read their
// offsets from aligned positions.
uint8_t gPatternSpace[kSlots * kPatternCap + 64];

inline uint8_t* Pattern(int r) {
  uintptr_t p = reinterpret_cast<uintptr_t>(gPatternSpace);
  return reinterpret_cast<uint8_t*>((p + 63) & ~static_cast<uintptr_t>(63)) + r * kPatternCap;
}
bool gPerm[kSlots];
SlotGen gGen[kSlots];
uint8_t gMissing[kChunk];

// One step of a slot state; returns the offset change and tells whether it flipped.
inline int32_t Step(SlotState* s, bool* flipped) {
  s->counter++;
  int32_t delta = 0;
  if (s->shift >= 1 && s->shift <= 255) delta = s->dir < 1 ? -s->shift : s->shift;
  *flipped = (s->phase == 0 && s->counter >= s->period0) ||
             (s->phase == 1 && s->counter >= s->period1);
  if (*flipped) {
    s->phase = s->phase == 0 ? 1 : 0;
    s->dir = s->dir == 0 ? 1 : 0;
    s->counter = 0;
  }
  return delta;
}

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

// Lays out slot r's offsets from its state; falls back to simulation when the cycle does
// not fit the pattern.
void BuildGen(int r, const SlotState& start) {
  SlotGen& g = gGen[r];
  uint8_t* pat = Pattern(r);
  g.live = start;
  g.live.off = 0;
  g.pos = 0;
  SlotState s = start;
  bool flipped = false;
  uint8_t off = 0;
  uint32_t j = 0;
  pat[0] = 0;
  uint32_t lead = 0;
  while (!flipped && j < kPatternSpan) {
    off = static_cast<uint8_t>(off + Step(&s, &flipped));
    pat[++j] = off;
  }
  if (!flipped) {
    g.patterned = false;
    return;
  }
  lead = j;
  uint32_t p0 = s.period0 < 1 ? 1 : static_cast<uint32_t>(s.period0);
  uint32_t p1 = s.period1 < 1 ? 1 : static_cast<uint32_t>(s.period1);
  uint32_t period = p0 + p1;
  if (period > kPatternSpan) {
    g.patterned = false;
    return;
  }
  // Drift over one period, from the canonical state just after the first flip.
  SlotState probe = s;
  uint8_t drift = 0;
  for (uint32_t i = 0; i < period; i++) {
    bool f;
    drift = static_cast<uint8_t>(drift + Step(&probe, &f));
  }
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
    bool f;
    off = static_cast<uint8_t>(off + Step(&s, &f));
    pat[++j] = off;
  }
  g.patterned = true;
  g.wrap = lead + cycle;
  g.cycle = cycle;
}

// The offsets of the next n bytes of slot r; advances the slot past them.
const uint8_t* Offsets(int r, uint32_t n) {
  SlotGen& g = gGen[r];
  if (g.patterned) {
    const uint8_t* p = Pattern(r) + g.pos;
    g.pos += n;
    // Back into the cycle (a short cycle is passed many times by one chunk).
    if (g.pos >= g.wrap) g.pos = g.wrap - g.cycle + (g.pos - (g.wrap - g.cycle)) % g.cycle;
    return p;
  }
  uint8_t* p = Pattern(r);
  SlotState& s = g.live;
  for (uint32_t j = 0; j < n; j++) {
    p[j] = s.off;
    bool f;
    s.off = static_cast<uint8_t>(s.off + Step(&s, &f));
  }
  return p;
}

// --- Portable routines.

inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  __builtin_memcpy(&v, p, 4);
  return v;
}

// The first slot reads the source, the others work in place on the destination. Four
// bytes at a time: their offsets are added bytewise in one word.
void ForwardPortable(const uint8_t* s, uint8_t* d, uint32_t n, const uint8_t* const* offs) {
  for (int r = 0; r < kSlots; r++) {
    const uint8_t* t = gTable[r];
    const uint8_t* o = offs[r];
    uint32_t j = 0;
    for (; j + 4 <= n; j += 4) {
      uint32_t w = Load32(s + j), q = Load32(o + j);
      uint32_t x = ((w & 0x7F7F7F7Fu) + (q & 0x7F7F7F7Fu)) ^ ((w ^ q) & 0x80808080u);
      uint32_t y = t[x & 255] | static_cast<uint32_t>(t[(x >> 8) & 255]) << 8 |
                   static_cast<uint32_t>(t[(x >> 16) & 255]) << 16 |
                   static_cast<uint32_t>(t[x >> 24]) << 24;
      __builtin_memcpy(d + j, &y, 4);
    }
    for (; j < n; j++) d[j] = t[static_cast<uint8_t>(s[j] + o[j])];
    s = d;
  }
}

void InversePortable(const uint8_t* s, uint8_t* d, uint32_t n, const uint8_t* const* offs,
                     bool allPerm) {
  if (s != d)
    for (uint32_t j = 0; j < n; j++) d[j] = s[j];
  if (!allPerm)
    for (uint32_t j = 0; j < n; j++) gMissing[j] = 0;
  for (int r = kSlots - 1; r >= 0; r--) {
    const uint8_t* o = offs[r];
    if (gPerm[r]) {
      const uint8_t* inv = gInv[r];
      for (uint32_t j = 0; j < n; j++) d[j] = static_cast<uint8_t>(inv[d[j]] - o[j]);
      continue;
    }
    // The first position of the byte in the rotated table; a byte the table does not hold
    // leaves nothing to look up in the slots below, and the result is 0.
    for (uint32_t j = 0; j < n; j++) {
      if (gMissing[j]) continue;
      const uint8_t* t = gDouble[r] + o[j];
      uint8_t c = d[j];
      uint32_t k = 0;
      while (k < 256 && t[k] != c) k++;
      if (k == 256)
        gMissing[j] = 1;
      else
        d[j] = static_cast<uint8_t>(k);
    }
  }
  if (!allPerm)
    for (uint32_t j = 0; j < n; j++)
      if (gMissing[j]) d[j] = 0;
}

// --- Wide-vector routines (whole 64-byte vectors).

#define MV_VECTOR __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// Slot after slot over the whole run of vectors: each slot's four table vectors stay in
// registers for its pass (32-bit code has eight vector registers), and two vectors go
// through a pass at a time. The passes between the first and the last work in a
// cache-line-aligned scratch chunk, so that their loads and stores never straddle lines.
uint8_t gScratchSpace[kChunk + 64];

inline uint8_t* Scratch() {
  uintptr_t p = reinterpret_cast<uintptr_t>(gScratchSpace);
  return reinterpret_cast<uint8_t*>((p + 63) & ~static_cast<uintptr_t>(63));
}

struct Tables {
  __m512i t0, t1, t2, t3;
};

MV_VECTOR inline Tables LoadTables(const uint8_t* table) {
  const __m512i* t = reinterpret_cast<const __m512i*>(table);
  Tables r;
  r.t0 = _mm512_loadu_si512(t);
  r.t1 = _mm512_loadu_si512(t + 1);
  r.t2 = _mm512_loadu_si512(t + 2);
  r.t3 = _mm512_loadu_si512(t + 3);
  return r;
}

// table[idx] for 64 indices: four 64-entry permutes merged by bits 6 and 7 of the index.
MV_VECTOR inline __m512i Lookup(const Tables& t, __m512i idx) {
  __mmask64 b7 = _mm512_movepi8_mask(idx);
  __mmask64 b6 = _mm512_movepi8_mask(_mm512_add_epi8(idx, idx));
  __m512i lo = _mm512_mask_permutexvar_epi8(_mm512_maskz_permutexvar_epi8(~0ull, idx, t.t0), b6, idx, t.t1);
  __m512i hi = _mm512_mask_permutexvar_epi8(_mm512_maskz_permutexvar_epi8(~0ull, idx, t.t2), b6, idx, t.t3);
  return _mm512_mask_mov_epi8(lo, b7, hi);
}

// One forward slot pass over n bytes (a multiple of 64).
MV_VECTOR inline void ForwardPass(const uint8_t* table, const uint8_t* o, const uint8_t* s,
                                  uint8_t* d, uint32_t n) {
  Tables t = LoadTables(table);
  uint32_t j = 0;
  for (; j + 128 <= n; j += 128) {
    __m512i a = _mm512_add_epi8(_mm512_loadu_si512(s + j), _mm512_loadu_si512(o + j));
    __m512i b = _mm512_add_epi8(_mm512_loadu_si512(s + j + 64), _mm512_loadu_si512(o + j + 64));
    _mm512_storeu_si512(d + j, Lookup(t, a));
    _mm512_storeu_si512(d + j + 64, Lookup(t, b));
  }
  if (j < n)
    _mm512_storeu_si512(
        d + j, Lookup(t, _mm512_add_epi8(_mm512_loadu_si512(s + j), _mm512_loadu_si512(o + j))));
}

// One inverse slot pass: the inverse table's entry, less the offset.
MV_VECTOR inline void InversePass(const uint8_t* table, const uint8_t* o, const uint8_t* s,
                                  uint8_t* d, uint32_t n) {
  Tables t = LoadTables(table);
  uint32_t j = 0;
  for (; j + 128 <= n; j += 128) {
    __m512i a = Lookup(t, _mm512_loadu_si512(s + j));
    __m512i b = Lookup(t, _mm512_loadu_si512(s + j + 64));
    _mm512_storeu_si512(d + j, _mm512_sub_epi8(a, _mm512_loadu_si512(o + j)));
    _mm512_storeu_si512(d + j + 64, _mm512_sub_epi8(b, _mm512_loadu_si512(o + j + 64)));
  }
  if (j < n)
    _mm512_storeu_si512(
        d + j, _mm512_sub_epi8(Lookup(t, _mm512_loadu_si512(s + j)), _mm512_loadu_si512(o + j)));
}

// n is a multiple of 64, at most one chunk.
MV_VECTOR void ForwardVector(const uint8_t* s, uint8_t* d, uint32_t n,
                             const uint8_t* const* offs) {
  uint8_t* w = Scratch();
  ForwardPass(gTable[0], offs[0], s, w, n);
  for (int r = 1; r < kSlots - 1; r++) ForwardPass(gTable[r], offs[r], w, w, n);
  ForwardPass(gTable[kSlots - 1], offs[kSlots - 1], w, d, n);
}

MV_VECTOR void InverseVector(const uint8_t* s, uint8_t* d, uint32_t n,
                             const uint8_t* const* offs) {
  uint8_t* w = Scratch();
  InversePass(gInv[kSlots - 1], offs[kSlots - 1], s, w, n);
  for (int r = kSlots - 2; r > 0; r--) InversePass(gInv[r], offs[r], w, w, n);
  InversePass(gInv[0], offs[0], w, d, n);
}

int gVectorKnown;  // 0 not yet asked, 1 absent, 2 present

}  // namespace

bool CipherHasVectorPath() {
  if (gVectorKnown == 0) {
    gVectorKnown = 1;
    unsigned a, b, c, d;
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & (1u << 27)) && __get_cpuid_max(0, nullptr) >= 7) {
      unsigned lo, hi;
      __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
      // SSE, AVX and the three AVX-512 state components enabled by the system.
      bool osState = (lo & 0xE6) == 0xE6;
      __cpuid_count(7, 0, a, b, c, d);
      bool f = b & (1u << 16), bw = b & (1u << 30), vbmi = c & (1u << 1);
      if (osState && f && bw && vbmi) gVectorKnown = 2;
    }
  }
  return gVectorKnown == 2;
}

bool CipherEngine::AllTablesPlain() const {
  for (int r = 1; r <= kSlots; r++) {
    Str t = GetStr(SlotTable, r);
    if (t.length() != 256) return false;
  }
  return true;
}

void CipherEngine::TakeFastState() {
  allPerm_ = true;
  for (int r = 0; r < kSlots; r++) {
    Str t = GetStr(SlotTable, r + 1);
    const uint8_t* b = t.bytes();
    uint8_t seen[256];
    for (int k = 0; k < 256; k++) seen[k] = 0;
    bool perm = true;
    for (int k = 0; k < 256; k++) {
      gTable[r][k] = b[k];
      gDouble[r][k] = gDouble[r][k + 256] = b[k];
      if (seen[b[k]]) perm = false;
      seen[b[k]] = 1;
      gInv[r][b[k]] = static_cast<uint8_t>(k);
    }
    gPerm[r] = perm;
    allPerm_ = allPerm_ && perm;
    SlotState s;
    s.dir = GetInt(SlotDirection, r + 1);
    s.phase = GetInt(SlotPhase, r + 1);
    s.counter = GetInt(SlotCounter, r + 1);
    s.shift = GetInt(SlotShift, r + 1);
    s.period0 = GetInt(SlotPeriod0, r + 1);
    s.period1 = GetInt(SlotPeriod1, r + 1);
    s.off = 0;
    BuildGen(r, s);
  }
}

void CipherEngine::Start(bool large) {
  for (int i = 1; i <= kFillerCycle; i++) gE[i] = GetInt(ExpansionTable, i);
  vector_ = large && CipherHasVectorPath();
  fast_ = AllTablesPlain();
  if (fast_) TakeFastState();
}

int32_t CipherEngine::Filler(int32_t p) const { return gE[p]; }

// A table that is not 256 bytes long (a field above 255 gives two bytes) is stepped on the
// cipher arrays themselves, byte by byte, until every table is back to 256 bytes.
void CipherEngine::GenericByte(uint8_t* b, bool decrypt) {
  if (!decrypt) {
    uint32_t v = *b;
    for (int r = 1; r <= kSlots; r++) {
      Str t = GetStr(SlotTable, r);
      v = v < t.length() ? t.bytes()[v] : 0;
    }
    *b = static_cast<uint8_t>(v);
  } else {
    Str c(MAVOBuildString(b, 1, kEncodingUnknown));
    for (int r = kSlots; r >= 1 && !c.empty(); r--) {
      Str t = GetStr(SlotTable, r);
      int32_t p = StringInStrB(0, t.get(), c.get());
      // The byte at that position of the table of byte values: p - 1, or nothing.
      uint8_t v = static_cast<uint8_t>(p - 1);
      c = p >= 1 && p <= 256 ? Str(MAVOBuildString(&v, 1, kEncodingUnknown)) : Str();
    }
    *b = c.empty() ? 0 : c.bytes()[0];
  }
  StepSlots();
}

void CipherEngine::RunChunk(const uint8_t* src, uint8_t* data, uint32_t n, bool decrypt) {
  const uint8_t* offs[kSlots];
  for (int r = 0; r < kSlots; r++) offs[r] = Offsets(r, n);
  uint32_t done = 0;
  if (vector_ && (!decrypt || allPerm_)) {
    done = n & ~63u;
    if (decrypt)
      InverseVector(src, data, done, offs);
    else
      ForwardVector(src, data, done, offs);
  }
  if (done < n) {
    const uint8_t* rest[kSlots];
    for (int r = 0; r < kSlots; r++) rest[r] = offs[r] + done;
    if (decrypt)
      InversePortable(src + done, data + done, n - done, rest, allPerm_);
    else
      ForwardPortable(src + done, data + done, n - done, rest);
  }
}

void CipherEngine::Run(const uint8_t* src, uint8_t* data, uint32_t n, bool decrypt) {
  uint32_t i = 0;
  while (i < n && !fast_) {
    data[i] = src[i];
    GenericByte(data + i++, decrypt);
    if (AllTablesPlain()) {
      TakeFastState();
      fast_ = true;
    }
  }
  while (i < n) {
    uint32_t m = n - i < kChunk ? n - i : kChunk;
    RunChunk(src + i, data + i, m, decrypt);
    i += m;
  }
}

void CipherEngine::Encrypt(const uint8_t* src, uint8_t* dst, uint32_t n) {
  Run(src, dst, n, false);
}
void CipherEngine::Decrypt(const uint8_t* src, uint8_t* dst, uint32_t n) {
  Run(src, dst, n, true);
}
