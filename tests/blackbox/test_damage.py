"""Damaged key systems: every damaged or unreadable key entry is refused by enc and dec
before anything is written; counts in sys.dat beyond the files that are really there;
key files that are no regular files; and the lock that keeps two processes from
changing one key system at the same time."""
import fcntl
import os
import subprocess
import threading
import unittest

import harness
from harness import AppTestCase, PROMPT, transcript
from keyfiles import set_names
from test_crypt import LOADING, SHIM, clock, enc_out, dec_out, write_system

KILLED = (b"Killing Component 1...\nKilling Component 2...\nKilling Component 3...\n"
          b"=== System Deleted ===\ncreatesys or ressys required for future cryptions.\n \n")
IN_USE = b"The key system is in use by another process.  Try again when it has finished.\n"
NO_ENTRY = b"Value of Key component 1 is greater than what was created error.\nEnter sysdata\n"


def damaged(name, line):
    return LOADING + b"Key file %s line %d is damaged error.\n" % (name.encode(), line)


def unreadable(name, line):
    return LOADING + b"Key file %s line %d cannot be read error.\n" % (name.encode(), line)


def incomplete(path):
    return b"The key system is incomplete: %s is missing.  Nothing was copied.\n" % path.encode()


class DamagedEntries(AppTestCase):
    """One kind of damage at a time. The entries used are K11.bin, line 2 of k2.dat and
    line 3 of k3.bin; the first table loaded is line `first` of K11.bin."""

    def setUp(self):
        super().setUp()
        write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
        self.app.write("a.txt", b"the only copy of something important\n")
        self.app.write("a.enc", b"x" * 100)
        self.first = int(self.lines("k2.dat")[1][:7])

    def lines(self, name):
        return self.app.read(name).decode().split("\n")

    def put_lines(self, name, lines):
        self.app.write(name, "\n".join(lines).encode())

    def edit(self, name, number, change):
        lines = self.lines(name)
        lines[number - 1] = change(lines[number - 1])
        self.put_lines(name, lines)

    def assert_refused(self, message, env=None):
        """enc and dec both print `message` and write nothing."""
        before = self.app.read("a.enc")
        r = self.app.session(["enc a.txt out 1 2 3", "dec a.enc out 1 2 3", "enc a.txt a.enc 1 2 3"],
                             env=env or clock(), timeout=20)
        self.assertEqual(r.out, transcript(message, message, message, installed=True))
        self.assertFalse(os.path.exists(self.app.path("out")))
        self.assertEqual(self.app.read("a.enc"), before)
        self.assertEqual(sorted(os.listdir(self.app.dir)),
                         sorted(["ombrix", "a.txt", "a.enc", "K11.bin", "K12.bin", "k2.dat",
                                 "k3.bin", "sys.dat"]))

    def test_substitution_table_that_is_no_permutation(self):
        # Two fields changed: value 7 where 9 was, so 7 is there twice and 9 is gone.
        def swap_in(line):
            fields = [line[i:i + 3] for i in range(0, 768, 3)]
            fields[fields.index("009")] = "007"
            return "".join(fields)
        self.edit("K11.bin", self.first, swap_in)
        self.assert_refused(damaged("K11.bin", self.first))

    def test_table_fields_that_are_no_three_digit_numbers(self):
        for bad in ("256", " 12", "+12", "1e2", "-01", "ab0"):
            with self.subTest(field=bad):
                write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
                self.edit("K11.bin", self.first, lambda l: bad + l[3:])
                self.assert_refused(damaged("K11.bin", self.first))

    def test_unreadable_entry_file(self):
        env = dict(clock(), OMBRIX_TEST_UNREADABLE="K11.bin")
        self.assert_refused(unreadable("K11.bin", self.first), env)

    def test_entry_file_with_too_few_lines(self):
        # Line 20 is gone: the slot that needs it finds the end of the file.
        self.put_lines("K11.bin", self.lines("K11.bin")[:19])
        self.assert_refused(damaged("K11.bin", 20))

    def test_truncated_lines(self):
        cases = [("K11.bin", self.first, 767), ("k2.dat", 2, 139), ("k3.bin", 3, 269)]
        for name, line, keep in cases:
            with self.subTest(name=name):
                write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
                self.edit(name, line, lambda l: l[:keep])
                self.assert_refused(damaged(name, line))

    def test_slot_map_with_a_repeated_number(self):
        self.edit("k2.dat", 2, lambda l: l[7:14] + l[7:])
        self.assert_refused(damaged("k2.dat", 2))

    def test_slot_map_numbers_out_of_range(self):
        for bad in ("0000000", "0000021", "9999999"):
            with self.subTest(field=bad):
                write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
                self.edit("k2.dat", 2, lambda l: l[:7] + bad + l[14:])
                self.assert_refused(damaged("k2.dat", 2))

    def test_k3_fields_out_of_range(self):
        # Direction, phase-0 period, phase-1 period, shift, seed: each just past its range.
        cases = [(0, "002"), (20, "000"), (40, "012"), (60, "012"), (79, "000"), (80, "101")]
        for field, bad in cases:
            with self.subTest(field=field + 1, value=bad):
                write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
                self.edit("k3.bin", 3, lambda l: l[:3 * field] + bad + l[3 * field + 3:])
                self.assert_refused(damaged("k3.bin", 3))

    def test_seed_9e9_is_refused_not_multiplied(self):
        self.edit("k3.bin", 3, lambda l: l[:240] + "9e9" + l[243:])
        self.assert_refused(damaged("k3.bin", 3))

    def test_fifo_and_folder_as_key_files(self):
        # A FIFO is never opened: start-up, sysdat, enc and dec go on without waiting.
        os.remove(self.app.path("k2.dat"))
        os.mkfifo(self.app.path("k2.dat"))
        os.remove(self.app.path("k3.bin"))
        os.symlink("/dev/zero", self.app.path("k3.bin"))   # a device: one endless line
        r = self.app.session(["sysdat", "enc a.txt out 1 2 3", "dec a.enc out 1 2 3"], timeout=20)
        self.assertTrue(r.out.startswith(harness.BANNER + harness.READY))
        self.assertIn(b"k2.dat is missing or unreadable: counted as empty.\n", r.out)
        self.assertIn(b"k3.bin is missing or unreadable: counted as empty.\n", r.out)
        self.assertIn(b"Key component 2 has 0 entries", r.out)
        # The counts came from a FIFO: component 2 has no entries.
        self.assertEqual(r.out.count(b"Key component 2 contains 0 elements\n"), 2)
        self.assertFalse(os.path.exists(self.app.path("out")))
        # With the FIFO there from the start the count is 0; put a FIFO in place after
        # start-up and the entry itself is refused.
        os.remove(self.app.path("k2.dat"))
        os.remove(self.app.path("k3.bin"))
        write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
        fifo = "mkfifo %s.new && mv %s.new %s" % ((self.app.path("k3.bin"),) * 3)
        r = self.app.session([fifo, "enc a.txt out 1 2 3"], env=clock(), timeout=20)
        self.assertTrue(r.out.endswith(PROMPT + unreadable("k3.bin", 3) + PROMPT + harness.TERMINATED))
        os.remove(self.app.path("k3.bin"))
        os.mkdir(self.app.path("k3.bin"))
        r = self.app.session(["enc a.txt out 1 2 3"], env=clock(), timeout=20)
        self.assertIn(b"Key component 3 contains 0 elements\n", r.out)
        self.assertFalse(os.path.exists(self.app.path("out")))

    def test_fifo_entry_file_and_sys_dat(self):
        os.remove(self.app.path("K11.bin"))
        os.mkfifo(self.app.path("K11.bin"))
        r = self.app.session(["enc a.txt out 1 2 3", "transsys " + self.app.root], timeout=20)
        self.assertEqual(r.out, transcript(
            NO_ENTRY, b"The key system is damaged: K11.bin is not a regular file.  Nothing was copied.\n",
            installed=True))
        os.remove(self.app.path("sys.dat"))
        os.mkfifo(self.app.path("sys.dat"))
        r = self.app.session(["sysdat", "killsys"], timeout=20)
        self.assertTrue(r.out.startswith(harness.BANNER + harness.READY))
        self.assertIn(b"The key system is damaged: sys.dat holds no entry count.\n", r.out)
        self.assertFalse(os.path.exists(self.app.path("sys.dat")))

    def test_fifo_where_a_copy_would_go(self):
        backup = os.path.join(self.app.root, "backup")
        os.makedirs(backup)
        os.mkfifo(os.path.join(backup, "k2.dat"))
        r = self.app.session(["transsys " + backup, "transkill " + backup], timeout=20)
        refused = (b"The destination %s/k2.dat is not a regular file and cannot be replaced.  "
                   b"Nothing was copied.\n" % backup.encode())
        self.assertEqual(r.out, transcript(refused, refused, installed=True))
        self.assertEqual(os.listdir(backup), ["k2.dat"])
        self.assertTrue(os.path.exists(self.app.path("K11.bin")))

    def test_unused_fields_and_text_after_the_fields_do_not_matter(self):
        self.edit("K11.bin", self.first, lambda l: l + "  edited by hand")
        self.edit("k2.dat", 2, lambda l: l[:140] + "?" * 140)
        self.edit("k3.bin", 3, lambda l: l[:270] + "zzz and more")
        r = self.app.session(["enc a.txt out 1 2 3", "dec out back 1 2 3"], env=clock())
        self.assertEqual(r.out, transcript(enc_out("a.txt", True), dec_out("out", True), installed=True))
        self.assertEqual(self.app.read("back"), self.app.read("a.txt"))


class HugeCounts(AppTestCase):
    """sys.dat names far more entries than the folder holds: nothing walks up to the count,
    and nothing is deleted that was not copied."""

    def setUp(self):
        super().setUp()
        r = self.app.session(["createsys 5 5 5 n"], env=clock())
        self.assertIn(b"System Created.", r.out)
        self.names = set_names(5)
        self.keys = {n: self.app.read(n) for n in self.names}
        self.backup = os.path.join(self.app.root, "backup")
        os.makedirs(self.backup)

    def assert_keys_intact(self, sysdat):
        for n, data in self.keys.items():
            self.assertEqual(self.app.read(n), sysdat if n == "sys.dat" else data, n)

    def test_copies_refuse_before_copying_or_deleting(self):
        no_count = b"The key system is damaged: sys.dat holds no entry count.  Nothing was copied.\n"
        for count in (b"2147483646", b"2147483647", b"3000000000", b"1e12", b"6"):
            with self.subTest(count=count):
                self.app.write("sys.dat", count + b"\n")
                r = self.app.session(["transkill " + self.backup, "transsys " + self.backup], timeout=20)
                # 1 to 10 digits, at most 2,147,483,647: a count; anything else, none
                refusal = no_count if count in (b"1e12", b"3000000000") else incomplete("K16.bin")
                self.assertEqual(r.out, transcript(refusal, refusal, installed=True))
                self.assertEqual(os.listdir(self.backup), [])
                self.assert_keys_intact(count + b"\n")

    def test_ressys_refuses_an_incomplete_source(self):
        for n, data in self.keys.items():
            with open(os.path.join(self.backup, n), "wb") as f:
                f.write(b"2147483647\n" if n == "sys.dat" else data)
        r = self.app.session(["killsys", "ressys " + self.backup], timeout=20)
        self.assertEqual(r.out, transcript(KILLED, incomplete(os.path.join(self.backup, "K16.bin")),
                                           installed=True))
        self.assertEqual(os.listdir(self.app.dir), ["ombrix"])

    def test_killsys_removes_exactly_the_files_there(self):
        self.app.write("sys.dat", b"2147483646\n")
        keep = ["K10.bin", "K1007.bin", "k11.bin", "K11.bin.bak", "K12.binx", "notes.txt"]
        for n in keep + ["K17.bin", "K1100.bin", "K12147483646.bin"]:
            self.app.write(n, b"x")
        log = os.path.join(self.app.root, "deleted")
        r = self.app.session(["killsys"], env={"LD_PRELOAD": SHIM, "OMBRIX_TEST_DELETE_LOG": log},
                             timeout=20)
        self.assertEqual(r.out, transcript(KILLED, installed=True))
        with open(log) as f:
            deleted = [os.path.basename(p) for p in f.read().split("\n")[:-1]
                       if os.path.dirname(p) == self.app.dir]
        self.assertEqual(deleted, ["K1%d.bin" % i for i in (1, 2, 3, 4, 5, 7, 100, 2147483646)]
                         + ["k2.dat", "k3.bin", "sys.dat"])
        self.assertEqual(sorted(os.listdir(self.app.dir)), sorted(keep + ["ombrix"]))

    def test_enc_onto_an_existing_file_and_sysdat(self):
        self.app.write("sys.dat", b"100000000\n")
        self.app.write("a.txt", b"plain")
        self.app.write("out", b"old")
        r = self.app.session(["enc a.txt out 1 1 1", "dec out back 1 1 1", "sysdat",
                              "enc a.txt K199999999.bin 1 1 1", "enc a.txt K1100000001.bin 1 1 1"],
                             env=clock(), timeout=20)
        refused = b"The destination is a file of the key system and cannot be replaced error.\n"
        self.assertIn(PROMPT + enc_out("a.txt") + PROMPT + dec_out("out") + PROMPT, r.out)
        self.assertIn(b"Key component 1 has 100000000 entries and 1536000000000 bytes", r.out)
        self.assertIn(PROMPT + refused + PROMPT + enc_out("a.txt") + PROMPT, r.out)
        self.assertEqual(self.app.read("back"), b"plain")
        self.assertFalse(os.path.exists(self.app.path("K199999999.bin")))


class Locking(AppTestCase):
    """The application folder's key system is locked: exclusively by createsys, ressys,
    killsys and transkill, shared by enc, dec, transsys and sysdat. Here the test itself is
    the other process; the last case runs two programs at once."""

    def setUp(self):
        super().setUp()
        write_system(self.app.dir, n1=2, n2=3, k3_levels="nlmhn")
        self.app.write("a.txt", b"text")
        self.backup = os.path.join(self.app.root, "backup")
        os.makedirs(self.backup)
        write_system(self.backup, n1=1, n2=1, k3_levels="n")

    def holding(self, how):
        """Takes the lock in this process; returns the descriptor that holds it."""
        fd = os.open(self.app.dir, os.O_RDONLY)
        fcntl.flock(fd, how | fcntl.LOCK_NB)
        return fd

    def test_exclusive_holder_refuses_every_command(self):
        self.addCleanup(os.close, self.holding(fcntl.LOCK_EX))
        before = sorted(os.listdir(self.app.dir))
        lines = ["enc a.txt b 1 1 1", "dec a.txt b 1 1 1", "sysdat", "transsys " + self.root_dir(),
                 "createsys 1 1 1 n", "killsys", "ressys " + self.backup, "transkill " + self.root_dir()]
        r = self.app.session(lines, timeout=20)
        self.assertEqual(r.out, transcript(*[IN_USE] * len(lines), installed=True))
        self.assertEqual(sorted(os.listdir(self.app.dir)), before)

    def root_dir(self):
        path = os.path.join(self.app.root, "copy")
        os.makedirs(path, exist_ok=True)
        return path

    def test_shared_holder_lets_readers_in(self):
        fd = self.holding(fcntl.LOCK_SH)
        r = self.app.session(["enc a.txt b 1 1 1", "killsys", "createsys 1 1 1 n",
                              "transkill " + self.root_dir(), "transsys " + self.root_dir()],
                             env=clock(), timeout=20)
        self.assertEqual(r.out, transcript(enc_out("a.txt"), IN_USE, IN_USE, IN_USE,
                                           b"Copying system files...\n=== Copy completed ===\n \n",
                                           installed=True))
        self.assertTrue(os.path.exists(self.app.path("sys.dat")))
        # Once the other process lets go, killsys works, even right after an enc of its
        # own: each command releases its lock when it ends.
        os.close(fd)
        r = self.app.session(["enc a.txt c 1 1 1", "killsys"], env=clock(), timeout=20)
        self.assertEqual(r.out, transcript(enc_out("a.txt"), KILLED, installed=True))

    def test_two_programs_create_one_consistent_system(self):
        for n in os.listdir(self.app.dir):
            if n.startswith(("K1", "k2", "k3", "sys")):
                os.remove(self.app.path(n))
        results = {}

        def run(tag, line):
            results[tag] = self.app.session([line], timeout=120)

        threads = [threading.Thread(target=run, args=("a", "createsys 40 4 4 n")),
                   threading.Thread(target=run, args=("b", "createsys 30 7 7 l"))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        created = [k for k, r in results.items() if b"System Created." in r.out]
        self.assertEqual(len(created), 1, [r.out[-300:] for r in results.values()])
        other = results["b" if created == ["a"] else "a"].out
        self.assertTrue(IN_USE in other or b"A System is currently in place" in other, other)
        n1, n2 = (40, 4) if created == ["a"] else (30, 7)
        self.assertEqual(self.app.read("sys.dat"), b"%d\n" % n1)
        self.assertEqual(len(self.app.read("k2.dat").split(b"\n")) - 1, n2)
        self.assertEqual(len(self.app.read("k3.bin").split(b"\n")) - 1, n2)
        entries = sorted(n for n in os.listdir(self.app.dir) if n.startswith("K1"))
        self.assertEqual(entries, sorted("K1%d.bin" % i for i in range(1, n1 + 1)))


if __name__ == "__main__":
    unittest.main()
