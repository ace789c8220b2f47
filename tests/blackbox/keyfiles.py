"""The key files as the tests write and read them: the layout of their lines, their
names, the random generator the program draws from, and a writer of whole key systems."""
import os

# Line layouts: every field a zero-padded decimal number of a fixed width.
SLOTS = 20          # slot-map fields of a k2.dat entry; flags, periods, shifts of a k3.bin entry
TABLE_LINES = 20    # tables (lines) of an entry file
TABLE_FIELDS = 256  # fields of a table
TABLE_WIDTH = 3
K2_WIDTH = 7
K3_WIDTH = 3
SEEDS = 10          # expansion seeds of a k3.bin entry

SYSTEM, SLOT_MAP, STEP = "sys.dat", "k2.dat", "k3.bin"


def entry_file(n):
    """The entry file of component 1 for n, a number or the number's text as typed."""
    return "K1%s.bin" % n


def set_names(n1):
    """The files of a system with n1 entries, in the order the copies take them."""
    return [entry_file(i) for i in range(1, n1 + 1)] + [SLOT_MAP, STEP, SYSTEM]


def field(value, width):
    """The decimal text of value, left-padded with "0"; of a longer text the rightmost
    `width` characters."""
    return ("0" * width + str(value))[-width:]


def f3(value):
    return field(value, 3)


def f7(value):
    return field(value, 7)


def table_line(values):
    """One substitution table: field k holds the byte at position k."""
    return "".join(field(v, TABLE_WIDTH) for v in values)


def k2_line(slot_map, spare):
    """A k2.dat entry: the slot map, then the numbers the cipher does not use."""
    return "".join(field(v, K2_WIDTH) for v in list(slot_map) + list(spare))


def k3_line(values):
    """A k3.bin entry from its numbers in file order: directions, phase-0 periods,
    phase-1 periods, shifts, seeds, and the final number."""
    return "".join(field(v, K3_WIDTH) for v in values)


def write_key_system(folder, entries, k2_lines, k3_lines, count=None):
    """Writes a key system into folder: entries[i] is the list of lines of entry file
    i + 1; k2_lines and k3_lines are written as they are (with their line ends); sys.dat
    holds count, by default the number of entry files."""
    os.makedirs(folder, exist_ok=True)
    for n, lines in enumerate(entries, 1):
        with open(os.path.join(folder, entry_file(n)), "w") as f:
            f.writelines(lines)
    with open(os.path.join(folder, SLOT_MAP), "w") as f:
        f.writelines(k2_lines)
    with open(os.path.join(folder, STEP), "w") as f:
        f.writelines(k3_lines)
    with open(os.path.join(folder, SYSTEM), "w") as f:
        f.write("%d\n" % (len(entries) if count is None else count))
