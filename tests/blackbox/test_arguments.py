"""The argument form: `ombrix [OPTIONS] COMMAND [ARGUMENTS]` runs one command, quiet on
success, errors on standard error, exit statuses 0, 1 and 2, the signal that ended it
seen by the caller. Every run starts in a folder other than the application folder and
gives relative names."""
import os
import signal
import subprocess
import time
import unittest

import harness
from test_safety import FS_SHIM
from test_terminal import HANG_GUARD


class ArgumentForm(harness.AppTestCase):
    def setUp(self):
        super().setUp()
        self.work = os.path.join(self.app.root, "work")
        os.makedirs(self.work)

    def ombrix(self, *args, stdin=b"", env=None, cwd=None):
        return self.app.run(stdin, args=[self.app.program] + list(args), cwd=cwd or self.work, env=env)

    def put(self, name, data, folder=None):
        with open(os.path.join(folder or self.work, name), "wb") as f:
            f.write(data)

    def get(self, name, folder=None):
        with open(os.path.join(folder or self.work, name), "rb") as f:
            return f.read()

    def assert_done(self, r, out=b""):
        self.assertEqual((r.status, r.out, r.err), (0, out, b""))

    def assert_refused(self, r, status, text):
        self.assertEqual((r.status, r.out), (status, b""))
        self.assertTrue(r.err.startswith(b"ombrix: " + text), r.err)

    def create(self, level="n"):
        self.assert_done(self.ombrix("createsys", "3", "3", "3", level))

    def app_files(self):
        return {n: self.get(n, self.app.dir) for n in sorted(os.listdir(self.app.dir))}


class Commands(ArgumentForm):
    def test_each_command_with_relative_names_in_the_current_folder(self):
        self.create()
        self.assertTrue(os.path.exists(self.app.path("sys.dat")))
        r = self.ombrix("SYSDAT")
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertTrue(r.out.startswith(b"Examining System...\nKey component 1 has 3 entries"), r.out)

        data = bytes(range(256)) * 40
        for source in ("plain text", "-dash"):  # a blank, a leading dash: whole arguments
            with self.subTest(source=source):
                self.put(source, data)
                self.assert_done(self.ombrix("enc", source, source + ".enc", "1", "2", "3"))
                self.assert_done(self.ombrix("Dec", source + ".enc", "back", "1", "2", "3"))
                self.assertEqual(self.get("back"), data)
                self.assertNotEqual(self.get(source + ".enc"), data)

        os.makedirs(os.path.join(self.work, "copy"))
        os.makedirs(os.path.join(self.work, "again"))
        self.assert_done(self.ombrix("transsys", "copy"))
        self.assertTrue(os.path.exists(os.path.join(self.work, "copy", "sys.dat")))
        self.assert_done(self.ombrix("killsys"))
        self.assertFalse(os.path.exists(self.app.path("sys.dat")))
        self.assert_done(self.ombrix("ressys", "copy"))
        self.assert_done(self.ombrix("transkill", "again"))
        self.assertFalse(os.path.exists(self.app.path("sys.dat")))
        self.assertTrue(os.path.exists(os.path.join(self.work, "again", "sys.dat")))
        self.assert_done(self.ombrix("ressys", "again"))

        # A script's names are taken in the current folder too, and a row may read what
        # an earlier one writes. Its enc writes the plain format, as --plain does; its dec
        # reads either format.
        self.put("script", b"enc -dash s.enc 1 2 3\ndec s.enc s.back 1 2 3\ndec -dash.enc s.unsealed 1 2 3\n")
        self.assert_done(self.ombrix("x", "script"))
        self.assert_done(self.ombrix("--plain", "enc", "-dash", "-dash.plain", "1", "2", "3"))
        self.assertEqual(self.get("s.enc"), self.get("-dash.plain"))
        self.assertEqual(self.get("s.back"), data)
        self.assertEqual(self.get("s.unsealed"), data)

        r = self.ombrix("help", "e")
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertTrue(r.out.startswith(b"=== Encrypt File ===\n"), r.out)
        r = self.ombrix("help")
        self.assertTrue(r.out.startswith(b"=== Command List ===\n"), r.out)

    def test_verbose_prints_the_sessions_lines_on_standard_error(self):
        self.create()
        self.put("a", b"abc")
        r = self.ombrix("--verbose", "enc", "a", "b", "1", "2", "3")
        self.assertEqual((r.status, r.out), (0, b""))
        self.assertIn(b"==== Encryption completed ====\n", r.err)

    def test_usage_errors(self):
        for args, text in ((["encrypt", "a", "b", "1", "2", "3"], b"unknown command 'encrypt'"),
                           (["enc", "a", "b", "1", "2"], b"wrong number of arguments: enc SOURCE"),
                           (["sysdat", "x"], b"wrong number of arguments: sysdat"),
                           (["help", "a", "b"], b"wrong number of arguments: help [TOPIC]"),
                           (["-q", "sysdat"], b"unknown option '-q'"),
                           (["--keys"], b"--keys needs a folder")):
            with self.subTest(args=args):
                r = self.ombrix(*args)
                self.assert_refused(r, 2, text)
                self.assertIn(b"\nUsage: ombrix [OPTIONS] COMMAND [ARGUMENTS]\n", r.err)

    def test_refusals_have_status_1_and_one_line(self):
        self.put("a", b"abc")
        r = self.ombrix("enc", "a", "b", "1", "2", "3")
        self.assert_refused(r, 1, b"A System is not in place.  Please issue ressys or createsys before you can encrypt.\n")
        self.create()
        self.put("empty", b"")
        for args, text in ((["enc", "nothere", "b", "1", "2", "3"],
                            b"cannot open nothere: No such file or directory\n"),
                           (["--plain", "enc", "empty", "b", "1", "2", "3"], b"empty is empty: nothing to encrypt\n"),
                           (["enc", "a", "b", "9", "2", "3"], b"Key component 1 contains 3 elements\n"),
                           (["enc", "a", "no/b", "1", "2", "3"],
                            b"cannot create no/b: No such file or directory\n"),
                           (["enc", "a", "/dev/full", "1", "2", "3"],
                            b"cannot write /dev/full: No space left on device\n"),
                           (["createsys", "1", "1", "1", "n"], b"A System is currently in place."),
                           (["enc", "a", "../app/k2.dat", "1", "2", "3"],
                            b"The destination is a file of the key system")):
            with self.subTest(args=args):
                self.assert_refused(self.ombrix(*args), 1, text)
        self.assertFalse(os.path.exists(os.path.join(self.work, "b")))
        # A damaged key entry: nothing is written.
        self.put("K11.bin", b"damaged\n" * 30, self.app.dir)
        r = self.ombrix("enc", "a", "b", "1", "2", "3")
        self.assert_refused(r, 1, b"Key file K11.bin line ")
        self.assertFalse(os.path.exists(os.path.join(self.work, "b")))

    def test_sigterm_during_a_large_enc_is_seen_by_the_caller(self):
        self.create("h")
        with open(os.path.join(self.work, "large"), "wb") as f:
            f.truncate(64 << 20)
        before = sorted(os.listdir(self.work))
        p = subprocess.Popen([self.app.program, "enc", "large", "large.enc", "1", "2", "3"],
                             cwd=self.work, env=self.app.env(), stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        time.sleep(2)
        p.send_signal(signal.SIGTERM)
        out, err = p.communicate(timeout=HANG_GUARD)
        self.assertEqual((p.returncode, out, err), (-signal.SIGTERM, b"", b""))
        self.assertEqual(sorted(os.listdir(self.work)), before)
        self.assertEqual(os.listdir(self.app.home), [])  # the extracted plug-in is gone


class RealCauses(ArgumentForm):
    def test_a_key_folder_that_is_missing_or_no_folder_is_named(self):
        self.put("plain", b"not a folder")
        for args, env, text in ((["--keys", "/nonexistent", "sysdat"], None,
                                 b"the key folder /nonexistent does not exist\n"),
                                (["--keys=plain", "enc", "plain", "out", "1", "1", "1"], None,
                                 b"the key folder plain is not a folder\n"),
                                (["killsys"], {"OMBRIX_KEYS": "gone"}, b"the key folder gone does not exist\n")):
            with self.subTest(args=args):
                r = self.ombrix(*args, env=env)
                self.assertEqual((r.status, r.out, r.err), (1, b"", b"ombrix: " + text))

    def test_a_key_file_that_cannot_be_read_gives_the_systems_reason(self):
        self.create()
        self.put("a", b"abc")
        files = self.app_files()
        for name, args in (("sys.dat", ["enc", "a", "b", "1", "2", "3"]),
                           ("k2.dat", ["dec", "a", "b", "1", "2", "3"]),
                           ("K12.bin", ["enc", "a", "b", "2", "2", "3"]),
                           ("sys.dat", ["sysdat"]),
                           ("k3.bin", ["sysdat"]),
                           ("sys.dat", ["transsys", "."])):
            with self.subTest(name=name, args=args):
                r = self.ombrix(*args, env={"LD_PRELOAD": FS_SHIM, "OMBRIX_TEST_UNREADABLE": name})
                self.assertEqual((r.status, r.out, r.err), (1, b"", b"ombrix: cannot read %s: Permission denied\n"
                                                            % self.app.path(name).encode()))
        self.assertEqual(sorted(os.listdir(self.work)), ["a"])
        self.assertEqual(self.app_files(), files)

    def test_sysdat_gives_its_report_in_lines(self):
        self.create()
        with open(self.app.path("sys.dat"), "wb") as f:
            f.write(b"0\n")
        r = self.ombrix("sysdat")
        self.assertEqual((r.status, r.out), (1, b""))
        lines = r.err.splitlines()
        self.assertTrue(all(line.startswith(b"ombrix: ") for line in lines), r.err)
        self.assertFalse(any(line.count(b"Key component") > 1 for line in lines), r.err)

    def test_help_with_an_unknown_topic_is_a_usage_error(self):
        for topic in ("nosuch", "", " c"):
            with self.subTest(topic=topic):
                r = self.ombrix("help", topic)
                self.assert_refused(r, 2, b"unknown help topic '%s'\n" % topic.encode())
                self.assertIn(b"\nUsage: ombrix [OPTIONS] COMMAND [ARGUMENTS]\n", r.err)
        r = self.ombrix("help", "Kill")
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertTrue(r.out.startswith(b"=== Kill System ===\n"), r.out)

    def test_each_commands_operands_are_those_of_the_usage(self):
        synopsis = self.ombrix("--help").out.splitlines()
        for word in ("help", "createsys", "ressys", "killsys", "transsys", "transkill", "enc", "dec",
                     "x", "sysdat"):
            with self.subTest(word=word):
                r = self.ombrix(word, *["1"] * 6)
                self.assertEqual(r.status, 2)
                usage = r.err.split(b"\n")[0][len(b"ombrix: wrong number of arguments: "):]
                self.assertTrue(any(line.startswith(b"  " + usage + b"  ") for line in synopsis),
                                usage)


class SecondKeyFolder(ArgumentForm):
    def test_decrypt_with_a_friends_key_folder_leaves_the_own_system_alone(self):
        friend = harness.AppFolder()
        self.addCleanup(friend.cleanup)
        os.makedirs(os.path.join(self.work, "keys"))
        friend.session(["createsys 3 3 3 m", "transsys " + os.path.join(self.work, "keys")])
        self.create()
        mine = self.app_files()
        data = b"from a friend\n" * 100
        self.put("letter", data)
        # The friend encrypts with the friend's system; here it decrypts with --keys.
        r = friend.run(b"", args=[friend.program, "enc", "letter", "letter.enc", "2", "3", "1"],
                       cwd=self.work)
        self.assertEqual((r.status, r.err), (0, b""))
        self.assert_done(self.ombrix("--keys", "keys", "dec", "letter.enc", "out", "2", "3", "1"))
        self.assertEqual(self.get("out"), data)
        self.assert_done(self.ombrix("dec", "letter.enc", "out2", "2", "3", "1",
                                     env={"OMBRIX_KEYS": os.path.join(self.work, "keys")}))
        self.assertEqual(self.get("out2"), data)
        # The own system is another key.
        self.assert_refused(self.ombrix("dec", "letter.enc", "own", "2", "3", "1"), 1,
                            b"letter.enc: wrong entry numbers or key system, or the file was changed\n")
        self.assertFalse(os.path.exists(os.path.join(self.work, "own")))
        self.assertEqual(self.app_files(), mine)


class Pipes(ArgumentForm):
    def test_standard_input_and_output(self):
        data = os.urandom(300000)
        self.put("f", data)
        for level in ("n", "h"):
            with self.subTest(level=level):
                if os.path.exists(self.app.path("sys.dat")):
                    self.assert_done(self.ombrix("killsys"))
                self.create(level)
                self.assert_done(self.ombrix("--plain", "enc", "f", "f.enc", "1", "2", "3"))
                plain = self.ombrix("--plain", "enc", "-", "-", "1", "2", "3", stdin=data)
                self.assertEqual((plain.status, plain.err), (0, b""))
                if level == "n":  # no fillers: the same bytes as the file form
                    self.assertEqual(plain.out, self.get("f.enc"))
                piped = self.ombrix("enc", "-", "-", "1", "2", "3", stdin=data)
                self.assertEqual((piped.status, piped.err), (0, b""))
                back = self.ombrix("dec", "-", "-", "1", "2", "3", stdin=piped.out)
                self.assertEqual((back.status, back.err, back.out), (0, b"", data))
                self.assert_done(self.ombrix("--plain", "dec", "f.enc", "-", "1", "2", "3"), data)
        p = subprocess.run("cat f | '%s' enc - - 1 2 3 | '%s' dec - - 1 2 3 | cmp - f"
                           % (self.app.program, self.app.program), shell=True, cwd=self.work,
                           env=self.app.env(), capture_output=True, timeout=HANG_GUARD)
        self.assertEqual((p.returncode, p.stdout, p.stderr), (0, b"", b""))
        self.assert_refused(self.ombrix("--plain", "enc", "-", "out", "1", "2", "3"), 1,
                            b"standard input is empty: nothing to encrypt\n")
        self.assertFalse(os.path.exists(os.path.join(self.work, "out")))
        # A reader that went away ends the run by SIGPIPE, without a complaint.
        r, w = os.pipe()
        os.close(r)
        try:
            p = subprocess.run([self.app.program, "--plain", "dec", "f.enc", "-", "1", "2", "3"], stdout=w,
                               stderr=subprocess.PIPE, cwd=self.work, env=self.app.env(),
                               timeout=HANG_GUARD)
        finally:
            os.close(w)
        self.assertEqual((p.returncode, p.stderr), (-signal.SIGPIPE, b""))

    def run_with_stdin(self, stdin, *args):
        return subprocess.run([self.app.program] + list(args), stdin=stdin, capture_output=True,
                              cwd=self.work, env=self.app.env(), timeout=HANG_GUARD)

    def test_standard_input_that_is_a_file_is_read_from_its_offset(self):
        self.create()
        data = os.urandom(200000)
        self.put("f", data)
        self.put("tail", data[1000:])
        self.assert_done(self.ombrix("--plain", "enc", "tail", "tail.enc", "1", "2", "3"))
        with open(os.path.join(self.work, "f"), "rb") as f:
            f.seek(1000)
            p = self.run_with_stdin(f, "--plain", "enc", "-", "-", "1", "2", "3")
            self.assertEqual((p.returncode, p.stderr), (0, b""))
            self.assertEqual(p.stdout, self.get("tail.enc"))
            # Read to its end by the first run: nothing is left for the second.
            p = self.run_with_stdin(f, "--plain", "enc", "-", "out", "1", "2", "3")
            self.assertEqual((p.returncode, p.stderr),
                             (1, b"ombrix: standard input is empty: nothing to encrypt\n"))
        self.assertFalse(os.path.exists(os.path.join(self.work, "out")))
        # A read that fails after the open gives the system's reason.
        folder = os.open(self.work, os.O_RDONLY)
        try:
            p = self.run_with_stdin(folder, "enc", "-", "out", "1", "2", "3")
        finally:
            os.close(folder)
        self.assertEqual((p.returncode, p.stderr),
                         (1, b"ombrix: cannot read standard input: Is a directory\n"))
        self.assertFalse(os.path.exists(os.path.join(self.work, "out")))


class PromptX(harness.AppTestCase):
    def test_only_the_word_x_runs_a_script(self):
        script = b"echo from-the-script\n"
        self.app.write("s", script)
        with open(os.path.join(self.app.root, "s"), "wb") as f:  # the shell's current folder
            f.write(script)
        r = self.app.session(["xxd s", "Xz s", "x s", "X s"])
        self.assertIn(b"00000000: 6563 686f", r.out)           # xxd ran in the shell
        self.assertIn(b"Xz: command not found", r.out)
        self.assertEqual(r.out.count(b"Verifying...\n"), 2)      # x and X ran the script
        self.assertEqual(r.status, 0)


if __name__ == "__main__":
    unittest.main()
