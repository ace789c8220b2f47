"""At a terminal: line editing and history when standard input and output are a
pseudo-terminal, plain lines on a dumb one, and the progress line when standard error is
a pseudo-terminal. Waits are bounded: a run that stops answering fails, it never hangs."""
import fcntl
import os
import select
import signal
import struct
import subprocess
import termios
import time
import unittest

import harness

SHIM = os.path.join(os.path.abspath(harness.BUILD), "libombrix_clock_shim.so")
HANG_GUARD = 60  # seconds before a run that stopped answering counts as failed
UP = b"\x1b[A"
LEFT = b"\x1b[D"


def open_pty(columns=80):
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    return master, slave


def take_terminal():
    """In the child: a session of its own with the pseudo-terminal as its terminal, so
    that Ctrl-C raises SIGINT as at a real one."""
    os.setsid()
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Terminal:
    """ombrix with standard input and output (and error) on one pseudo-terminal."""

    def __init__(self, app, term="xterm"):
        self.master, self.slave = open_pty()
        env = app.env({"TERM": term})
        self.proc = subprocess.Popen([app.program], stdin=self.slave, stdout=self.slave,
                                     stderr=self.slave, env=env, cwd=app.root,
                                     preexec_fn=take_terminal)
        self.out = b""

    def _read(self, timeout):
        r, _, _ = select.select([self.master], [], [], timeout)
        if not r:
            return False
        try:
            data = os.read(self.master, 65536)
        except OSError:  # the program ended and closed the terminal
            return False
        self.out += data
        return bool(data)

    def expect(self, pattern, count=1):
        deadline = time.monotonic() + HANG_GUARD
        while self.out.count(pattern) < count:
            if time.monotonic() > deadline:
                raise AssertionError("no %r in %r" % (pattern, self.out))
            self._read(0.05)

    def raw(self):
        return not termios.tcgetattr(self.slave)[3] & termios.ICANON

    def wait_for_editing(self):
        """Until the line editor has the terminal (raw mode)."""
        deadline = time.monotonic() + HANG_GUARD
        while not self.raw():
            if time.monotonic() > deadline:
                raise AssertionError("the terminal never went raw: %r" % self.out)
            self._read(0.02)

    def prompt(self, n):
        """Until the n-th prompt is read with editing."""
        self.expect(harness.PROMPT.replace(b"\n", b"\r\n"), n)
        self.wait_for_editing()

    def type(self, keys):
        os.write(self.master, keys)

    def finish(self):
        status = self.proc.wait(HANG_GUARD)
        while self._read(0.05):
            pass
        return status

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        os.close(self.master)
        os.close(self.slave)


class LineEditing(harness.AppTestCase):
    def start(self, term="xterm"):
        t = Terminal(self.app, term)
        self.addCleanup(t.close)
        return t

    def test_up_arrow_runs_the_line_again_and_keys_edit_it(self):
        t = self.start()
        t.prompt(1)
        t.type(b"echo mark$((6*7))\r")
        t.prompt(2)
        t.type(UP + b"\r")
        t.prompt(3)
        # Left, typing in the middle, Backspace, Ctrl-A and Ctrl-E.
        t.type(b"cho one thre" + LEFT + b"XX\x7fe\x01e\x05e\r")
        t.prompt(4)
        t.type(b"quit\r")
        self.assertEqual(t.finish(), 0)
        self.assertEqual(t.out.count(b"\r\nmark42\r\n"), 2)
        self.assertIn(b"\r\none thrXeee\r\n", t.out)
        self.assertNotIn(b"not found", t.out)
        self.assertTrue(t.out.endswith(harness.TERMINATED.replace(b"\n", b"\r\n")))
        self.assertFalse(t.raw(), "the terminal is left in raw mode")

    def test_ctrl_c_discards_the_typed_line_and_prompts_again(self):
        t = self.start()
        t.prompt(1)
        t.type(b"echo lost")
        t.expect(b"echo lost")
        t.type(b"\x03")
        t.expect(b"^C\r\n" + harness.PROMPT.replace(b"\n", b"\r\n"))
        t.wait_for_editing()
        t.type(b"echo kept\r")
        t.prompt(3)
        t.type(b"\x04")  # Ctrl-D on the empty line: the end of input
        self.assertEqual(t.finish(), 0)
        self.assertNotIn(b"\r\nlost\r\n", t.out)
        self.assertIn(b"\r\nkept\r\n", t.out)
        self.assertTrue(t.out.endswith(harness.TERMINATED.replace(b"\n", b"\r\n")))
        self.assertFalse(t.raw())

    def test_termination_signal_while_editing_restores_the_terminal(self):
        t = self.start()
        t.prompt(1)
        t.type(b"enc half typed")
        t.expect(b"half typed")
        t.proc.send_signal(signal.SIGTERM)
        self.assertEqual(t.finish(), 0)
        attrs = termios.tcgetattr(t.slave)
        self.assertTrue(attrs[3] & termios.ICANON and attrs[3] & termios.ECHO)
        self.assertTrue(attrs[0] & termios.ICRNL)

    def test_dumb_terminal_reads_plain_lines(self):
        t = self.start(term="dumb")
        t.expect(harness.PROMPT.replace(b"\n", b"\r\n"))
        # The arrow's bytes are part of the line, which goes to the shell.
        t.type(UP + b"\r")
        t.expect(b"command not found")
        t.type(b"quit\r")
        self.assertEqual(t.finish(), 0)
        self.assertNotIn(b"\x1b[K", t.out)


class ProgressLine(harness.AppTestCase):
    def run_session(self, commands, stderr_terminal):
        """Runs with standard input and output on pipes; standard error on a
        pseudo-terminal or a pipe. Returns (status, stdout, stderr)."""
        env = self.app.env({"LD_PRELOAD": SHIM, "OMBRIX_TEST_TIME": "1780000000",
                            "OMBRIX_TEST_HMS": "1:2:3", "OMBRIX_TEST_CLOCK_STEP_MS": "150"})
        stdin = b"".join(c + b"\n" for c in commands) + b"quit\n"
        if not stderr_terminal:
            p = subprocess.run([self.app.program], input=stdin, capture_output=True, env=env,
                               cwd=self.app.root, timeout=HANG_GUARD)
            return p.returncode, p.stdout, p.stderr
        master, slave = open_pty()
        try:
            proc = subprocess.Popen([self.app.program], stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, stderr=slave, env=env, cwd=self.app.root)
            os.close(slave)
            out, _ = proc.communicate(stdin, timeout=HANG_GUARD)
            err = b""
            while select.select([master], [], [], 0.2)[0]:
                try:
                    data = os.read(master, 65536)
                except OSError:
                    break
                if not data:
                    break
                err += data
            return proc.returncode, out, err
        finally:
            os.close(master)

    def test_progress_on_a_terminals_standard_error_only(self):
        self.app.write("big", os.urandom(2 * 1024 * 1024))
        commands = [b"createsys 8 1 1 n", b"enc big big.enc 1 1 1", b"dec big.enc big.dec 1 1 1"]
        status, out, err = self.run_session(commands, stderr_terminal=True)
        self.assertEqual(status, 0)
        self.assertIn(b"of 8 key files", err)
        self.assertIn(b"of 2.0 MiB", err)
        self.assertIn(b"100%", err)
        self.assertIn(b" left", err)
        self.assertEqual(err.count(b"2.0 MiB of 2.0 MiB"), 2)  # enc, then dec
        # Every line is erased: the output ends with blanks over the last one.
        last = err.rsplit(b"\r", 2)
        self.assertEqual(last[2], b"")
        self.assertTrue(last[1].strip(b" ") == b"" and len(last[1]) > 20)
        self.assertEqual(self.app.read("big.dec"), self.app.read("big"))

        # Through pipes: the same standard output, nothing on standard error.
        for name in os.listdir(self.app.dir):
            if name != "ombrix" and name != "big":
                os.remove(self.app.path(name))
        status2, out2, err2 = self.run_session(commands, stderr_terminal=False)
        self.assertEqual((status2, err2), (0, b""))
        self.assertEqual(out2, out)
        self.assertIn(b"==== Decryption completed ====\n", out)


if __name__ == "__main__":
    unittest.main()
