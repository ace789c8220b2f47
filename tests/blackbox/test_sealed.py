"""Sealed files: the exact bytes of a known sealed file against the independent model,
two sealings of one source, every way a file can be wrong (refused with one line, no
destination, the old one intact, nothing of a failed chunk on standard output), files of
the plain format beside sealed ones at the prompt and in the argument form, and empty
sources."""
import os
import random
import unittest

import cipher_model as model
import harness
import sealed_model as sm
from harness import transcript
from test_crypt import LOADING, DEC_DONE, CryptCase, dec_out, enc_out, write_system
from test_keysys import RANDOM_SHIM

CHANGED = b": wrong entry numbers or key system, or the file was changed\n"
STORED = sm.CHUNK + sm.TAG  # a chunk as stored


def splitmix64(seed, n):
    """The first n bytes of the test random source's stream from seed (random_shim.c)."""
    out, state = b"", seed
    while len(out) < n:
        state = (state + 0x9E3779B97F4A7C15) & (2**64 - 1)
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & (2**64 - 1)
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & (2**64 - 1)
        out += (z ^ (z >> 31)).to_bytes(8, "little")
    return out[:n]


class SealedCase(CryptCase):
    def setUp(self):
        super().setUp()
        self.work = os.path.join(self.app.root, "work")
        os.mkdir(self.work)

    def ombrix(self, *args, stdin=b"", env=None):
        return self.app.run(stdin, args=[self.app.program] + list(args), cwd=self.work, env=env)

    def put(self, name, data):
        with open(os.path.join(self.work, name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(os.path.join(self.work, name), "rb") as f:
            return f.read()

    def exists(self, name):
        return os.path.exists(os.path.join(self.work, name))

    def seal(self, data, n1="1", n2="2", n3="1", name="s.enc"):
        self.put("src", data)
        r = self.ombrix("enc", "src", name, n1, n2, n3)
        self.assertEqual((r.status, r.out, r.err), (0, b"", b""))
        return self.get(name)


class KnownAnswer(SealedCase):
    def test_the_bytes_of_a_sealed_file_are_the_models(self):
        # A fixed key system and source, and the salt from the test random source: a full
        # chunk, then the last one.
        data = random.Random(8).randbytes(sm.CHUNK + 1000)
        seed = 4242
        env = {"LD_PRELOAD": RANDOM_SHIM, "OMBRIX_TEST_RANDOM_KEY_SEED": str(seed)}
        self.put("src", data)
        r = self.ombrix("enc", "src", "s.enc", "2", "3", "1", env=env)
        self.assertEqual((r.status, r.err), (0, b""))
        key = self.key(2, 3, 1)
        stream = model.encrypt_whole(key, data)
        self.assertEqual(stream[:300], model.encrypt(self.key(2, 3, 1), data[:300]))
        salt = splitmix64(seed, sm.SALT)
        want = sm.seal_file(stream, salt, self.key(2, 3, 1))
        self.assertEqual(self.get("s.enc"), want)
        self.assertEqual(want[sm.HEADER + sm.CHUNK:sm.HEADER + STORED].hex(),
                         sm.seal(sm.file_key(salt, key), sm.nonce(0, False), stream[:sm.CHUNK])[1].hex())

    def test_an_expanded_stream_is_sealed_with_its_fillers(self):
        data = random.Random(9).randbytes(5000)
        sealed = self.seal(data, "1", "2", "3")
        stream = sm.open_file(sealed, self.key(1, 2, 3))
        self.assertIsNotNone(stream)
        self.assertGreater(len(stream), sm.CHUNK)
        self.assertEncrypted(stream, self.key(1, 2, 3), data)

    def test_two_sealings_differ_everywhere_but_the_magic_and_version(self):
        # The real random source: a salt of its own each time.
        data = b"the same file, twice\n" * 5000
        one, two = self.seal(data, name="one"), self.seal(data, name="two")
        self.assertEqual(len(one), len(two))
        self.assertEqual(one[:9], two[:9])
        same = sum(a == b for a, b in zip(one[9:], two[9:]))
        self.assertLess(same, len(one) // 100, "%d equal bytes of %d" % (same, len(one)))
        self.assertNotEqual(one[9:sm.HEADER], two[9:sm.HEADER])


class Refusals(SealedCase):
    def setUp(self):
        super().setUp()
        # Five chunks at level n: the last one short.
        self.data = random.Random(10).randbytes(4 * sm.CHUNK + 3000)
        self.sealed = self.seal(self.data)
        self.assertEqual(len(self.sealed), sm.HEADER + len(self.data) + 5 * sm.TAG)
        other = os.path.join(self.app.root, "other")
        write_system(other, seed=8)
        self.other = other

    def chunk(self, i):
        return self.sealed[sm.HEADER + i * STORED:sm.HEADER + (i + 1) * STORED]

    def flip(self, at):
        b = bytearray(self.sealed)
        b[at] ^= 0x20
        return bytes(b)

    def assertRefused(self, r, line):
        self.assertEqual((r.status, r.out, r.err), (1, b"", b"ombrix: " + line))
        self.assertEqual(self.get("out"), b"the old destination")

    def test_every_way_a_file_or_its_key_can_be_wrong(self):
        h, body = self.sealed[:sm.HEADER], self.sealed[sm.HEADER:]
        last = sm.HEADER + 4 * STORED
        files = [
            ("salt", self.flip(20)),
            ("first chunk", self.flip(sm.HEADER + 5)),
            ("middle chunk", self.flip(sm.HEADER + 2 * STORED + 40000)),
            ("last chunk", self.flip(len(self.sealed) - sm.TAG - 1)),
            ("a tag", self.flip(sm.HEADER + 2 * STORED - 3)),
            ("the last tag", self.flip(len(self.sealed) - 1)),
            ("cut at a chunk's end", self.sealed[:last]),
            ("cut inside a chunk", self.sealed[:last - 1000]),
            ("cut inside the last tag", self.sealed[:-5]),
            ("only the header", h),
            ("cut inside the header", h[:30]),
            ("cut inside the magic word", h[:5]),
            ("a chunk repeated", h + self.chunk(0) + self.chunk(0) + body[STORED:]),
            ("two chunks swapped", h + self.chunk(1) + self.chunk(0) + body[2 * STORED:]),
            ("the last chunk twice", self.sealed + self.sealed[last:]),
            ("a byte appended", self.sealed + b"\x00"),
            ("a tag's worth appended", self.sealed + bytes(16)),
            ("another file's salt", sm.MAGIC + b"\x01" + bytes(32) + body),
        ]
        for what, content in files:
            with self.subTest(what=what):
                self.put("bad.enc", content)
                self.put("out", b"the old destination")
                self.assertRefused(self.ombrix("dec", "bad.enc", "out", "1", "2", "1"), b"bad.enc" + CHANGED)
        self.put("s.enc", self.sealed)
        for numbers in (("2", "2", "1"), ("1", "1", "1"), ("1", "2", "5")):
            with self.subTest(numbers=numbers):
                self.put("out", b"the old destination")
                self.assertRefused(self.ombrix("dec", "s.enc", "out", *numbers), b"s.enc" + CHANGED)
        with self.subTest(numbers="another key system"):
            self.assertRefused(self.ombrix("--keys", self.other, "dec", "s.enc", "out", "1", "2", "1"),
                               b"s.enc" + CHANGED)
        # The magic word and the version have lines of their own.
        for at, line in ((0, b"bad.enc is not a sealed file (ombrix --plain dec reads the plain format)\n"),
                         (7, b"bad.enc is not a sealed file (ombrix --plain dec reads the plain format)\n"),
                         (8, b"bad.enc is a sealed file of version 33, which this version of Ombrix"
                             b" cannot read\n")):
            with self.subTest(at=at):
                self.put("bad.enc", self.flip(at))
                self.assertRefused(self.ombrix("dec", "bad.enc", "out", "1", "2", "1"), line)
        self.assertEqual(sorted(os.listdir(self.work)), ["bad.enc", "out", "s.enc", "src"])

    def test_standard_output_gets_nothing_of_a_failed_chunk(self):
        # The third chunk is changed: through the pipe come at most the first two chunks'
        # bytes, on one thread and on three.
        bad = self.flip(sm.HEADER + 2 * STORED + 7)
        for threads in ("1", "3"):
            with self.subTest(threads=threads):
                r = self.ombrix("dec", "-", "-", "1", "2", "1", stdin=bad, env={"OMBRIX_THREADS": threads})
                self.assertEqual((r.status, r.err), (1, b"ombrix: standard input" + CHANGED))
                self.assertLessEqual(len(r.out), 2 * sm.CHUNK)
                self.assertEqual(r.out, self.data[:len(r.out)])


class Formats(SealedCase):
    def test_files_of_the_plain_format_beside_sealed_ones(self):
        data = bytes(range(256)) * 300
        self.put("src", data)
        self.assertEqual(self.ombrix("--plain", "enc", "src", "p.enc", "1", "2", "3").status, 0)
        plain = self.get("p.enc")
        self.assertEncrypted(plain, self.key(1, 2, 3), data)
        sealed = self.seal(data, n3="3")
        # The argument form: --plain reads the plain format, and only --plain.
        r = self.ombrix("dec", "p.enc", "out", "1", "2", "3")
        self.assertEqual((r.status, r.err), (1, b"ombrix: p.enc is not a sealed file (ombrix --plain dec"
                                                b" reads the plain format)\n"))
        self.assertFalse(self.exists("out"))
        self.assertEqual(self.ombrix("--plain", "dec", "p.enc", "out", "1", "2", "3").status, 0)
        self.assertEqual(self.get("out"), data)
        # A sealed file read as the plain format is garbage of the sealed file's length.
        self.assertEqual(self.ombrix("--plain", "dec", "s.enc", "junk", "1", "2", "1").status, 0)
        self.assertNotEqual(self.get("junk"), data)
        # At the prompt: each file as its start says; a wrong number names the file instead
        # of the completion line; the prompt's enc writes the plain format.
        p, s = os.path.join(self.work, "p.enc"), os.path.join(self.work, "s.enc")
        r = self.session(["dec %s %s/p.out 1 2 3" % (p, self.work), "dec %s %s/s.out 1 2 3" % (s, self.work),
                          "dec %s %s/w.out 1 2 4" % (s, self.work), "enc %s/src %s/e.enc 1 2 3" % (self.work, self.work)])
        self.assertEqual(r.out, transcript(dec_out(p, True), dec_out(s, True),
                                           LOADING + b"Decrypting " + s.encode() + b" with expansion...\n" +
                                           s.encode() + CHANGED,
                                           enc_out(self.work + "/src", True), installed=True))
        self.assertEqual(self.get("p.out"), data)
        self.assertEqual(self.get("s.out"), data)
        self.assertFalse(self.exists("w.out"))
        self.assertEncrypted(self.get("e.enc"), self.key(1, 2, 3), data)
        self.assertNotEqual(sealed[:9], plain[:9])

    def test_empty_sources(self):
        # Sealed: the header and one empty last chunk; the plain format refuses them.
        self.put("empty", b"")
        for args, stdin in ((["enc", "empty", "e.enc"], None), (["enc", "-", "-"], b"")):
            with self.subTest(args=args):
                r = self.ombrix(*args, "1", "2", "1", stdin=stdin or b"")
                self.assertEqual((r.status, r.err), (0, b""))
                sealed = r.out if stdin is not None else self.get("e.enc")
                self.assertEqual(len(sealed), sm.HEADER + sm.TAG)
                self.assertEqual(sm.open_file(sealed, self.key(1, 2, 1)), b"")
                r = self.ombrix("dec", "-", "-", "1", "2", "1", stdin=sealed)
                self.assertEqual((r.status, r.out, r.err), (0, b"", b""))
        self.assertEqual(self.ombrix("dec", "e.enc", "e.out", "1", "2", "1").status, 0)
        self.assertEqual(self.get("e.out"), b"")
        for args, line in ((["--plain", "enc", "empty", "p.enc"], b"empty is empty: nothing to encrypt\n"),
                           (["--plain", "enc", "-", "p.enc"], b"standard input is empty: nothing to encrypt\n"),
                           (["dec", "-", "p.enc"], b"standard input is empty: nothing to decrypt\n")):
            with self.subTest(args=args):
                r = self.ombrix(*args, "1", "2", "1")
                self.assertEqual((r.status, r.err), (1, b"ombrix: " + line))
        self.assertFalse(self.exists("p.enc"))

    def test_plain_is_an_option_of_enc_and_dec_only(self):
        r = self.ombrix("--plain", "sysdat")
        self.assertEqual(r.status, 2)
        self.assertTrue(r.err.startswith(b"ombrix: --plain is an option of enc and dec only\n"), r.err)

    def test_no_salt_without_the_random_source(self):
        self.put("src", b"abc")
        r = self.ombrix("enc", "src", "s.enc", "1", "2", "1",
                        env={"LD_PRELOAD": RANDOM_SHIM, "OMBRIX_TEST_RANDOM_FAIL": "EIO"})
        self.assertEqual((r.status, r.err), (1, b"ombrix: The system's random source gives no bytes.  Nothing"
                                                b" was encrypted.\n"))
        self.assertFalse(self.exists("s.enc"))


if __name__ == "__main__":
    unittest.main()
