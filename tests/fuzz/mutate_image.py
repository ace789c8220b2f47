#!/usr/bin/env python3
"""Random mutants of the code image in a program file's ".mv" section.

Each mutant is the program with one damaged spot, run in a folder of its own with
a shell line and "quit" on standard input. Counts, per kind of damage, the runs that
ended on a signal (and of those, the ones that had printed a report first), that did not
end in time, that started without the shell plug-in answering, and that left an
extracted plug-in in HOME, and (in the sanitizer build) the runs with a sanitizer report.

The program may be the i386 one (ELF32, an image without a tag, import records that
patch the code) or the x86-64 one (ELF64, an image that begins with its machine tag,
import records that fill slots in the data block and set literals' text pointers).

Structural damage (block counts, the machine tag, import records that break a rule of
the format, their names, the chains of sites stored in the code or the slots the records
name, the string literal records, resource, options and symbol records, the section
headers) must be refused before anything runs:
never a signal, a hang, a start without the shell plug-in or a plug-in left in HOME.
Damage that cannot be told from valid content is counted apart: the bytes of code, data
and the stored plug-in library, and import tables that still keep every rule ("sites":
a site moved elsewhere inside the code, one valid opcode or kind for another, a name
changed into another exported one); of those, hangs are counted too. Structural mutants
are made from the program with its digest section (".mvsum") removed, so that they reach
the record checks.

--mode any-byte changes one byte of ".mv" (xored with a random non-zero value): a place
is chosen (the block counts, a block's bytes, the resource record's header, the stored
plug-in), each as likely, then any byte of it. It counts per place the runs refused
with the damage line as their last line ("refused"; "by digest": its digest line alone),
those that ran with the shell answering ("ran"), the same faults as above, and the runs
that ended otherwise before the prompt ("other": a runtime error report and a status of
1, say). With the digest every mutant must be refused with "its digest does not match"
alone; with --without-digest (".mvsum" removed) the outcomes are counted only.

    tests/fuzz/mutate_image.py build/ombrix [--mode structural|any-byte] [--without-digest]
                               [--count 4000] [--seed 1] [--jobs 2] [--timeout 20]
"""
import argparse
import errno
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

BLOCKS = ("code", "data", "imports", "symbols", "resources", "options")


class Elf:
    """Where an ELF32 (i386) or ELF64 (x86-64) file keeps what the loader reads: the
    section table's offset, the header size, count and name-table index in the ELF
    header; a section header's file offset and size."""

    def __init__(self, program):
        self.wide = program[4] == 2
        self.word = "<Q" if self.wide else "<I"
        self.shoff = 40 if self.wide else 32
        self.shentsize = 58 if self.wide else 46
        self.offset = 24 if self.wide else 16
        self.size = 32 if self.wide else 20


def section(program):
    """File offset and size of ".mv", and the ELF fields that lead to it."""
    e = Elf(program)
    shoff, = struct.unpack_from(e.word, program, e.shoff)
    entsize, count, names = struct.unpack_from("<HHH", program, e.shentsize)
    names_off, = struct.unpack_from(e.word, program, shoff + names * entsize + e.offset)
    for i in range(count):
        h = shoff + i * entsize
        name, = struct.unpack_from("<I", program, h)
        if program[names_off + name:names_off + name + 4] == b".mv\0":
            off, = struct.unpack_from(e.word, program, h + e.offset)
            size, = struct.unpack_from(e.word, program, h + e.size)
            return off, size, h, shoff + names * entsize
    raise SystemExit("no .mv section")


# An x86-64 image begins with this tag and its ELF machine number (62); an i386 image has
# neither.
TAG = b"\xff\xff\xff\xff"
X86_64 = 62
PAGE = 4096


def tag_size(program, off):
    return 8 if program[off:off + 4] == TAG else 0


def wide_image(program, off):
    return tag_size(program, off) == 8


def layout(program, off):
    """(name, count offset, first byte, size) of the six blocks."""
    out, pos = [], off + tag_size(program, off)
    for name in BLOCKS:
        n, = struct.unpack_from("<I", program, pos)
        out.append((name, pos, pos + 4, n))
        pos += 4 + n
    return out


def u32(b, at):
    return struct.unpack_from("<I", b, at)[0]


def parse_imports(t):
    """The import table's records as (opcode, record offset, first site or code offset,
    [(name offset, name length)]); None when a record runs past the table."""
    records, pos = [], 0
    while pos < len(t):
        op, at = t[pos], pos
        pos += 1
        if op in (1, 4):
            head = 5 if op == 1 else 4
            if pos + head > len(t):
                return None
            first = u32(t, pos + head - 4)
            pos += head
            names = []
            for _ in range(1 if op == 1 else 2):
                if pos >= len(t) or pos + 1 + t[pos] + 1 > len(t):
                    return None
                names.append((pos + 1, t[pos]))
                pos += 1 + t[pos] + 1
            records.append((op, at, first, names))
        elif op in (2, 3, 5, 6):
            if pos + 4 > len(t):
                return None
            records.append((op, at, u32(t, pos), []))
            pos += 4
    return records


def literal_sound(data, at, wide=False):
    """A whole, aligned string literal record as stored (what the loader checks): on i386
    its header is five u32 words, on x86-64 the text pointer is a u64 after 4 bytes of
    padding, and the record is 8-byte aligned."""
    align, fmt, text_at = (8, "<I4xQII", 28) if wide else (4, "<IIII", 20)
    if at % align or at + text_at + 2 > len(data):
        return False
    refs, text, bufsize, length = struct.unpack_from(fmt, data, at)
    if at + text_at + 2 + length > len(data):
        return False
    return (refs == 1 and text == 0 and bufsize == length + 2
            and data[at + text_at] == min(length, 255) and data[at + text_at + 1 + length] == 0)


def slots_sound(records, t, data, exports):
    """x86-64: only slot and literal records; the slots one after the other from data
    offset 0, each name exported; the literals whole, once each, after the slot pages."""
    slots, literals = 0, set()
    for op, at, first, names in records:
        if op in (2, 3, 4, 5):
            return False
        if op == 1:
            name = t[names[0][0]:names[0][0] + names[0][1]].decode("latin-1").upper()
            if t[at + 1] != 2 or first != 8 * slots or first + 8 > len(data) or name not in exports:
                return False
            slots += 1
        elif op == 6:
            if first in literals or not literal_sound(data, first, True):
                return False
            literals.add(first)
    pages = (8 * slots + PAGE - 1) // PAGE * PAGE
    return all(at >= pages for at in literals)


def image_sound(program, off, exports):
    """Whether the import table, with the code and data it patches, keeps every rule the
    loader checks: whole records, names with their 0 byte and no NUL inside, every site
    inside the code and patched once, sound literal records, and every function called
    through a site exported."""
    blocks = {name: (first, n) for name, _, first, n in layout(program, off)}
    (cf, cn), (df, dn), (tf, tn) = blocks["code"], blocks["data"], blocks["imports"]
    code, data, t = program[cf:cf + cn], program[df:df + dn], program[tf:tf + tn]
    records = parse_imports(t)
    if records is None:
        return False
    if wide_image(program, off):
        if any(0 in t[at:at + n] or t[at + n] != 0 for r in records for at, n in r[3]):
            return False
        return program[off + 4:off + 8] == bytes([X86_64, 0, 0, 0]) and slots_sound(
            records, t, data, exports)
    patched = set()

    def site_ok(site):
        if site + 4 > cn or any(site + i in patched for i in range(4)):
            return False
        patched.update(range(site, site + 4))
        return True

    for op, _, first, names in records:
        for at, n in names:
            if 0 in t[at:at + n] or t[at + n] != 0:
                return False
        if op in (1, 4):
            site = first
            while site:
                if not site_ok(site):
                    return False
                site = u32(code, site)
            name = t[names[0][0]:names[0][0] + names[0][1]].decode("latin-1").upper()
            if op == 1 and first and name not in exports:
                return False
            if op == 4 and first:
                return False  # no library of this image can be loaded
        elif op != 6:  # opcode 6 does nothing in an i386 image
            if not site_ok(first):
                return False
            if op == 5 and not literal_sound(data, u32(code, first)):
                return False
    return True


def mutate(program, rnd, exports):
    """One mutant: (kind, bytes)."""
    data = bytearray(program)
    off, size, mv_header, names_header = section(program)
    wide = wide_image(program, off)
    blocks = layout(program, off)
    where = {name: (first, n) for name, _, first, n in blocks}
    kind = rnd.choice(["count", "imports", "names", "chains", "literals", "resources",
                       "options", "symbols", "elf", "code", "data", "plugin"] +
                      (["tag"] if wide else []))
    if kind == "count":
        _, at, _, n = rnd.choice(blocks)
        value = rnd.choice([n + rnd.randint(1, 64), n + rnd.randint(1, 1 << 20),
                            rnd.getrandbits(32), 0xFFFFFFFF, max(0, n - rnd.randint(1, 64)), 0])
        struct.pack_into("<I", data, at, value & 0xFFFFFFFF)
    elif kind == "tag":
        at = off + rnd.randrange(8)
        data[at] = rnd.choice([b for b in range(256) if b != data[at]])
    elif kind == "elf":
        e = Elf(program)
        fields = [(e.shoff, e.word), (e.shentsize, "<H"), (e.shentsize + 2, "<H"),
                  (e.shentsize + 4, "<H"), (mv_header + e.offset, e.word),
                  (mv_header + e.size, e.word), (mv_header, "<I"),
                  (names_header + e.offset, e.word), (names_header + e.size, e.word)]
        at, fmt = rnd.choice(fields)
        width = struct.calcsize(fmt)
        old, = struct.unpack_from(fmt, data, at)
        value = rnd.choice([rnd.getrandbits(8 * width), old + rnd.randint(1, 64),
                            max(0, old - rnd.randint(1, 64)), 0, (1 << (8 * width)) - 1])
        struct.pack_into(fmt, data, at, value & ((1 << (8 * width)) - 1))
    elif kind in ("names", "chains", "literals"):
        (cf, cn), (df, dn), (tf, tn) = where["code"], where["data"], where["imports"]
        records = parse_imports(program[tf:tf + tn])
        if kind == "names":    # a name's length byte, one of its bytes or its terminator
            _, _, _, names = rnd.choice([r for r in records if r[3]])
            at, n = names[0]
            spot = tf + at + rnd.randint(-1, n)
            data[spot] = rnd.choice([0, rnd.randrange(256), data[spot] ^ 0x20, data[spot] + 1 & 255])
        elif kind == "chains" and wide:  # the slot a record names
            op, at, first, _ = rnd.choice([r for r in records if r[0] in (1, 6)])
            value = rnd.choice([0, rnd.getrandbits(32), first + rnd.choice([-8, 8, 1, 4]),
                                dn - rnd.randint(0, 8), rnd.randrange(max(1, dn)) & ~7])
            struct.pack_into("<I", data, tf + at + (2 if op == 1 else 1), value & 0xFFFFFFFF)
        elif kind == "chains":  # the next-site field stored in the code at a site
            op, _, first, _ = rnd.choice([r for r in records if r[0] in (1, 5) and r[2]])
            value = rnd.choice([0, rnd.getrandbits(32), first, cn - rnd.randint(0, 8),
                                rnd.randrange(cn) & ~3, u32(program, cf + first) + rnd.choice([-4, 4, 1])])
            struct.pack_into("<I", data, cf + first, value & 0xFFFFFFFF)
        elif wide:              # the header, length byte or terminator of a literal record
            _, _, lit, _ = rnd.choice([r for r in records if r[0] == 6])
            length = u32(program, df + lit + 20)
            spot = df + lit + rnd.choice(list(range(30)) + [29 + length])
            data[spot] = rnd.randrange(256)
        else:
            _, _, site, _ = rnd.choice([r for r in records if r[0] == 5])
            lit = u32(program, cf + site)
            length = u32(program, df + lit + 12)
            spot = df + lit + rnd.choice(list(range(22)) + [21 + length])
            data[spot] = rnd.randrange(256)
    else:
        name = {"plugin": "resources"}.get(kind, kind)
        first, n = where[name]
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
    # Damage to the import table or to the code and data fields it reads that still keeps
    # every rule the loader checks (a site moved elsewhere inside the code, an opcode or
    # kind swapped for another valid one, a name changed into another exported one)
    # cannot be told from a sound table: it is damage to the content, like the code bytes.
    if kind in ("imports", "names", "chains", "literals") and image_sound(bytes(data), off, exports):
        kind = "sites"
    return kind, bytes(data)


def without_digest(program):
    """The program with its ".mvsum" section removed (by objcopy, as the tests do)."""
    with tempfile.TemporaryDirectory(prefix="ombrix-strip-") as d:
        path = os.path.join(d, "ombrix")
        with open(path, "wb") as f:
            f.write(program)
        subprocess.run(["objcopy", "--remove-section", ".mvsum", path], check=True)
        with open(path, "rb") as f:
            return f.read()


def places(program, off):
    """The places of ".mv" as (name, [(first byte, size)]): the six block counts, each
    block's bytes, with the resource block split into its record header and the stored
    plug-in (its name and library)."""
    out = [("counts", [(count_at, 4) for _, count_at, _, _ in layout(program, off)])]
    for name, _, first, n in layout(program, off):
        if name == "resources" and n > 14:
            out += [(name, [(first, 14)]), ("plugin", [(first + 14, n - 14)])]
        elif n:
            out.append((name, [(first, n)]))
    return out


def mutate_any_byte(program, rnd):
    """One mutant: one byte of ".mv" changed, in a place chosen first (each as likely, so
    that the small blocks are reached as often as the large data block), then any of its
    bytes. (place, bytes)"""
    off, _, _, _ = section(program)
    name, spans = rnd.choice(places(program, off))
    first, n = rnd.choice(spans)
    at = first + rnd.randrange(n)
    data = bytearray(program)
    data[at] ^= rnd.randrange(1, 256)
    return name, bytes(data)


# A shell line whose output the input itself does not contain: it shows that the shell
# plug-in is there and works.
SHELL_LINE = b"echo ombrix-$((6*7))-shell\n"
SHELL_OUTPUT = b"ombrix-42-shell"


def run(mutant, timeout):
    """(outcome, output, plug-in files left in HOME, whether a sanitizer reported): the
    outcome is the exit status, a signal's name or "hang"."""
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
                p = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, cwd=d, env=env,
                                     start_new_session=True)
                break
            except OSError as e:  # another thread's child still holds the file open
                if e.errno != errno.ETXTBSY or attempt == 49:
                    raise
                time.sleep(0.01)
        try:
            out, err = p.communicate(SHELL_LINE + b"quit\n", timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(p.pid, signal.SIGKILL)
            p.communicate()
            return "hang", b"", 0, False
        extracted = os.path.join(home, ".tmpAppData")
        left = len(os.listdir(extracted)) if os.path.isdir(extracted) else 0
        sanitized = b"Sanitizer" in err or b"runtime error:" in err
        if p.returncode < 0:
            return signal.Signals(-p.returncode).name, out, left, sanitized
        return p.returncode, out, left, sanitized


def read_exports(path):
    with open(path) as f:
        return {line.strip().upper() for line in f if line.strip()}


COLUMNS = ("runs", "signals", "after report", "hangs", "no shell", "left", "sanitizer")
ANY_COLUMNS = ("runs", "refused", "by digest", "ran", "signals", "hangs", "no shell", "left",
               "sanitizer", "other")
PLACES = ("counts", "code", "data", "imports", "symbols", "resources", "plugin", "options")
# The loader's damage line, as the last line of the output (a runtime error report, such
# as that of a name that is not exported, may come before it).
DAMAGE_LINE = re.compile(rb"(?:\A|\n)The code image of [^\n]* is damaged: ([^\n]*)\.\n\Z")


def tally(results, columns, classify):
    """Counts per kind of damage: the runs, those that started without the shell, left a
    plug-in or drew a sanitizer report, and what classify(counts, outcome, output,
    no_shell) adds."""
    kinds = {}
    for kind, outcome, out, no_shell, left, sanitized in results:
        k = kinds.setdefault(kind, dict.fromkeys(columns, 0))
        k["runs"] += 1
        k["no shell"] += no_shell
        k["left"] += left > 0
        k["sanitizer"] += sanitized
        classify(k, outcome, out, no_shell)
    return kinds


def report_structural(results):
    def classify(k, outcome, out, no_shell):
        if outcome == "hang":
            k["hangs"] += 1
        elif isinstance(outcome, str):
            k["signals"] += 1
            if b"Runtime Error" in out or b"damaged" in out or b"Loader" in out:
                k["after report"] += 1

    kinds = tally(results, COLUMNS, classify)
    structural = ("count", "tag", "imports", "names", "chains", "literals", "resources",
                  "options", "symbols", "elf")
    total = dict.fromkeys(COLUMNS, 0)
    print("%-10s" % "damage" + "".join("%13s" % c for c in COLUMNS))
    for kind in structural + ("sites", "code", "data", "plugin"):
        k = kinds.get(kind)
        if not k:
            continue
        print("%-10s" % kind + "".join("%13d" % k[c] for c in COLUMNS))
        if kind in structural:
            for c in COLUMNS:
                total[c] += k[c]
    print("%-10s" % "structural" + "".join("%13d" % total[c] for c in COLUMNS))
    sites = kinds.get("sites", dict.fromkeys(COLUMNS, 0))
    bad = (total["signals"] + total["hangs"] + total["no shell"] + total["left"] +
           total["sanitizer"] + sites["hangs"])
    print("structural mutants ending on a signal, hanging, starting without the shell, "
          "leaving a plug-in or drawing a sanitizer report, and site mutants hanging: %d" % bad)
    return 1 if bad else 0


def report_any_byte(results, digest):
    def classify(k, outcome, out, no_shell):
        line = DAMAGE_LINE.search(out)
        if outcome == "hang":
            k["hangs"] += 1
        elif isinstance(outcome, str):
            k["signals"] += 1
        elif outcome == 1 and line:
            k["refused"] += 1
            # With the digest: its line alone, before anything else was printed.
            k["by digest"] += (out == line.group(0) and
                               line.group(1) == b"its digest does not match")
        elif outcome == 0 and SHELL_OUTPUT in out:
            k["ran"] += 1
        elif not no_shell:
            k["other"] += 1

    places = tally(results, ANY_COLUMNS, classify)
    total = dict.fromkeys(ANY_COLUMNS, 0)
    print("%-12s" % "any byte of" + "".join("%11s" % c for c in ANY_COLUMNS))
    for place in PLACES:
        k = places.get(place)
        if not k:
            continue
        print("%-12s" % place + "".join("%11d" % k[c] for c in ANY_COLUMNS))
        for c in ANY_COLUMNS:
            total[c] += k[c]
    print("%-12s" % "all" + "".join("%11d" % total[c] for c in ANY_COLUMNS))
    if not digest:
        print("without the digest: counted, not held to a target")
        return 0
    missed = total["runs"] - total["by digest"]
    print("with the digest, mutants not refused with \"its digest does not match\": %d" % missed)
    return 1 if missed else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--exports", help="the runtime's export names, one a line (default: "
                    "export_names.txt beside the program)")
    ap.add_argument("--mode", choices=("structural", "any-byte"), default="structural")
    ap.add_argument("--without-digest", action="store_true",
                    help="any-byte mode: mutate the program with its .mvsum section removed "
                    "(structural mutants always are)")
    ap.add_argument("--count", type=int, default=4000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=float, default=20)
    ap.add_argument("--keep", help="folder for the mutants that ended on a signal, hung, "
                    "started without the shell plug-in or left one in HOME")
    args = ap.parse_args()
    with open(args.program, "rb") as f:
        program = f.read()
    any_byte = args.mode == "any-byte"
    digest = any_byte and not args.without_digest
    if not digest:
        program = without_digest(program)
    exports = read_exports(args.exports or os.path.join(os.path.dirname(args.program),
                                                        "export_names.txt"))

    def one(i):
        rnd = random.Random(args.seed * 1000003 + i)
        kind, mutant = mutate_any_byte(program, rnd) if any_byte else mutate(program, rnd, exports)
        outcome, out, left, sanitized = run(mutant, args.timeout)
        # Started (the prompt was printed) without the shell answering its line.
        no_shell = b"[Ombrix]" in out and SHELL_OUTPUT not in out
        if args.keep and (isinstance(outcome, str) or no_shell or left or sanitized):
            os.makedirs(args.keep, exist_ok=True)
            with open(os.path.join(args.keep, "%s-%s-%d" % (kind, outcome, i)), "wb") as f:
                f.write(mutant)
        return kind, outcome, out, no_shell, left, sanitized

    started = time.monotonic()
    with ThreadPoolExecutor(args.jobs) as pool:
        results = list(pool.map(one, range(args.count)))
    elapsed = time.monotonic() - started
    print("%d mutants (%s, %s digest), seeds %d*1000003+0..%d, %d jobs: %.0f s, %.2f s a run"
          % (args.count, args.mode, "with" if digest else "without", args.seed, args.count - 1,
             args.jobs, elapsed, elapsed * args.jobs / max(1, args.count)))
    return report_any_byte(results, digest) if any_byte else report_structural(results)


if __name__ == "__main__":
    sys.exit(main())
