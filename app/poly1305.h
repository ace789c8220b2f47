// Poly1305 (RFC 8439 section 2.5): the one-time authenticator of the sealed format. A
// 32-byte one-time key (r, clamped, and s) gives a 16-byte tag of a message of any size.
// The arithmetic modulo 2^130 - 5 is done in 64-bit limbs where the compiler has 128-bit
// products (x86-64), in 26-bit limbs with 64-bit products elsewhere (i386): the same
// tags either way, in time that does not depend on the key or the message's bytes.
//
// Image code that calls no runtime export: any cipher worker may run it.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace poly1305 {

constexpr int kKeyBytes = 32;
constexpr int kTagBytes = 16;
constexpr int kBlockBytes = 16;

namespace detail {

// r, s and the accumulator in 26-bit limbs.
struct Limbs26 {
  uint32_t r[5], h[5], s[4];
  void Start(const uint8_t key[kKeyBytes]);
  // Whole 16-byte blocks; `last` for the padded final block (no 2^128 bit of its own).
  void Blocks(const uint8_t* m, size_t bytes, bool last);
  void Finish(uint8_t tag[kTagBytes]);
};

#if defined(__SIZEOF_INT128__)
// r, r^2, s and the accumulator in 44-, 44- and 42-bit limbs. Two blocks are taken at
// a step: h = (h + m1) r^2 + m2 r, one reduction for both.
struct Limbs64 {
  uint64_t r[3], rr[3], h[3], s[2];
  void Start(const uint8_t key[kKeyBytes]);
  void Blocks(const uint8_t* m, size_t bytes, bool last);
  void Finish(uint8_t tag[kTagBytes]);
};
typedef Limbs64 Limbs;
#else
typedef Limbs26 Limbs;
#endif

}  // namespace detail

// One authenticator's state: plain data, set up by Start.
template <typename L>
struct BasicState {
  L limbs;
  uint8_t pending[kBlockBytes];  // the bytes of a block not yet taken
  uint32_t used;                 // how many
};
typedef BasicState<detail::Limbs> State;

// Starts a tag with a one-time key (never used for a second message).
template <typename L>
void Start(BasicState<L>* state, const uint8_t key[kKeyBytes]);
// Adds n bytes of the message; any split gives the tag of the whole.
template <typename L>
void Update(BasicState<L>* state, const uint8_t* m, size_t n);
// The tag; the state is wiped.
template <typename L>
void Finish(BasicState<L>* state, uint8_t tag[kTagBytes]);

// The tag of n bytes in one call.
void Tag(const uint8_t key[kKeyBytes], const uint8_t* m, size_t n, uint8_t tag[kTagBytes]);

// Two tags compared in time that does not depend on where they differ.
bool TagsEqual(const uint8_t a[kTagBytes], const uint8_t b[kTagBytes]);

}  // namespace poly1305
