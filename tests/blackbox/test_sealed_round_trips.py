"""Sealed files made and read by the argument form at every level, on every cipher path
the processor has and on one, two and three threads: sources whose stream of the plain
format is empty, one byte, just inside, exactly at and just past a chunk, and several
chunks across a batch; every file has the length the format gives and decrypts to its
source."""
import os
import random
import unittest

import cipher_model as model
import harness
import sealed_model as sm
from test_cipher_paths import LACKS, PATHS
from test_crypt import write_system

LEVELS = "nlmh"  # component-3 entry i has level LEVELS[i - 1]
THREADS = (1, 2, 3)


class SealedRoundTrips(harness.AppTestCase):
    def setUp(self):
        super().setUp()
        write_system(self.app.dir, k3_levels=LEVELS)
        self.work = os.path.join(self.app.root, "work")
        os.mkdir(self.work)
        self.rng = random.Random(29)

    def ombrix(self, env, *args):
        return self.app.run(b"", args=[self.app.program] + list(args), cwd=self.work, env=env)

    def available(self, path):
        r = self.ombrix({"OMBRIX_CIPHER_PATH": path}, "enc", "-", "-", "1", "2", "1")
        if path in LACKS and r.err == b"ombrix: " + LACKS[path]:
            return False
        self.assertEqual(r.status, 0, r.err)
        return True

    def stream_lengths(self, n3, limit):
        """The plain format's stream length of each source size from 0 on, up to the first
        size whose stream is longer than `limit`."""
        key = model.Key(self.app.dir, 1, 2, n3)
        self.assertTrue(key.on)
        lengths, p = [0], 0
        while lengths[-1] <= limit:
            p = 1 if p == model.CYCLE else p + 1
            lengths.append(lengths[-1] + 1 + key.E[p])
        return lengths

    def sizes(self, n3):
        """{source size: its stream's length} of entry n3, all of them and a few. At level n
        the stream is the source: its sizes are those of the chunks, and of a whole batch
        of 8. With expansion, the sizes whose streams come closest: the last inside a
        chunk, the first past it, the first past a batch."""
        if LEVELS[n3 - 1] == "n":
            every = [0, 1, 65535, 65536, 65537, 8 * 65536, 9 * 65536 + 4321]
            return {n: n for n in every}, [0, 65537, 9 * 65536 + 4321]
        lengths = self.stream_lengths(n3, 8 * sm.CHUNK)
        inside = max(i for i, n in enumerate(lengths) if n <= sm.CHUNK)
        past = len(lengths) - 1
        return {n: lengths[n] for n in (0, 1, inside, inside + 1, past)}, [0, inside + 1, past]

    def round_trip(self, env, n3, data, stream_length):
        for name in ("s.enc", "back"):
            if os.path.exists(os.path.join(self.work, name)):
                os.remove(os.path.join(self.work, name))
        with open(os.path.join(self.work, "src"), "wb") as f:
            f.write(data)
        r = self.ombrix(env, "enc", "src", "s.enc", "1", "2", str(n3))
        self.assertEqual((r.status, r.out, r.err), (0, b"", b""))
        with open(os.path.join(self.work, "s.enc"), "rb") as f:
            sealed = f.read()
        self.assertEqual(sealed[:9], sm.MAGIC + b"\x01")
        self.assertEqual(len(sealed), sm.sealed_length(stream_length))
        r = self.ombrix(env, "dec", "s.enc", "back", "1", "2", str(n3))
        self.assertEqual((r.status, r.out, r.err), (0, b"", b""))
        with open(os.path.join(self.work, "back"), "rb") as f:
            self.assertEqual(f.read(), data)

    def test_every_level_path_thread_count_and_size(self):
        cases = {n3: self.sizes(n3) for n3 in range(1, len(LEVELS) + 1)}
        sources = {}
        for path in PATHS:
            if not self.available(path):
                continue
            for threads in THREADS:
                env = {"OMBRIX_CIPHER_PATH": path, "OMBRIX_THREADS": str(threads)}
                for n3, (lengths, few) in cases.items():
                    # The chunks' edges are the same on every path: the others take a few.
                    for size in sorted(lengths) if path == "portable" else few:
                        with self.subTest(path=path, threads=threads, level=LEVELS[n3 - 1], size=size):
                            data = sources.setdefault(size, self.rng.randbytes(size))
                            self.round_trip(env, n3, data, lengths[size])


if __name__ == "__main__":
    unittest.main()
