"""The same files from both builds: key systems made by the i386 program and by the x86-64
program under the same deterministic random source are byte for byte the same at every
level; a level-n sealed file is the same bytes when the salt comes from the same
deterministic random source; and what either encrypts at any level the other decrypts,
on 1, 2 and 3 threads and every cipher path the processor has.

Run from the i386 tree, which is given the x86-64 build folder as OMBRIX_OTHER_BUILD
(./dev.sh test does so); without it the test is skipped."""
import os
import random
import shutil
import subprocess
import unittest

import harness

OTHER = os.environ.get("OMBRIX_OTHER_BUILD", "")
OTHER_PROGRAM = os.path.join(OTHER, "ombrix")
SEED = "20261210"
LEVELS = ("n", "l", "m", "h")
PATHS = ("portable", "avx2", "avx512")


def key_set(app):
    return {name: app.read(name) for name in sorted(os.listdir(app.dir)) if name != "ombrix"}


@unittest.skipUnless(OTHER and os.path.isfile(OTHER_PROGRAM),
                     "no other build given: OMBRIX_OTHER_BUILD names the x86-64 build folder "
                     "whose program the i386 one is compared with")
class CrossBuild(unittest.TestCase):
    def setUp(self):
        # This tree's program and the other build's, each with its own random source.
        self.apps = {"this": harness.AppFolder(), "other": harness.AppFolder(OTHER_PROGRAM)}
        self.shims = {"this": os.path.join(os.path.abspath(harness.BUILD), "libombrix_random_shim.so"),
                      "other": os.path.join(OTHER, "libombrix_random_shim.so")}
        for app in self.apps.values():
            self.addCleanup(app.cleanup)

    def ombrix(self, which, *args, env=None):
        app = self.apps[which]
        p = subprocess.run([app.program] + list(args), capture_output=True, cwd=app.dir,
                           env=app.env(env), timeout=600)
        return p.returncode, p.stderr

    def run_in(self, which, command, env=None):
        self.assertEqual(self.ombrix(which, *command.split(), env=env), (0, b""),
                         "%s: %s" % (which, command))

    def create(self, level):
        """The same key system in both folders, each made by its own program."""
        for which, app in self.apps.items():
            for name in os.listdir(app.dir):
                if name != "ombrix":
                    os.remove(app.path(name))
            r = app.session(["createsys 2 3 4 %s" % level],
                            env={"LD_PRELOAD": self.shims[which], "OMBRIX_TEST_RANDOM_SEED": SEED})
            self.assertEqual(r.status, 0)
            self.assertIn(b"System Created.", r.out)

    def available(self, path):
        """Whether the processor has the path, as the x86-64 program (run natively, with a
        key system in place) finds it."""
        self.apps["other"].write("probe", b"x")
        status, err = self.ombrix("other", "enc", "probe", "probe.enc", "1", "1", "1",
                                  env={"OMBRIX_CIPHER_PATH": path})
        return status == 0

    def test_createsys_makes_the_same_files_at_every_level(self):
        for level in LEVELS:
            with self.subTest(level=level):
                self.create(level)
                made = {which: key_set(app) for which, app in self.apps.items()}
                self.assertEqual(sorted(made["this"]), sorted(made["other"]))
                for name in made["this"]:
                    self.assertEqual(made["this"][name], made["other"][name], name)

    def test_each_decrypts_what_the_other_encrypts(self):
        emulated = os.environ.get("OMBRIX_TEST_EMULATED") == "1"
        rnd = random.Random(5)
        paths = []
        for level in LEVELS:
            self.create(level)
            paths = paths or [p for p in PATHS if self.available(p)]
            self.assertIn("portable", paths)
            # Level n past 1 MiB runs in segments; an expanded output of this size too.
            data = rnd.randbytes(1048576 + 262144 + 777 if level == "n" else 200000)
            for app in self.apps.values():
                app.write("plain", data)
            for path in paths:
                for threads in (1, 2, 3):
                    with self.subTest(level=level, path=path, threads=threads):
                        env = {"OMBRIX_THREADS": str(threads), "OMBRIX_CIPHER_PATH": path}
                        # The emulated i386 program runs the portable routines only.
                        mine = dict(env, OMBRIX_CIPHER_PATH="portable") if emulated else env
                        outputs = {}
                        for enc, dec in (("this", "other"), ("other", "this")):
                            salted = dict(mine if enc == "this" else env)
                            if level == "n":
                                salted.update(LD_PRELOAD=self.shims[enc], OMBRIX_TEST_RANDOM_KEY_SEED=SEED)
                            self.run_in(enc, "enc plain plain.enc 1 2 3", salted)
                            shutil.copy(self.apps[enc].path("plain.enc"),
                                        self.apps[dec].path("from.enc"))
                            self.run_in(dec, "dec from.enc back 1 2 3", mine if dec == "this" else env)
                            self.assertEqual(self.apps[dec].read("back"), data, "%s to %s" % (enc, dec))
                            outputs[enc] = self.apps[enc].read("plain.enc")
                        if level == "n":
                            self.assertTrue(outputs["this"] == outputs["other"])


if __name__ == "__main__":
    unittest.main()
