"""An independent model of key-system generation: the draws of the three components
from a stream of draws (RandomStream, the test random source's bytes), giving the
expected file bytes."""
import math

from keyfiles import (SEEDS, SLOTS, SLOT_MAP, STEP, SYSTEM, TABLE_LINES,
                      entry_file, k2_line, k3_line, table_line)


def rnd_round(x):
    """Round half away from zero."""
    return math.floor(x + 0.5) if x >= 0 else -math.floor(-x + 0.5)


def table(g):
    t = list(range(256))  # t[k - 1] is position k
    for _ in range(3):
        for _ in range(500):
            x = rnd_round(g.rnd() * 255)
            y = rnd_round(g.rnd() * 255)
            x = x or 1
            y = y or 255
            t[x - 1], t[y - 1] = t[y - 1], t[x - 1]
        turns = int(rnd_round(g.rnd() * 50) + 15)
        t = t[turns % 256:] + t[:turns % 256]
    return table_line(t)


def k2_entry(g):
    p, q = [], []
    for r in range(1, SLOTS + 1):
        p.append(r)
        q.append(rnd_round(g.rnd() * 100) if rnd_round(g.rnd() * 100) < 50 else 0)
    for _ in range(500):
        x = int(rnd_round(g.rnd() * 19) + 1)
        y = int(rnd_round(g.rnd() * 19) + 1)
        p[x - 1], p[y - 1] = p[y - 1], p[x - 1]
    p = p[5:] + p[:5]
    return k2_line(p, q)


LIMITS = {"l": 10, "m": 50, "h": 99, "n": 0}


class RandomStream:
    """The draws the program takes from the test random source (random_shim.c) seeded
    with `seed`: splitmix64 outputs as little-endian bytes, read in requests of 4,096
    bytes; each draw is the next 4 bytes as a little-endian number, its low 20 bits k
    giving k / 2^20. end_command() drops the rest of the current request, as the program
    does at the end of a command."""

    MASK = (1 << 64) - 1

    def __init__(self, seed=0):
        self.state = seed & self.MASK
        self.block, self.at = b"", 0

    def _next64(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & self.MASK
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & self.MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & self.MASK
        return z ^ (z >> 31)

    def k(self):
        if self.at == len(self.block):
            self.block = b"".join(self._next64().to_bytes(8, "little") for _ in range(512))
            self.at = 0
        v = int.from_bytes(self.block[self.at:self.at + 4], "little")
        self.at += 4
        return v & 0xFFFFF

    def rnd(self):
        return self.k() / 1048576.0

    def end_command(self):
        self.block, self.at = b"", 0


def generate(n1, n2, n3, level, g):
    """Files of 'createsys n1 n2 n3 level' whose draws come from g.rnd()."""
    files = {}
    for n in range(1, n1 + 1):
        files[entry_file(n)] = "".join(table(g) + "\n" for _ in range(TABLE_LINES)).encode()
    files[SLOT_MAP] = "".join(k2_entry(g) + "\n" for _ in range(n2)).encode()
    a = [0] * SLOTS
    limit = LIMITS[level.lower()]
    s_ = [0] * SEEDS
    lines = []
    for _ in range(n3):
        for r in range(SLOTS):
            if g.rnd() * 50 < 25:
                a[r] = 1
        b, c, d = [0] * SLOTS, [0] * SLOTS, [0] * SLOTS
        for r in range(SLOTS):
            b[r] = int(rnd_round(10 * g.rnd()) + 1)
            c[r] = int(rnd_round(10 * g.rnd()) + 1)
            d[r] = int(rnd_round(10 * g.rnd()) + 1)
        if limit:
            for j in range(SEEDS):
                s_[j] = int(rnd_round(limit * g.rnd()) + 1)
        z = int(rnd_round(g.rnd() * 100) + 1)
        lines.append(k3_line(a + b + c + d + s_ + [z]) + "\n")
    files[STEP] = "".join(lines).encode()
    files[SYSTEM] = ("%d\n" % n1).encode()
    return files
