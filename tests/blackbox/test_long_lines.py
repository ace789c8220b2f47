"""Long lines: a parameter line costs time in proportion to its length, in a script and
at the prompt, and a shell line of any length runs."""
import os
import resource
import unittest

from harness import AppTestCase

# Four times the length either way; an emulated program takes the smaller pair (its runs
# are many times slower, and the ratio is what counts).
SMALL, LARGE = (1 << 18, 1 << 20) if os.environ.get("OMBRIX_TEST_EMULATED") == "1" else (1 << 20, 4 << 20)


class LinearTime(AppTestCase):
    def cpu_seconds(self, stdin):
        """Processor time of one run of the program (the best of three)."""
        best = None
        for _ in range(3):
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            r = self.app.run(stdin)
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            self.assertEqual(r.status, 0)
            spent = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
            best = spent if best is None else min(best, spent)
        return best

    def assertLinear(self, stdin_of):
        small, large = self.cpu_seconds(stdin_of(SMALL)), self.cpu_seconds(stdin_of(LARGE))
        # Four times the length: linear work takes about four times as long (less, with
        # the fixed cost of a start); quadratic work would take sixteen times as long.
        self.assertLess(large, 8 * max(small, 0.01), (small, large))

    def test_a_long_script_line(self):
        def script(n):
            # "createsys" splits its line into parameters during verification.
            self.app.write("s.txt", b"createsys 5 5 " + "\u00e9".encode() * (n // 2) + b" m\n")
            return b"x s.txt\nquit\n"
        out = self.app.run(script(1000)).out
        self.assertIn(b" m | component 3 error\n1 errors 0 warnings\nVerifyScript failed\n", out)
        self.assertLinear(script)

    def test_a_long_prompt_line(self):
        def line(n):
            return b"createsys 5 5 " + b"a" * n + b" m\nquit\n"
        self.assertLinear(line)


class ShellLines(AppTestCase):
    LINE = b"echo " + b"x" * (200 * 1024) + b" | wc -c"

    def test_a_200_kib_shell_line_at_the_prompt(self):
        r = self.app.session([self.LINE])
        self.assertIn(b"[Ombrix] \n204801\n\n[Ombrix] \n", r.out)
        self.assertEqual(r.status, 0)

    def test_a_200_kib_shell_line_in_a_script(self):
        self.app.write("s.txt", self.LINE + b"\n")
        r = self.app.session(["x s.txt"])
        self.assertIn(b"." + self.LINE + b"\n204801\n\n==== Script completed ===\n", r.out)


if __name__ == "__main__":
    unittest.main()
