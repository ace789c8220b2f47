"""An independent model of key-system generation: the warm-up of the random generator
(keyfiles.Generator) from the clock and the draws of the three components, giving the
expected file bytes."""
import math

from keyfiles import (SEEDS, SLOTS, SLOT_MAP, STEP, SYSTEM, TABLE_LINES, Generator,
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


def generate(n1, n2, n3, level, now, hms):
    """Files of 'createsys n1 n2 n3 level' for time() == now and local time hms."""
    g = Generator(now)
    h, m, s = hms
    for _ in range(h * m * s):
        g.rnd()
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
