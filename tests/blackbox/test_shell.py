"""Shell lines at the prompt, and the shell plug-in's installation and clean-up."""
import os
import re
import resource
import select
import shutil
import signal
import struct
import subprocess
import time
import unittest

from harness import BUILD, PROMPT, TERMINATED, AppFolder, AppTestCase, transcript

LIBRARY = os.path.abspath(os.path.join(BUILD, "libMVShell.so"))
EXTRACTED = re.compile(r"^.{7}_libMVShell\.so$")
INSTALL_FAILED = (b"Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\n"
                  b"along with the information below.\n\n../Common/plugin: 7284\n"
                  b"Failure Condition: 0\nThe application cannot continue because a needed "
                  b"file cannot be installed. ")


def bash(command, app):
    """What bash itself prints for a command line (standard output and error)."""
    return subprocess.run(["bash", "-c", command], executable="/bin/bash", stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, env=app.env(), cwd=app.root).stdout


class Running:
    """A program started in the background, read up to its first prompt."""

    def __init__(self, app, env=None):
        self.p = subprocess.Popen([app.program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, cwd=app.root, env=app.env(env))
        self.out = b""
        deadline = time.time() + 60
        while PROMPT not in self.out and time.time() < deadline:
            ready, _, _ = select.select([self.p.stdout], [], [], 1)
            if ready:
                chunk = os.read(self.p.stdout.fileno(), 4096)
                if not chunk:
                    break
                self.out += chunk
        if PROMPT not in self.out:
            self.p.kill()
            raise AssertionError("no prompt: %r" % self.out)

    def maps(self):
        with open("/proc/%d/maps" % self.p.pid) as f:
            return f.read()

    def finish(self, stdin=b"quit\n"):
        out, err = self.p.communicate(stdin, timeout=60)
        return self.p.returncode, self.out + out


def leftovers(app):
    folder = os.path.join(app.home, ".tmpAppData")
    return os.listdir(folder) if os.path.isdir(folder) else []


class ShellLines(AppTestCase):
    def test_output_is_printed_exactly_with_one_line_end(self):
        r = self.app.session(["printf 'ab\\n'"])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, transcript(b"ab\n\n"))

    def test_command_without_output_prints_nothing(self):
        r = self.app.session(["true", "printf ''"])
        self.assertEqual(r.out, transcript(b"", b""))

    def test_standard_error_is_shown_too(self):
        r = self.app.session(["echo one; echo two >&2"])
        self.assertEqual(r.out, transcript(b"one\ntwo\n\n"))
        self.assertEqual(r.err, b"")

    def test_unknown_command_shows_the_shells_message(self):
        line = "no_such_command_ombrix_test"
        expected = bash(line, self.app)
        self.assertIn(b"command not found", expected)
        r = self.app.session([line])
        self.assertEqual(r.out, transcript(expected + b"\n"))

    def test_lines_that_are_not_exactly_commands_go_to_the_shell(self):
        r = self.app.session([" help", "quit now"])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, transcript(bash(" help", self.app) + b"\n",
                                           bash("quit now", self.app) + b"\n"))

    def test_each_line_runs_in_a_fresh_shell(self):
        r = self.app.session(["cd /; pwd", "pwd"])
        self.assertEqual(r.out, transcript(b"/\n\n", self.app.root.encode() + b"\n\n"))


class Extraction(AppTestCase):
    def test_extracted_while_running_and_removed_after_quit(self):
        run = Running(self.app)
        names = leftovers(self.app)
        self.assertEqual(len(names), 1, names)
        self.assertRegex(names[0], EXTRACTED)
        folder = os.path.join(self.app.home, ".tmpAppData")
        self.assertEqual(os.stat(folder).st_mode & 0o777, 0o700)
        self.assertIn(os.path.join(folder, names[0]), run.maps())
        status, out = run.finish(b"quit\n")
        self.assertEqual(status, 0)
        self.assertEqual(leftovers(self.app), [])

    def test_nothing_left_after_end_of_input(self):
        r = self.app.run(b"echo hi\n")
        self.assertEqual(r.status, 0)
        self.assertIn(b"hi\n", r.out)
        self.assertEqual(leftovers(self.app), [])

    def test_nothing_left_after_sigterm(self):
        run = Running(self.app)
        self.assertEqual(len(leftovers(self.app)), 1)
        run.p.send_signal(signal.SIGTERM)
        run.p.wait(timeout=60)
        run.p.stdin.close()
        run.p.stdout.close()
        run.p.stderr.close()
        self.assertEqual(run.p.returncode, 0)
        self.assertEqual(leftovers(self.app), [])

    def test_library_beside_the_program_is_used_and_nothing_extracted(self):
        beside = self.app.path("libMVShell.so")
        shutil.copy2(LIBRARY, beside)
        run = Running(self.app)
        self.assertIn(beside, run.maps())
        self.assertFalse(os.path.exists(os.path.join(self.app.home, ".tmpAppData")))
        status, out = run.finish(b"printf 'ab\\n'\nquit\n")
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith(PROMPT + b"ab\n\n" + PROMPT + TERMINATED), out)
        self.assertTrue(os.path.exists(beside))
        self.assertFalse(os.path.exists(os.path.join(self.app.home, ".tmpAppData")))

    def test_two_programs_at_once_extract_to_different_files(self):
        other = AppFolder()
        self.addCleanup(other.cleanup)
        first = Running(self.app)
        second = Running(other, env={"HOME": self.app.home})
        names = sorted(leftovers(self.app))
        self.assertEqual(len(names), 2, names)
        folder = os.path.join(self.app.home, ".tmpAppData")
        a, b = (os.path.join(folder, n) for n in names)
        maps1, maps2 = first.maps(), second.maps()
        self.assertTrue((a in maps1) != (b in maps1))
        self.assertTrue((a in maps2) != (b in maps2))
        self.assertNotEqual(a in maps1, a in maps2)
        self.assertEqual(first.finish()[0], 0)
        self.assertEqual(second.finish()[0], 0)
        self.assertEqual(leftovers(self.app), [])


class InstallationFailure(AppTestCase):
    def test_library_that_cannot_be_loaded_ends_with_status_1_and_report(self):
        self.app.write("libMVShell.so", b"this is not a shared library\n" * 10)
        r = self.app.run(b"echo never\n")
        self.assertEqual(r.status, 1)
        self.assertTrue(r.out.startswith(INSTALL_FAILED), r.out)
        self.assertIn(b"libMVShell.so", r.out)
        self.assertTrue(r.out.endswith(b"\n\n\n"), r.out)
        self.assertNotIn(b"never", r.out)

    def test_library_of_the_other_machine_is_never_loaded(self):
        """An i386 plug-in beside the x86-64 program, or an x86-64 one beside the i386
        program, is refused before the dynamic linker sees it."""
        with open(self.app.program, "rb") as f:
            wide = f.read(5)[4] == 2
        # The other machine's ELF header: class, data, version, then e_type and e_machine.
        other = (b"\x7fELF" + bytes([1 if wide else 2, 1, 1]) + bytes(9) +
                 struct.pack("<HH", 3, 3 if wide else 62) + bytes(200))
        self.app.write("libMVShell.so", other)
        r = self.app.run(b"echo never\n")
        self.assertEqual(r.status, 1)
        beside = self.app.path("libMVShell.so").encode()
        self.assertEqual(r.out, INSTALL_FAILED + beside + (
            b" is a library of another machine (ELF class 1, machine 3), not of x86-64\n\n\n"
            if wide else
            b" is a library of another machine (ELF class 2, machine 62), not of i386\n\n\n"))

    def test_library_that_cannot_be_written_ends_with_status_1_and_report(self):
        def small_files():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))

        p = subprocess.run([self.app.program], input=b"echo never\n", capture_output=True,
                           cwd=self.app.root, env=self.app.env(), preexec_fn=small_files,
                           timeout=60)
        self.assertEqual(p.returncode, 1)
        self.assertTrue(p.stdout.startswith(INSTALL_FAILED), p.stdout)
        self.assertNotIn(b"never", p.stdout)
        self.assertEqual(leftovers(self.app), [])


if __name__ == "__main__":
    unittest.main()
