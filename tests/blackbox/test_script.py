"""Script files: verification of the whole script against the simulated key system,
execution with the echo of every line, script mode, and the refusals of 'x'."""
import glob
import os
import shutil
import unittest

from harness import AppTestCase, NOT_INSTALLED, PROMPT, READY, TERMINATED, transcript

NOT_LOCATED = b"The scriptfile defined cannot be located.  Please\nverify and reenter.\n"
TOO_LONG = b"The scriptfile has more than 5000 command lines and cannot be run.\n"
EXECUTING = b"Verify OK\nExecuting script file...\n"
COMPLETED = b"==== Script completed ===\n \n"
FAILED = b"VerifyScript failed\n"


def verifying(*messages, errors=0, warnings=0):
    return (b"Verifying...\n" + b"".join(m + b"\n" for m in messages)
            + b"%d errors %d warnings\n" % (errors, warnings))


def finished(installed=False):
    return COMPLETED + (READY if installed else NOT_INSTALLED) + b" \n"


class ScriptCase(AppTestCase):
    def run_script(self, text, name="job.txt"):
        """Runs 'x name' over a script of the given text; returns the output of that
        command alone (between its prompt and the next)."""
        self.app.write(name, text)
        r = self.app.session(["x " + name])
        self.assertEqual(r.status, 0)
        head = r.out.index(PROMPT) + len(PROMPT)
        self.assertTrue(r.out.endswith(PROMPT + TERMINATED), r.out)
        return r.out[head:-len(PROMPT + TERMINATED)]


class WithoutSystem(ScriptCase):
    def test_shell_only_script_is_verified_and_run(self):
        out = self.run_script(b"echo one\n\n  \necho two\n")
        self.assertEqual(out, verifying() + EXECUTING + b".echo one\none\n\n.  \n"
                         b".echo two\ntwo\n\n" + finished())

    def test_error_names_the_file_line(self):
        out = self.run_script(b"\nenc a b 1 2 3\n")
        self.assertEqual(out, verifying(b"Error Line 2 - enc a b 1 2 3 | System not present",
                                        errors=1) + FAILED)

    def test_killsys_warning_still_executes(self):
        out = self.run_script(b"killsys\necho done\n")
        self.assertEqual(out, verifying(b"Warning Line 1 - killsys | no system present",
                                        warnings=1)
                         + EXECUTING + b".killsys\n.echo done\ndone\n\n" + finished())

    def test_every_error_is_reported_and_nothing_runs(self):
        rows = [
            (b"echo shell lines are not checked", None),
            (b"transsys /tmp/x", b" | System not present"),
            (b"enc", b" | Parameters missing"),
            (b"DEC", b" | Parameters missing"),
            (b"encrypt a b 1 2 3", b" | System not present"),
            (b"createsys 0 10 10 n", b" | component 1 error"),
            (b"createsys 10 x 10 n", b" | component 2 error"),
            (b"createsys 10 10 0 n", b" | component 3 error"),
            (b"createsys 10 10 10 q", b" | expansion param error"),
            (b"createsys 10 10 10", b" | Missing Parameters "),
            (b"Createsys 10 10 10 H", None),             # passes: a system is now present
            (b"createsys 1 1 1 n", b" | System is present"),
            (b"ressys /tmp", b" | System is present"),
            (b"transsys ", b" | Path is missing"),
            (b"killsys", None),
            (b"ressys ", b" | Path is missing"),
            (b"ressys /no/such/folder", None),          # passes, with sizes 0
            (b"enc a b 1 1 1 1", b" | Missing Parameters "),
            (b"enc a b 1 1 1", b" | component 1 error"),
            (b"touch marker", None),
        ]
        text = b"\n".join(line for line, _ in rows) + b"\n"
        out = self.run_script(text)
        errors = [b"Error Line %d - %s%s" % (n, line, reason)
                  for n, (line, reason) in enumerate(rows, 1) if reason]
        self.assertEqual(out, verifying(*errors, errors=len(errors)) + FAILED)
        self.assertFalse(os.path.exists(self.app.path("marker")))

    def test_entry_numbers_are_bounded_by_a_negative_size(self):
        # 'createsys -1 1 1 n' leaves a system of size -1, which counts as absent; a passed
        # createsys row marks it present, and 1 is still above its size.
        self.app.write("sys.dat", b"-1\n")
        self.app.write("k2.dat", b"k2\n")
        self.app.write("k3.bin", b"k3\n")
        self.app.write("a.txt", b"text")
        out = self.run_script(b"createsys 1 1 1 n\nenc a.txt b 1 1 1\n")
        self.assertEqual(out, verifying(b"Error Line 2 - enc a.txt b 1 1 1 | component 1 error",
                                        errors=1) + FAILED)

    def test_prompt_commands_are_shell_lines_in_a_script(self):
        out = self.run_script(b"help\nsysdat\nquit\n")
        self.assertTrue(out.startswith(verifying() + EXECUTING + b".help\n"), out)
        self.assertIn(b"GNU bash", out)
        self.assertNotIn(b"=== Command List ===", out)
        self.assertIn(b".sysdat\n", out)
        self.assertIn(b"sysdat: command not found", out)
        self.assertIn(b".quit\n", out)
        self.assertTrue(out.endswith(finished()))

    def test_each_shell_line_runs_in_a_fresh_shell(self):
        out = self.run_script(b"cd /\npwd\nY=1\necho [$Y]\n")
        self.assertNotIn(b".pwd\n/\n", out)
        self.assertIn(b".echo [$Y]\n[]\n\n", out)

    def test_refusals_of_x(self):
        os.makedirs(self.app.path("folder"))
        r = self.app.session(["x", "X", "x nosuchfile", "x folder", "X nosuchfile", "x "])
        missing = b"Parameters missing error.  Enter help x\n \n"
        self.assertEqual(r.out, transcript(missing, missing, NOT_LOCATED, NOT_LOCATED,
                                           NOT_LOCATED, NOT_LOCATED))

    def test_script_named_by_absolute_path(self):
        path = os.path.join(self.app.root, "elsewhere.txt")
        with open(path, "wb") as f:
            f.write(b"echo far\n")
        r = self.app.session(["x " + path])
        self.assertIn(b".echo far\nfar\n\n", r.out)

    def test_line_limit(self):
        # 5,000 non-empty lines are accepted (empty ones do not count); one more is not.
        lines = [b"transsys /x"] * 5000
        self.app.write("limit.txt", b"\n\n".join(lines) + b"\n")
        self.app.write("over.txt", b"\n".join(lines + [b"echo one too many"]) + b"\n")
        r = self.app.session(["x limit.txt", "x over.txt"])
        self.assertIn(b"5000 errors 0 warnings\n" + FAILED + PROMPT + TOO_LONG + PROMPT
                      + TERMINATED, r.out)
        self.assertIn(b"Error Line 9999 - transsys /x | System not present\n", r.out)


class WithSystem(ScriptCase):
    """Cases that need an installed key system (10 entries per component)."""

    def setUp(self):
        super().setUp()
        r = self.app.session(["createsys 10 10 10 n"])
        self.assertTrue(os.path.exists(self.app.path("sys.dat")), r.out)
        self.app.write("a.txt", b"the quick brown fox\n" * 20)

    def test_createsys_refused_while_present_and_accepted_after_killsys(self):
        out = self.run_script(b"createsys 10 10 10 m\n", "one.txt")
        self.assertEqual(out, verifying(
            b"Error Line 1 - createsys 10 10 10 m | System is present", errors=1) + FAILED)
        out = self.run_script(b"killsys\ncreatesys 10 10 10 m\n", "two.txt")
        # Script mode: neither command prints its progress.
        self.assertEqual(out, verifying() + EXECUTING + b".killsys\n.createsys 10 10 10 m\n"
                         + finished(installed=True))

    def test_crypt_rows(self):
        self.app.write("empty.txt", b"")
        rows = [
            (b"enc a.txt A.TXT 1 1 1", b" | src/tar conflict"),
            (b"enc a.txt b 11 1 1", b" | component 1 error"),
            (b"enc a.txt b 1 11 1", b" | component 2 error"),
            (b"dec a.txt b 1 1 0", b" | component 3 error"),
            # Numbers below 1 are refused as enc and dec refuse them, and each component
            # is checked whole before the next (the command checks all three for numbers
            # first: 'enc a.txt b 11 0 1' is refused there for component 2).
            (b"enc a.txt b -1 1 1", b" | component 1 error"),
            (b"dec a.txt b 1 0.5 1", b" | component 2 error"),
            (b"enc a.txt b 11 0 1", b" | component 1 error"),
            (b"dec a.txt b 1 1", b" | Missing Parameters "),
            (b"enc nofile b 1 1 1", b" | srcfile name conflict"),
            (b"enc empty.txt b 1 1 1", b" | srcfile name conflict"),
            (b"enc  b 1 1 1", b" | srcfile name conflict"),
            (b"encrypt a.txt b 10 10 10", None),
            (b"transsys", b" | Path is missing"),
        ]
        out = self.run_script(b"\n".join(line for line, _ in rows) + b"\n")
        errors = [b"Error Line %d - %s%s" % (n, line, reason)
                  for n, (line, reason) in enumerate(rows, 1) if reason]
        self.assertEqual(out, verifying(*errors, errors=len(errors)) + FAILED)

    def test_rows_read_what_earlier_enc_and_dec_rows_write(self):
        out = self.run_script(b"enc a.txt k.enc 1 2 3\ndec k.enc k.out 1 2 3\ndec k.out k.twice 1 1 1\n")
        loading = b"Loading System data...\n"
        self.assertEqual(out, verifying() + EXECUTING + b".enc a.txt k.enc 1 2 3\n" + loading
                         + b".dec k.enc k.out 1 2 3\n" + loading + b".dec k.out k.twice 1 1 1\n"
                         + loading + finished(installed=True))
        self.assertEqual(self.app.read("k.out"), self.app.read("a.txt"))
        # Only from the following row on, by the same name (letter case kept), and only a
        # row that passed.
        for name in ("k.enc", "k.out", "k.twice"):
            os.remove(self.app.path(name))
        rows = [(b"dec k.enc early 1 1 1", b" | srcfile name conflict"),
                (b"enc a.txt k.enc 1 2 3", None),
                (b"dec K.ENC upper 1 2 3", b" | srcfile name conflict"),
                (b"enc a.txt refused 11 1 1", b" | component 1 error"),
                (b"dec refused never 1 1 1", b" | srcfile name conflict")]
        out = self.run_script(b"\n".join(line for line, _ in rows) + b"\n", "order.txt")
        errors = [b"Error Line %d - %s%s" % (n, line, reason)
                  for n, (line, reason) in enumerate(rows, 1) if reason]
        self.assertEqual(out, verifying(*errors, errors=len(errors)) + FAILED)

    def test_source_of_4_gib_is_not_empty(self):
        with open(self.app.path("big.bin"), "wb") as f:
            f.truncate(1 << 32)
        out = self.run_script(b"enc big.bin out 1 1 1\ntranssys\n")
        self.assertEqual(out, verifying(b"Error Line 2 - transsys | Path is missing", errors=1)
                         + FAILED)

    def move_system(self, folder):
        os.makedirs(folder)
        for name in glob.glob(self.app.path("K1*.bin")) + [
                self.app.path(n) for n in ("k2.dat", "k3.bin", "sys.dat")]:
            shutil.move(name, folder)

    def test_ressys_row_gives_sizes_to_later_rows(self):
        backup = self.app.path("backup")
        self.move_system(backup)
        out = self.run_script(b"ressys %s\nenc a.txt b.enc 1 1 1\n" % backup.encode())
        self.assertEqual(out, verifying() + EXECUTING + b".ressys " + backup.encode()
                         + b"\n.enc a.txt b.enc 1 1 1\n"
                         + b"Loading System data...\n"   # printed in script mode too
                         + finished(installed=True))
        self.assertGreater(os.path.getsize(self.app.path("b.enc")), 0)

    def test_createsys_row_gives_no_sizes(self):
        self.move_system(self.app.path("away"))
        out = self.run_script(b"createsys 10 10 10 m\nenc a.txt b 1 1 1\n")
        self.assertEqual(out, verifying(b"Error Line 2 - enc a.txt b 1 1 1 | component 1 error",
                                        errors=1) + FAILED)

    def test_a_failing_command_stops_the_script_before_a_destructive_one(self):
        keys = {n: self.app.read(n) for n in os.listdir(self.app.dir) if n[:2] in ("K1", "k2", "k3")}
        missing = self.app.path("no", "such", "folder")
        out = self.run_script(b"echo first\ntranssys %s\nkillsys\necho never\n" % missing.encode())
        self.assertEqual(out, verifying() + EXECUTING + b".echo first\nfirst\n\n"
                         b".transsys " + missing.encode() + b"\nCould not copy K11.bin to "
                         + missing.encode() + b"/K11.bin.\n"
                         b"Script stopped at line 2 - transsys " + missing.encode()
                         + b" | the command did not complete\n \n" + READY + b" \n")
        for name, data in keys.items():
            self.assertEqual(self.app.read(name), data, name)
        self.assertEqual(self.app.read("sys.dat"), b"10\n")

    def test_a_refusal_stops_the_script_and_a_failing_shell_line_does_not(self):
        # 'K101.bin' passes verification (01 is a number within the size) but is refused
        # when it runs.
        out = self.run_script(b"false\nls /no/such/file\n\nenc a.txt b.enc 01 1 1\ntouch never\n")
        self.assertIn(b".false\n.ls /no/such/file\n", out)
        self.assertTrue(out.endswith(
            b".enc a.txt b.enc 01 1 1\nValue of Key component 1 is greater than what was created "
            b"error.\nEnter sysdata\nScript stopped at line 4 - enc a.txt b.enc 01 1 1"
            b" | the command did not complete\n \n" + READY + b" \n"), out)
        self.assertFalse(os.path.exists(self.app.path("never")))

    def test_complete_job(self):
        sys1 = self.app.path("sys1").encode()
        self.app.write("plain.txt", bytes(range(256)) * 40)
        # A createsys row gives the rows after it no sizes: the key system each script
        # uses is made by an earlier one.
        self.app.write("one.txt", b"mkdir %s\nkillsys\ncreatesys 8 8 8 l\ntranssys %s\n"
                       % (sys1, sys1))
        self.app.write("two.txt", b"enc plain.txt plain.enc 3 5 7\nkillsys\nressys %s\n" % sys1)
        self.app.write("three.txt", b"sysdat\ndec plain.enc plain.dec 3 5 7\n")
        r = self.app.session(["x one.txt", "x two.txt", "x three.txt"])
        self.assertEqual(r.status, 0)
        self.assertNotIn(b"Error Line", r.out)
        self.assertEqual(r.out.count(EXECUTING), 3)
        self.assertNotIn(b"completed ====", r.out)   # progress silenced
        self.assertIn(b".sysdat\n", r.out)
        self.assertTrue(os.path.exists(os.path.join(sys1.decode(), "sys.dat")))
        with open(self.app.path("sys1", "sys.dat"), "rb") as f:
            self.assertEqual(f.readline().strip(), b"8")
        self.assertNotEqual(self.app.read("plain.enc"), self.app.read("plain.txt"))
        self.assertGreater(len(self.app.read("plain.enc")), len(self.app.read("plain.txt")))
        self.assertEqual(self.app.read("plain.dec"), self.app.read("plain.txt"))


if __name__ == "__main__":
    unittest.main()
