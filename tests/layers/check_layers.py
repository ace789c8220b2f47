#!/usr/bin/env python3
"""Checks that every runtime source includes only runtime headers of its own layer or
of a lower one. The folders are the layers (described in runtime/runtime_only.h):
runtime/values and runtime/core/objects are the base, runtime/console and runtime/files
the services, runtime/core/process the top; a source in any other runtime folder is
reported, so that a new folder is given its layer here.

Usage: check_layers.py SOURCE_ROOT
"""
import pathlib
import re
import sys

BASE, SERVICES, TOP = 1, 2, 3
UNPLACED = 0
NAMES = {BASE: "base", SERVICES: "services", TOP: "top"}

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
    if parts[1:3] == ["core", "objects"]:
        return BASE, None
    if parts[1:3] == ["core", "process"]:
        return TOP, None
    return UNPLACED, None


def violations(root):
    found = []
    for source in sorted((root / "runtime").rglob("*")):
        if source.suffix not in (".h", ".cpp", ".inc", ".S") or not source.is_file():
            continue
        name = source.relative_to(root).as_posix()
        own, area = layer(name)
        if own == UNPLACED:
            found.append(f"{name} lies in no layer's folder")
            continue
        for included in INCLUDE.findall(source.read_text(errors="replace")):
            other, other_area = layer(included)
            if other == UNPLACED:
                found.append(f"{name} includes {included}, which lies in no layer's folder")
            elif other > own:
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
