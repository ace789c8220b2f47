"""enc and dec: the encrypted layout against an independent model of the cipher, round
trips, refusals in order, and what a failed command leaves behind."""
import os
import random
import resource
import signal
import subprocess
import unittest

import harness
from harness import AppTestCase, transcript
import cipher_model as model
import keyfiles
from keyfiles import SEEDS, SLOTS, TABLE_LINES, k2_line, k3_line, table_line
from test_keysys import random_source

SHIM = os.path.join(os.path.abspath(harness.BUILD), "libombrix_clock_shim.so")
NOW = 1700000000

LOADING = b"Loading System data...\n"
ENC_DONE = b"==== Encryption completed ====\n \n"
DEC_DONE = b"==== Decryption completed ====\n \n"
SAME = b"Source and encrypted file cannot be the same error.\n"
SAME_DEC = b"Source and decrypted file cannot be the same error.\n"
NO_SOURCE = b"Source file does not exist error.\n"
NO_ENTRY = b"Value of Key component 1 is greater than what was created error.\nEnter sysdata\n"
KEY_FILE = b"The destination is a file of the key system and cannot be replaced error.\n"
LEVELS = {"n": 0, "l": 10, "m": 50, "h": 99}


def k3_values(rng, level, directions=None, periods=None, shifts=None):
    d = directions or [rng.randint(0, 1) for _ in range(SLOTS)]
    p = periods or [rng.randint(1, 11) for _ in range(2 * SLOTS)]
    s = shifts or [rng.randint(1, 11) for _ in range(SLOTS)]
    limit = LEVELS[level]
    seeds = [rng.randint(1, limit + 1) if limit else 0 for _ in range(SEEDS)]
    return d + p + s + seeds + [rng.randint(1, 101)]


def write_system(folder, seed=7, n1=2, n2=3, k3_levels="nlmhn"):
    """A random key system of the documented shape: k3 entry i has level k3_levels[i - 1]."""
    rng = random.Random(seed)
    entries = []
    for _ in range(n1):
        lines = []
        for _ in range(TABLE_LINES):
            t = list(range(256))
            rng.shuffle(t)
            lines.append(table_line(t) + "\n")
        entries.append(lines)
    k2 = []
    for _ in range(n2):
        m = list(range(1, SLOTS + 1))
        rng.shuffle(m)
        k2.append(k2_line(m, [rng.randint(0, 100) for _ in range(SLOTS)]) + "\n")
    k3 = [k3_line(k3_values(rng, level)) + "\n" for level in k3_levels]
    keyfiles.write_key_system(folder, entries, k2, k3)


def clock(now=NOW):
    return {"LD_PRELOAD": SHIM, "OMBRIX_TEST_TIME": str(now), "OMBRIX_TEST_HMS": "1:2:3"}


def enc_out(name, expanded=False):
    more = b" with expansion..." if expanded else b"..."
    return LOADING + b"Encrypting " + name.encode() + more + b"\n" + ENC_DONE


def dec_out(name, expanded=False):
    more = b" with expansion..." if expanded else b"..."
    return LOADING + b"Decrypting " + name.encode() + more + b"\n" + DEC_DONE


class CryptCase(AppTestCase):
    def setUp(self):
        super().setUp()
        write_system(self.app.dir)
        self.rng = random.Random(11)

    def key(self, n1, n2, n3):
        return model.Key(self.app.dir, n1, n2, n3)

    def session(self, lines, now=NOW):
        return self.app.session(lines, env=clock(now))

    def assertEncrypted(self, got, key, data):
        """got holds the model's cipher bytes at their positions, and fillers of 0..254
        between them."""
        want = model.encrypt(key, data)  # fillers marked 0xFF
        self.assertEqual(len(got), len(want))
        pos, _ = model.cipher_positions(key, len(data))
        marked, cipher = bytearray(b"\xff" * len(got)), bytearray(len(got))
        for p in pos:
            marked[p], cipher[p] = got[p], 1
        self.assertEqual(bytes(marked), want)
        self.assertNotIn(255, bytes(b for b, c in zip(got, cipher) if not c), "a filler byte is 255")


class RoundTrips(CryptCase):
    def test_every_level_matches_the_model_and_decrypts(self):
        data = bytes(range(256)) + bytes(self.rng.randrange(256) for _ in range(700))
        self.app.write("plain.bin", data)
        lines, expected = [], []
        for n3, level in enumerate("nlmhn", 1):
            lines += ["enc plain.bin c%d 1 2 %d" % (n3, n3), "dec c%d p%d 1 2 %d" % (n3, n3, n3)]
            expected += [enc_out("plain.bin", level != "n"), dec_out("c%d" % n3, level != "n")]
        r = self.session(lines)
        self.assertEqual(r.out, transcript(*expected, installed=True))
        for n3, level in enumerate("nlmhn", 1):
            with self.subTest(level=level):
                got = self.app.read("c%d" % n3)
                self.assertEncrypted(got, self.key(1, 2, n3), data)
                self.assertEqual(self.app.read("p%d" % n3), data)
                key = self.key(1, 2, n3)
                if level == "n":
                    self.assertEqual(len(got), len(data))
                else:
                    self.assertEqual(len(got), len(data) + sum(key.E[1:len(data) + 1]))
                    self.assertTrue(all(e >= 1 for e in key.E[1:]))

    def test_portable_routine_across_chunks_and_offset_cycles(self):
        # Below 64 KiB only the portable routine runs; 60,000 bytes span many chunks and
        # many repetitions of every slot's offset cycle.
        data = bytes(self.rng.randrange(256) for _ in range(60000))
        self.app.write("mid.bin", data)
        r = self.session(["enc mid.bin mid.enc 2 1 5", "dec mid.enc mid.out 2 1 5"])
        self.assertEqual(r.out, transcript(enc_out("mid.bin"), dec_out("mid.enc"), installed=True))
        self.assertEqual(self.app.read("mid.enc"), model.encrypt(self.key(2, 1, 5), data))
        self.assertEqual(self.app.read("mid.out"), data)

    def test_long_files_and_the_filler_cycle(self):
        # Past 64 KiB the wide-vector routine (where present) does the bulk, short files and
        # tails are done by the portable one: both must give the model's bytes.
        data = bytes(self.rng.randrange(256) for _ in range(70001))
        self.app.write("long.bin", data)
        r = self.session(["enc long.bin ln 2 3 1", "dec ln lnp 2 3 1",
                          "enc long.bin ll 2 3 2", "dec ll llp 2 3 2"])
        self.assertEqual(r.out, transcript(enc_out("long.bin"), dec_out("ln"),
                                           enc_out("long.bin", True), dec_out("ll", True),
                                           installed=True))
        self.assertEqual(self.app.read("ln"), model.encrypt(self.key(2, 3, 1), data))
        got = self.app.read("ll")
        self.assertEncrypted(got, self.key(2, 3, 2), data)
        self.assertEqual(self.app.read("lnp"), data)
        self.assertEqual(self.app.read("llp"), data)
        # Byte 20,001 is followed by E(1) fillers again, as byte 1 was.
        key = self.key(2, 3, 2)
        pos, total = model.cipher_positions(key, len(data))
        self.assertEqual(total, len(got))
        self.assertEqual(pos[1] - pos[0] - 1, key.E[1])
        self.assertEqual(pos[20001] - pos[20000] - 1, key.E[1])

    def test_filler_runs_across_output_blocks_at_levels_m_and_h(self):
        # Outputs of several 256 KiB blocks, fillers drawn in bulk: every cipher byte is
        # where the byte-at-a-time model puts it, with exactly its count of fillers between.
        data = bytes(self.rng.randrange(256) for _ in range(9000))
        self.app.write("mh.bin", data)
        r = self.session(["enc mh.bin cm 1 2 3", "enc mh.bin ch 1 2 4"])
        self.assertEqual(r.out, transcript(enc_out("mh.bin", True), enc_out("mh.bin", True),
                                           installed=True))
        for name, n3 in (("cm", 3), ("ch", 4)):
            with self.subTest(level=name):
                got = self.app.read(name)
                self.assertEncrypted(got, self.key(1, 2, n3), data)
                pos, total = model.cipher_positions(self.key(1, 2, n3), len(data))
                self.assertGreater(total, 2 * 262144)
                # Some block boundary falls inside a run of fillers.
                inside = [b for b in range(262144, total, 262144)
                          if any(pos[i] < b <= pos[i + 1] - 1 for i in range(len(pos) - 1))]
                self.assertTrue(inside)

    def test_expansion_differs_only_in_the_filler_within_one_second(self):
        data = b"The same file, twice.\n" * 40
        self.app.write("a.txt", data)
        # Two runs in the same second: the same cipher bytes, unrelated fillers.
        self.session(["enc a.txt one 1 1 4"], now=NOW)
        self.session(["enc a.txt two 1 1 4"], now=NOW)
        one, two = self.app.read("one"), self.app.read("two")
        self.assertEqual(len(one), len(two))
        pos, _ = model.cipher_positions(self.key(1, 1, 4), len(data))
        self.assertEqual(bytes(one[p] for p in pos), bytes(two[p] for p in pos))
        fill = sorted(set(range(len(one))) - set(pos))
        same = sum(one[p] == two[p] for p in fill)
        self.assertLess(same, len(fill) // 20, "fillers equal in %d of %d bytes" % (same, len(fill)))
        self.assertLessEqual(max(one[p] for p in fill), 254)

    def test_truncated_file_decrypts_its_complete_units(self):
        data = bytes(self.rng.randrange(256) for _ in range(300))
        self.app.write("a.bin", data)
        self.session(["enc a.bin a.enc 1 3 2"])
        full = self.app.read("a.enc")
        pos, _ = model.cipher_positions(self.key(1, 3, 2), len(data))
        # Cut inside the fillers of byte 100, and right after cipher byte 200.
        for cut, plain in ((pos[100] + 2, 101), (pos[200] + 1, 201)):
            with self.subTest(cut=cut):
                self.app.write("cut.enc", full[:cut])
                r = self.session(["dec cut.enc cut.out 1 3 2"])
                self.assertEqual(r.out, transcript(dec_out("cut.enc", True), installed=True))
                self.assertEqual(self.app.read("cut.out"), data[:plain])

    def test_wrong_numbers_give_other_bytes_of_the_same_length(self):
        data = bytes(self.rng.randrange(256) for _ in range(500))
        self.app.write("a.bin", data)
        r = self.session(["enc a.bin a.enc 1 2 1", "dec a.enc b.out 1 2 5"])
        self.assertEqual(r.out, transcript(enc_out("a.bin"), dec_out("a.enc"), installed=True))
        out = self.app.read("b.out")
        self.assertEqual(len(out), len(data))
        self.assertNotEqual(out, data)
        self.assertEqual(out, model.decrypt(self.key(1, 2, 5), self.app.read("a.enc")))

    def test_entry_text_is_used_as_typed(self):
        self.app.write("a.txt", b"abc")
        r = self.session(["enc a.txt b 01 1 1"])
        self.assertEqual(r.out, transcript(NO_ENTRY, installed=True))
        self.assertFalse(os.path.exists(self.app.path("b")))
        with open(self.app.path("K101.bin"), "w") as f:  # another table set under that name
            with open(self.app.path("K12.bin")) as g:
                f.write(g.read())
        r = self.session(["enc a.txt b 01 1 1"])
        self.assertEqual(r.out, transcript(enc_out("a.txt"), installed=True))
        self.assertEqual(self.app.read("b"), model.encrypt(self.key("01", 1, 1), b"abc"))
        self.assertNotEqual(self.app.read("b"), model.encrypt(self.key("1", 1, 1), b"abc"))

    def test_existing_destination_is_replaced(self):
        self.app.write("a.txt", b"short")
        self.app.write("out", b"an older and much longer file" * 100)
        r = self.session(["enc a.txt out 1 1 1"])
        self.assertEqual(r.out, transcript(enc_out("a.txt"), installed=True))
        self.assertEqual(self.app.read("out"), model.encrypt(self.key(1, 1, 1), b"short"))
        self.assertEqual(sorted(n for n in os.listdir(self.app.dir) if n.startswith("out")), ["out"])


class LargeFiles(CryptCase):
    """Megabytes through the block loops: many read blocks and engine chunks, the vector
    routine's bulk with portable tails, and slots whose offset cycles are longer than a
    chunk (periods 11 and 10 with an odd drift)."""

    def setUp(self):
        super().setUp()
        periods = [self.rng.randint(1, 11) for _ in range(40)]
        shifts = [self.rng.randint(1, 11) for _ in range(20)]
        periods[2], periods[22], shifts[2] = 11, 10, 3      # cycle 21 x 256 bytes
        periods[7], periods[27], shifts[7] = 11, 9, 5       # cycle 20 x 128 bytes
        with open(self.app.path("k3.bin"), "a") as f:
            f.write(k3_line(k3_values(self.rng, "n", periods=periods, shifts=shifts)) + "\n")
            f.write(k3_line(k3_values(self.rng, "l", periods=periods, shifts=shifts)) + "\n")

    def test_megabytes_match_the_model_and_round_trip(self):
        data = self.rng.randbytes(3 * 1048576 + 777)
        self.app.write("big.bin", data)
        r = self.session(["enc big.bin big.enc 2 3 6", "dec big.enc big.out 2 3 6"])
        self.assertEqual(r.out, transcript(enc_out("big.bin"), dec_out("big.enc"), installed=True))
        # The whole-file model is itself held to the byte-at-a-time one on a prefix.
        head = data[:3000]
        self.assertEqual(model.encrypt_whole(self.key(2, 3, 6), head),
                         model.encrypt(self.key(2, 3, 6), head))
        got = self.app.read("big.enc")
        self.assertEqual(got, model.encrypt_whole(self.key(2, 3, 6), data))
        self.assertEqual(self.app.read("big.out"), data)

    def test_expanded_megabyte_keeps_cipher_bytes_and_length(self):
        # Filler runs cross the output blocks many times.
        data = self.rng.randbytes(1048576 + 33)
        self.app.write("big.bin", data)
        self.session(["enc big.bin big.enc 1 2 7", "dec big.enc big.out 1 2 7"])
        got = self.app.read("big.enc")
        key = self.key(1, 2, 7)
        self.assertTrue(key.on)
        pos, total = model.cipher_positions(key, len(data))
        self.assertEqual(len(got), total)
        want = model.encrypt_whole(self.key(1, 2, 7), data)
        self.assertEqual(bytes(got[p] for p in pos), want)
        fill = bytearray(got)
        for p in pos:
            fill[p] = 0
        self.assertLessEqual(max(fill), 254)
        self.assertEqual(self.app.read("big.out"), data)


class UnusualKeyFiles(CryptCase):
    """Key files edited without damaging what the cipher reads: CR LF line ends, text
    after the fields, unused fields that are no numbers, a k2.dat line that stops after
    the slot map, and every field at the ends of its range."""

    def setUp(self):
        super().setUp()
        rng = random.Random(5)
        lines = []
        for i in range(20):
            t = list(range(256))
            rng.shuffle(t)
            lines.append(table_line(t) + (" trailing text" if i == 3 else "") + "\r\n")
        with open(self.app.path("K11.bin"), "w", newline="") as f:
            f.writelines(lines)
        slot_map = [3, 20, 1, 8, 2, 5, 4, 6, 7, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19]
        with open(self.app.path("k2.dat"), "w") as f:
            f.write(k2_line(slot_map, []) + "\n")
            f.write(k2_line(reversed(slot_map), []) + "not numbers at all\n")
        d = [0, 1] * 10
        p = [1, 11, 2, 10, 3, 9, 4, 8, 5, 7, 6, 6, 7, 5, 8, 4, 9, 3, 10, 2] * 2
        s = [1, 11, 11, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 1, 2, 3, 4, 5, 6]
        with open(self.app.path("k3.bin"), "w") as f:
            f.write(k3_line(d + p + s + [0] * SEEDS) + "xyz\n")
            f.write(k3_line(d + p + s + [100, 0, 1, 100, 50, 0, 0, 7, 100, 99]) + "\n")

    def test_both_directions_match_the_model(self):
        for size in (300, 70000):
            data = bytes(self.rng.randrange(256) for _ in range(size))
            self.app.write("a.bin", data)
            for n2, n3 in ((1, 1), (2, 2)):
                with self.subTest(size=size, n3=n3):
                    line = "%%s %%s %%s 1 %d %d" % (n2, n3)
                    r = self.session([line % ("enc", "a.bin", "a.enc"), line % ("dec", "a.enc", "a.out")])
                    self.assertEqual(r.out, transcript(enc_out("a.bin", n3 == 2),
                                                       dec_out("a.enc", n3 == 2), installed=True))
                    enc = self.app.read("a.enc")
                    self.assertEncrypted(enc, self.key(1, n2, n3), data)
                    self.assertEqual(self.app.read("a.out"), data)


class Refusals(CryptCase):
    def test_checks_in_order_with_their_texts(self):
        self.app.write("a.txt", b"some text")
        self.app.write("empty.txt", b"")
        os.mkdir(self.app.path("folder"))
        cases = [
            ("enc", b"Parameters missing error.  Enter help e\n \n"),
            ("ENC", b"Parameters missing error.  Enter help e\n \n"),
            ("dec", b"Parameters missing error.  Enter help d\n \n"),
            ("enc a.txt b 1 1", b"Missing Parameters error.  Enter help e\n"),
            ("dec a.txt b 1 1 1 1", b"Missing Parameters error.  Enter help d\n"),
            ("enc a.txt b x 9 9", b"Numeric Parameter required for component 1 error.\n"),
            ("enc a.txt a.txt 1 0 9", b"Numeric Parameter required for component 2 error.\n"),
            ("dec a.txt b 1 1 abc", b"Numeric Parameter required for component 3 error.\n"),
            ("enc a.txt A.TXT 9 9 9", SAME),
            ("enc a.txt ./a.txt 1 1 1", SAME),
            ("enc a.txt %s 1 1 1" % self.app.path("a.txt"), SAME),
            ("dec a.txt ./a.txt 1 1 1", SAME_DEC),
            ("enc a.txt b 3 9 9", b"Key component 1 contains 2 elements\n"),
            ("enc a.txt b 1 4 9", b"Key component 2 contains 3 elements\n"),
            ("dec a.txt b 1 3 6", b"Key component 3 contains 5 elements\n"),
            ("enc a.txt b -1 1 1", b"Key component 1 contains 2 elements\n"),
            ("dec a.txt b 1 0.5 1", b"Key component 2 contains 3 elements\n"),
            ("enc a.txt b 1 1 -2", b"Key component 3 contains 5 elements\n"),
            ("enc nothing b 02 1 1", NO_ENTRY),
            ("enc nothing b 1 1 1", NO_SOURCE),
            ("enc empty.txt b 1 1 1", NO_SOURCE),
            ("enc folder b 1 1 1", NO_SOURCE),
            ("dec nothing b 1 1 1", NO_SOURCE),
            ("enc nothing k2.dat 1 1 1", NO_SOURCE),
            ("enc a.txt k2.dat 1 1 1", KEY_FILE),
            ("dec a.txt K12.bin 1 1 1", KEY_FILE),
            ("enc a.txt sys.dat 1 1 1", KEY_FILE),
        ]
        os.symlink(self.app.path("a.txt"), self.app.path("link"))
        cases.append(("enc a.txt link 1 1 1", SAME))
        before = sorted(os.listdir(self.app.dir))
        keys = {n: self.app.read(n) for n in before if n != "folder"}
        r = self.session([c for c, _ in cases])
        self.assertEqual(r.out, transcript(*[o for _, o in cases], installed=True))
        self.assertEqual(sorted(os.listdir(self.app.dir)), before)
        for n, content in keys.items():
            self.assertEqual(self.app.read(n), content, n)

    def test_no_system(self):
        for n in os.listdir(self.app.dir):
            if n != "ombrix":
                os.remove(self.app.path(n))
        self.app.write("a.txt", b"x")
        enc = b"A System is not in place.  Please issue ressys or \ncreatesys before you can encrypt.\n"
        dec = b"A System is not in place.  Please issue ressys or \ncreatesys before you can decrypt.\n"
        r = self.session(["enc a.txt b 1 1 1", "dec a.txt b 1 1 1", "enc a.txt", "dec x", "enc",
                          "dec"])
        self.assertEqual(r.out, transcript(enc, dec, enc, dec,
                                           b"Parameters missing error.  Enter help e\n \n",
                                           b"Parameters missing error.  Enter help d\n \n"))

    def test_expansion_without_the_random_source(self):
        # No key for the fillers: level h is refused before anything is written; level n
        # needs none and still works.
        self.app.write("a.txt", b"x")
        r = self.app.session(["enc a.txt h 1 1 4", "enc a.txt n 1 1 1"], env=random_source(fail="EIO"))
        self.assertEqual(r.out, transcript(
            LOADING + b"The system's random source gives no bytes.  Nothing was encrypted.\n",
            enc_out("a.txt"), installed=True))
        self.assertFalse(os.path.exists(self.app.path("h")))
        self.assertEqual(self.app.read("n"), model.encrypt(self.key(1, 1, 1), b"x"))

    def test_destination_that_cannot_be_created(self):
        self.app.write("a.txt", b"x")
        os.mkdir(self.app.path("folder2"))
        r = self.session(["enc a.txt nofolder/b 1 1 1", "enc a.txt folder2 1 1 1"])
        self.assertEqual(r.out, transcript(
            enc_out("a.txt")[:-len(ENC_DONE)] + b"Destination file nofolder/b could not be created error.\n",
            enc_out("a.txt")[:-len(ENC_DONE)] + b"Destination file folder2 could not be created error.\n",
            installed=True))

    def test_failed_write_keeps_the_old_destination(self):
        self.app.write("big.bin", bytes(3000000))
        self.app.write("out", b"previous contents")
        limit = 1000000

        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        p = subprocess.run([self.app.program], input=b"enc big.bin out 1 1 1\nquit\n",
                           capture_output=True, env=self.app.env(), cwd=self.app.root,
                           preexec_fn=small_files, timeout=60)
        self.assertEqual(p.stdout, transcript(
            enc_out("big.bin")[:-len(ENC_DONE)] + b"Destination file out could not be written error.\n",
            installed=True))
        self.assertEqual(self.app.read("out"), b"previous contents")
        self.assertFalse([n for n in os.listdir(self.app.dir) if n.startswith("out.")])


class Scripts(CryptCase):
    def test_dec_of_a_vanished_source_is_silent_but_stops_the_script(self):
        self.app.write("gone.enc", b"12345")
        gone = self.app.path("gone.enc")
        self.app.write("s.txt", b"rm %s\ndec gone.enc out 1 1 1\ntouch after\n" % gone.encode())
        r = self.app.session(["x s.txt"])
        self.assertIn(b"\n.dec gone.enc out 1 1 1\nScript stopped at line 2 - dec gone.enc out 1 1 1"
                      b" | the command did not complete\n \nSystem is ready.\n \n", r.out)
        self.assertFalse(os.path.exists(self.app.path("out")))
        self.assertFalse(os.path.exists(self.app.path("after")))


if __name__ == "__main__":
    unittest.main()
