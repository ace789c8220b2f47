"""Check the hardening of built ELF files with readelf.

Every file must be bound at load time (FLAGS BIND_NOW or FLAGS_1 NOW), have a read-only
relocation segment (GNU_RELRO), a non-executable stack (GNU_STACK without E) and call the
stack protector's failure routine (__stack_chk_fail, or __stack_chk_fail_local, the
local stub i386 position-independent code calls). Files after --executable must also be
position-independent executables (type DYN with FLAGS_1 PIE).
"""
import subprocess
import sys


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
        if "Type:                              DYN" not in readelf("-h", path):
            found.append("not a position-independent executable (type is not DYN)")
        if "PIE" not in words:
            found.append("not a position-independent executable (no PIE flag)")
    return found


def main(argv):
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
