"""Every stop leaves a working program: Ctrl-C at seeded moments of a large `enc` on two
threads, in one session, and SIGTERM at seeded moments of the argument form's `enc` (which
seals); after each the same `enc` runs to its end and a small file makes the round trip. In the
sanitizer build a report of the sanitizer fails the run like any other line on standard
error."""
import os
import random
import select
import signal
import subprocess
import time
import unittest

from harness import PROMPT, AppTestCase
from test_crypt import DEC_DONE, ENC_DONE, write_system

# Large enough that the enc itself, not the program's start, takes most of a run: a native
# run goes through 16 MiB in a few hundredths of a second, the emulated one in seconds.
BIG = (16 if os.environ.get("OMBRIX_TEST_EMULATED") == "1" else 128) << 20
ROUNDS = 20
# Under the emulator the sanitizer's allocator fails a check of its own (an address it
# cannot shadow) once one process has mapped and unmapped some hundreds of MiB of large
# blocks, as the session's rounds do: there the session runs three. The argument form
# starts a process for each run and runs all of its rounds.
SANITIZED_EMULATION = os.environ.get("OMBRIX_TEST_EMULATED") == "1" and "ASAN_OPTIONS" in os.environ
SESSION_ROUNDS = 3 if SANITIZED_EMULATION else ROUNDS
INTERRUPTED = b"The command was interrupted.\n"
THREADS = {"OMBRIX_THREADS": "2"}


class Reader:
    """A running program's output, read as it comes, with a cursor past what was
    matched. A wait longer than `timeout` seconds fails."""

    def __init__(self, stream):
        self.stream, self.out, self.at = stream, b"", 0

    def next(self, text, timeout=60):
        """The output from the cursor to the end of the next `text`, or None."""
        deadline = time.monotonic() + timeout
        while self.out.find(text, self.at) < 0:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.stream], [], [], left)[0]:
                return None
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                return None
            self.out += chunk
        end = self.out.find(text, self.at) + len(text)
        seen, self.at = self.out[self.at:end], end
        return seen


class StopCase(AppTestCase):
    def setUp(self):
        super().setUp()
        write_system(self.app.dir)
        with open(self.app.path("big"), "wb") as f:
            f.write(os.urandom(BIG))
        self.small = os.urandom(64 << 10)
        self.app.write("small", self.small)

    def moments(self, seed, whole, rounds=ROUNDS):
        """Seeded moments from 0 to a little past `whole` seconds."""
        rng = random.Random(seed)
        return [rng.uniform(0, 1.1 * whole) for _ in range(rounds)]

    def end(self, p):
        if p.poll() is None:
            p.kill()
            p.wait()
        for stream in (p.stdin, p.stdout, p.stderr):
            if stream:
                stream.close()

    def extracted(self):
        folder = os.path.join(self.app.home, ".tmpAppData")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []


class CtrlC(StopCase):
    def test_ctrl_c_at_any_moment_of_a_threaded_enc(self):
        p = subprocess.Popen([self.app.program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, cwd=self.app.root, env=self.app.env(THREADS),
                             start_new_session=True)
        self.addCleanup(self.end, p)
        out = Reader(p.stdout)

        def send(line):
            p.stdin.write(line + b"\n")
            p.stdin.flush()

        def command(line, end=PROMPT):
            send(line)
            seen = out.next(end)
            self.assertIsNotNone(seen, "no %r after %r: %r" % (end, line, out.out[-300:]))
            return seen

        started = time.monotonic()
        self.assertIsNotNone(out.next(PROMPT))
        begun = time.monotonic()
        command(b"enc big big.enc 1 1 1", ENC_DONE + PROMPT)
        whole = time.monotonic() - begun
        expected = self.app.read("big.enc")
        interrupted = 0
        for i, moment in enumerate(self.moments(2027, whole, SESSION_ROUNDS)):
            where = "round %d, Ctrl-C after %.3f s" % (i, moment)
            command(b"enc big big.enc 1 1 1", b"Encrypting big...\n")
            time.sleep(moment)
            p.send_signal(signal.SIGINT)
            seen = out.next(PROMPT)
            self.assertIsNotNone(seen, "%s: %r" % (where, out.out[-300:]))
            if INTERRUPTED in seen:
                interrupted += 1
            else:  # it had ended: the Ctrl-C drops the empty line at the prompt
                self.assertEqual(out.next(PROMPT), PROMPT, where)
            self.assertTrue(command(b"enc big big.enc 1 1 1").endswith(ENC_DONE + PROMPT), where)
            self.assertEqual(self.app.read("big.enc"), expected, where)
            command(b"enc small small.enc 1 2 3")
            self.assertTrue(command(b"dec small.enc small.out 1 2 3").endswith(DEC_DONE + PROMPT), where)
            self.assertEqual(self.app.read("small.out"), self.small, where)
        send(b"quit")
        self.assertEqual(p.wait(timeout=60), 0)
        self.assertEqual(p.stderr.read(), b"")
        self.assertGreaterEqual(interrupted, SESSION_ROUNDS // 2)
        self.assertLess(time.monotonic() - started, 120)
        self.assertEqual(sorted(os.listdir(self.app.dir)),
                         sorted(["ombrix", "sys.dat", "k2.dat", "k3.bin", "K11.bin", "K12.bin",
                                 "big", "big.enc", "small", "small.enc", "small.out"]))


class Sigterm(StopCase):
    def ombrix(self, *args, plain=True):
        """The argument form, with --plain unless told: its outputs can be compared byte
        for byte."""
        p = subprocess.run([self.app.program] + (["--plain"] if plain else []) + list(args), capture_output=True,
                           cwd=self.app.dir, env=self.app.env(THREADS), timeout=120)
        return p.returncode, p.stdout, p.stderr

    def assertSealsBig(self, where):
        """big.enc is a whole sealed file of big (and is removed)."""
        self.assertEqual(self.ombrix("dec", "big.enc", "big.out", "1", "1", "1", plain=False), (0, b"", b""), where)
        self.assertTrue(self.app.read("big.out") == self.app.read("big"), where)
        for name in ("big.enc", "big.out"):
            os.remove(self.app.path(name))

    def test_sigterm_at_any_moment_of_a_threaded_enc(self):
        done = (0, b"", b"")
        begun = time.monotonic()
        self.assertEqual(self.ombrix("enc", "big", "big.enc", "1", "1", "1"), done)
        whole = time.monotonic() - begun
        expected = self.app.read("big.enc")
        os.remove(self.app.path("big.enc"))
        files = sorted(os.listdir(self.app.dir))
        lines = b"Loading System data...\nEncrypting big...\n"
        stopped = 0
        for i, moment in enumerate(self.moments(2028, whole)):
            where = "round %d, SIGTERM after %.3f s" % (i, moment)
            # -v: its lines on standard error tell when the enc has begun.
            p = subprocess.Popen([self.app.program, "-v", "enc", "big", "big.enc", "1", "1", "1"],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.app.dir,
                                 env=self.app.env(THREADS))
            self.addCleanup(self.end, p)
            err = Reader(p.stderr)
            self.assertIsNotNone(err.next(lines), "%s: %r" % (where, err.out))
            time.sleep(moment)
            p.send_signal(signal.SIGTERM)
            out, rest = p.communicate(timeout=60)
            rest = err.out[err.at:] + rest
            if p.returncode == -signal.SIGTERM and rest == ENC_DONE:
                # The signal came after the enc had ended (a native run of this size takes
                # a few hundredths of a second): its output is whole and in place.
                self.assertEqual(out, b"", where)
                self.assertSealsBig(where)
            elif p.returncode == -signal.SIGTERM:
                stopped += 1
                self.assertEqual((out, rest), (b"", b""), where)
                self.assertEqual(sorted(os.listdir(self.app.dir)), files, where)
            else:  # it had ended
                self.assertEqual((p.returncode, out, rest), (0, b"", ENC_DONE), where)
                self.assertSealsBig(where)
            self.assertEqual(self.extracted(), [], where)
            self.assertEqual(self.ombrix("enc", "big", "big.enc", "1", "1", "1"), done, where)
            self.assertEqual(self.app.read("big.enc"), expected, where)
            os.remove(self.app.path("big.enc"))
            self.assertEqual(self.ombrix("enc", "small", "small.enc", "1", "2", "3"), done, where)
            self.assertEqual(self.ombrix("dec", "small.enc", "small.out", "1", "2", "3"), done, where)
            self.assertEqual(self.app.read("small.out"), self.small, where)
            for name in ("small.enc", "small.out"):
                os.remove(self.app.path(name))
        self.assertGreaterEqual(stopped, ROUNDS // 2)


if __name__ == "__main__":
    unittest.main()
