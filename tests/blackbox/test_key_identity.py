"""Key files known by what is written, not by a name: destinations reached through chains
of links, standard output opened on a key file or on the source, terminals under any
name, and names swapped back and forth while a command runs."""
import os
import random
import subprocess
import time
import unittest

import harness
from harness import AppTestCase, transcript
from test_crypt import KEY_FILE, SAME, clock, write_system
from test_terminal import HANG_GUARD, open_pty

SWAPPER = os.path.join(os.path.abspath(harness.BUILD), "ombrix_name_swapper")
KEY_NAMES = ("K11.bin", "K12.bin", "k2.dat", "k3.bin", "sys.dat")
TERMINAL = b" is a terminal: cipher text is not written to it\n"


class IdentityCase(AppTestCase):
    def setUp(self):
        super().setUp()
        write_system(self.app.dir)
        self.work = os.path.join(self.app.root, "work")
        os.mkdir(self.work)
        self.source = os.path.join(self.work, "s")
        with open(self.source, "wb") as f:
            f.write(b"plain text " * 1000)

    def ombrix(self, *args, **kw):
        """The argument form, run in the work folder; kw go to subprocess.run."""
        kw.setdefault("capture_output", "stdout" not in kw)
        if "stdout" in kw:
            kw["stderr"] = subprocess.PIPE
        return subprocess.run([self.app.program] + list(args), cwd=self.work, env=self.app.env(),
                              timeout=HANG_GUARD, **kw)

    def snapshot(self, folder=None):
        """Every key file of a folder, with its content."""
        folder = folder or self.app.dir
        out = {}
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            if name in KEY_NAMES and not os.path.islink(path):
                with open(path, "rb") as f:
                    out[name] = f.read()
        return out

    def chain(self, target, links, name):
        """`name` in the work folder, reaching `target` through `links` symbolic links."""
        hop = target
        for i in range(links - 1, 0, -1):
            step = os.path.join(self.work, "%s.hop%d" % (name, i))
            os.symlink(hop, step)
            hop = step
        os.symlink(hop, os.path.join(self.work, name))
        return name


class Chains(IdentityCase):
    def test_chains_of_links_to_a_key_file_are_refused(self):
        keys = os.path.join(self.app.root, "keys")
        os.mkdir(keys)
        write_system(keys, seed=9)
        before, other = self.snapshot(), self.snapshot(keys)
        refusal = b"ombrix: " + KEY_FILE
        # (command, links, key file, --keys): every key name, both commands, both lengths.
        cases = [("enc", 2, "K11.bin", False), ("dec", 3, "sys.dat", False),
                 ("enc", 3, "k3.bin", True), ("dec", 2, "K12.bin", True),
                 ("enc", 2, "k2.dat", True), ("dec", 3, "k3.bin", False)]
        for i, (word, links, key, chosen) in enumerate(cases):
            with self.subTest(word=word, links=links, key=key, keys=chosen):
                folder = keys if chosen else self.app.dir
                dest = self.chain(os.path.join(folder, key), links, "arg%d" % i)
                options = ["--keys", keys] if chosen else []
                r = self.ombrix(*options, word, "s", dest, "1", "1", "1")
                self.assertEqual((r.returncode, r.stdout, r.stderr), (1, b"", refusal))
                self.assertEqual((self.snapshot(), self.snapshot(keys)), (before, other))
            write_system(self.app.dir)  # whatever a failure did, the next case starts whole
            write_system(keys, seed=9)
        # At the prompt, where relative names are taken in the application folder.
        lines = []
        for i, (word, links, key) in enumerate((("enc", 2, "K12.bin"), ("dec", 3, "K11.bin"),
                                                ("enc", 3, "sys.dat"))):
            lines.append("%s %s %s 1 1 1" % (word, self.source,
                                             os.path.join(self.work, self.chain(
                                                 self.app.path(key), links, "prompt%d" % i))))
        r = self.app.session(lines, env=clock())
        self.assertEqual(r.out, transcript(KEY_FILE, KEY_FILE, KEY_FILE, installed=True))
        self.assertEqual((self.snapshot(), self.snapshot(keys)), (before, other))


class StandardOutput(IdentityCase):
    def test_standard_output_on_a_key_file_or_the_source_is_refused(self):
        before = self.snapshot()
        refusal = b"ombrix: " + KEY_FILE
        cases = [  # (command, destination, file under standard output, how it is opened)
            ("enc", "-", "K12.bin", os.O_RDWR),
            ("enc", "-", "k2.dat", os.O_WRONLY | os.O_APPEND),
            ("enc", "/dev/stdout", "K11.bin", os.O_RDWR),
            ("dec", "-", "k3.bin", os.O_RDWR),
            ("dec", "/dev/stdout", "sys.dat", os.O_WRONLY | os.O_APPEND),
        ]
        for word, dest, key, flags in cases:
            with self.subTest(word=word, dest=dest, key=key):
                fd = os.open(self.app.path(key), flags)
                try:
                    r = self.ombrix(word, "s", dest, "1", "1", "1", stdout=fd)
                finally:
                    os.close(fd)
                self.assertEqual((r.returncode, r.stderr), (1, refusal))
                self.assertEqual(self.snapshot(), before)
            write_system(self.app.dir)  # whatever a failure did, the next case starts whole
        with open(self.source, "rb") as f:
            plain = f.read()
        for dest in ("-", "/dev/stdout"):
            with self.subTest(dest=dest, key="the source"):
                fd = os.open(self.source, os.O_RDWR)
                try:
                    r = self.ombrix("enc", "s", dest, "1", "1", "1", stdout=fd)
                finally:
                    os.close(fd)
                self.assertEqual((r.returncode, r.stderr), (1, b"ombrix: " + SAME))
                with open(self.source, "rb") as f:
                    self.assertEqual(f.read(), plain)

    def test_a_terminal_under_any_name_is_refused(self):
        with open(os.path.join(self.work, "t"), "wb") as f:
            f.write(b"short: it fits in what a terminal holds unread")
        master, slave = open_pty()
        try:
            for dest, typed in ((os.ttyname(slave), None), ("/dev/stdout", None),
                                ("-", b"standard output")):
                with self.subTest(dest=dest):
                    r = self.ombrix("enc", "t", dest, "1", "1", "1", stdout=slave)
                    named = typed or dest.encode()
                    self.assertEqual((r.returncode, r.stderr), (1, b"ombrix: " + named + TERMINAL))
            os.close(slave)
            slave = None
            os.set_blocking(master, False)
            try:
                shown = os.read(master, 4096)
            except OSError:
                shown = b""
            self.assertEqual(shown, b"")
        finally:
            if slave is not None:
                os.close(slave)
            os.close(master)


class Races(IdentityCase):
    """A helper exchanges a name with another entry (a link to a key file) again and again
    while a command runs. Whatever moment it hits, no key file changes, nothing is lost,
    and a transkill that reports success has every component of the system in the copy."""

    TRIES = 6

    def swapping(self, a, b):
        """Starts exchanging a and b (a short random pause between exchanges, or none);
        returns the helper, swapping already."""
        pause = random.choice((0, 1000, 3000))
        p = subprocess.Popen([SWAPPER, a, b, str(pause)], stdout=subprocess.PIPE)
        self.assertEqual(p.stdout.readline(), b"ready\n")
        return p

    def stop(self, p):
        p.terminate()
        out, _ = p.communicate(timeout=HANG_GUARD)
        self.assertGreater(int(out), 0)

    def regular_contents(self, *folders):
        found = []
        for folder in folders:
            for name in os.listdir(folder):
                path = os.path.join(folder, name)
                if os.path.isfile(path) and not os.path.islink(path):
                    with open(path, "rb") as f:
                        found.append(f.read())
        return found

    def race(self, args, a, b, check, tries=TRIES):
        """Runs `ombrix args` `tries` times while a and b are exchanged; check(result)
        after each run, once the helper has stopped."""
        for attempt in range(tries):
            with self.subTest(attempt=attempt):
                p = self.swapping(a, b)
                time.sleep(random.random() * 0.01)
                try:
                    r = self.ombrix(*args)
                finally:
                    self.stop(p)
                check(r)

    def test_enc_destination_swapped_with_a_link_to_a_key_file(self):
        # The hard link is the one the checks of a name missed; a symbolic one is the
        # same race through the resolution of the name.
        before = self.snapshot()
        out, alt = os.path.join(self.work, "out"), os.path.join(self.work, "out.alt")
        for kind, make in (("hard", os.link), ("symbolic", os.symlink)):
            with self.subTest(kind=kind):
                for name in (out, alt):
                    if os.path.lexists(name):
                        os.unlink(name)
                with open(out, "wb") as f:
                    f.write(b"an old output")
                make(self.app.path("K11.bin"), alt)

                def check(r):
                    self.assertIn(r.returncode, (0, 1), r.stderr)
                    self.assertEqual(self.snapshot(), before)

                self.race(["enc", "s", "out", "1", "1", "1"], out, alt, check, tries=15)

    def test_transsys_destination_swapped_with_a_link_to_a_key_file(self):
        before = self.snapshot()
        backup = os.path.join(self.work, "backup")
        os.mkdir(backup)
        a, b = os.path.join(backup, "k3.bin"), os.path.join(backup, "k3.alt")
        with open(a, "wb") as f:
            f.write(b"an old copy")
        os.symlink(self.app.path("K11.bin"), b)

        def check(r):
            self.assertIn(r.returncode, (0, 1), r.stderr)
            self.assertEqual(self.snapshot(), before)

        self.race(["transsys", "backup"], a, b, check)

    def test_transkill_destination_swapped_with_a_link_to_a_key_file(self):
        originals = self.snapshot()
        backup = os.path.join(self.work, "backup")
        os.mkdir(backup)
        a, b = os.path.join(backup, "k2.dat"), os.path.join(backup, "k2.alt")

        def check(r):
            self.assertIn(r.returncode, (0, 1), r.stderr)
            left = self.snapshot()
            if r.returncode == 0:
                self.assertEqual(left, {})
            else:
                self.assertEqual(left, originals)
            # Every component still exists somewhere, as it was.
            found = self.regular_contents(self.app.dir, backup)
            for name, data in originals.items():
                self.assertIn(data, found, name)
            if r.returncode == 0:  # put the system back for the next try
                for name in originals:
                    with open(self.app.path(name), "wb") as f:
                        f.write(originals[name])

        for attempt in range(self.TRIES):
            with self.subTest(attempt=attempt):
                for name in os.listdir(backup):
                    os.unlink(os.path.join(backup, name))
                with open(a, "wb") as f:
                    f.write(b"an old copy")
                os.symlink(self.app.path("k3.bin"), b)
                p = self.swapping(a, b)
                time.sleep(random.random() * 0.01)
                try:
                    r = self.ombrix("transkill", "backup")
                finally:
                    self.stop(p)
                check(r)


if __name__ == "__main__":
    unittest.main()
