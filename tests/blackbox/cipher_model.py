"""An independent model of the cipher: key loading from the key files, the expansion
table, slot stepping on byte strings, one byte at a time, and the encrypted layout.

Tables are byte strings rotated by slicing, as the tool's own definition rotates strings;
nothing in the byte-at-a-time model knows about offsets or block routines. For files of
megabytes, encrypt_whole gives the same bytes a whole file at a time (the tests check it
against the byte-at-a-time model on a prefix).
"""
import os
import re

import keyfiles as kf

CYCLE = 20000


def val(text):
    """Val for the decimal fields of key files: leading blanks, sign, digits, fraction."""
    m = re.match(r"\s*([+-]?(\d+(\.\d*)?|\.\d+)([eE][+-]?\d+)?)", text or "")
    return float(m.group(1)) if m else 0.0


def cint(x):
    """Truncation toward zero into 32 bits."""
    if x != x or x >= 2**31 or x <= -2**31 - 1:
        return -2**31
    return int(x)


def field(line, start, width):
    """CInt(Val(Mid(line, start, width))) for an ASCII line, start 1-based."""
    return cint(val((line or "")[start - 1:start - 1 + width]))


def fields(line, count, width):
    """The first count fields of a line, each CInt(Val(...)) of its width."""
    return [field(line, width * i + 1, width) for i in range(count)]


def entry_line(path, entry):
    """The line kept after reading lines 1 .. entry (empty past the end)."""
    with open(path, "rb") as f:
        lines = re.split(rb"\r\n|\r|\n", f.read())
    if lines and lines[-1] == b"":
        lines.pop()
    i, line = 1, ""
    while i <= entry:
        line = lines[i - 1].decode("latin-1") if i <= len(lines) else ""
        i += 1
    return line


def chr_bytes(code):
    return bytes([code & 255]) if code <= 255 else bytes([(code >> 8) & 255, code & 255])


def right(t, n):
    return t if n >= len(t) else (b"" if n < 1 else t[-n:])


def left(t, n):
    return t if n >= len(t) else (b"" if n < 1 else t[:n])


class Slot:
    def __init__(self, table, direction, period0, period1, shift):
        self.table, self.direction = table, direction
        self.period0, self.period1, self.shift = period0, period1, shift
        self.counter = self.phase = 0

    def step(self):
        self.counter += 1
        t, s = self.table, self.shift
        if self.direction < 1:
            self.table = right(t, s) + left(t, 256 - s)
        else:
            self.table = right(t, 256 - s) + left(t, s)
        if (self.phase == 0 and self.counter >= self.period0) or \
                (self.phase == 1 and self.counter >= self.period1):
            self.phase = 1 if self.phase == 0 else 0
            self.direction = 1 if self.direction == 0 else 0
            self.counter = 0


def expansion(seeds):
    """(ExpansionOn, E) with E[1..20000] from the ten seeds."""
    E = [0] * (CYCLE + 1)
    E[1:11] = list(seeds)
    if sum(E[1:11]) == 0:
        return 0, E

    def sw(a, b):
        E[a], E[b] = E[b], E[a]

    def div(a, b):  # CInt(a / b)
        return int(a / b)

    sw(1, 3); sw(6, 8)
    t = div(E[1] + E[2] + E[3], 3)
    for i in (1, 3, 5):
        E[i] += t
    for i in (4, 7, 9):
        E[i] -= t
    sw(5, 10); sw(7, 9)
    t = div(E[4] + E[5] + E[6], 3)
    for i in (2, 6, 8):
        E[i] += t
    for i in (10, 7, 1):
        E[i] -= t
    E[1:11] = E[10:0:-1]
    t = div(sum(E[1:11]), 10)
    for i in (1, 3, 5, 7, 9):
        E[i] += t
    for i in (2, 4, 6, 8):
        E[i] -= t
    E[11:21] = E[1:11]
    E[1:11] = E[10:0:-1]
    t = div(sum(E[1:11]), 10)
    for i in (1, 3, 5, 7, 9):
        E[i] -= t
    for i in (2, 4, 6, 8):
        E[i] += t
    E[21:31] = E[1:11]
    for i, d in enumerate((2, -3, 4, -2, 3, -4, 2, -3, 4, -2)):
        E[21 + i] += d
    for k in range(10):
        E[31 + k] = E[1 + 3 * k]
    for i in range(1, 41):
        if 0 <= E[i] < 2:
            E[i] = 2
        if E[i] < 0:
            E[i] = -E[i]
    sources = [2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10]
    consts = [2, 4, 6, 8, 10, 8, 6, 4, 2, 1, 3, 5, 7, 5, 3, 1, 5, 4, 2, 1]
    for i in range(20):
        E[41 + i] = E[sources[i]] + consts[i]

    def rnd_round(x):
        return int(x + 0.5) if x >= 0 else -int(-x + 0.5)

    blocks = [
        (61, 40, lambda k: E[1 + k] + E[10 + k]),
        (101, 100, lambda k: E[100 - k]),
        (201, 100, lambda k: E[1 + 2 * k]),
        (301, 100, lambda k: E[199 - 2 * k]),
        (401, 100, lambda k: E[1 + 3 * k] + 2),
        (501, 500, lambda k: cint(rnd_round(E[500 - k] / 2))),
        (1001, 250, lambda k: E[1 + 2 * k]),
        (1251, 250, lambda k: E[500 - 2 * k]),
        (1501, 250, lambda k: E[1 + 4 * k] + 1),
        (1751, 200, lambda k: E[1000 - 5 * k] + 3),
        (1951, 151, lambda k: E[1500 - 2 * k] + 2),
        (2102, 1001, lambda k: E[1000 + k] + 2),
        (3103, 334, lambda k: E[1 + 3 * k] + 2),
        (3437, 334, lambda k: E[1000 - 3 * k] + 2),
        (3771, 100, lambda k: E[1 + 10 * k] + 1),
        (3871, 100, lambda k: E[1001 + 10 * k] + 2),
        (3971, 100, lambda k: E[2001 + 10 * k] + 3),
        (4071, 100, lambda k: E[3001 + 10 * k] + 2),
        (4171, 101, lambda k: E[2000 - 10 * k] - 2),
        (4272, 101, lambda k: E[3000 - 10 * k] + 3),
        (4373, 101, lambda k: E[4001 - 10 * k] + 2),
        (4474, 40, lambda k: E[100 * (k + 1)] + 2),
        (4514, 39, lambda k: E[3900 - 100 * k] + 3),
        (4553, 444, lambda k: E[10 * (k + 1)] + 2),
    ]
    for first, count, value in blocks:
        for k in range(count):
            E[first + k] = value(k)
    E[4998] = E[1] + E[100] + E[66]
    E[4999] = E[5] + E[1000] + E[660]
    E[5000] = E[10] + E[2100] + E[2660]
    for i in range(1, 5001):
        if E[i] < 0:
            E[i] = -E[i]
        if E[i] == 0:
            E[i] = 15
    for k in range(2500):
        E[5001 + k] = E[1 + 2 * k]
    for k in range(2500):
        E[7501 + k] = E[5000 - 2 * k]
    E[10000] = E[1] + E[5000]
    for k in range(10000):
        E[10001 + k] = E[10000 - k] + 1
    return 1, E


class Key:
    """The cipher state for entry texts n1 (as typed), n2, n3 of the system in `folder`."""

    def __init__(self, folder, n1, n2, n3):
        k2 = entry_line(os.path.join(folder, kf.SLOT_MAP), val(str(n2)))
        k3 = entry_line(os.path.join(folder, kf.STEP), val(str(n3)))
        lines = fields(k2, kf.SLOTS, kf.K2_WIDTH)
        d = fields(k3, 4 * kf.SLOTS + kf.SEEDS, kf.K3_WIDTH)
        k1 = os.path.join(folder, kf.entry_file(n1))
        self.slots = []
        for r in range(kf.SLOTS):
            line = entry_line(k1, lines[r])
            values = fields(line, kf.TABLE_FIELDS, kf.TABLE_WIDTH)
            table = b"".join(chr_bytes(v) for v in values)
            self.slots.append(Slot(table, *(d[r + kf.SLOTS * i] for i in range(4))))
        self.seeds = d[4 * kf.SLOTS:]
        self.on, self.E = expansion(self.seeds)

    def forward(self, b):
        for s in self.slots:
            b = s.table[b]
        return b

    def inverse(self, c):
        for s in reversed(self.slots):
            p = s.table.find(bytes([c])) + 1 if c is not None else 0
            c = p - 1 if 1 <= p <= 256 else None
        return 0 if c is None else c

    def step(self):
        for s in self.slots:
            s.step()


def encrypt(key, data, rnd=None):
    """The encrypted bytes; fillers from rnd() (a function), or 0xFF marks without one."""
    out, p = bytearray(), 0
    for b in data:
        out.append(key.forward(b))
        key.step()
        if key.on:
            p = 1 if p == CYCLE else p + 1
            for _ in range(key.E[p]):
                out.append(int(rnd() * 255 + 1) - 1 if rnd else 0xFF)
    return bytes(out)


def cipher_positions(key, n):
    """Positions of the cipher bytes of an n-byte source in the encrypted file."""
    pos, at, p = [], 0, 0
    for _ in range(n):
        pos.append(at)
        at += 1
        if key.on:
            p = 1 if p == CYCLE else p + 1
            at += key.E[p]
    return pos, at


def decrypt(key, data):
    out, i, p, n = bytearray(), 0, 0, len(data)
    while i < n:
        out.append(key.inverse(data[i]))
        key.step()
        if key.on:
            p = 1 if p == CYCLE else p + 1
            i += key.E[p]
        i += 1
    return bytes(out)


def rotation_offsets(slot, n):
    """The rotation of slot's table seen by each of n bytes, for a 256-byte table and a
    shift of 1..255: byte j reads table[(k + off(j)) mod 256]. Each step rotates the
    table like Slot.step (right(t, s) + left(t, 256 - s) is a rotation by -s); once the
    state at a direction flip comes back with the same rotation the sequence repeats."""
    assert len(slot.table) == 256 and 1 <= slot.shift <= 255
    d, ph, c, off = slot.direction, slot.phase, slot.counter, 0
    seq, seen = bytearray([0]), None
    while len(seq) < n:
        c += 1
        off = (off - slot.shift if d < 1 else off + slot.shift) % 256
        seq.append(off)
        if (ph == 0 and c >= slot.period0) or (ph == 1 and c >= slot.period1):
            ph, d, c = 1 - ph, 1 if d == 0 else 0, 0
            here = (d, ph, off)
            if seen is None:
                seen = (here, len(seq) - 1)
            elif here == seen[0]:
                start = seen[1]
                cycle = bytes(seq[start:len(seq) - 1])
                reps = (n - start) // len(cycle) + 1
                return (bytes(seq[:start]) + cycle * reps)[:n]
    return bytes(seq[:n])


def encrypt_whole(key, data):
    """encrypt(key, data) without expansion, for keys whose tables are 256 bytes with
    shifts of 1..255: each slot adds its offsets bytewise (no carries between bytes) and
    substitutes through its table."""
    n = len(data)
    if n == 0:
        return b""
    low = int.from_bytes(b"\x7f" * n, "little")
    high = int.from_bytes(b"\x80" * n, "little")
    x = int.from_bytes(data, "little")
    for slot in key.slots:
        o = int.from_bytes(rotation_offsets(slot, n), "little")
        s = ((x & low) + (o & low)) ^ ((x ^ o) & high)
        x = int.from_bytes(s.to_bytes(n, "little").translate(slot.table), "little")
    return x.to_bytes(n, "little")
