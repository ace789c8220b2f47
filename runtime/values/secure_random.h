// Draws from the system's cryptographic random source, for key material.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The draws of one command come from one byte stream of the system's random source
// (getrandom(), or /dev/urandom where the system lacks the call), read in requests of
// exactly 4,096 bytes. Each draw takes the next 4 bytes as a little-endian number and
// keeps its low 20 bits, k; it stands for the value k / 2^20 and is scaled as the
// RuntimeRandom* draws scale theirs (numbers.h).
//
// Starts a command's stream: drops what an earlier one left and reads the first
// request. 1 when the source gave its bytes, 0 when it gave none.
int32_t RuntimeSecureRandomBegin(void);
// 1 while every request of the command's stream was answered in full; after a failed
// one every further draw is 0 until the next Begin.
int32_t RuntimeSecureRandomOk(void);
// Ends the command's stream: the bytes not drawn are wiped and discarded.
void RuntimeSecureRandomEnd(void);
// n raw draws k (0 .. 2^20 - 1).
void RuntimeSecureRandomDraws(int32_t* out, int32_t n);
// One scaled draw: CInt(Round(k / 2^20 * m)), halves away from zero.
int32_t RuntimeSecureRandomScaled(int32_t m);
// n scaled draws, as n calls of RuntimeSecureRandomScaled(m).
void RuntimeSecureRandomScaledFill(int32_t* out, int32_t n, int32_t m);
// The same as bytes: the low 8 bits of each value.
void RuntimeSecureRandomScaledBytes(uint8_t* out, int32_t n, int32_t m);
// n (1..256) bytes straight from the source, outside any command's stream (a generator
// key). 1 when they were given, 0 otherwise (out is then zeroed).
int32_t RuntimeSecureRandomKey(uint8_t* out, int32_t n);

#ifdef __cplusplus
}
#endif
