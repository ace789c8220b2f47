"""Randomly damaged key systems: whatever happens to the key files, every enc either
refuses (and writes nothing) or writes a file that dec turns back into the source."""
import os
import random
import shutil
import unittest

from harness import AppFolder, PROMPT
from test_crypt import clock, write_system

SYSTEMS = 12        # damaged key systems, one program run each
RUNS = 25           # enc and dec pairs per system, with random entry numbers
SIZE = (5, 5, 5)    # entries per component
SOURCE = bytes(range(256)) + b"The only copy of a file that matters.\n" * 20


def mutate_bytes(rng, data):
    """One random edit of a file's bytes."""
    if not data:
        return bytes([rng.randrange(256)])
    i = rng.randrange(len(data))
    kind = rng.randrange(9)
    if kind == 0:                                   # another digit
        return data[:i] + bytes([rng.choice(b"0123456789")]) + data[i + 1:]
    if kind == 1:                                   # any byte
        return data[:i] + bytes([rng.randrange(256)]) + data[i + 1:]
    if kind == 2:                                   # a byte less
        return data[:i] + data[i + 1:]
    if kind == 3:                                   # a byte more
        return data[:i] + bytes([rng.choice(b"0123456789 \r\n-+.e")]) + data[i:]
    if kind == 4:                                   # cut off
        return data[:i]
    lines = data.split(b"\n")
    j, k = rng.randrange(len(lines)), rng.randrange(len(lines))
    if kind == 5:                                   # a line gone
        del lines[j]
    elif kind == 6:                                 # a line twice
        lines.insert(j, lines[k])
    elif kind == 7:                                 # one 3-wide field copied over another
        line = lines[j]
        if len(line) >= 6:
            a, b = 3 * rng.randrange(len(line) // 3), 3 * rng.randrange(len(line) // 3)
            line = line[:b] + line[a:a + 3] + line[b + 3:]
            lines[j] = line
    else:                                           # two 3-wide fields swapped
        line = lines[j]
        if len(line) >= 6:
            n = len(line) // 3
            a, b = sorted((3 * rng.randrange(n), 3 * rng.randrange(n)))
            if a != b:
                line = line[:a] + line[b:b + 3] + line[a + 3:b] + line[a:a + 3] + line[b + 3:]
            lines[j] = line
    return b"\n".join(lines)


def damage(rng, folder):
    """One to three kinds of damage to the key files of a folder."""
    names = ["K1%d.bin" % i for i in range(1, SIZE[0] + 1)] + ["k2.dat", "k3.bin", "sys.dat"]
    for _ in range(rng.randint(1, 3)):
        name = rng.choice(names + ["k2.dat", "k3.bin"] * 3)
        path = os.path.join(folder, name)
        kind = rng.randrange(20)
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.lexists(path) and not os.path.isfile(path):
            os.remove(path)                         # a FIFO from an earlier step
        elif os.path.lexists(path) and kind >= 3:
            with open(path, "rb") as f:
                data = f.read()
            for _ in range(rng.randint(1, 4)):
                data = mutate_bytes(rng, data)
            os.remove(path)
            with open(path, "wb") as f:
                f.write(data)
            continue
        elif os.path.lexists(path):
            os.remove(path)
        if kind == 0:
            os.mkfifo(path)
        elif kind == 1:
            os.mkdir(path)
        # kind 2: the file stays removed


class RandomDamage(unittest.TestCase):
    def test_enc_refuses_or_dec_restores(self):
        rng = random.Random(20261208)
        outcomes = {"refused": 0, "restored": 0}
        for system in range(SYSTEMS):
            app = AppFolder()
            try:
                write_system(app.dir, seed=system, n1=SIZE[0], n2=SIZE[1],
                             k3_levels="".join(rng.choice("nlmh") for _ in range(SIZE[2])))
                damage(rng, app.dir)
                app.write("plain.bin", SOURCE)
                lines, triples = [], []
                for run in range(RUNS):
                    t = tuple(rng.randint(1, n) for n in SIZE)
                    triples.append(t)
                    lines += ["enc plain.bin c%d %d %d %d" % ((run,) + t),
                              "dec c%d p%d %d %d %d" % ((run, run) + t)]
                r = app.session(lines, env=clock(), timeout=60)
                self.assertEqual(r.status, 0)
                replies = r.out.split(PROMPT)[1:-1]
                self.assertEqual(len(replies), 2 * RUNS)
                for run, t in enumerate(triples):
                    where = "system %d, run %d, entries %s:\n%s" % (system, run, t,
                                                                     replies[2 * run].decode("latin-1"))
                    enc_done = replies[2 * run].endswith(b"==== Encryption completed ====\n \n")
                    if os.path.exists(app.path("c%d" % run)):
                        self.assertTrue(enc_done, where)
                        self.assertEqual(app.read("p%d" % run), SOURCE, where)
                        outcomes["restored"] += 1
                    else:
                        self.assertFalse(enc_done, where)
                        self.assertNotIn(b"completed", replies[2 * run + 1], where)
                        outcomes["refused"] += 1
            finally:
                app.cleanup()
        # Both outcomes occur: the damage is neither always fatal nor always harmless.
        self.assertGreater(outcomes["refused"], SYSTEMS * RUNS // 10, outcomes)
        self.assertGreater(outcomes["restored"], SYSTEMS * RUNS // 10, outcomes)


if __name__ == "__main__":
    unittest.main()
