// HMAC-SHA-256 (see hmac_sha256.h): SHA-256((K ^ opad) || SHA-256((K ^ ipad) || message)),
// K the key padded with zeros to a block.
#include "app/hmac_sha256.h"

#include "app/wipe.h"

namespace hmac {

void Start(Sha256* mac, const uint8_t* key, size_t keyBytes) {
  uint8_t block[MV_SHA256_BLOCK];
  for (int i = 0; i < MV_SHA256_BLOCK; i++) block[i] = 0;
  if (keyBytes > MV_SHA256_BLOCK) {
    RuntimeSha256(key, keyBytes, block);
  } else {
    for (size_t i = 0; i < keyBytes; i++) block[i] = key[i];
  }
  for (int i = 0; i < MV_SHA256_BLOCK; i++) block[i] ^= 0x36;
  RuntimeSha256Init(&mac->inner);
  RuntimeSha256Update(&mac->inner, block, sizeof block);
  for (int i = 0; i < MV_SHA256_BLOCK; i++) block[i] ^= 0x36 ^ 0x5c;
  RuntimeSha256Init(&mac->outer);
  RuntimeSha256Update(&mac->outer, block, sizeof block);
  WipeSecret(block, sizeof block);
}

void Update(Sha256* mac, const void* data, size_t n) { RuntimeSha256Update(&mac->inner, data, n); }

void Finish(Sha256* mac, uint8_t out[kBytes]) {
  uint8_t inner[kBytes];
  RuntimeSha256Final(&mac->inner, inner);
  RuntimeSha256Update(&mac->outer, inner, sizeof inner);
  RuntimeSha256Final(&mac->outer, out);
  WipeSecret(inner, sizeof inner);
}

void Mac(const uint8_t* key, size_t keyBytes, const void* data, size_t n, uint8_t out[kBytes]) {
  Sha256 mac;
  Start(&mac, key, keyBytes);
  Update(&mac, data, n);
  Finish(&mac, out);
}

}  // namespace hmac
