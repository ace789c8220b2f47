"""The console: banner, presence line, prompt, termination, end of input, the dispatch
of command words and the pass-through of every other line to the shell."""
import unittest

from harness import (AppTestCase, BANNER, NOT_INSTALLED, PROMPT, READY, TERMINATED,
                     transcript)

NOT_LOCATED = b"The scriptfile defined cannot be located.  Please\nverify and reenter.\n"


class StartAndEnd(AppTestCase):
    def test_banner_presence_and_quit(self):
        r = self.app.session([])
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, transcript())
        self.assertEqual(r.err, b"")

    def test_ready_when_sys_dat_is_present(self):
        self.app.write("sys.dat", b"3\n")
        r = self.app.session([])
        self.assertEqual(r.out, BANNER + READY + PROMPT + TERMINATED)

    def test_termination_words_in_any_case_end_at_once(self):
        for word in ("end", "exit", "quit", "QUIT", "End", "Exit", "eXiT"):
            with self.subTest(word=word):
                r = self.app.run(word.encode() + b"\nhelp\necho after\n")
                self.assertEqual(r.status, 0)
                self.assertEqual(r.out, BANNER + NOT_INSTALLED + PROMPT + TERMINATED)

    def test_end_of_input_ends_like_quit(self):
        r = self.app.run(b"")
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, BANNER + NOT_INSTALLED + PROMPT + TERMINATED)

    def test_last_line_without_terminator_still_runs(self):
        r = self.app.run(b"\necho last")
        self.assertEqual(r.status, 0)
        self.assertEqual(r.out, BANNER + NOT_INSTALLED + PROMPT + PROMPT + b"last\n\n"
                         + PROMPT + TERMINATED)

    def test_empty_lines_only_repeat_the_prompt(self):
        r = self.app.session(["", "", ""])
        self.assertEqual(r.out, transcript(b"", b"", b""))

    def test_crlf_line_end(self):
        r = self.app.run(b"echo hi\r\nquit\r\n")
        self.assertEqual(r.out, transcript(b"hi\n\n"))


class ShellPassThrough(AppTestCase):
    def test_output_printed_as_one_text(self):
        r = self.app.session(["echo one; echo two"])
        self.assertEqual(r.out, transcript(b"one\ntwo\n\n"))

    def test_command_without_output_prints_nothing(self):
        r = self.app.session(["true", "echo -n abc"])
        self.assertEqual(r.out, transcript(b"", b"abc\n"))

    def test_standard_error_is_shown(self):
        r = self.app.session(["echo oops >&2"])
        self.assertEqual(r.out, transcript(b"oops\n\n"))

    def test_near_termination_words_go_to_the_shell(self):
        for line in ("quit now", "end ", " quit", "exit2"):
            with self.subTest(line=line):
                r = self.app.session([line])
                self.assertEqual(r.status, 0)
                self.assertTrue(r.out.startswith(BANNER + NOT_INSTALLED + PROMPT), r.out)
                self.assertIn(b"command not found", r.out)
                self.assertTrue(r.out.endswith(PROMPT + TERMINATED), r.out)

    def test_leading_blank_is_not_a_command_word(self):
        r = self.app.session([" help"])
        self.assertNotIn(b"=== Command List ===", r.out)
        self.assertIn(b"GNU bash", r.out)   # the shell's own help

    def test_each_line_runs_in_its_own_shell(self):
        r = self.app.session(["Y=5", "echo [$Y]"])
        self.assertEqual(r.out, transcript(b"", b"[]\n\n"))


class Dispatch(AppTestCase):
    def test_prefix_of_the_first_word_selects_the_command(self):
        cases = {
            "HELP": b"=== Command List ===",
            "help me": b" \n",
            "x nofile": NOT_LOCATED,
            "X nofile": NOT_LOCATED,
            "sysdata": b"A System is not loaded.  Please issue ressys or createsys.\n",
            "killsys now": b"A System is not loaded.  Please issue ressys or createsys.\n",
            "transsysx /tmp": b"A System is not loaded.  Please issue ressys or createsys.\n",
            "transkill /tmp": b"A System is not loaded.  Please issue ressys or createsys.\n",
            "ressys": b"Parameters missing error.  Enter help r\n \n",
        }
        for line, expected in cases.items():
            with self.subTest(line=line):
                r = self.app.session([line])
                self.assertNotIn(b"command not found", r.out)
                self.assertIn(PROMPT + expected, r.out)
                self.assertTrue(r.out.endswith(PROMPT + TERMINATED))

    def test_x_is_a_command_only_as_the_whole_first_word(self):
        r = self.app.session(["xterm", "XTERM", "x\tnofile"])
        for word in (b"xterm", b"XTERM", b"x"):
            self.assertIn(b"bash: line 1: " + word + b": command not found\n", r.out)
        self.assertNotIn(NOT_LOCATED, r.out)

    def test_blank_only_line_is_not_empty(self):
        # It goes to the shell, which prints nothing for it.
        r = self.app.session(["   "])
        self.assertEqual(r.out, transcript(b""))


class Parameters(AppTestCase):
    """The splitting of a line, seen through the script command: Params(1) names the
    script."""

    def setUp(self):
        super().setUp()
        self.app.write("s.txt", b"echo ran\n")

    def ran(self, line):
        r = self.app.session([line])
        self.assertEqual(r.status, 0)
        return b".echo ran\nran\n\n" in r.out, r.out

    def test_one_blank_separates(self):
        self.assertTrue(self.ran("x s.txt")[0])

    def test_two_blanks_leave_params_1_empty(self):
        ok, out = self.ran("x  s.txt")
        self.assertFalse(ok)
        self.assertIn(NOT_LOCATED, out)

    def test_tab_is_an_ordinary_character(self):
        # No blank after the x: its first word is not x alone, and the shell gets it.
        ok, out = self.ran("x\ts.txt")
        self.assertFalse(ok)
        self.assertIn(b"x: command not found", out)

    def test_trailing_blank_and_extra_words(self):
        self.assertTrue(self.ran("x s.txt ")[0])
        self.assertTrue(self.ran("x s.txt a b c d")[0])

    def test_words_beyond_the_fifth_parameter_are_dropped(self):
        ok, out = self.ran("x s.txt 2 3 4 5 6 7 8 9 10 " + "w " * 200)
        self.assertTrue(ok)
        self.assertTrue(out.endswith(PROMPT + TERMINATED))

    def test_parameter_count_from_blanks(self):
        # Verification refuses a createsys line unless exactly four blanks follow the word.
        script = (b"createsys 10 10 10 m extra\n"
                  b"createsys 10 10 10 m \n"
                  b"createsys 10  10 10 m\n"
                  b"createsys 10\t10 10 m\n"
                  b"createsys 10 10 10 m 6 7 8 9\n")
        self.app.write("c.txt", script)
        r = self.app.session(["x c.txt"])
        for n, line in enumerate(script.split(b"\n")[:-1], 1):
            self.assertIn(b"Error Line %d - %s | Missing Parameters \n" % (n, line), r.out)
        self.assertIn(b"5 errors 0 warnings\nVerifyScript failed\n", r.out)


if __name__ == "__main__":
    unittest.main()
