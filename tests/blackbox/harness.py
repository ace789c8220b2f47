"""Black-box harness: run the real ombrix in a temporary application folder.

Each AppFolder is a fresh temporary folder holding a copy of the program and a home
folder of its own (plug-in extraction stays inside it). `run` feeds bytes to standard
input and returns the exit status and the exact output bytes.
"""
import os
import shutil
import subprocess
import tempfile
import unittest

BUILD = os.environ.get("OMBRIX_BUILD", os.path.join(os.path.dirname(__file__), "..", "..", "build"))
PROGRAM = os.path.abspath(os.path.join(BUILD, "ombrix"))

BANNER = (
    b" \n"
    b"=====================================\n"
    b"==\n"
    b"==   Ombrix Encryption for Linux   \n"
    b"==      Command Line Interface    \n"
    b"==           Version 1.5.0\n"
    b"==  \n"
    b"=====================================\n"
    b"enter help for general topics\n"
    b"enter help f for formats reference\n"
    b"enter end or quit or exit to terminate\n"
    b" \n"
)
NOT_INSTALLED = b"System is not installed.  Issue createsys or ressys.\n"
READY = b"System is ready.\n"
PROMPT = b"[Ombrix] \n"
TERMINATED = b"=== Ombrix Encryption for Linux CLI v1.5.0 Terminated ===\n \n"


class Result:
    def __init__(self, status, out, err):
        self.status, self.out, self.err = status, out, err


class AppFolder:
    def __init__(self, program=PROGRAM):
        self.root = tempfile.mkdtemp(prefix="ombrix-test-")
        self.dir = os.path.join(self.root, "app")
        self.home = os.path.join(self.root, "home")
        os.makedirs(self.dir)
        os.makedirs(self.home)
        self.program = os.path.join(self.dir, "ombrix")
        shutil.copy2(program, self.program)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def write(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def env(self, extra=None):
        env = {"PATH": "/usr/bin:/bin", "HOME": self.home, "LC_ALL": "C"}
        # The sanitizer build's settings reach the program under test.
        env.update({k: v for k, v in os.environ.items()
                    if k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")})
        # A user-mode emulator runs the vector instructions hundreds of times slower than a
        # processor: there the cipher runs its portable routines unless a test asks.
        if os.environ.get("OMBRIX_TEST_EMULATED") == "1":
            env["OMBRIX_CIPHER_PATH"] = "portable"
        env.update(extra or {})
        return env

    def run(self, stdin=b"", args=None, cwd=None, env=None, timeout=120):
        p = subprocess.run(args or [self.program], input=stdin, capture_output=True,
                           cwd=cwd or self.root, env=self.env(env), timeout=timeout)
        return Result(p.returncode, p.stdout, p.stderr)

    def session(self, lines, **kw):
        """Run with the given command lines (str or bytes) followed by 'quit'."""
        data = b"".join((l if isinstance(l, bytes) else l.encode()) + b"\n" for l in lines)
        return self.run(data + b"quit\n", **kw)

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def transcript(*commands_output, installed=False):
    """Expected output of a session: banner, presence line, then for each (output) the
    prompt followed by that output, then the final prompt and the termination lines."""
    out = BANNER + (READY if installed else NOT_INSTALLED)
    for o in commands_output:
        out += PROMPT + o
    return out + PROMPT + TERMINATED


class AppTestCase(unittest.TestCase):
    def setUp(self):
        self.app = AppFolder()
        self.addCleanup(self.app.cleanup)
