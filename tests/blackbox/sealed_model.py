"""An independent model of the sealed format, on the standard library alone: ChaCha20
and Poly1305 (RFC 8439), HKDF-SHA-256 (RFC 5869) over hashlib and hmac, the key
material of a cipher_model.Key, and the layout of a sealed file (doc/sealed-format.md).
"""
import hashlib
import hmac
import struct

MAGIC = b"\x89OMBRIX\n"
VERSION = 1
SALT = 32
HEADER = len(MAGIC) + 1 + SALT
CHUNK = 65536
TAG = 16
INFO = b"ombrix sealed 1"

_M = 0xFFFFFFFF
_CONSTANTS = (0x61707865, 0x3320646E, 0x79622D32, 0x6B206574)


def _quarter(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & _M
    v = x[d] ^ x[a]
    x[d] = ((v << 16) | (v >> 16)) & _M
    x[c] = (x[c] + x[d]) & _M
    v = x[b] ^ x[c]
    x[b] = ((v << 12) | (v >> 20)) & _M
    x[a] = (x[a] + x[b]) & _M
    v = x[d] ^ x[a]
    x[d] = ((v << 8) | (v >> 24)) & _M
    x[c] = (x[c] + x[d]) & _M
    v = x[b] ^ x[c]
    x[b] = ((v << 7) | (v >> 25)) & _M


def chacha20_block(key, counter, nonce):
    """One 64-byte block: a 32-byte key, a 32-bit block counter, a 12-byte nonce."""
    state = list(_CONSTANTS) + list(struct.unpack("<8I", key)) + [counter] + list(struct.unpack("<3I", nonce))
    x = state[:]
    for _ in range(10):
        _quarter(x, 0, 4, 8, 12)
        _quarter(x, 1, 5, 9, 13)
        _quarter(x, 2, 6, 10, 14)
        _quarter(x, 3, 7, 11, 15)
        _quarter(x, 0, 5, 10, 15)
        _quarter(x, 1, 6, 11, 12)
        _quarter(x, 2, 7, 8, 13)
        _quarter(x, 3, 4, 9, 14)
    return struct.pack("<16I", *((x[i] + state[i]) & _M for i in range(16)))


def chacha20_xor(key, counter, nonce, data):
    stream = b"".join(chacha20_block(key, counter + i, nonce) for i in range((len(data) + 63) // 64))
    n = len(data)
    return (int.from_bytes(data, "little") ^ int.from_bytes(stream[:n], "little")).to_bytes(n, "little")


def poly1305(key, message):
    r = int.from_bytes(key[:16], "little") & 0x0FFFFFFC0FFFFFFC0FFFFFFC0FFFFFFF
    s = int.from_bytes(key[16:32], "little")
    p = (1 << 130) - 5
    acc = 0
    for i in range(0, len(message), 16):
        acc = (acc + int.from_bytes(message[i:i + 16] + b"\x01", "little")) * r % p
    return ((acc + s) & ((1 << 128) - 1)).to_bytes(16, "little")


def _mac_data(aad, cipher):
    pad = lambda b: b"\x00" * (-len(b) % 16)
    return aad + pad(aad) + cipher + pad(cipher) + struct.pack("<QQ", len(aad), len(cipher))


def seal(key, nonce, plain, aad=b""):
    """(cipher text, tag) of ChaCha20-Poly1305."""
    cipher = chacha20_xor(key, 1, nonce, plain)
    return cipher, poly1305(chacha20_block(key, 0, nonce)[:32], _mac_data(aad, cipher))


def open_(key, nonce, cipher, tag, aad=b""):
    """The plain text, or None when the tag does not match."""
    if not hmac.compare_digest(poly1305(chacha20_block(key, 0, nonce)[:32], _mac_data(aad, cipher)), tag):
        return None
    return chacha20_xor(key, 1, nonce, cipher)


def hkdf(salt, ikm, info, n):
    prk = hmac.new(salt or bytes(32), ikm, hashlib.sha256).digest()
    out, t, i = b"", b"", 1
    while len(out) < n:
        t = hmac.new(prk, t + info + bytes([i]), hashlib.sha256).digest()
        out += t
        i += 1
    return out[:n]


def key_material(key):
    """What the cipher loads for the entry numbers of a cipher_model.Key not yet stepped:
    the slot tables in slot order, each slot's direction, period0, period1 and shift,
    the ten expansion seeds, each number 4 bytes little-endian."""
    out = b"".join(s.table for s in key.slots)
    out += b"".join(struct.pack("<4i", s.direction, s.period0, s.period1, s.shift) for s in key.slots)
    return out + struct.pack("<10i", *key.seeds)


def file_key(salt, key):
    return hkdf(salt, key_material(key), INFO, 32)


def nonce(index, last):
    return index.to_bytes(11, "big") + bytes([1 if last else 0])


def chunks_of(stream):
    """The stream cut into chunks: the last one shorter, empty only for an empty stream."""
    return [stream[i:i + CHUNK] for i in range(0, len(stream), CHUNK)] or [b""]


def sealed_length(stream_length):
    return HEADER + stream_length + TAG * max(1, (stream_length + CHUNK - 1) // CHUNK)


def seal_file(stream, salt, key):
    """A sealed file of the plain format's stream, for a cipher_model.Key."""
    k = file_key(salt, key)
    parts = chunks_of(stream)
    out = [MAGIC, bytes([VERSION]), salt]
    for i, chunk in enumerate(parts):
        out += list(seal(k, nonce(i, i == len(parts) - 1), chunk))
    return b"".join(out)


def open_file(data, key):
    """The stream of a sealed file, or None when it is not what was sealed with key."""
    if len(data) < HEADER or data[:len(MAGIC)] != MAGIC or data[len(MAGIC)] != VERSION:
        return None
    k = file_key(data[len(MAGIC) + 1:HEADER], key)
    body, stream, i = data[HEADER:], b"", 0
    while True:
        piece = body[i * (CHUNK + TAG):(i + 1) * (CHUNK + TAG)]
        last = HEADER + (i + 1) * (CHUNK + TAG) >= len(data)
        if len(piece) < TAG:
            return None
        plain = open_(k, nonce(i, last), piece[:-TAG], piece[-TAG:])
        if plain is None:
            return None
        stream += plain
        if last:
            return stream
        i += 1
