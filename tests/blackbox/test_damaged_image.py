"""A damaged code image: the real program, its ".mv" section or its loose files damaged
one way at a time, is refused with status 1 and one exact line, before any of the
image's code runs, never ends on a signal and leaves no extracted plug-in behind. With
its digest (".mvsum") any changed byte is refused; without it (removed, as below) every
record is still checked. The program is the i386 one (ELF32, records that patch the
code) or the x86-64 one (ELF64, a tagged image whose records fill slots in the data
block); so is the other machine's image each of them refuses."""
import os
import shutil
import struct
import subprocess
import sys
import unittest

from harness import BUILD, AppTestCase

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "fuzz"))
from mutate_image import Elf, layout, parse_imports, section, tag_size  # noqa: E402  (the image's own reader)

LOOSE = os.path.join(BUILD, "loose")
LOOSE_FILES = ("import.dat", "code.dat", "data.dat", "rsrc.dat", "options.dat", "symbols.dat")
BLOCKS = ("code block", "data block", "import table", "symbols block", "resource block",
          "options block")


class ProgramCopy(AppTestCase):
    """A copy of the program, with its digest or (the default) without it."""
    digest = False

    def setUp(self):
        super().setUp()
        if not self.digest:
            subprocess.run(["objcopy", "--remove-section", ".mvsum", self.app.program],
                           check=True)
        with open(self.app.program, "rb") as f:
            self.elf = bytearray(f.read())
        self.e = Elf(self.elf)
        self.shoff, = struct.unpack_from(self.e.word, self.elf, self.e.shoff)
        self.entry, self.shnum, self.shstrndx = struct.unpack_from("<HHH", self.elf,
                                                                   self.e.shentsize)
        names, = struct.unpack_from(self.e.word, self.elf,
                                    self.shoff + self.entry * self.shstrndx + self.e.offset)
        self.headers = {}
        for i in range(self.shnum):
            h = self.shoff + self.entry * i
            name, = struct.unpack_from("<I", self.elf, h)
            self.headers[bytes(self.elf[names + name:self.elf.index(0, names + name)])] = h
        self.assertEqual(b".mvsum" in self.headers, self.digest)
        self.offset, self.size, self.mv, _ = section(self.elf)
        self.tag = tag_size(self.elf, self.offset)

    def start(self, damage):
        """The program finds its own file through argument 0: started as the damaged copy
        (which the system itself would not start when its ELF header is damaged)."""
        data = bytearray(self.elf)
        damage(data)
        damaged = self.app.path("damaged")
        self.app.write("damaged", bytes(data))
        p = subprocess.run([damaged], executable=self.app.program, input=b"echo shell\nquit\n",
                           capture_output=True, cwd=self.app.root, env=self.app.env(),
                           timeout=60)
        self.assertGreaterEqual(p.returncode, 0, "ended on a signal")
        extracted = os.path.join(self.app.home, ".tmpAppData")
        self.assertEqual(os.listdir(extracted) if os.path.isdir(extracted) else [], [],
                         "an extracted plug-in was left behind")
        return damaged, p

    def refused(self, damage, problem, report=b""):
        damaged, p = self.start(damage)
        self.assertEqual(p.stdout, report + b"The code image of %s is damaged: %s.\n"
                         % (damaged.encode(), problem.encode()))
        self.assertEqual(p.returncode, 1)

    def put(self, at, fmt, *values):
        return lambda d: struct.pack_into(fmt, d, at, *values)


class ProgramFile(ProgramCopy):
    """Without its digest, the damage below reaches the record checks."""

    def test_each_elf_header_fault(self):
        e = self.e
        self.refused(self.put(1, "<B", ord("X")), "the program file is not an ELF file")
        self.refused(self.put(4, "<B", 3),
                     "the program file is neither a 32-bit nor a 64-bit ELF file")
        self.refused(self.put(5, "<B", 2), "the program file is not a little-endian ELF file")
        self.refused(self.put(e.shentsize, "<H", 40 if e.wide else 64),
                     "its section headers are not %d bytes each" % self.entry)
        self.refused(self.put(e.shoff, e.word, len(self.elf) - self.entry * self.shnum + 4),
                     "its section table lies outside the program file")
        self.refused(self.put(e.shentsize + 4, "<H", self.shnum),
                     "its section-name table lies outside the program file")
        self.refused(self.put(self.mv + e.size, e.word, len(self.elf) - self.offset + 1),
                     "the section .mv lies outside the program file")

    def test_the_other_machines_image(self):
        """An x86-64 image begins with FFFFFFFF and its ELF machine number 62; an i386
        image has no such tag."""
        if self.tag:
            self.refused(self.put(self.offset + 4, "<I", 3),
                         "it is the image of another machine (ELF machine 3), not of x86-64")
            self.refused(self.put(self.offset, "<I", 0x1234),
                         "it is not an x86-64 image (it does not begin with the x86-64 "
                         "machine tag)")
        else:
            self.refused(self.put(self.offset, "<II", 0xFFFFFFFF, 62),
                         "it is the image of another machine (ELF machine 62), not of i386")

    def test_each_block_count_too_large_for_the_section(self):
        # The section is followed by other bytes of the file: a count may reach into them
        # and still be refused.
        self.assertLess(self.offset + self.size, len(self.elf))
        at, left = self.offset + self.tag, self.size - self.tag
        for name in BLOCKS:
            count, = struct.unpack_from("<I", self.elf, at)
            with self.subTest(block=name):
                self.refused(self.put(at, "<I", left - 4 + 1),
                             "the %s runs past the end of the section" % name)
            at += 4 + count
            left -= 4 + count

    def test_a_fifo_in_the_programs_place_is_not_waited_on(self):
        fifo = self.app.path("fifo")
        os.mkfifo(fifo)
        p = subprocess.run([fifo], executable=self.app.program, input=b"quit\n",
                           capture_output=True, cwd=self.app.root, env=self.app.env(),
                           timeout=60)
        self.assertEqual(p.stdout, b"The code image of %s is damaged: the program file is not "
                         b"a regular file.\n" % fifo.encode())
        self.assertEqual(p.returncode, 1)

    def records(self):
        """The image's blocks by name (first byte, size) and its import records."""
        blocks = {name: (first, n) for name, _, first, n in layout(self.elf, self.offset)}
        first, n = blocks["imports"]
        return blocks, parse_imports(self.elf[first:first + n])

    def test_each_damaged_record_kind(self):
        blocks, imports = self.records()
        (code, _), (data, _), (table, _) = blocks["code"], blocks["data"], blocks["imports"]
        (resources, _), (symbols, _), (options, options_size) = (
            blocks["resources"], blocks["symbols"], blocks["options"])
        call = next(r for r in imports if r[0] == 1 and (r[2] or self.tag))
        name = table + call[3][0][0]
        symbol_count, = struct.unpack_from("<I", self.elf, symbols)
        symbols_end = symbols + blocks["symbols"][1]
        if self.tag:  # x86-64: slot records, then the literal records
            slot = table + call[1] + 2
            literal_record = next(r for r in imports if r[0] == 6)
            literal = literal_record[2]
            operand = table + literal_record[1] + 1
            cases = [
                ("a slot that is not the next one", self.put(slot, "<I", call[2] + 8),
                 "an import slot is not the next one of the slot pages"),
                ("a kind that patches code", self.put(slot - 1, "<B", 1),
                 "a runtime import is not linked through a slot"),
                ("a literal off its boundary", self.put(operand, "<I", literal + 4),
                 "a string literal is not aligned on 8 bytes"),
                ("a literal record naming a slot", self.put(operand, "<I", 0),
                 "a string literal record is malformed"),
            ]
        else:
            literal_site = code + next(r for r in imports if r[0] == 5)[2]
            literal, = struct.unpack_from("<I", self.elf, literal_site)
            cases = [
                ("a chain of sites that comes back", self.put(code + call[2], "<I", call[2]),
                 "an import site is patched twice"),
                ("a literal off its boundary", self.put(literal_site, "<I", literal + 2),
                 "a string literal is not aligned on 4 bytes"),
            ]
        cases += [
            ("an import name without its 0 byte",
             self.put(name + call[3][0][1], "<B", ord("x")),
             "an import name does not end with its 0 byte"),
            ("a NUL inside an import name", self.put(name + 2, "<B", 0),
             "an import name holds a NUL byte"),
            ("a literal's reference count", self.put(data + literal, "<I", 0),
             "a string literal record is malformed"),
            ("a symbol's name past its block",
             self.put(symbols + 4 + 8 * (symbol_count - 1) + 4, "<I", symbols_end - symbols),
             "a symbol's name runs past the symbols block"),
            ("a resource past its block",
             self.put(resources + 10, "<I", blocks["resources"][1] - 14 + 1),
             "a resource record runs past the resource block"),
            ("a plug-in name past its resource", self.put(resources + 14, "<B", 255),
             "the plug-in resource is damaged"),
            ("an options record cut off", self.put(options - 4, "<I", options_size - 1),
             "an options record runs past the options block"),
        ]
        for what, damage, problem in cases:
            with self.subTest(damage=what):
                self.refused(damage, problem)

    def test_a_call_that_cannot_be_linked(self):
        blocks, imports = self.records()
        call = next(r for r in imports if r[0] == 1 and (r[2] or self.tag))
        at, n = call[3][0]
        first = blocks["imports"][0] + at
        renamed = b"Q" + bytes(self.elf[first + 1:first + n])
        report = (b"Runtime Error 4:Failed Assertion\n\nPlease report what caused this error\n"
                  b"along with the information below.\n\n../Common/loaderX86: 211\n"
                  b"Failure Condition: foundFunction\nFunction '%s' was not exported\n\n" % renamed)
        self.refused(self.put(first, "<B", ord("Q")), "a function it calls cannot be linked", report)

    def test_a_plugin_entry_that_cannot_be_found(self):
        """Without its plug-in resource the image cannot make its shell: it ends at the first
        entry it asks for, before the prompt."""
        blocks, _ = self.records()
        _, p = self.start(self.put(blocks["resources"][0], "<I", 0x4D56507A))  # 'MVPz'
        self.assertEqual(p.stdout, b"Runtime Error 4:Failed Assertion\n\nPlease report what caused "
                         b"this error\nalong with the information below.\n\n../Common/plugin: 8302\n"
                         b"Failure Condition: pluginEntryTable.GetEntry( entrypointName, out )\n"
                         b"can't find plugin method Shell.__init\n\n")
        self.assertEqual(p.returncode, 1)

    def test_a_section_that_ends_inside_a_count(self):
        self.refused(self.put(self.mv + self.e.size, self.e.word, self.tag + 2),
                     "the section ends inside the count of the code block")


class DigestedProgram(ProgramCopy):
    digest = True

    def test_a_changed_byte_in_each_block_and_in_the_plugin_is_refused(self):
        blocks = {name: (count_at, first, n) for name, count_at, first, n
                  in layout(self.elf, self.offset)}
        first, n = blocks["resources"][1:]
        # The stored library: past the resource record's header and the plug-in's name.
        library = first + 14 + 1 + self.elf[first + 14]
        spots = [("the plug-in's bytes", (library + first + n) // 2)]
        for name, (count_at, first, n) in blocks.items():
            spots.append(("the count of the %s block" % name, count_at))
            if n:
                spots.append(("the %s block" % name, first + n // 2))
        for what, at in spots:
            with self.subTest(damage=what):
                self.refused(lambda d: d.__setitem__(at, d[at] ^ 0x10), "its digest does not match")

    def test_a_changed_digest_or_section_size_is_refused(self):
        digest = self.headers[b".mvsum"]
        at, = struct.unpack_from(self.e.word, self.elf, digest + self.e.offset)
        self.refused(lambda d: d.__setitem__(at + 31, d[at + 31] ^ 0x01),
                     "its digest does not match")
        self.refused(self.put(self.mv + self.e.size, self.e.word, self.size - 1),
                     "its digest does not match")

    def test_a_digest_of_the_wrong_size_written_by_objcopy_is_refused(self):
        self.app.write("short", b"\0" * 31)
        subprocess.run(["objcopy", "--update-section", ".mvsum=" + self.app.path("short"),
                        self.app.program], check=True)
        r = self.app.run(b"quit\n")
        self.assertEqual(r.out, b"The code image of %s is damaged: the section .mvsum is not "
                         b"32 bytes.\n" % self.app.program.encode())
        self.assertEqual(r.status, 1)


class LooseFiles(AppTestCase):
    def setUp(self):
        super().setUp()
        subprocess.run(["objcopy", "--remove-section", ".mv", self.app.program], check=True)
        self.work = os.path.join(self.app.root, "work")
        os.makedirs(self.work)
        for name in LOOSE_FILES:
            shutil.copy(os.path.join(LOOSE, name), self.work)

    def refused(self, problem):
        r = self.app.run(b"quit\n", cwd=self.work)
        self.assertGreaterEqual(r.status, 0, "ended on a signal")
        expected = b"The code image in the loose files of %s is damaged: %s.\n" % (
            self.work.encode(), problem.encode())
        self.assertTrue(r.out.endswith(expected), r.out)
        self.assertEqual(r.status, 1)
        return r.out[:-len(expected)]

    def test_each_missing_file_the_image_needs(self):
        for name in ("import.dat", "code.dat", "data.dat"):
            with self.subTest(file=name):
                os.rename(os.path.join(self.work, name), os.path.join(self.work, "saved"))
                self.assertEqual(self.refused("%s is missing or empty" % name), b"")
                os.rename(os.path.join(self.work, "saved"), os.path.join(self.work, name))

    def damage_imports(self, change):
        path = os.path.join(self.work, "import.dat")
        with open(path, "rb") as f:
            table = bytearray(f.read())
        change(table)
        with open(path, "wb") as f:
            f.write(table)

    def first_relocation(self):
        """Offset of the first record with a 4-byte operand of the real table: a
        data-address record (opcode 2, i386) or a literal record (opcode 6, x86-64)."""
        with open(os.path.join(LOOSE, "import.dat"), "rb") as f:
            t = f.read()
        records = parse_imports(t)
        return next(r[1] for r in records if r[0] in (2, 6))

    def wide(self):
        with open(os.path.join(LOOSE, "code.dat"), "rb") as f:
            return f.read(4) == b"\xff\xff\xff\xff"

    def test_a_truncated_import_record(self):
        at = self.first_relocation()
        self.damage_imports(lambda t: t.__delitem__(slice(at + 3, None)))
        self.assertEqual(self.refused("the import table ends inside a record"), b"")

    def test_an_import_record_out_of_range(self):
        at = self.first_relocation()
        self.damage_imports(lambda t: struct.pack_into("<I", t, at + 1, 0xFFFFFF00))
        self.assertEqual(self.refused("a string literal lies outside the data block" if self.wide()
                                      else "an import site lies outside the code block"), b"")

    def test_the_other_machines_code_file(self):
        """The loose files in a folder can come from either build: each program refuses
        the other machine's code file."""
        path = os.path.join(self.work, "code.dat")
        with open(path, "rb") as f:
            code = f.read()
        if self.wide():
            other = b"\xe9" + code[9:]  # an i386 code file: the code, no tag
            problem = ("code.dat: it is not an x86-64 image (it does not begin with the "
                       "x86-64 machine tag)")
        else:
            other = b"\xff\xff\xff\xff\x3e\x00\x00\x00" + code
            problem = "code.dat: it is the image of another machine (ELF machine 62), not of i386"
        with open(path, "wb") as f:
            f.write(other)
        self.assertEqual(self.refused(problem), b"")

    def test_the_optional_files_may_be_missing(self):
        for name in ("symbols.dat", "options.dat"):
            os.remove(os.path.join(self.work, name))
        r = self.app.run(b"quit\n", cwd=self.work)
        self.assertEqual(r.status, 0)
        self.assertIn(b"[Ombrix]", r.out)


if __name__ == "__main__":
    unittest.main()
