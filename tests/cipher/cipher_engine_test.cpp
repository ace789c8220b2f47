// The engine against the cipher's byte-at-a-time definition (ForwardByte, InverseByte and
// StepSlots on the key value), on random keys, over inputs cut at and around the
// engine's chunk and vector boundaries, with the portable and the wide-vector routines.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "app/cipher_engine.h"
#include "app/cipher_key.h"
#include "app/cipher_paths.h"
#include "tests/cipher/test_keys.h"

namespace {

using cipher::Engine;
using cipher::Key;
using cipher::kSlots;
using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng());
  return b;
}

// The index of the first byte where two outputs differ, or -1 when they are equal (a
// failure then names one position instead of printing whole inputs).
long FirstDifference(const Bytes& a, const Bytes& b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; i++)
    if (a[i] != b[i]) return static_cast<long>(i);
  return a.size() == b.size() ? -1 : static_cast<long>(n);
}

// The definition: one byte, then one step of every slot.
Bytes Reference(const Key& start, const Bytes& in, bool decrypt) {
  auto key = std::make_unique<Key>(start);
  Bytes out(in.size());
  for (size_t j = 0; j < in.size(); j++) {
    out[j] = decrypt ? cipher::InverseByte(*key, in[j]) : cipher::ForwardByte(*key, in[j]);
    cipher::StepSlots(key.get());
  }
  return out;
}

// The engine over `in`, in calls of the given sizes (cycled), in place or not.
Bytes RunEngine(const Key& key, const Bytes& in, bool decrypt, cipher::Path path,
                const std::vector<uint32_t>& cuts, bool inPlace, uint64_t position = 0) {
  static Engine engine;
  engine.Start(key, path, position);
  Bytes out(in.size());
  if (inPlace) out = in;
  size_t at = 0;
  for (size_t c = 0; at < in.size(); c++) {
    uint32_t n = cuts[c % cuts.size()];
    if (n > in.size() - at) n = static_cast<uint32_t>(in.size() - at);
    const uint8_t* src = inPlace ? out.data() + at : in.data() + at;
    if (decrypt)
      engine.Decrypt(src, out.data() + at, n);
    else
      engine.Encrypt(src, out.data() + at, n);
    at += n;
  }
  return out;
}

// Call sizes around the chunk (4096) and the vector (64): whole inputs, single bytes,
// and runs that leave the chunk and vector positions out of step.
const std::vector<std::vector<uint32_t>> kCuts = {
    {1 << 30}, {1}, {63, 64, 65}, {4095, 4097, 1}, {4096}, {100000, 7}, {129, 8191, 3}};

// Compares one routine with the definition on several random keys, both directions.
void CheckAgainstDefinition(cipher::Path vector, int maxPeriod, int maxShift, size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int round = 0; round < 3; round++) {
    auto key = RandomKey(rng, maxPeriod, maxShift);
    Bytes plain = RandomBytes(rng, size);
    Bytes cipherText = Reference(*key, plain, false);
    ASSERT_EQ(FirstDifference(Reference(*key, cipherText, true), plain), -1)
        << "the definition reverses itself";
    for (size_t c = 0; c < kCuts.size(); c++) {
      bool inPlace = c % 2 == 1;
      SCOPED_TRACE(testing::Message() << "round " << round << ", cuts " << c);
      EXPECT_EQ(FirstDifference(RunEngine(*key, plain, false, vector, kCuts[c], inPlace), cipherText), -1);
      EXPECT_EQ(FirstDifference(RunEngine(*key, cipherText, true, vector, kCuts[c], inPlace), plain), -1);
    }
  }
}

TEST(CipherEngine, PortableMatchesTheDefinition) {
  CheckAgainstDefinition(cipher::Path::kPortable, 11, 11, 20000, 1);
}

TEST(CipherEngine, PortableMatchesTheDefinitionBeyondThePatterns) {
  // Long periods and shifts of any size: slots whose offsets repeat only after more
  // bytes than a pattern holds, or never flip within one, are simulated.
  CheckAgainstDefinition(cipher::Path::kPortable, 9000, 255, 30000, 2);
}

TEST(CipherEngine, VectorMatchesTheDefinition) {
  if (!cipher::VectorPathAvailable())
    GTEST_SKIP() << "this processor lacks the wide byte-permute instructions: the vector "
                    "routines were not run";
  CheckAgainstDefinition(cipher::Path::kAvx512, 11, 11, 20000, 3);
  CheckAgainstDefinition(cipher::Path::kAvx512, 9000, 255, 30000, 4);
}

TEST(CipherEngine, Avx2MatchesTheDefinition) {
  if (!cipher::Avx2PathAvailable())
    GTEST_SKIP() << "this processor lacks AVX2: the 32-byte vector routines were not run";
  CheckAgainstDefinition(cipher::Path::kAvx2, 11, 11, 20000, 8);
  CheckAgainstDefinition(cipher::Path::kAvx2, 9000, 255, 30000, 9);
}

// The engine started at a later byte gives the bytes a run from the start gives there,
// on every path the processor has.
TEST(CipherEngine, StartedAtAPositionContinuesTheRun) {
  std::mt19937 rng(31);
  for (int round = 0; round < 2; round++) {
    auto key = RandomKey(rng, round == 0 ? 11 : 9000, round == 0 ? 11 : 255);
    Bytes plain = RandomBytes(rng, 50000);
    Bytes whole = Reference(*key, plain, false);
    for (cipher::Path path : {cipher::Path::kPortable, cipher::Path::kAvx2, cipher::Path::kAvx512}) {
      if (!cipher::PathAvailable(path)) continue;
      for (uint64_t at : {1ull, 2ull, 4095ull, 20000ull, 33333ull}) {
        SCOPED_TRACE(testing::Message() << "round " << round << ", path " << int(path) << ", at " << at);
        Bytes tail(plain.begin() + at, plain.end()), cipherTail(whole.begin() + at, whole.end());
        EXPECT_EQ(FirstDifference(RunEngine(*key, tail, false, path, kCuts[4], false, at), cipherTail), -1);
        EXPECT_EQ(FirstDifference(RunEngine(*key, cipherTail, true, path, kCuts[5], true, at), tail), -1);
      }
    }
  }
}

TEST(CipherEngine, TablesThatAreNoPermutations) {
  // Repeated values: the inverse takes the first position of a byte, and a byte that a
  // table does not hold comes out as 0. The vector routines leave such keys' inverse to
  // the portable ones.
  std::mt19937 rng(5);
  auto key = RandomKey(rng);
  for (int k = 0; k < 256; k++) key->table[3][k] = static_cast<uint8_t>(k / 2);
  key->table[11][7] = key->table[11][200];
  Bytes data = RandomBytes(rng, 9000);
  Bytes forward = Reference(*key, data, false);
  Bytes inverse = Reference(*key, data, true);
  for (cipher::Path vector : {cipher::Path::kPortable, cipher::Path::kAvx2, cipher::Path::kAvx512}) {
    if (!cipher::PathAvailable(vector)) continue;
    EXPECT_EQ(FirstDifference(RunEngine(*key, data, false, vector, kCuts[2], false), forward), -1);
    EXPECT_EQ(FirstDifference(RunEngine(*key, data, true, vector, kCuts[2], false), inverse), -1);
  }
}

TEST(CipherKey, ASlotOfPeriodOneFlipsEveryStep) {
  cipher::Slot s{0, 0, 0, 3, 1, 1};
  EXPECT_EQ(cipher::StepSlot(&s), -3);
  EXPECT_EQ(s.direction, 1);
  EXPECT_EQ(cipher::StepSlot(&s), 3);
  EXPECT_EQ(s.direction, 0);
  EXPECT_EQ(s.counter, 0);
}

TEST(CipherKey, StepRotatesAsDescribed) {
  // Direction 0 moves the table toward higher positions: its last s bytes come first.
  auto key = std::make_unique<Key>();
  cipher::ClearCipherState(key.get());
  for (int r = 0; r < kSlots; r++) {
    for (int k = 0; k < 256; k++) key->table[r][k] = static_cast<uint8_t>(k);
    key->slot[r] = cipher::Slot{r % 2, 0, 0, 5, 100, 100};
  }
  cipher::StepSlots(key.get());
  EXPECT_EQ(key->table[0][0], 251);
  EXPECT_EQ(key->table[0][5], 0);
  EXPECT_EQ(key->table[1][0], 5);
  EXPECT_EQ(key->table[1][251], 0);
}

std::unique_ptr<Key> ExpandedKey(const int32_t (&seeds)[10]) {
  auto key = std::make_unique<Key>();
  cipher::ClearCipherState(key.get());
  for (int j = 0; j < 10; j++) key->expansion[1 + j] = seeds[j];
  cipher::BuildExpansionTable(key.get());
  return key;
}

TEST(CipherKey, ExpansionOnlyWithSeeds) {
  auto off = ExpandedKey({0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_FALSE(off->expansionOn);
  for (int i = 1; i <= cipher::kFillerCycle; i++) ASSERT_EQ(off->expansion[i], 0) << i;
  auto on = ExpandedKey({1, 11, 5, 100, 3, 1, 1, 7, 2, 60});
  EXPECT_TRUE(on->expansionOn);
  for (int i = 1; i <= cipher::kFillerCycle; i++) ASSERT_GE(on->expansion[i], 1) << i;
  // Step 20: the second half mirrors the first, one more.
  EXPECT_EQ(on->expansion[10001], on->expansion[10000] + 1);
  EXPECT_EQ(on->expansion[20000], on->expansion[1] + 1);
}

TEST(CipherEngine, FillerCountsFollowTheCycle) {
  auto key = ExpandedKey({4, 9, 1, 1, 50, 22, 3, 8, 8, 1});
  static Engine one, many;
  one.Start(*key, cipher::Path::kPortable);
  many.Start(*key, cipher::Path::kPortable);
  EXPECT_TRUE(one.expanded());
  // Two and a half cycles, asked for one at a time and in uneven runs (one of them across
  // the end of a cycle).
  std::vector<uint32_t> counts(cipher::kChunk);
  uint32_t p = 0;
  for (uint32_t run : {1u, 4096u, 19000u - 4097u, 999u, 2u, 4096u, 4096u, 4096u, 4096u, 4096u,
                       4096u, 4096u, 4096u, 4096u, 4096u}) {
    for (uint32_t left = run; left > 0;) {
      uint32_t n = left < cipher::kChunk ? left : cipher::kChunk;
      uint64_t sum = many.NextFillers(n, counts.data());
      uint64_t want = 0;
      for (uint32_t i = 0; i < n; i++) {
        p = p == static_cast<uint32_t>(cipher::kFillerCycle) ? 1 : p + 1;
        ASSERT_EQ(counts[i], static_cast<uint32_t>(key->expansion[p])) << "position " << p;
        ASSERT_EQ(one.NextFiller(), counts[i]);
        want += counts[i];
      }
      EXPECT_EQ(sum, want);
      left -= n;
    }
  }
}

// --- The substitution routines on their own: random tables and random offsets of every
// value, against the lookups written out one byte and one slot at a time.

struct RoutineCase {
  std::vector<cipher::TableBytes> tables, inverse;
  Bytes offsets;  // slot r's offsets at r * kChunk
  const uint8_t* offs[kSlots];
  explicit RoutineCase(std::mt19937& rng) : tables(kSlots), inverse(kSlots), offsets(kSlots * cipher::kChunk) {
    for (int r = 0; r < kSlots; r++) {
      Bytes t(256);
      for (int k = 0; k < 256; k++) t[k] = static_cast<uint8_t>(k);
      std::shuffle(t.begin(), t.end(), rng);
      for (int k = 0; k < 256; k++) {
        tables[r][k] = t[k];
        inverse[r][t[k]] = static_cast<uint8_t>(k);
      }
      offs[r] = offsets.data() + r * cipher::kChunk;
    }
    for (auto& o : offsets) o = static_cast<uint8_t>(rng());
  }
  Bytes Forward(const Bytes& in) const {
    Bytes out(in);
    for (size_t j = 0; j < in.size(); j++)
      for (int r = 0; r < kSlots; r++) out[j] = tables[r][static_cast<uint8_t>(out[j] + offs[r][j])];
    return out;
  }
  Bytes Inverse(const Bytes& in) const {
    Bytes out(in);
    for (size_t j = 0; j < in.size(); j++)
      for (int r = kSlots - 1; r >= 0; r--) out[j] = static_cast<uint8_t>(inverse[r][out[j]] - offs[r][j]);
    return out;
  }
};

// 64-byte aligned room for a chunk, as the engine gives the vector routines.
struct Scratch {
  alignas(64) uint8_t bytes[cipher::kChunk];
};

Bytes RunPortable(const RoutineCase& c, const Bytes& in, bool inverse, bool inPlace) {
  static cipher::ChunkBytes laid[kSlots];
  Bytes out = inPlace ? in : Bytes(in.size());
  const uint8_t* src = inPlace ? out.data() : in.data();
  uint32_t n = static_cast<uint32_t>(in.size());
  if (inverse) {
    static bool perm[kSlots] = {true, true, true, true, true, true, true, true, true, true,
                                true, true, true, true, true, true, true, true, true, true};
    static uint8_t twice[kSlots][2 * cipher::kTableSize];
    static uint8_t missing[cipher::kChunk];
    cipher::InversePortable(c.inverse.data(), twice, perm, true, missing, src, out.data(), n, c.offs, laid);
  } else {
    cipher::ForwardPortable(c.tables.data(), src, out.data(), n, c.offs, laid);
  }
  return out;
}

Bytes RunVector(const RoutineCase& c, const Bytes& in, bool inverse, bool inPlace) {
  static Scratch scratch;
  Bytes out = inPlace ? in : Bytes(in.size());
  const uint8_t* src = inPlace ? out.data() : in.data();
  uint32_t n = static_cast<uint32_t>(in.size());
  if (inverse)
    cipher::InverseVector(c.inverse.data(), src, out.data(), n, c.offs, scratch.bytes);
  else
    cipher::ForwardVector(c.tables.data(), src, out.data(), n, c.offs, scratch.bytes);
  return out;
}

TEST(CipherRoutines, PortableLookupsOnOddLengths) {
  std::mt19937 rng(21);
  for (int round = 0; round < 4; round++) {
    RoutineCase c(rng);
    for (uint32_t n : {1u, 3u, 4u, 5u, 63u, 64u, 65u, 1000u, 4095u, 4096u}) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", " << n << " bytes");
      Bytes in = RandomBytes(rng, n);
      Bytes forward = c.Forward(in);
      for (bool inPlace : {false, true}) {
        EXPECT_EQ(FirstDifference(RunPortable(c, in, false, inPlace), forward), -1);
        EXPECT_EQ(FirstDifference(RunPortable(c, forward, true, inPlace), in), -1);
      }
    }
  }
}

TEST(CipherRoutines, VectorLookupsGiveThePortableBytes) {
  if (!cipher::VectorPathAvailable())
    GTEST_SKIP() << "this processor lacks the wide byte-permute instructions: the vector "
                    "lookups were not run";
  std::mt19937 rng(22);
  for (int round = 0; round < 4; round++) {
    RoutineCase c(rng);
    // Every index value in every vector lane: the four quarters of a table meet in each
    // 64-byte vector, and a whole chunk goes through every pass.
    Bytes sweep(cipher::kChunk);
    for (uint32_t j = 0; j < sweep.size(); j++) sweep[j] = static_cast<uint8_t>(j * 67 + j / 256);
    for (uint32_t n : {64u, 128u, 192u, 4032u, 4096u}) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", " << n << " bytes");
      Bytes in = RandomBytes(rng, n);
      for (const Bytes& data : {in, Bytes(sweep.begin(), sweep.begin() + n)}) {
        Bytes forward = c.Forward(data);
        Bytes inverse = c.Inverse(data);
        for (bool inPlace : {false, true}) {
          Bytes vf = RunVector(c, data, false, inPlace);
          EXPECT_EQ(FirstDifference(vf, forward), -1);
          EXPECT_EQ(FirstDifference(vf, RunPortable(c, data, false, inPlace)), -1);
          Bytes vi = RunVector(c, data, true, inPlace);
          EXPECT_EQ(FirstDifference(vi, inverse), -1);
          EXPECT_EQ(FirstDifference(vi, RunPortable(c, data, true, inPlace)), -1);
          EXPECT_EQ(FirstDifference(RunVector(c, vf, true, inPlace), data), -1);
        }
      }
    }
  }
}

TEST(CipherEngine, VectorAndPortableEnginesAgreeAcrossBlocks) {
  // Odd call sizes around the chunk and vector boundaries over several chunks: the vector
  // engine does whole vectors and leaves each call's tail to the portable routines.
  if (!cipher::VectorPathAvailable())
    GTEST_SKIP() << "this processor lacks the wide byte-permute instructions: the vector "
                    "engine was not run";
  std::mt19937 rng(23);
  for (int round = 0; round < 3; round++) {
    auto key = RandomKey(rng);
    Bytes plain = RandomBytes(rng, 3 * cipher::kChunk + 777);
    for (const auto& cuts : {std::vector<uint32_t>{4097, 63, 1, 8191}, std::vector<uint32_t>{65, 4031}}) {
      Bytes v = RunEngine(*key, plain, false, cipher::Path::kAvx512, cuts, false);
      EXPECT_EQ(FirstDifference(v, RunEngine(*key, plain, false, cipher::Path::kPortable, cuts, false)), -1);
      EXPECT_EQ(FirstDifference(RunEngine(*key, v, true, cipher::Path::kAvx512, cuts, true), plain), -1);
      EXPECT_EQ(FirstDifference(RunEngine(*key, v, true, cipher::Path::kPortable, cuts, true), plain), -1);
    }
  }
}

}  // namespace
