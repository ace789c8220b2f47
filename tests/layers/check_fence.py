#!/usr/bin/env python3
"""The code image cannot use the runtime's internal declarations: fence_probe.cpp is
compiled (syntax only) with the image's flags, once per probe.

  - probe 0 (exported names only) compiles;
  - every probe compiles without MV_EXPORTS_ONLY, so the probe itself is sound;
  - with MV_EXPORTS_ONLY each probe fails, naming the internal function it uses (or, for
    a runtime-internal header, the header's own error);
  - every function that the runtime's headers declare for the image is in the export
    table, so what compiles for the image also links in the image builder.

Usage: check_fence.py COMPILER SOURCE_ROOT 'IMAGE;FLAGS;...' EXPORT_NAMES_FILE
"""
import os
import pathlib
import re
import subprocess
import sys

FENCE = "-DMV_EXPORTS_ONLY"
NAMES = {1: "MVApplicationObject", 2: "MVProgressErase", 3: "MVRaiseNew", 4: "MVLiveObjectCount",
         5: "MVPluginResolve", 6: "MVEndOnSignal", 7: "MVApplicationFolder",
         8: "MVAbandonSafeOutputs", 9: "MVStringFromCString", 10: "MVParkMillerStep"}
HEADERS = {100: "runtime/core/objects/report.h", 101: "runtime/values/alloc.h",
           102: "runtime/core/objects/symbols.h"}


def compile_probe(compiler, root, flags, probe):
    source = pathlib.Path(__file__).with_name("fence_probe.cpp")
    command = [compiler, *flags, "-fsyntax-only", f"-I{root}", f"-DPROBE={probe}", str(source)]
    environment = dict(os.environ, LC_ALL="C")  # plain quotes in the messages
    run = subprocess.run(command, capture_output=True, text=True, env=environment)
    return run.returncode, run.stderr


def declared_for_image(compiler, root, flags):
    """Names of the functions that the runtime's headers declare for the image."""
    command = [compiler, *flags, "-E", f"-I{root}", "-x", "c++", "-"]
    run = subprocess.run(command, input='#include "app/rt.h"\n', capture_output=True,
                         text=True, check=True)
    # Keep the text that comes from the runtime's headers (line markers name the file).
    parts, keep = [], False
    for line in run.stdout.splitlines():
        marker = re.match(r'^# \d+ "([^"]+)"', line)
        if marker:
            keep = "/runtime/" in marker.group(1)
        elif keep:
            parts.append(line)
    text = re.sub(r"__attribute__\s*\(\(.*?\)\)", " ", " ".join(parts))
    names = set()
    for statement in re.split(r"[;{}]", text):
        statement = statement.strip()
        if statement.startswith(("typedef", "static", "enum", "struct")):
            continue
        function = re.match(r'^(?:extern "C" )?[\w\s*]*?\b(\w+)\s*\((?!\s*\*)', statement)
        if function:
            names.add(function.group(1))
    return names


def main():
    compiler, root, flag_list, export_file = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    image_flags = [f for f in flag_list.split(";") if f]
    if FENCE not in image_flags:
        print(f"the image's flags do not hold {FENCE}")
        return 1
    open_flags = [f for f in image_flags if f != FENCE]
    failures = []
    code, errors = compile_probe(compiler, root, image_flags, 0)
    if code != 0:
        failures.append(f"exported names only: does not compile for the image\n{errors}")
    for probe, what in {**NAMES, **HEADERS}.items():
        code, errors = compile_probe(compiler, root, open_flags, probe)
        if code != 0:
            failures.append(f"{what}: the probe does not compile inside the runtime\n{errors}")
            continue
        code, errors = compile_probe(compiler, root, image_flags, probe)
        expected = "runtime-internal header" if probe in HEADERS else f"'{what}' was not declared"
        if code == 0:
            failures.append(f"{what}: compiles for the image")
        elif expected not in errors:
            failures.append(f"{what}: fails for the image, but not on the fence\n{errors}")
        else:
            print(f"{what}: refused for the image")
    exported = {line.strip().lower() for line in open(export_file) if line.strip()}
    declared = declared_for_image(compiler, root, image_flags)
    if len(declared) < 20:
        failures.append(f"only {len(declared)} functions found in the image's view of the headers")
    missing = sorted(name for name in declared if name.lower() not in exported)
    for name in missing:
        failures.append(f"{name}: declared for the image but not exported (fence it)")
    if not missing:
        print(f"{len(declared)} functions declared for the image, all exported")
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
