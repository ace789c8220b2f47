"""A damaged code image: the real program, its ".mv" section or its loose files damaged
one way at a time, is refused with status 1 and one exact line, before any of the
image's code runs, and never ends on a signal."""
import os
import shutil
import struct
import subprocess
import unittest

from harness import BUILD, AppTestCase

LOOSE = os.path.join(BUILD, "loose")
LOOSE_FILES = ("import.dat", "code.dat", "data.dat", "rsrc.dat", "options.dat", "symbols.dat")
BLOCKS = ("code block", "data block", "import table", "symbols block", "resource block",
          "options block")


class ProgramFile(AppTestCase):
    def setUp(self):
        super().setUp()
        with open(self.app.program, "rb") as f:
            self.elf = bytearray(f.read())
        self.shoff, = struct.unpack_from("<I", self.elf, 32)
        self.shnum, self.shstrndx = struct.unpack_from("<HH", self.elf, 48)
        names, = struct.unpack_from("<I", self.elf, self.shoff + 40 * self.shstrndx + 16)
        for i in range(self.shnum):
            h = self.shoff + 40 * i
            name, = struct.unpack_from("<I", self.elf, h)
            if self.elf[names + name:names + name + 4] == b".mv\0":
                self.mv = h
        self.offset, self.size = struct.unpack_from("<II", self.elf, self.mv + 16)

    def refused(self, damage, problem):
        """The program finds its own file through argument 0: started as the damaged copy
        (which the system itself would not start when its ELF header is damaged)."""
        data = bytearray(self.elf)
        damage(data)
        damaged = self.app.path("damaged")
        self.app.write("damaged", bytes(data))
        p = subprocess.run([damaged], executable=self.app.program, input=b"quit\n",
                           capture_output=True, cwd=self.app.root, env=self.app.env(),
                           timeout=60)
        self.assertGreaterEqual(p.returncode, 0, "ended on a signal")
        self.assertEqual(p.stdout, b"The code image of %s is damaged: %s.\n"
                         % (damaged.encode(), problem.encode()))
        self.assertEqual(p.returncode, 1)

    def put(self, at, fmt, value):
        return lambda d: struct.pack_into(fmt, d, at, value)

    def test_each_elf_header_fault(self):
        self.refused(self.put(1, "<B", ord("X")), "the program file is not an ELF file")
        self.refused(self.put(4, "<B", 2), "the program file is not a 32-bit ELF file")
        self.refused(self.put(5, "<B", 2), "the program file is not a little-endian ELF file")
        self.refused(self.put(46, "<H", 64), "its section headers are not 40 bytes each")
        self.refused(self.put(32, "<I", len(self.elf) - 40 * self.shnum + 4),
                     "its section table lies outside the program file")
        self.refused(self.put(50, "<H", self.shnum),
                     "its section-name table lies outside the program file")
        self.refused(self.put(self.mv + 20, "<I", len(self.elf) - self.offset + 1),
                     "the section .mv lies outside the program file")

    def test_each_block_count_too_large_for_the_section(self):
        # The section is followed by other bytes of the file: a count may reach into them
        # and still be refused.
        self.assertLess(self.offset + self.size, len(self.elf))
        at, left = self.offset, self.size
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

    def test_a_section_that_ends_inside_a_count(self):
        self.refused(self.put(self.mv + 20, "<I", 2),
                     "the section ends inside the count of the code block")


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
        """Offset of the first data-address record (opcode 2) of the real table."""
        with open(os.path.join(LOOSE, "import.dat"), "rb") as f:
            t = f.read()
        pos = 0
        while t[pos] != 2:
            op = t[pos]
            pos += 7 + t[pos + 6] + 1 if op == 1 else 5 if op in (3, 5) else 1
        return pos

    def test_a_truncated_import_record(self):
        at = self.first_relocation()
        self.damage_imports(lambda t: t.__delitem__(slice(at + 3, None)))
        report = self.refused("an import record is damaged")
        self.assertIn(b"Failure Condition: recordInTable\nImport table ends inside a record\n",
                      report)

    def test_an_import_record_out_of_range(self):
        at = self.first_relocation()
        self.damage_imports(lambda t: struct.pack_into("<I", t, at + 1, 0xFFFFFF00))
        report = self.refused("an import record is damaged")
        self.assertIn(b"Code offset 4294967040 lies outside the code block\n", report)

    def test_the_optional_files_may_be_missing(self):
        for name in ("symbols.dat", "options.dat"):
            os.remove(os.path.join(self.work, name))
        r = self.app.run(b"quit\n", cwd=self.work)
        self.assertEqual(r.status, 0)
        self.assertIn(b"[Ombrix]", r.out)


if __name__ == "__main__":
    unittest.main()
