"""The key itself kept safe: key files recognised by what they are rather than by name,
deletions that never follow a link, transkill in scripts, a "sys.dat" that must hold a
count, one writer at a time for an in-place update, nothing partial left by a killed
process, names byte for byte, and no command run without the key system's lock."""
import fcntl
import os
import subprocess
import time
import unittest

import harness
from harness import AppTestCase, PROMPT, transcript
from test_crypt import KEY_FILE, clock, enc_out, write_system
from test_safety import FS_SHIM, Session, leftovers, named_parts, wait_until

NO_FLOCK = {"LD_PRELOAD": FS_SHIM, "OMBRIX_TEST_NO_FLOCK": "1"}

SET = ["K11.bin", "K12.bin", "k2.dat", "k3.bin", "sys.dat"]
LINKED = b"The key system is damaged: K11.bin is a symbolic link.  Nothing was copied.\n"
DAMAGED = b"The key system is damaged: sys.dat holds no entry count.\n"
NO_COUNT = DAMAGED[:-1] + b"  Nothing was copied.\n"
BUSY = b"The destination is being written by another process.  Try again when it has finished.\n"
UNLOCKABLE = b"The key system cannot be locked, so the command was not run.\n"
KILLED = (b"Killing Component 1...\nKilling Component 2...\nKilling Component 3...\n"
          b"=== System Deleted ===\ncreatesys or ressys required for future cryptions.\n \n")


def read(path):
    with open(path, "rb") as f:
        return f.read()


class KeyCase(AppTestCase):
    def setUp(self):
        super().setUp()
        write_system(self.app.dir)
        self.backup = os.path.join(self.app.root, "backup")
        os.mkdir(self.backup)
        self.app.write("s", b"hello, key")

    def session(self, lines, env=None):
        return self.app.session(lines, env=dict(clock(), **(env or {})))

    def key_files(self, folder=None):
        names = os.listdir(folder or self.app.dir)
        return sorted(n for n in names if n in SET or (n.startswith("K1") and n.endswith(".bin")))

    def contents(self, folder=None):
        folder = folder or self.app.dir
        return {n: read(os.path.join(folder, n)) for n in self.key_files(folder)}


class Identity(KeyCase):
    def test_hard_link_to_an_entry_file_is_refused_as_a_key_file(self):
        before = self.contents()
        os.link(self.app.path("K12.bin"), os.path.join(self.backup, "K12.bin"))
        os.link(self.app.path("k3.bin"), os.path.join(self.backup, "other"))
        r = self.session(["enc s " + os.path.join(self.backup, "K12.bin") + " 1 1 1",
                          "dec s " + os.path.join(self.backup, "other") + " 1 1 1"])
        self.assertEqual(r.out, transcript(KEY_FILE, KEY_FILE, installed=True))
        self.assertEqual(self.contents(), before)

    def test_copy_onto_a_key_file_under_another_name_is_refused(self):
        # transsys: the backup's K11.bin is the application folder's K12.bin.
        before = self.contents()
        os.link(self.app.path("K12.bin"), os.path.join(self.backup, "K11.bin"))
        r = self.session(["transsys " + self.backup])
        self.assertEqual(r.out, transcript(
            b"The destination " + self.backup.encode() + b"/K11.bin is a key file of the system"
            b" being copied.  Nothing was copied.\n", installed=True))
        self.assertEqual(self.contents(), before)
        self.assertEqual(os.listdir(self.backup), ["K11.bin"])


class Links(KeyCase):
    def test_killsys_removes_links_and_never_their_targets(self):
        other = os.path.join(self.app.root, "other")
        os.mkdir(other)
        for name in ("K11.bin", "k2.dat"):
            os.rename(self.app.path(name), os.path.join(other, name))
            os.symlink(os.path.join(other, name), self.app.path(name))
        r = self.session(["killsys"])
        self.assertEqual(r.out, transcript(KILLED, installed=True))
        self.assertEqual(self.key_files(), [])
        self.assertEqual(sorted(os.listdir(other)), ["K11.bin", "k2.dat"])

    def test_a_linked_key_file_in_either_folder_stops_every_copy(self):
        def check(lines, expected):
            before, backup = self.contents(), self.contents(self.backup)
            r = self.session(lines)
            self.assertEqual(r.out, expected)
            self.assertEqual(self.contents(), before)
            self.assertEqual(self.contents(self.backup), backup)

        target = os.path.join(self.app.root, "elsewhere")
        with open(target, "wb") as f:
            f.write(b"untouched")
        # In the application folder: transsys and transkill copy and delete nothing.
        os.rename(self.app.path("K11.bin"), target + ".K11")
        os.symlink(target + ".K11", self.app.path("K11.bin"))
        for word in ("transsys", "transkill"):
            with self.subTest(word=word, side="application"):
                check([word + " " + self.backup], transcript(LINKED, installed=True))
        # In the backup folder as the destination of a copy.
        os.unlink(self.app.path("K11.bin"))
        os.rename(target + ".K11", self.app.path("K11.bin"))
        os.symlink(target, os.path.join(self.backup, "K11.bin"))
        with self.subTest(side="destination"):
            check(["transsys " + self.backup], transcript(
                LINKED.replace(b"K11.bin", self.backup.encode() + b"/K11.bin"), installed=True))
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"untouched")
        # In the source folder of a restore.
        os.unlink(os.path.join(self.backup, "K11.bin"))
        for name in SET:
            os.rename(self.app.path(name), os.path.join(self.backup, name))
        os.rename(os.path.join(self.backup, "K11.bin"), target + ".K11")
        os.symlink(target + ".K11", os.path.join(self.backup, "K11.bin"))
        with self.subTest(side="source"):
            r = self.session(["ressys " + self.backup])
            self.assertEqual(r.out, transcript(
                LINKED.replace(b"K11.bin", self.backup.encode() + b"/K11.bin")))
            self.assertEqual(self.key_files(), [])


class Counts(KeyCase):
    def test_sys_dat_without_a_count_is_refused_by_every_command(self):
        texts = (b"", b"0", b"-5", b"-0", b"1,000", b"+2", b"+3", b" 3", b"3.0", b"1e1",
                 b"9999999999", b"2147483648", b"12345678901")
        for text in texts:
            with self.subTest(text=text):
                self.app.write("sys.dat", text + b"\n")
                before = self.contents()
                r = self.session(["enc s out 1 1 1", "dec s out 1 1 1", "sysdat",
                                  "transsys " + self.backup, "transkill " + self.backup])
                self.assertEqual(r.out, transcript(DAMAGED, DAMAGED, DAMAGED, NO_COUNT, NO_COUNT,
                                                   installed=True))
                self.assertEqual(self.contents(), before)
                self.assertFalse(os.path.exists(self.app.path("out")))
                self.assertEqual(os.listdir(self.backup), [])
                for name in SET:
                    os.rename(self.app.path(name), os.path.join(self.backup, name))
                r = self.session(["ressys " + self.backup])
                self.assertEqual(r.out, transcript(
                    NO_COUNT.replace(b"sys.dat", self.backup.encode() + b"/sys.dat")))
                self.assertEqual(self.key_files(), [])
                for name in SET:
                    os.rename(os.path.join(self.backup, name), self.app.path(name))

    def test_killsys_deletes_every_entry_file_whatever_the_count(self):
        for text in (b"0", b"3"):
            with self.subTest(text=text):
                write_system(self.app.dir)
                for n in (3, 4, 5, 17):
                    self.app.write("K1%d.bin" % n, b"more entries")
                self.app.write("sys.dat", text + b"\n")
                r = self.session(["killsys"])
                self.assertEqual(r.out, transcript(KILLED, installed=True))
                self.assertEqual(self.key_files(), [])

    def test_transkill_refuses_entry_files_beyond_the_count(self):
        for n in (14, 3):
            self.app.write("K1%d.bin" % n, b"an entry the count leaves out")
        before = self.contents()
        r = self.session(["transkill " + self.backup])
        self.assertEqual(r.out, transcript(
            b"The key system is damaged: K13.bin lies beyond the entry count of sys.dat."
            b"  Nothing was copied.\n", installed=True))
        self.assertEqual(self.contents(), before)
        self.assertEqual(os.listdir(self.backup), [])


class Scripts(KeyCase):
    def test_transkill_in_a_script_runs_the_command(self):
        before = self.contents()
        self.app.write("script", ("transkill " + self.backup + "\nkillsys\n").encode())
        r = self.session(["x script"])
        self.assertNotIn(b"not found", r.out)
        self.assertIn(b"Warning Line 2 - killsys | no system present\n", r.out)
        self.assertIn(b"Verify OK\n", r.out)
        self.assertIn(b"==== Script completed ===\n", r.out)
        self.assertEqual(self.contents(self.backup), before)
        self.assertEqual(self.key_files(), [])

    def test_transkill_that_fails_stops_the_script(self):
        os.unlink(self.app.path("K12.bin"))
        self.app.write("script", ("transkill " + self.backup + "\nkillsys\n").encode())
        r = self.session(["x script"])
        self.assertIn(b"The key system is incomplete: K12.bin is missing.  Nothing was copied.\n", r.out)
        self.assertIn(b"Script stopped at line 1", r.out)
        self.assertIn("K11.bin", self.key_files())


class Writers(KeyCase):
    def test_second_writer_of_a_linked_file_is_refused(self):
        self.app.write("out", b"old content")
        os.link(self.app.path("out"), self.app.path("out2"))
        fd = os.open(self.app.path("out"), os.O_RDONLY)
        self.addCleanup(os.close, fd)
        fcntl.flock(fd, fcntl.LOCK_EX)  # another writer holds it
        r = self.session(["enc s out2 1 1 1"])
        self.assertEqual(r.out, transcript(b"Loading System data...\nEncrypting s...\n" + BUSY,
                                           installed=True))
        self.assertEqual(self.app.read("out"), b"old content")
        fcntl.flock(fd, fcntl.LOCK_UN)
        r = self.session(["enc s out2 1 1 1"])
        self.assertEqual(r.out, transcript(enc_out("s"), installed=True))
        self.assertEqual(len(self.app.read("out")), len(b"hello, key"))

    def test_byte_ff_in_a_name_reaches_the_system(self):
        self.app.write("keep", b"kept")
        r = self.session([b"enc s \xffkeep 1 1 1"])
        self.assertEqual(r.out, transcript(enc_out("s"), installed=True))
        self.assertEqual(self.app.read("keep"), b"kept")
        self.assertEqual(len(read(os.path.join(os.fsencode(self.app.dir), b"\xffkeep"))), 10)

    def test_a_folder_that_cannot_be_locked_is_refused(self):
        for name in SET:
            os.unlink(self.app.path(name))
        r = self.session(["createsys 2 2 2 n"], env=NO_FLOCK)
        self.assertEqual(r.out, transcript(UNLOCKABLE))
        self.assertEqual(self.key_files(), [])
        if os.geteuid() != 0:  # the super-user opens any folder
            os.chmod(self.app.dir, 0o333)
            self.addCleanup(os.chmod, self.app.dir, 0o755)
            r = self.session(["createsys 2 2 2 n"])
            self.assertEqual(r.out, transcript(UNLOCKABLE))


class Killed(KeyCase):
    """SIGKILL part way: no partial output and no plaintext is left on disk, with unnamed
    temporary files and without them (then the next write to the name clears them)."""

    def writing(self, p, fallback):
        """The output is being written: its part file (fallback), or a file of the
        application folder without a name that the process holds open."""
        if fallback:
            return bool(leftovers(self.app.dir))
        fds = "/proc/%d/fd" % p.pid
        try:
            links = [os.readlink(os.path.join(fds, fd)) for fd in os.listdir(fds)]
        except OSError:
            return False
        return any(link.startswith(self.app.dir + "/") and link.endswith(" (deleted)")
                   for link in links)

    def kill_while_writing(self, command, env, fallback, feed):
        """The command reads standard input, fed the 1 MiB blocks of `feed` (random ones
        when it is None) until its output is being written, and is killed there: it is at
        work however fast it runs."""
        p = subprocess.Popen([self.app.program] + command.split(), stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             cwd=self.app.dir, env=self.app.env(dict(clock(), **env)),
                             start_new_session=True)
        self.addCleanup(p.wait)
        self.addCleanup(p.kill)
        block = os.urandom(1 << 20)
        blocks = [feed[i:i + len(block)] for i in range(0, len(feed), len(block))] if feed else [block] * 256
        for block in blocks:
            p.stdin.write(block)
            p.stdin.flush()
            if self.writing(p, fallback):
                break
        self.assertTrue(wait_until(lambda: self.writing(p, fallback)))
        self.assertIsNone(p.poll())
        p.kill()
        p.wait()
        p.stdin.close()

    def test_killed_enc_and_dec_leave_nothing(self):
        # dec of a sealed file reads what its checks pass: a real sealed file, fed without
        # its end, so that the command waits for the rest.
        r = self.app.run(os.urandom(4 << 20), args=[self.app.program, "enc", "-", "-", "1", "1", "1"],
                         cwd=self.app.dir)
        self.assertEqual((r.status, r.err), (0, b""))
        sealed = r.out
        for fallback in (False, True):
            env = named_parts() if fallback else {}
            for command, out, feed in (("enc - out 1 1 1", "out", None),
                                       ("--plain dec - plain 1 1 1", "plain", None),
                                       ("dec - plain 1 1 1", "plain", sealed)):
                with self.subTest(fallback=fallback, command=command):
                    names = sorted(os.listdir(self.app.dir))
                    self.kill_while_writing(command, env, fallback, feed)
                    if fallback:
                        # The next write to the name removes what the killed one left.
                        r = self.session(["enc s " + out + " 1 1 1"], env=env)
                        self.assertEqual(r.out, transcript(enc_out("s"), installed=True))
                        os.unlink(self.app.path(out))
                    self.assertEqual(leftovers(self.app.dir), [])
                    self.assertEqual(sorted(os.listdir(self.app.dir)), names)

    def test_killed_createsys_leaves_no_key_file(self):
        for name in SET:
            os.unlink(self.app.path(name))
        staging = self.app.path(".ombrix-createsys")
        s = Session(self.app, clock())
        self.addCleanup(s.kill)
        self.assertTrue(s.read_until(PROMPT))
        s.send(b"createsys 1000 5 5 n\n")
        self.assertTrue(s.read_until(b"This might take awhile...\n"))
        self.assertTrue(wait_until(lambda: os.path.isdir(staging) and "K12.bin" in os.listdir(staging)))
        s.kill()
        self.assertEqual(self.key_files(), [])
        r = self.session(["createsys 2 2 2 n"])
        self.assertTrue(r.out.endswith(b"System Created.\n \n" + PROMPT + harness.TERMINATED))
        self.assertEqual(self.key_files(), SET)
        self.assertFalse(os.path.exists(staging))


if __name__ == "__main__":
    unittest.main()
