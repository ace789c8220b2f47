"""Start-up: the code image from the program's own file or from the six loose files,
finding the program through symbolic links and the search path, and the signals that end
it with status 0."""
import os
import shutil
import signal
import subprocess
import time
import unittest

from harness import BUILD, AppTestCase, READY, transcript

LOOSE = os.path.join(BUILD, "loose")
LOOSE_FILES = ("import.dat", "code.dat", "data.dat", "rsrc.dat", "options.dat", "symbols.dat")


class LooseFiles(AppTestCase):
    def setUp(self):
        super().setUp()
        # The program without its section; it must find the image in its current directory.
        # The image's digest stays: without the image it checks, it means nothing.
        subprocess.run(["objcopy", "--remove-section", ".mv", self.app.program], check=True)
        out = subprocess.run(["readelf", "-S", self.app.program], capture_output=True).stdout
        self.assertNotIn(b".mv ", out)
        self.assertIn(b".mvsum ", out)
        self.work = os.path.join(self.app.root, "work")
        os.makedirs(self.work)

    def test_runs_from_the_six_loose_files_of_the_current_directory(self):
        for name in LOOSE_FILES:
            shutil.copy(os.path.join(LOOSE, name), self.work)
        r = self.app.run(b"quit\n", cwd=self.work)
        self.assertEqual(r.out, transcript())
        self.assertEqual(r.status, 0)

    def test_without_section_or_loose_files_it_says_so_and_fails(self):
        r = self.app.run(b"quit\n", cwd=self.work)
        self.assertEqual(r.status, 1)
        self.assertEqual(r.out.count(b"\n"), 1, r.out)
        self.assertNotIn(b"[Ombrix]", r.out)


class FindingTheProgram(AppTestCase):
    """The application folder is the folder of the program file itself, so a "sys.dat"
    beside it is seen however the program was started."""

    def setUp(self):
        super().setUp()
        self.app.write("sys.dat", b"3\r\n")
        self.links = os.path.join(self.app.root, "links")
        os.makedirs(self.links)

    def assertStartedBesideSysDat(self, r):
        self.assertEqual(r.status, 0, r.out)
        self.assertIn(READY, r.out)
        self.assertTrue(r.out.endswith(b"Terminated ===\n \n"), r.out[-200:])

    def test_through_a_chain_of_two_symbolic_links(self):
        second = os.path.join(self.links, "second")
        os.symlink(self.app.program, second)
        os.symlink(second, os.path.join(self.links, "first"))
        r = self.app.run(b"quit\n", args=[os.path.join(self.links, "first")], cwd=self.links)
        self.assertStartedBesideSysDat(r)

    def test_through_the_search_path(self):
        os.symlink(self.app.program, os.path.join(self.links, "om"))
        r = self.app.run(b"quit\n", args=["om"], cwd=self.app.root,
                         env={"PATH": "/nonexistent:" + self.links + ":/usr/bin:/bin"})
        self.assertStartedBesideSysDat(r)

    def test_a_name_with_shell_syntax_is_not_run(self):
        name = "om;touch pwned"
        os.symlink(self.app.program, os.path.join(self.links, name))
        r = self.app.run(b"quit\n", args=[name], cwd=self.app.root,
                         env={"PATH": self.links + ":/usr/bin:/bin"})
        self.assertStartedBesideSysDat(r)
        self.assertFalse(os.path.exists(os.path.join(self.app.root, "pwned")))


def start_at_prompt(test, cwd):
    """Start the program and read its output up to the first prompt; standard input stays
    open, so it waits there."""
    p = subprocess.Popen([test.app.program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, cwd=cwd, env=test.app.env())
    seen = b""
    deadline = time.time() + 30
    while b"[Ombrix] " not in seen and time.time() < deadline:
        chunk = os.read(p.stdout.fileno(), 4096)
        if not chunk:
            break
        seen += chunk
    return p, seen


def end(p):
    if p.poll() is None:
        p.kill()
        p.wait()
    p.stdin.close()
    p.stdout.close()
    p.stderr.close()


class Signals(AppTestCase):
    def check_signal(self, sig):
        p, seen = start_at_prompt(self, self.app.root)
        try:
            self.assertIn(b"[Ombrix] ", seen)
            p.send_signal(sig)
            status = p.wait(timeout=30)
        finally:
            end(p)
        self.assertEqual(status, 0, sig)

    def test_sigterm_ends_with_status_0(self):
        self.check_signal(signal.SIGTERM)

    def test_sigquit_ends_with_status_0(self):
        self.check_signal(signal.SIGQUIT)

    def test_sighup_ends_with_status_0(self):
        self.check_signal(signal.SIGHUP)


@unittest.skipIf(os.environ.get("OMBRIX_TEST_EMULATED") == "1",
                 "under an emulator the process's mappings are the emulator's")
class MemoryProtection(AppTestCase):
    """While the program waits at its prompt, none of its memory is writable and executable
    at once: the code image runs from read-and-execute pages of its own."""

    def mappings(self, cwd):
        p, seen = start_at_prompt(self, cwd)
        try:
            self.assertIn(b"[Ombrix] ", seen)
            with open("/proc/%d/maps" % p.pid) as f:
                maps = [line.split(None, 5) for line in f.read().splitlines()]
            p.stdin.write(b"quit\n")
            p.stdin.flush()
            status = p.wait(timeout=30)
        finally:
            end(p)
        self.assertEqual(status, 0)
        return maps

    def check(self, cwd):
        maps = self.mappings(cwd)
        both = [" ".join(m) for m in maps if "w" in m[1] and "x" in m[1]]
        self.assertEqual(both, [])
        # The code block: an anonymous mapping (no file, no name), read and execute only.
        code = [m for m in maps if m[1] == "r-xp" and len(m) == 5]
        self.assertTrue(code, "\n".join(" ".join(m) for m in maps))

    def test_image_from_the_program_file(self):
        self.check(self.app.root)

    def test_image_from_the_loose_files(self):
        subprocess.run(["objcopy", "--remove-section", ".mv", self.app.program], check=True)
        work = os.path.join(self.app.root, "work")
        os.makedirs(work)
        for name in LOOSE_FILES:
            shutil.copy(os.path.join(LOOSE, name), work)
        self.check(work)


if __name__ == "__main__":
    unittest.main()
