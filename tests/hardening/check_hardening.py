"""Check the hardening of built ELF files with readelf, and of the running program.

Every file must be bound at load time (FLAGS BIND_NOW or FLAGS_1 NOW), have a read-only
relocation segment (GNU_RELRO), a non-executable stack (GNU_STACK without E) and call
the stack protector's failure routine (__stack_chk_fail, or __stack_chk_fail_local, the
local stub i386 position-independent code calls). Files after --executable must also be
position-independent executables (type DYN with FLAGS_1 PIE) and call the C library's
checked routines that FORTIFY puts in place of the plain ones (__memcpy_chk,
__snprintf_chk, ...; the plug-in's calls all have sizes the compiler proves, so it has
none).

--running PROGRAM starts the program at its prompt and reads its memory map: no mapping
may be writable and executable at once (the code image is linked in writable pages and
then made read + execute). Under the user-mode emulator (OMBRIX_TEST_EMULATED=1) the map
is the emulator's own, and the check is skipped (status 77).
"""
import os
import shutil
import subprocess
import sys
import tempfile


def readelf(*args):
    return subprocess.run(["readelf", "-W"] + list(args), check=True, capture_output=True,
                          text=True).stdout


def problems(path, executable):
    found = []
    dynamic = readelf("-d", path)
    flags = [l for l in dynamic.splitlines() if "(FLAGS)" in l or "(FLAGS_1)" in l]
    words = {w for l in flags for w in l.split(":", 1)[-1].split()} if flags else set()
    if not ({"BIND_NOW", "NOW"} & words):
        found.append("not bound at load time (no BIND_NOW / NOW flag)")
    segments = readelf("-l", path)
    if "GNU_RELRO" not in segments:
        found.append("no read-only relocation segment (GNU_RELRO)")
    stack = [l for l in segments.splitlines() if l.split()[:1] == ["GNU_STACK"]]
    if not stack or "E" in stack[0].split()[-2]:
        found.append("stack not marked non-executable (GNU_STACK)")
    symbols = {f.split("@")[0] for l in readelf("-s", path).splitlines() for f in l.split()[7:8]}
    if not {"__stack_chk_fail", "__stack_chk_fail_local"} & symbols:
        found.append("no stack protector (__stack_chk_fail is not referenced)")
    if executable:
        if not any(name.startswith("__") and name.endswith("_chk") and "stack_chk" not in name
                   for name in symbols):
            found.append("not fortified (no checked C library routine such as __memcpy_chk)")
        if "Type:                              DYN" not in readelf("-h", path):
            found.append("not a position-independent executable (type is not DYN)")
        if "PIE" not in words:
            found.append("not a position-independent executable (no PIE flag)")
    return found


def writable_and_executable(program):
    """The mappings of the running program, at its prompt, that are both writable and
    executable."""
    with tempfile.TemporaryDirectory(prefix="ombrix-hardening-") as d:
        exe = os.path.join(d, "ombrix")
        shutil.copy2(program, exe)
        env = {"PATH": "/usr/bin:/bin", "HOME": d, "LC_ALL": "C"}
        p = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=d, env=env)
        try:
            seen = b""
            while b"[Ombrix]" not in seen:
                chunk = os.read(p.stdout.fileno(), 4096)
                if not chunk:
                    raise SystemExit("%s ended before its prompt" % program)
                seen += chunk
            with open("/proc/%d/maps" % p.pid) as f:
                maps = f.read().splitlines()
        finally:
            p.stdin.write(b"quit\n")
            p.stdin.close()
            p.wait(timeout=60)
    return [line for line in maps if "w" in line.split()[1] and "x" in line.split()[1]]


def main(argv):
    if argv[:1] == ["--running"]:
        if os.environ.get("OMBRIX_TEST_EMULATED") == "1":
            print("skipped: under the user-mode emulator the memory map is the emulator's")
            return 77
        wx = writable_and_executable(argv[1])
        for line in wx:
            print("%s: writable and executable at once: %s" % (argv[1], line))
        return 1 if wx else 0
    bad = 0
    executable = False
    for arg in argv:
        if arg == "--executable":
            executable = True
            continue
        for p in problems(arg, executable):
            print("%s: %s" % (arg, p))
            bad += 1
        executable = False
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
