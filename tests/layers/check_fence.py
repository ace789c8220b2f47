#!/usr/bin/env python3
"""The code image cannot use the runtime's internal declarations: fence_probe.cpp is
compiled (syntax only) with the image's flags, once per probe.

  - probe 0 (exported names only) compiles;
  - every probe compiles without MV_EXPORTS_ONLY, so the probe itself is sound;
  - with MV_EXPORTS_ONLY each probe fails, naming the internal function it uses (or, for
    a runtime-internal header, the header's own error).

Usage: check_fence.py COMPILER SOURCE_ROOT 'IMAGE;FLAGS;...'
"""
import os
import subprocess
import sys
import pathlib

FENCE = "-DMV_EXPORTS_ONLY"
NAMES = {1: "MVApplicationObject", 2: "MVProgressErase", 3: "MVRaiseNew", 4: "MVLiveObjectCount",
         5: "MVPluginResolve", 6: "MVEndOnSignal", 7: "MVApplicationFolder",
         8: "MVAbandonSafeOutputs", 9: "MVStringFromCString", 10: "MVParkMillerStep"}
HEADERS = {100: "runtime/core/report.h", 101: "runtime/values/alloc.h",
           102: "runtime/core/symbols.h"}


def compile_probe(compiler, root, flags, probe):
    source = pathlib.Path(__file__).with_name("fence_probe.cpp")
    command = [compiler, *flags, "-fsyntax-only", f"-I{root}", f"-DPROBE={probe}", str(source)]
    environment = dict(os.environ, LC_ALL="C")  # plain quotes in the messages
    run = subprocess.run(command, capture_output=True, text=True, env=environment)
    return run.returncode, run.stderr


def main():
    compiler, root, flag_list = sys.argv[1], sys.argv[2], sys.argv[3]
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
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
