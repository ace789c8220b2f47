"""The key system: createsys, sysdat, killsys, transsys, ressys and transkill."""
import os
import stat
import unittest

import harness
from harness import AppTestCase, transcript
from keyfiles import (SEEDS, SLOTS, TABLE_FIELDS, TABLE_LINES, k2_line, k3_line, table_line,
                      write_key_system)
from keygen_model import RandomStream, generate

SHIM = os.path.join(os.path.abspath(harness.BUILD), "libombrix_clock_shim.so")
RANDOM_SHIM = os.path.join(os.path.abspath(harness.BUILD), "libombrix_random_shim.so")
NO_RANDOM = b"The system's random source gives no bytes.  The key system was not created.\n"

CREATED = (b"Generating Key Component 1\nThis might take awhile...\n \n"
           b"Generating Key Component 2\nGenerating Key Component 3\nSystem Created.\n \n")
NOT_LOADED = b"A System is not loaded.  Please issue ressys or createsys.\n"


def clock(now, hms):
    return {"LD_PRELOAD": SHIM, "OMBRIX_TEST_TIME": str(now), "OMBRIX_TEST_HMS": hms}


def random_source(seed=None, fail=None):
    """The deterministic random source (seeded stream), or one that fails every request."""
    env = {"LD_PRELOAD": RANDOM_SHIM}
    if seed is not None:
        env["OMBRIX_TEST_RANDOM_SEED"] = str(seed)
    if fail:
        env["OMBRIX_TEST_RANDOM_FAIL"] = fail
    return env


def key_set(app):
    return {name: app.read(name) for name in sorted(os.listdir(app.dir)) if name != "ombrix"}


def write_system(app, n1, k2_lines, k3_lines, folder=None):
    """A key system written by the test: placeholder contents of the documented shape."""
    line = table_line(range(TABLE_FIELDS)) + "\n"
    write_key_system(folder or app.dir, [[line] * TABLE_LINES] * n1, k2_lines, k3_lines)


K2_LINE = k2_line(range(1, SLOTS + 1), [0] * SLOTS) + "\n"
K3_LINE = k3_line([1] * SLOTS + [2] * 3 * SLOTS + [0] * SEEDS + [50]) + "\n"


class CreateSys(AppTestCase):
    def create(self, line, now=1234567890, hms="1:2:3"):
        return self.app.session([line], env=clock(now, hms))

    def test_files_match_the_generator_model_fed_the_same_draws(self):
        # Each createsys takes a fresh 4,096-byte request: the second one's draws start
        # where the first one's last request ended.
        cases = ((0, ["createsys 2 3 4 l"], [(2, 3, 4, "l")]),
                 (2**63 + 5, ["createsys 1 1 2 H"], [(1, 1, 2, "h")]),
                 (77, ["createsys 1 2 3 m", "killsys", "createsys 2 1 1 n"],
                  [(1, 2, 3, "m"), (2, 1, 1, "n")]))
        for seed, lines, made in cases:
            with self.subTest(seed=seed, lines=lines):
                app = harness.AppFolder()
                try:
                    r = app.session(lines, env=random_source(seed))
                    self.assertEqual(r.status, 0)
                    self.assertEqual(r.out.count(b"System Created."), len(made))
                    draws = RandomStream(seed)
                    for args in made:
                        files = generate(*args, draws)
                        draws.end_command()
                    self.assertEqual(key_set(app), files)
                finally:
                    app.cleanup()

    def test_two_systems_of_the_same_second_differ(self):
        apps = [harness.AppFolder(), harness.AppFolder()]
        try:
            for app in apps:
                r = app.session(["createsys 1 2 2 h"], env=clock(1234567890, "1:2:3"))
                self.assertEqual(r.out, transcript(CREATED))
            first, second = (key_set(app) for app in apps)
            self.assertEqual(sorted(first), sorted(second))
            for name in first:
                if name != "sys.dat":
                    self.assertNotEqual(first[name], second[name], name)
        finally:
            for app in apps:
                app.cleanup()

    def test_without_the_random_source(self):
        # A source that fails: one line, nothing created. Without the call (ENOSYS) the
        # system's random device stands in.
        r = self.app.session(["createsys 2 2 2 l", "sysdat"], env=random_source(fail="EIO"))
        self.assertEqual(r.out, transcript(NO_RANDOM, NOT_LOADED))
        self.assertEqual(key_set(self.app), {})
        r = self.app.session(["createsys 1 2 2 l"], env=random_source(fail="ENOSYS"))
        self.assertEqual(r.out, transcript(CREATED))
        self.assertEqual(sorted(key_set(self.app)), ["K11.bin", "k2.dat", "k3.bin", "sys.dat"])

    def test_formats_of_every_file(self):
        r = self.create("createsys 3 5 7 H")
        self.assertEqual(r.out, transcript(CREATED))
        for n in (1, 2, 3):
            lines = self.app.read("K1%d.bin" % n).split(b"\n")
            self.assertEqual(lines[-1], b"")
            self.assertEqual(len(lines), 21)
            for line in lines[:-1]:
                self.assertEqual(len(line), 768)
                values = sorted(int(line[i:i + 3]) for i in range(0, 768, 3))
                self.assertEqual(values, list(range(256)))
        k2 = self.app.read("k2.dat").split(b"\n")[:-1]
        self.assertEqual(len(k2), 5)
        for line in k2:
            self.assertEqual(len(line), 280)
            fields = [int(line[i:i + 7]) for i in range(0, 280, 7)]
            self.assertEqual(sorted(fields[:20]), list(range(1, 21)))
            self.assertTrue(all(0 <= q <= 100 for q in fields[20:]))
        k3 = self.app.read("k3.bin").split(b"\n")[:-1]
        self.assertEqual(len(k3), 7)
        previous = [0] * 20
        for line in k3:
            self.assertEqual(len(line), 273)
            f = [int(line[i:i + 3]) for i in range(0, 273, 3)]
            self.assertTrue(all(v in (0, 1) for v in f[:20]))
            self.assertTrue(all(new >= old for new, old in zip(f[:20], previous)), "flags stay set")
            previous = f[:20]
            self.assertTrue(all(1 <= v <= 11 for v in f[20:80]))
            self.assertTrue(all(1 <= v <= 100 for v in f[80:90]))
            self.assertTrue(1 <= f[90] <= 101)
        self.assertEqual(self.app.read("sys.dat"), b"3\n")

    def test_level_n_writes_zero_seeds(self):
        self.create("createsys 1 1 3 n")
        for line in self.app.read("k3.bin").split(b"\n")[:-1]:
            self.assertEqual(line[240:270], b"000" * 10)

    def test_key_files_are_private_to_their_owner(self):
        self.create("createsys 2 2 2 m")
        for name in ("K11.bin", "K12.bin", "k2.dat", "k3.bin", "sys.dat"):
            mode = stat.S_IMODE(os.stat(self.app.path(name)).st_mode)
            self.assertEqual(mode, 0o600, name)

    def test_refusals_write_nothing(self):
        cases = [
            ("createsys", b"Parameters missing error.  Enter help c\n \n"),
            ("CREATESYS", b"Parameters missing error.  Enter help c\n \n"),
            ("createsys 5 5 5", b"Missing Parameters error.  Enter Help C\n"),
            ("createsys 5 5 5 l ", b"Missing Parameters error.  Enter Help C\n"),
            ("createsys five 5 5 l", b"Numeric Parameter required for component 1 error.\n"),
            ("createsys 5 five 5 l", b"Numeric Parameter required for component 2 error.\n"),
            ("createsys 5 5 0 l", b"Numeric Parameter required for component 3 error.\n"),
            ("createsys -5 3 3 n", b"Numeric Parameter required for component 1 error.\n"),
            ("createsys 3 2147483648 3 n", b"Numeric Parameter required for component 2 error.\n"),
            ("createsys 3 3 0.5 n", b"Numeric Parameter required for component 3 error.\n"),
            ("createsys 5 5 5 x", b"Missing or invalid expansion param error.\n"),
        ]
        r = self.app.session([c for c, _ in cases])
        self.assertEqual(r.out, transcript(*[o for _, o in cases]))
        self.assertEqual(sorted(os.listdir(self.app.dir)), ["ombrix"])

    def test_a_present_system_is_never_overwritten(self):
        write_system(self.app, 1, [K2_LINE], [K3_LINE])
        before = self.app.read("K11.bin")
        r = self.app.session(["createsys 2 2 2 l"])
        self.assertEqual(r.out, transcript(
            b"A System is currently in place.  Please issue transsys command\n"
            b"then killsys command then you can create a new system.\n", installed=True))
        self.assertEqual(self.app.read("K11.bin"), before)
        self.assertFalse(os.path.exists(self.app.path("K12.bin")))


class SysDat(AppTestCase):
    def test_report_of_sizes(self):
        write_system(self.app, 100, ["0123456789\r\n", "0123456789\n", "0123456789\r"], [])
        r = self.app.session(["sysdat"])
        self.assertEqual(r.out, transcript(
            b"Examining System...\n"
            b"Key component 1 has 100 entries and 1536000 bytes (1500K)\n"
            b"Key component 2 has 3 entries and 30 bytes (0K)\n"
            b"Key component 3 has 0 entries and 0 bytes (0K)\n"
            b"Total System = 1536030 bytes (1500K)\n \n", installed=True))

    def test_k_figures_round_half_up(self):
        write_system(self.app, 1, ["x" * 1536 + "\n"], ["x" * 1535 + "\n"])
        r = self.app.session(["sysdata"])
        self.assertIn(b"Key component 2 has 1 entries and 1536 bytes (2K)\n", r.out)
        self.assertIn(b"Key component 3 has 1 entries and 1535 bytes (1K)\n", r.out)

    def test_large_counts_are_computed_in_64_bits(self):
        self.app.write("sys.dat", b"200000\n")
        self.app.write("k2.dat", b"")
        self.app.write("k3.bin", b"")
        r = self.app.session(["sysdat"])
        self.assertIn(b"Key component 1 has 200000 entries and 3072000000 bytes (3000000K)\n", r.out)
        self.app.write("sys.dat", b"2147483647\n")  # the largest count there is
        r = self.app.session(["sysdat"])
        self.assertIn(b"Key component 1 has 2147483647 entries and 32985348817920 bytes"
                      b" (32212254705K)\n", r.out)

    def test_missing_component_file_is_named_and_counted_empty(self):
        write_system(self.app, 1, [K2_LINE], [K3_LINE])
        os.remove(self.app.path("k3.bin"))
        r = self.app.session(["sysdat"])
        self.assertEqual(r.status, 0)
        self.assertIn(b"k3.bin is missing", r.out)
        self.assertIn(b"Key component 3 has 0 entries and 0 bytes (0K)\n", r.out)

    def test_no_system(self):
        r = self.app.session(["sysdat"])
        self.assertEqual(r.out, transcript(NOT_LOADED))


class KillSys(AppTestCase):
    def test_deletes_the_whole_set(self):
        write_system(self.app, 12, [K2_LINE], [K3_LINE])
        self.app.write("notes.txt", b"keep")
        r = self.app.session(["killsys now"])
        self.assertEqual(r.out, transcript(
            b"Killing Component 1...\nKilling Component 2...\nKilling Component 3...\n"
            b"=== System Deleted ===\ncreatesys or ressys required for future cryptions.\n \n",
            installed=True))
        self.assertEqual(sorted(os.listdir(self.app.dir)), ["notes.txt", "ombrix"])

    def test_deletion_order(self):
        write_system(self.app, 12, [K2_LINE], [K3_LINE])
        log = os.path.join(self.app.root, "deleted")
        self.app.session(["killsys"], env={"LD_PRELOAD": SHIM, "OMBRIX_TEST_DELETE_LOG": log})
        with open(log) as f:
            deleted = [os.path.basename(p) for p in f.read().split("\n")[:-1]
                       if os.path.dirname(p) == self.app.dir]
        self.assertEqual(deleted, ["K1%d.bin" % i for i in range(1, 13)] + ["k2.dat", "k3.bin", "sys.dat"])

    def test_without_a_system(self):
        self.app.write("k2.dat", b"x\n")
        r = self.app.session(["killsys"])
        self.assertEqual(r.out, transcript(NOT_LOADED))
        self.assertTrue(os.path.exists(self.app.path("k2.dat")))


class TransferAndRestore(AppTestCase):
    def setUp(self):
        super().setUp()
        self.backup = os.path.join(self.app.root, "backup")
        os.makedirs(self.backup)

    def set_names(self, n1):
        return ["K1%d.bin" % i for i in range(1, n1 + 1)] + ["k2.dat", "k3.bin", "sys.dat"]

    def test_transsys_with_and_without_trailing_slash(self):
        write_system(self.app, 3, [K2_LINE] * 2, [K3_LINE] * 2)
        for target in (self.backup, self.backup + "/"):
            with self.subTest(target=target):
                for name in os.listdir(self.backup):
                    os.remove(os.path.join(self.backup, name))
                r = self.app.session(["transsys " + target])
                self.assertEqual(r.out, transcript(
                    b"Copying system files...\n=== Copy completed ===\n \n", installed=True))
                for name in self.set_names(3):
                    with open(os.path.join(self.backup, name), "rb") as f:
                        self.assertEqual(f.read(), self.app.read(name), name)

    def test_transsys_refusals(self):
        r = self.app.session(["transsys", "transsys /tmp"])
        self.assertEqual(r.out, transcript(b"Parameters missing error.  Enter help t\n \n", NOT_LOADED))

    def test_failed_copy_is_reported_not_completed(self):
        write_system(self.app, 2, [K2_LINE], [K3_LINE])
        os.remove(self.app.path("K12.bin"))
        r = self.app.session(["transsys " + self.backup])
        self.assertNotIn(b"=== Copy completed ===", r.out)
        self.assertIn(b"K12.bin", r.out)
        self.assertEqual(os.listdir(self.backup), [])
        write_system(self.app, 2, [K2_LINE], [K3_LINE])
        missing = os.path.join(self.app.root, "nowhere")
        r = self.app.session(["transsys " + missing])
        self.assertNotIn(b"=== Copy completed ===", r.out)
        self.assertIn(b"Could not copy", r.out)

    def test_ressys_restores_and_reloads_counts(self):
        write_system(self.app, 2, [K2_LINE] * 3, [K3_LINE] * 4, folder=self.backup)
        r = self.app.session(["ressys " + self.backup, "sysdat"])
        self.assertTrue(r.out.startswith(harness.BANNER + harness.NOT_INSTALLED + harness.PROMPT +
                                         b"Restoring system files...\n=== Restore completed ===\n \n"))
        for name in self.set_names(2):
            with open(os.path.join(self.backup, name), "rb") as f:
                self.assertEqual(self.app.read(name), f.read(), name)

    def test_enc_accepts_the_restored_sizes_right_after_ressys(self):
        write_system(self.app, 2, [K2_LINE] * 3, [K3_LINE] * 4, folder=self.backup)
        self.app.write("plain.txt", b"restored sizes")
        r = self.app.session(["ressys " + self.backup, "enc plain.txt plain.enc 2 3 4"])
        self.assertIn(b"==== Encryption completed ====\n", r.out)
        self.assertNotIn(b"contains", r.out)
        self.assertEqual(len(self.app.read("plain.enc")), len(b"restored sizes"))

    def test_ressys_refusals(self):
        write_system(self.app, 1, [K2_LINE], [K3_LINE], folder=self.backup)
        r = self.app.session(["ressys", "RESSYS", "ressys " + self.app.root])
        self.assertEqual(r.out, transcript(
            b"Parameters missing error.  Enter help r\n \n",
            b"Parameters missing error.  Enter help r\n \n",
            b"A System is not currently in place in the folder defined error.\n"))
        write_system(self.app, 1, [K2_LINE], [K3_LINE])
        os.remove(self.app.path("K11.bin"))
        r = self.app.session(["ressys " + self.backup])
        self.assertEqual(r.out, transcript(
            b"A System is currently in place.  Issue transsys and/or killsys.\n", installed=True))
        self.assertFalse(os.path.exists(self.app.path("K11.bin")))

    def test_ressys_of_an_incomplete_set_installs_nothing(self):
        write_system(self.app, 2, [K2_LINE], [K3_LINE], folder=self.backup)
        os.remove(os.path.join(self.backup, "k3.bin"))
        r = self.app.session(["ressys " + self.backup])
        self.assertNotIn(b"=== Restore completed ===", r.out)
        self.assertIn(b"k3.bin", r.out)
        self.assertFalse(os.path.exists(self.app.path("sys.dat")))

    def test_transkill_copies_verifies_then_deletes(self):
        write_system(self.app, 2, [K2_LINE], [K3_LINE])
        originals = {n: self.app.read(n) for n in self.set_names(2)}
        r = self.app.session(["transkill", "TransKill " + self.backup])
        self.assertEqual(r.out, transcript(
            b"Parameters missing error.  Enter help t\n \n",
            b"Copying system files...\n=== Copy completed ===\n \n"
            b"Killing Component 1...\nKilling Component 2...\nKilling Component 3...\n"
            b"=== System Deleted ===\ncreatesys or ressys required for future cryptions.\n \n",
            installed=True))
        self.assertEqual(os.listdir(self.app.dir), ["ombrix"])
        for name, data in originals.items():
            with open(os.path.join(self.backup, name), "rb") as f:
                self.assertEqual(f.read(), data)

    def test_transkill_deletes_nothing_when_the_copy_fails(self):
        write_system(self.app, 2, [K2_LINE], [K3_LINE])
        r = self.app.session(["transkill " + os.path.join(self.app.root, "nowhere")])
        self.assertIn(b"The system was not deleted.", r.out)
        self.assertEqual(sorted(os.listdir(self.app.dir)), sorted(["ombrix"] + self.set_names(2)))


if __name__ == "__main__":
    unittest.main()
