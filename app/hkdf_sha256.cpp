// HKDF-SHA-256 (see hkdf_sha256.h): T(i) = HMAC(PRK, T(i - 1) || info || i), i from 1,
// T(0) empty; the output is T(1) T(2) ... cut to its length.
#include "app/hkdf_sha256.h"

#include "app/wipe.h"

namespace hkdf {

void Extract(const uint8_t* salt, size_t saltBytes, const uint8_t* ikm, size_t ikmBytes,
             uint8_t prk[kPrkBytes]) {
  // HMAC pads a key with zeros to a block: no salt and 32 zero bytes are the same key.
  hmac::Mac(salt, saltBytes, ikm, ikmBytes, prk);
}

bool Expand(const uint8_t prk[kPrkBytes], const uint8_t* info, size_t infoBytes, uint8_t* out,
            size_t n) {
  if (n > kMaxOutput) return false;
  uint8_t t[hmac::kBytes];
  for (uint8_t i = 1; n > 0; i++) {
    hmac::Sha256 mac;
    hmac::Start(&mac, prk, kPrkBytes);
    if (i > 1) hmac::Update(&mac, t, sizeof t);
    hmac::Update(&mac, info, infoBytes);
    hmac::Update(&mac, &i, 1);
    hmac::Finish(&mac, t);
    size_t take = n < sizeof t ? n : sizeof t;
    for (size_t j = 0; j < take; j++) out[j] = t[j];
    out += take;
    n -= take;
  }
  WipeSecret(t, sizeof t);
  return true;
}

bool Derive(const uint8_t* salt, size_t saltBytes, const uint8_t* ikm, size_t ikmBytes,
            const uint8_t* info, size_t infoBytes, uint8_t* out, size_t n) {
  uint8_t prk[kPrkBytes];
  Extract(salt, saltBytes, ikm, ikmBytes, prk);
  bool done = Expand(prk, info, infoBytes, out, n);
  WipeSecret(prk, sizeof prk);
  return done;
}

}  // namespace hkdf
