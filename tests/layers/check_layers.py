#!/usr/bin/env python3
"""Checks that every runtime source includes only runtime headers of its own layer or
of a lower one (the layers are described in runtime/runtime_only.h).

Usage: check_layers.py SOURCE_ROOT
"""
import pathlib
import re
import sys

BASE, SERVICES, TOP = 1, 2, 3
NAMES = {BASE: "base", SERVICES: "services", TOP: "top"}

# The bottom of runtime/core, which belongs to the base layer; every other file of
# runtime/core is the top layer.
CORE_BASE = {
    "object.h", "objects.cpp", "classes.cpp", "objects_internal.h",
    "exception.h", "exceptions.cpp", "unwind.cpp", "protected_call.S", "handler_record.inc",
    "image_format.h",
    "report.h", "report.cpp",
    "shutdown.h", "shutdown.cpp",
    "signals.h", "signals.cpp",
    "symbols.h", "symbols.cpp",
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"(runtime/[^"]+)"', re.M)


def layer(path):
    """Layer and service area of a path relative to the source root."""
    parts = path.split("/")
    if parts[0] != "runtime":
        return None, None
    if len(parts) == 2 or parts[1] == "values":
        return BASE, None
    if parts[1] in ("console", "files"):
        return SERVICES, parts[1]
    if parts[1] == "core":
        return (BASE if parts[-1] in CORE_BASE else TOP), None
    return TOP, None


def violations(root):
    found = []
    for source in sorted((root / "runtime").rglob("*")):
        if source.suffix not in (".h", ".cpp", ".inc", ".S") or not source.is_file():
            continue
        name = source.relative_to(root).as_posix()
        own, area = layer(name)
        for included in INCLUDE.findall(source.read_text(errors="replace")):
            other, other_area = layer(included)
            if other > own:
                found.append(f"{name} ({NAMES[own]}) includes {included} ({NAMES[other]})")
            elif own == SERVICES and other == SERVICES and area != other_area:
                found.append(f"{name} includes {included}: console and files stay apart")
    return found


def main():
    root = pathlib.Path(sys.argv[1])
    if not (root / "runtime").is_dir():
        print(f"no runtime folder under {root}")
        return 2
    found = violations(root)
    for line in found:
        print(line)
    if found:
        print("a lower layer reaches an upper one only through a hook installed at start-up")
        return 1
    print("every runtime include follows the layers")
    return 0


if __name__ == "__main__":
    sys.exit(main())
