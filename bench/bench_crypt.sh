#!/usr/bin/env bash
# enc and dec throughput at expansion levels n and h, beside cp, age and openssl enc on the
# same file in the same run.
#   bench_crypt.sh BUILD_DIR
# BENCH_MB (default 256) sizes the random source; BENCH_H_MB (default 32) the source of the
# level h runs, whose output is about 120 times the source.
set -euo pipefail
build=$(cd "${1:?usage: bench_crypt.sh BUILD_DIR}" && pwd)
mb=${BENCH_MB:-256}
hmb=${BENCH_H_MB:-32}

# Baselines: installed from Debian when missing (quietly; skipped when that fails).
if ! command -v age >/dev/null 2>&1 || ! command -v openssl >/dev/null 2>&1; then
  sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo -n)
  { "${sudo[@]}" apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
      "${sudo[@]}" apt-get install -y -qq age openssl; } </dev/null >/dev/null 2>&1 || true
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/home"
cp "$build/ombrix" "$work/ombrix"
cd "$work"

# A key system of the documented shape: two K1 entries, k3 entry 1 at level n, 2 at level h.
python3 - <<'EOF'
import random
rng = random.Random(1)
f3 = lambda v: ("00" + str(v))[-3:]
f7 = lambda v: ("0000000" + str(v))[-7:]
for n in (1, 2):
    with open("K1%d.bin" % n, "w") as f:
        for _ in range(20):
            t = list(range(256)); rng.shuffle(t)
            f.write("".join(f3(v) for v in t) + "\n")
with open("k2.dat", "w") as f:
    m = list(range(1, 21)); rng.shuffle(m)
    f.write("".join(f7(v) for v in m + [0] * 20) + "\n")
with open("k3.bin", "w") as f:
    for limit in (0, 99):
        v = [rng.randint(0, 1) for _ in range(20)] + [rng.randint(1, 11) for _ in range(60)]
        v += [rng.randint(1, limit + 1) if limit else 0 for _ in range(10)] + [1]
        f.write("".join(f3(x) for x in v) + "\n")
with open("sys.dat", "w") as f:
    f.write("2\n")
EOF

head -c $((mb * 1048576)) /dev/urandom > src.bin
head -c $((hmb * 1048576)) src.bin > srch.bin

now() { date +%s.%N; }
# report LABEL SECONDS SOURCE_BYTES OUTPUT_BYTES
report() {
  awk -v l="$1" -v s="$2" -v i="$3" -v o="$4" 'BEGIN {
    printf "%-34s %7.3f s  source %8.1f MB/s  output %8.1f MB/s\n", l, s, i / s / 1e6, o / s / 1e6 }'
}
size() { stat -c %s "$1"; }
# timed LABEL SOURCE OUTPUT COMMAND...
timed() {
  local label=$1 in=$2 out=$3
  shift 3
  sync
  local t0 t1
  t0=$(now)
  "$@"
  t1=$(now)
  report "$label" "$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')" "$(size "$in")" "$(size "$out")"
}
ombrix() { printf '%s\nquit\n' "$1" | HOME="$work/home" ./ombrix >/dev/null; }

echo "source ${mb} MiB (level h: ${hmb} MiB), $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2)"
timed "cp" src.bin copy.bin cp src.bin copy.bin
rm -f copy.bin
# cp may copy inside the kernel (copy_file_range); dd moves every byte through user space
# in 64 KiB blocks, as enc and dec do.
timed "dd bs=64K" src.bin copy.bin dd if=src.bin of=copy.bin bs=64K status=none
rm -f copy.bin
timed "ombrix enc level n" src.bin n.enc ombrix "enc src.bin n.enc 1 1 1"
timed "ombrix dec level n" n.enc n.dec ombrix "dec n.enc n.dec 1 1 1"
cmp -s src.bin n.dec || echo "level n: round trip FAILED"
rm -f n.enc n.dec
timed "ombrix enc level h (${hmb} MiB)" srch.bin h.enc ombrix "enc srch.bin h.enc 2 1 2"
timed "ombrix dec level h (${hmb} MiB)" h.enc h.dec ombrix "dec h.enc h.dec 2 1 2"
cmp -s srch.bin h.dec || echo "level h: round trip FAILED"
rm -f h.enc h.dec
if command -v age >/dev/null 2>&1 && command -v age-keygen >/dev/null 2>&1; then
  age-keygen -o age.key 2>/dev/null
  recipient=$(age-keygen -y age.key)
  timed "age -r" src.bin a.age age -r "$recipient" -o a.age src.bin
  timed "age -d" a.age a.out age -d -i age.key -o a.out a.age
  rm -f a.age a.out
else
  echo "age: not installed"
fi
if command -v openssl >/dev/null 2>&1; then
  key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
  iv=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
  timed "openssl enc -aes-256-ctr" src.bin o.enc openssl enc -aes-256-ctr -K "$key" -iv "$iv" -in src.bin -out o.enc
  timed "openssl enc -d -aes-256-ctr" o.enc o.out openssl enc -d -aes-256-ctr -K "$key" -iv "$iv" -in o.enc -out o.out
  rm -f o.enc o.out
else
  echo "openssl: not installed"
fi
