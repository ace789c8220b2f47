"""Check that a shared library needs nothing but the C library and libutil.

Every undefined dynamic symbol must be weak or carry a GLIBC version (both libc and
libutil version their symbols so), and the only needed libraries are libc and libutil.
"""
import subprocess
import sys

ALLOWED_LIBRARIES = ("libc.so.6", "libutil.so.1")
# A sanitizer build's library also needs the sanitizer runtimes (--sanitized).
SANITIZER_LIBRARIES = ("libasan.so.8", "libubsan.so.1", "libstdc++.so.6", "libm.so.6",
                       "libgcc_s.so.1")


def main(path, sanitized=False):
    allowed = ALLOWED_LIBRARIES + (SANITIZER_LIBRARIES if sanitized else ())
    bad = []
    nm = subprocess.run(["nm", "-D", "--undefined-only", path], check=True,
                        capture_output=True, text=True).stdout
    for line in nm.splitlines():
        fields = line.split()
        if len(fields) != 2:
            continue
        kind, symbol = fields
        if kind in ("w", "v"):
            continue
        if sanitized:
            # The sanitizer runtime stands in for the C library's own functions, whose
            # references then carry no version: only the libraries needed are checked.
            continue
        if "@GLIBC_" not in symbol:
            bad.append("undefined symbol outside the C library: " + symbol)
    dynamic = subprocess.run(["readelf", "-d", path], check=True,
                             capture_output=True, text=True).stdout
    for line in dynamic.splitlines():
        if "(NEEDED)" in line:
            name = line.split("[", 1)[1].rstrip("]")
            if name not in allowed:
                bad.append("needs library " + name)
    for b in bad:
        print(b)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], "--sanitized" in sys.argv[2:]))
