"""Installation: the program in its own folder PREFIX/lib/ombrix, reached through the link
PREFIX/bin/ombrix, keeps its key system there; the manual page and the README go beside;
DESTDIR stages the same tree. The manual page renders without warnings."""
import os
import shutil
import subprocess
import tempfile
import unittest

import harness

SOURCE = os.environ.get("OMBRIX_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
CMAKE = os.environ.get("OMBRIX_CMAKE", "cmake")


def install(prefix, destdir=None):
    env = dict(os.environ)
    env.pop("DESTDIR", None)
    if destdir:
        env["DESTDIR"] = destdir
    p = subprocess.run([CMAKE, "--install", harness.BUILD, "--prefix", prefix],
                       capture_output=True, env=env, timeout=120)
    if p.returncode != 0:
        raise AssertionError("install failed: " + p.stdout.decode() + p.stderr.decode())


class Install(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="ombrix-install-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.home)

    def run_installed(self, argv, stdin, cwd, path="/usr/bin:/bin"):
        env = {"PATH": path, "HOME": self.home, "LC_ALL": "C"}
        # The sanitizer build's settings reach the program under test.
        env.update({k: v for k, v in os.environ.items() if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS")})
        return subprocess.run(argv, input=stdin, capture_output=True, cwd=cwd, env=env, timeout=60)

    def test_installed_program_runs_through_its_link_and_keeps_keys_in_its_folder(self):
        prefix = os.path.join(self.root, "usr")
        install(prefix)
        program = os.path.join(prefix, "lib", "ombrix", "ombrix")
        link = os.path.join(prefix, "bin", "ombrix")
        self.assertTrue(os.path.isfile(program) and os.access(program, os.X_OK))
        self.assertTrue(os.path.islink(link))
        self.assertEqual(os.readlink(link), program)
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "man", "man1", "ombrix.1")))
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "doc", "ombrix", "README.md")))
        self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "doc", "ombrix", "sealed-format.md")))

        # Started by name through the search path, from an unrelated folder: the key
        # system goes beside the program, a relative name resolves there too.
        elsewhere = os.path.join(self.root, "work")
        os.makedirs(elsewhere)
        p = self.run_installed(["ombrix"], b"createsys 2 2 2 n\nquit\n", elsewhere,
                               path=os.path.join(prefix, "bin") + ":/usr/bin:/bin")
        self.assertEqual(p.returncode, 0)
        self.assertIn(b"System Created.\n", p.stdout)
        self.assertEqual(p.stderr, b"")
        folder = os.path.dirname(program)
        for name in ("sys.dat", "K11.bin", "K12.bin", "k2.dat", "k3.bin"):
            self.assertTrue(os.path.isfile(os.path.join(folder, name)), name)
        self.assertEqual(os.listdir(elsewhere), [])
        with open(os.path.join(folder, "plain"), "wb") as f:
            f.write(b"installed\n")

        # Through the link's full path: the same system, and enc/dec round trip.
        p = self.run_installed([link], b"enc plain plain.enc 1 2 1\ndec plain.enc back 1 2 1\nquit\n",
                               elsewhere)
        self.assertIn(harness.READY, p.stdout)
        self.assertIn(b"==== Decryption completed ====\n", p.stdout)
        with open(os.path.join(folder, "back"), "rb") as f:
            self.assertEqual(f.read(), b"installed\n")

        # Installing again over an existing tree replaces the link.
        install(prefix)
        self.assertEqual(os.readlink(link), program)

    def test_destdir_stages_the_tree_with_the_final_link(self):
        stage = os.path.join(self.root, "stage")
        install("/opt/ombrix-test", destdir=stage)
        base = os.path.join(stage, "opt", "ombrix-test")
        self.assertTrue(os.path.isfile(os.path.join(base, "lib", "ombrix", "ombrix")))
        self.assertEqual(os.readlink(os.path.join(base, "bin", "ombrix")), "/opt/ombrix-test/lib/ombrix/ombrix")
        self.assertTrue(os.path.isfile(os.path.join(base, "share", "man", "man1", "ombrix.1")))
        self.assertTrue(os.path.isfile(os.path.join(base, "share", "doc", "ombrix", "README.md")))
        self.assertFalse(os.path.exists("/opt/ombrix-test"))


class Options(harness.AppTestCase):
    def test_help_and_version_answer_without_a_session(self):
        r = self.app.run(b"createsys 1 1 1 n\nquit\n", args=[self.app.program, "--version"])
        self.assertEqual((r.status, r.out, r.err), (0, b"Ombrix Encryption for Linux 1.5.0\n", b""))
        r = self.app.run(b"createsys 1 1 1 n\nquit\n", args=[self.app.program, "--help"])
        self.assertEqual((r.status, r.err), (0, b""))
        self.assertTrue(r.out.startswith(b"Usage: ombrix [OPTIONS] COMMAND [ARGUMENTS]\n"))
        for text in (b"[Ombrix] ", b"help", b"man ombrix", b"--keys", b"OMBRIX_KEYS"):
            self.assertIn(text, r.out)
        self.assertNotIn(harness.BANNER, r.out)
        self.assertFalse(os.path.exists(self.app.path("sys.dat")))  # no command was read
        short = self.app.run(b"", args=[self.app.program, "-v", "-h"])
        self.assertEqual((short.status, short.out), (0, r.out))

    def test_arguments_are_the_argument_form_and_none_start_the_session(self):
        for args in (["--helpme"], ["--"], ["-v"], ["--keys", "k"], ["--keys"]):
            r = self.app.run(b"quit\n", args=[self.app.program] + args)
            self.assertEqual((r.status, r.out), (2, b""), args)
            self.assertTrue(r.err.startswith(b"ombrix: "), args)
            self.assertIn(b"\nUsage: ombrix [OPTIONS] COMMAND [ARGUMENTS]\n", r.err, args)
        # After COMMAND every argument is an operand: x reads a script named "--help".
        r = self.app.run(b"", args=[self.app.program, "x", "--help"])
        self.assertEqual((r.status, r.out), (1, b""))
        self.assertIn(b"ombrix: cannot open --help: No such file or directory\n", r.err)
        r = self.app.run(b"quit\n", args=[self.app.program])
        self.assertEqual((r.status, r.out, r.err), (0, harness.transcript(), b""))


class ManualPage(unittest.TestCase):
    def test_renders_without_warnings(self):
        page = os.path.join(SOURCE, "doc", "ombrix.1")
        p = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, timeout=60)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        # Every console command is described.
        with open(page, encoding="ascii") as f:
            text = f.read()
        for command in ("createsys", "enc ", "dec ", "transsys", "ressys", "killsys", "transkill",
                        "sysdat", "help", "HOME", "SIGTERM"):
            self.assertIn(command, text)
        # The program sets it for its plug-in: nothing for a user to set.
        self.assertNotIn("MVPLUGINPATH", text)


if __name__ == "__main__":
    unittest.main()
