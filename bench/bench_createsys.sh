#!/usr/bin/env bash
# createsys 1000 1000 1000 n, beside writing the same bytes with plain file writes.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/app" "$work/home" "$work/plain"
cp "$build/ombrix" "$work/app/ombrix"

now() { date +%s.%N; }

t0=$(now)
printf 'createsys 1000 1000 1000 n\nquit\n' | HOME="$work/home" "$work/app/ombrix" >/dev/null
t1=$(now)
bytes=$(cat "$work/app"/K1*.bin "$work/app/k2.dat" "$work/app/k3.bin" "$work/app/sys.dat" | wc -c)

# The baseline writes as many files of the same sizes, line by line.
t2=$(now)
python3 - "$work/plain" <<'PY'
import os, sys
d = sys.argv[1]
line = "0" * 768 + "\n"
for n in range(1, 1001):
    with open(os.path.join(d, "K1%d.bin" % n), "w") as f:
        for _ in range(20):
            f.write(line)
for name, width in (("k2.dat", 280), ("k3.bin", 273)):
    with open(os.path.join(d, name), "w") as f:
        for _ in range(1000):
            f.write("0" * width + "\n")
PY
t3=$(now)
awk -v a="$t0" -v b="$t1" -v c="$t2" -v d="$t3" -v n="$bytes" 'BEGIN {
  printf "createsys 1000 1000 1000 n: %.2f s for %d bytes\n", b - a, n
  printf "plain writes of the same files (baseline): %.2f s\n", d - c
}'
