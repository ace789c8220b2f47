#!/usr/bin/env python3
"""Random mutants of the code image in a program file's ".mv" section.

Each mutant is the program with one damaged spot, run in a folder of its own with
"quit" on standard input. Counts, per kind of damage, the runs that ended on a signal
(and of those, the ones that had printed a report first) or that did not end in time.

Structural damage (block counts, import records that break a rule of the format,
resource and options records, symbols, the section headers) must never end in a signal.
Damage that cannot be told from valid content is counted apart: the bytes of code, data
and the stored plug-in library, and import tables that still keep every rule ("sites":
a site moved elsewhere inside the code, one valid opcode or kind for another).

    tests/fuzz/mutate_image.py build/ombrix [--count 4000] [--seed 1] [--jobs 2]
"""
import argparse
import errno
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

BLOCKS = ("code", "data", "imports", "symbols", "resources", "options")


def section(program):
    """File offset and size of ".mv", and the ELF fields that lead to it."""
    shoff, = struct.unpack_from("<I", program, 32)
    entsize, count, names = struct.unpack_from("<HHH", program, 46)
    names_off, = struct.unpack_from("<I", program, shoff + names * entsize + 16)
    for i in range(count):
        h = shoff + i * entsize
        name, = struct.unpack_from("<I", program, h)
        if program[names_off + name:names_off + name + 4] == b".mv\0":
            off, size = struct.unpack_from("<II", program, h + 16)
            return off, size, h, shoff + names * entsize
    raise SystemExit("no .mv section")


def layout(program, off):
    """(name, count offset, first byte, size) of the six blocks."""
    out, pos = [], off
    for name in BLOCKS:
        n, = struct.unpack_from("<I", program, pos)
        out.append((name, pos, pos + 4, n))
        pos += 4 + n
    return out


def import_table_sound(program, off):
    """Whether the image's import table keeps every rule of its format: whole records,
    every site inside the code block, chains that end, literals inside the data block."""
    blocks = {name: (first, n) for name, _, first, n in layout(program, off)}
    cf, cn = blocks["code"]
    code = bytearray(program[cf:cf + cn])
    df, dn = blocks["data"]
    tf, tn = blocks["imports"]
    t = program[tf:tf + tn]
    pos = 0
    in_code = lambda site: site + 4 <= cn

    def u32(b, at):
        return struct.unpack_from("<I", b, at)[0]

    while pos < tn:
        op = t[pos]
        pos += 1
        if op in (1, 4):
            if pos + (5 if op == 1 else 4) > tn:
                return False
            first = u32(t, pos + (1 if op == 1 else 0))
            pos += 5 if op == 1 else 4
            for _ in range(1 if op == 1 else 2):
                if pos >= tn or pos + 1 + t[pos] + 1 > tn:
                    return False
                pos += 1 + t[pos] + 1
            site, steps = first, cn // 4 + 1
            while site and steps:
                if not in_code(site):
                    return False
                nxt = u32(code, site)
                struct.pack_into("<I", code, site, 0x7FFFFFF0)  # an address: never a site
                site, steps = nxt, steps - 1
            if site:
                return False
        elif op in (2, 3, 5):
            if pos + 4 > tn:
                return False
            site = u32(t, pos)
            pos += 4
            if not in_code(site):
                return False
            if op == 5 and u32(code, site) + 22 > dn:
                return False
    return True


def mutate(program, rnd):
    """One mutant: (kind, bytes)."""
    data = bytearray(program)
    off, size, mv_header, names_header = section(program)
    blocks = layout(program, off)
    kind = rnd.choice(["count", "imports", "resources", "options", "symbols", "elf",
                       "code", "data", "plugin"])
    if kind == "count":
        _, at, _, n = rnd.choice(blocks)
        value = rnd.choice([n + rnd.randint(1, 64), n + rnd.randint(1, 1 << 20),
                            rnd.getrandbits(32), 0xFFFFFFFF, max(0, n - rnd.randint(1, 64)), 0])
        struct.pack_into("<I", data, at, value & 0xFFFFFFFF)
    elif kind == "elf":
        fields = [(32, "<I"), (46, "<H"), (48, "<H"), (50, "<H"),
                  (mv_header + 16, "<I"), (mv_header + 20, "<I"), (mv_header, "<I"),
                  (names_header + 16, "<I"), (names_header + 20, "<I")]
        at, fmt = rnd.choice(fields)
        width = struct.calcsize(fmt)
        old, = struct.unpack_from(fmt, data, at)
        value = rnd.choice([rnd.getrandbits(8 * width), old + rnd.randint(1, 64),
                            max(0, old - rnd.randint(1, 64)), 0, (1 << (8 * width)) - 1])
        struct.pack_into(fmt, data, at, value & ((1 << (8 * width)) - 1))
    else:
        name = {"plugin": "resources"}.get(kind, kind)
        _, _, first, n = next(b for b in blocks if b[0] == name)
        if kind == "resources":   # the record headers in front of each stored file
            spots, pos = [], 0
            while pos + 14 <= n:
                spots.append(first + pos + rnd.randrange(14))
                rsize, = struct.unpack_from("<I", program, first + pos + 10)
                pos += 14 + rsize
            spots = spots or [first]
        elif kind == "plugin":
            spots = [first + 14 + rnd.randrange(max(1, n - 14))]
        else:
            spots = [first + rnd.randrange(n)] if n else [off]
        for _ in range(rnd.randint(1, 4)):
            at = rnd.choice(spots) + rnd.randint(0, 3)
            if at < len(data):
                data[at] = rnd.randrange(256)
        # A table that still keeps every rule of the format (a site moved elsewhere inside
        # the code, an opcode or kind swapped for another valid one) cannot be told from
        # a sound one: it is damage to the content, like the code bytes.
        if kind == "imports" and import_table_sound(bytes(data), off):
            kind = "sites"
    return kind, bytes(data)


def run(mutant, timeout):
    with tempfile.TemporaryDirectory(prefix="ombrix-mutant-") as d:
        exe = os.path.join(d, "ombrix")
        with open(exe, "wb") as f:
            f.write(mutant)
        os.chmod(exe, 0o755)
        home = os.path.join(d, "home")
        os.mkdir(home)
        env = dict(os.environ, HOME=home)
        for attempt in range(50):
            try:
                p = subprocess.run([exe], input=b"quit\n", cwd=d, env=env, capture_output=True,
                                   timeout=timeout, start_new_session=True)
                break
            except subprocess.TimeoutExpired:
                return "hang", b""
            except OSError as e:  # another thread's child still holds the file open
                if e.errno != errno.ETXTBSY or attempt == 49:
                    raise
                time.sleep(0.01)
        if p.returncode < 0:
            return signal.Signals(-p.returncode).name, p.stdout
        return p.returncode, p.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--count", type=int, default=4000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=20)
    ap.add_argument("--keep", help="folder for the mutants that ended on a signal or hung")
    args = ap.parse_args()
    with open(args.program, "rb") as f:
        program = f.read()
    def one(i):
        kind, mutant = mutate(program, random.Random(args.seed * 1000003 + i))
        outcome, out = run(mutant, args.timeout)
        if args.keep and isinstance(outcome, str):
            os.makedirs(args.keep, exist_ok=True)
            with open(os.path.join(args.keep, "%s-%s-%d" % (kind, outcome, i)), "wb") as f:
                f.write(mutant)
        return kind, outcome, out

    with ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(one, range(args.count)))

    kinds = {}
    for kind, outcome, out in results:
        k = kinds.setdefault(kind, {"runs": 0, "signals": 0, "after report": 0, "hangs": 0})
        k["runs"] += 1
        if outcome == "hang":
            k["hangs"] += 1
        elif isinstance(outcome, str):
            k["signals"] += 1
            if b"Runtime Error" in out or b"damaged" in out or b"Loader" in out:
                k["after report"] += 1
    structural = ("count", "imports", "resources", "options", "symbols", "elf")
    total = {"runs": 0, "signals": 0, "after report": 0, "hangs": 0}
    print("%-10s %6s %8s %13s %6s" % ("damage", "runs", "signals", "after report", "hangs"))
    for kind in structural + ("sites", "code", "data", "plugin"):
        k = kinds.get(kind)
        if not k:
            continue
        print("%-10s %6d %8d %13d %6d" % (kind, k["runs"], k["signals"], k["after report"], k["hangs"]))
        for key in total:
            total[key] += k[key]
    print("%-10s %6d %8d %13d %6d" % ("all", total["runs"], total["signals"],
                                      total["after report"], total["hangs"]))
    bad = sum(kinds.get(k, {}).get("signals", 0) + kinds.get(k, {}).get("hangs", 0)
              for k in structural)
    print("structural mutants ending on a signal or hanging: %d" % bad)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
