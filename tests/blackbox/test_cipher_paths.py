"""The cipher's routines and threads chosen through OMBRIX_CIPHER_PATH and OMBRIX_THREADS:
every path the processor has and every thread count give the byte-at-a-time model's
bytes, at level n and level h (cipher bytes and filler counts at their positions), in
segments run on several threads, from files, pipes and FIFOs; unusable settings are
refused with one line."""
import os
import random
import subprocess
import threading

import cipher_model as model
from harness import transcript
from test_crypt import CryptCase, clock, dec_out, enc_out

PATHS = ("portable", "avx2", "avx512")
LACKS = {
    "avx2": b"The cipher path avx2 needs AVX2, which this processor lacks error.\n",
    "avx512": b"The cipher path avx512 needs AVX-512 VBMI, which this processor lacks error.\n",
}
BAD_PATH = b"OMBRIX_CIPHER_PATH must be portable, avx2 or avx512 error.\n"
BAD_THREADS = b"OMBRIX_THREADS must be a whole number of at least 1 error.\n"


class CipherPaths(CryptCase):
    def run_with(self, lines, path, threads):
        env = clock()
        env.update({"OMBRIX_CIPHER_PATH": path, "OMBRIX_THREADS": str(threads)})
        return self.app.run(b"".join(l.encode() + b"\n" for l in lines) + b"quit\n", env=env)

    def available(self, path):
        """False when the processor lacks the path (after checking the refusal)."""
        self.app.write("probe.bin", b"x")
        r = self.run_with(["enc probe.bin probe.enc 1 2 1"], path, 1)
        if path in LACKS and LACKS[path] in r.out:
            self.assertEqual(r.out, transcript(LACKS[path], installed=True))
            return False
        return True

    def test_level_n_in_segments_on_every_path_and_thread_count(self):
        # Past 1 MiB the input is cut into 256 KiB segments, run on the threads asked for
        # and written in order; the last segment is short.
        data = random.Random(4).randbytes(1048576 + 262144 + 777)
        self.app.write("big.bin", data)
        want = model.encrypt_whole(self.key(1, 2, 1), data)
        for path in PATHS:
            if not self.available(path):
                continue
            for threads in (1, 3):
                with self.subTest(path=path, threads=threads):
                    r = self.run_with(["enc big.bin big.enc 1 2 1", "dec big.enc big.out 1 2 1"],
                                      path, threads)
                    self.assertEqual(r.out, transcript(enc_out("big.bin"), dec_out("big.enc"),
                                                       installed=True))
                    self.assertEqual(self.app.read("big.enc"), want)
                    self.assertEqual(self.app.read("big.out"), data)

    def test_short_and_expanded_inputs_on_every_path(self):
        # Levels n and h at 1 and 2 bytes, 20,001 bytes (the filler counts start over
        # after 20,000 cipher bytes), and at level h an output of several 2 MiB segments:
        # every cipher byte where the byte-at-a-time model puts it, with its count of
        # fillers after it, on every path and thread count.
        rng = random.Random(5)
        key = self.key(1, 2, 4)
        long = len(model.cipher_positions(key, 20000)[0])
        while model.cipher_positions(key, long)[1] < 3 * 2097152 + 1000:
            long += 2000
        cases = [(b"\x00", 1), (b"\xff\x01", 1), (b"\x07", 4), (b"\x80\x7f", 4),
                 (rng.randbytes(20001), 4), (rng.randbytes(long), 4)]
        pos, total = model.cipher_positions(key, long)
        # Some cut of the encrypted input into segments falls inside a run of fillers.
        cuts = set(range(2097152, total, 2097152))
        self.assertTrue(cuts - set(pos))
        for path in PATHS:
            if not self.available(path):
                continue
            for threads in (1, 3):
                for i, (data, n3) in enumerate(cases):
                    with self.subTest(path=path, threads=threads, case=i):
                        self.app.write("s.bin", data)
                        r = self.run_with(["enc s.bin s.enc 1 2 %d" % n3, "dec s.enc s.out 1 2 %d" % n3],
                                          path, threads)
                        on = n3 != 1
                        self.assertEqual(r.out, transcript(enc_out("s.bin", on), dec_out("s.enc", on),
                                                           installed=True))
                        self.assertEncrypted(self.app.read("s.enc"), self.key(1, 2, n3), data)
                        self.assertEqual(self.app.read("s.out"), data)

    def test_streams_through_a_pipe_and_a_fifo(self):
        # Standard input and output of the argument form (the plain format): a pipe, and
        # FIFOs in their places; several segments at level h, in order, and nothing from an
        # empty pipe.
        key = self.key(1, 2, 4)
        data = random.Random(6).randbytes(30000)
        env = {"OMBRIX_THREADS": "3"}

        def ombrix(*args, stdin=b""):
            return self.app.run(stdin, args=[self.app.program, "--plain"] + list(args), cwd=self.app.dir, env=env)

        piped = ombrix("enc", "-", "-", "1", "2", "4", stdin=data)
        self.assertEqual((piped.status, piped.err), (0, b""))
        self.assertEncrypted(piped.out, key, data)
        back = ombrix("dec", "-", "-", "1", "2", "4", stdin=piped.out)
        self.assertEqual((back.status, back.err, back.out), (0, b"", data))
        empty = ombrix("enc", "-", "-", "1", "2", "4")
        self.assertEqual((empty.status, empty.out), (1, b""))
        self.assertTrue(empty.err.startswith(b"ombrix: standard input is empty"), empty.err)

        # A FIFO as standard input, written by another thread, and a FIFO destination.
        fifo = self.app.path("fifo")
        os.mkfifo(fifo)
        got = {}

        def feed():
            with open(fifo, "wb") as f:
                f.write(piped.out)

        def drain():
            with open(fifo, "rb") as f:
                got["out"] = f.read()

        for worker, args in ((feed, ("--plain", "dec", "-", "plain", "1", "2", "4")),
                             (drain, ("--plain", "dec", "enc", "fifo", "1", "2", "4"))):
            with self.subTest(fifo=worker.__name__):
                self.app.write("enc", piped.out)
                t = threading.Thread(target=worker)
                t.start()
                if worker is feed:
                    with open(fifo, "rb") as stdin:
                        p = subprocess.run([self.app.program] + list(args), stdin=stdin, capture_output=True,
                                           cwd=self.app.dir, env=self.app.env(env), timeout=120)
                    out = self.app.read("plain")
                else:
                    p = subprocess.run([self.app.program] + list(args), capture_output=True,
                                       cwd=self.app.dir, env=self.app.env(env), timeout=120)
                t.join(120)
                if worker is drain:
                    out = got["out"]
                self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))
                self.assertEqual(out, data)

    def test_unusable_settings_are_refused(self):
        self.app.write("p.bin", b"plain")
        for path, threads, line in (("wide", 1, BAD_PATH), ("", 0, BAD_THREADS),
                                    ("portable", "two", BAD_THREADS), ("PORTABLE", "-1", BAD_THREADS)):
            with self.subTest(path=path, threads=threads):
                r = self.run_with(["enc p.bin p.enc 1 2 1"], path, threads)
                self.assertEqual(r.out, transcript(line, installed=True))
                self.assertFalse(os.path.exists(self.app.path("p.enc")))
