"""An independent model of key-system generation: the random generator, the warm-up
from the clock and the draws of the three components, giving the expected file bytes."""
import math


class Generator:
    """The minimal-standard generator, seeded from a clock reading on first use."""

    M = 2147483647

    def __init__(self, now):
        self.now = now
        self.state = 0

    def rnd(self):
        if self.state == 0:
            seed = self.now & 0x7FFFFFFF
            # 0 and the modulus itself are no states of the generator.
            self.state = seed if seed not in (0, self.M) else 1
            for _ in range(7):
                self.state = self.state * 16807 % self.M
        self.state = self.state * 16807 % self.M
        return (self.state & 0xFFFFF) / 1048576.0


def rnd_round(x):
    """Round half away from zero."""
    return math.floor(x + 0.5) if x >= 0 else -math.floor(-x + 0.5)


def field(value, width):
    zeros = "00" if width == 3 else "0000000"
    return (zeros + str(value))[-width:]


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
    return "".join(field(v, 3) for v in t)


def k2_entry(g):
    p, q = [], []
    for r in range(1, 21):
        p.append(r)
        q.append(rnd_round(g.rnd() * 100) if rnd_round(g.rnd() * 100) < 50 else 0)
    for _ in range(500):
        x = int(rnd_round(g.rnd() * 19) + 1)
        y = int(rnd_round(g.rnd() * 19) + 1)
        p[x - 1], p[y - 1] = p[y - 1], p[x - 1]
    p = p[5:] + p[:5]
    return "".join(field(v, 7) for v in p + q)


LIMITS = {"l": 10, "m": 50, "h": 99, "n": 0}


def generate(n1, n2, n3, level, now, hms):
    """Files of 'createsys n1 n2 n3 level' for time() == now and local time hms."""
    g = Generator(now)
    h, m, s = hms
    for _ in range(h * m * s):
        g.rnd()
    files = {}
    for n in range(1, n1 + 1):
        files["K1%d.bin" % n] = "".join(table(g) + "\n" for _ in range(20)).encode()
    files["k2.dat"] = "".join(k2_entry(g) + "\n" for _ in range(n2)).encode()
    a = [0] * 20
    limit = LIMITS[level.lower()]
    s_ = [0] * 10
    lines = []
    for _ in range(n3):
        for r in range(20):
            if g.rnd() * 50 < 25:
                a[r] = 1
        b, c, d = [0] * 20, [0] * 20, [0] * 20
        for r in range(20):
            b[r] = int(rnd_round(10 * g.rnd()) + 1)
            c[r] = int(rnd_round(10 * g.rnd()) + 1)
            d[r] = int(rnd_round(10 * g.rnd()) + 1)
        if limit:
            for j in range(10):
                s_[j] = int(rnd_round(limit * g.rnd()) + 1)
        z = int(rnd_round(g.rnd() * 100) + 1)
        lines.append("".join(field(v, 3) for v in a + b + c + d + s_ + [z]) + "\n")
    files["k3.bin"] = "".join(lines).encode()
    files["sys.dat"] = ("%d\n" % n1).encode()
    return files
