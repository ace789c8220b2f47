#!/usr/bin/env bash
# The benchmark: every figure of the performance table, each measured BENCH_RUNS times
# (at least 3) beside its baseline in the same run, every Ombrix output checked (enc
# outputs decrypt to their source, key files equal the floor program's byte for byte).
# Prints the table and writes it to bench/results.md with the processor and the date.
#   run.sh BUILD_DIR
# BENCH_MB (default 256) sizes the random source of level n and the cipher paths, and
# the output aimed at for levels l, m and h; BENCH_KEYS (default "1000 1000 1000") the
# key systems of the createsys rows. The page cache is left as it is (warm).
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
runs=${BENCH_RUNS:-3}
mb=${BENCH_MB:-256}
keys=${BENCH_KEYS:-1000 1000 1000}
[ "$runs" -ge 3 ] || { echo "BENCH_RUNS must be at least 3" >&2; exit 2; }

random_shim=$build/libombrix_random_shim.so
floor=$build/bench/createsys_floor
for f in "$build/ombrix" "$random_shim" "$floor"; do
  [ -e "$f" ] || { echo "missing $f: build first" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/ombrix-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
samples=$work/samples.tsv
checks=$work/checks.tsv
: >"$samples"
: >"$checks"
# The key systems are made from the deterministic random source (preloaded), so that
# every run makes the same files, and the floor program takes the same draws.
export OMBRIX_TEST_RANDOM_SEED=1765000000

say() { printf '%s\n' "$*" >&2; }
now() { date +%s%N; }
size() { stat -c %s "$1"; }
# sample KEY BYTES COMMAND...: one timed run (the disk settled first), recorded.
sample() {
  local key=$1 bytes=$2 t0 t1
  shift 2
  sync
  t0=$(now)
  "$@"
  t1=$(now)
  printf '%s\t%s\t%s\n' "$key" "$(((t1 - t0) / 1000))" "$bytes" >>"$samples"
}
# check NAME OK|FAILED
check() { printf '%s\t%s\n' "$1" "$2" >>"$checks"; [ "$2" = OK ] || say "CHECK FAILED: $1"; }

# An application folder with its own copy of the program and home.
folder() {
  mkdir -p "$work/$1/home"
  cp "$build/ombrix" "$work/$1/ombrix"
}
# ombrix FOLDER LINE [PRELOAD]: one command line; its completion line must follow.
ombrix() {
  local dir=$work/$1 line=$2 preload=${3:-}
  printf '%s\nquit\n' "$line" | HOME="$dir/home" LD_PRELOAD="$preload" "$dir/ombrix" >"$dir/out.txt" 2>&1
  grep -q -e '==== Encryption completed ====' -e '==== Decryption completed ====' \
    -e 'System Created.' "$dir/out.txt" || { say "ombrix failed: $line"; cat "$dir/out.txt" >&2; exit 1; }
}
same() { cmp -s "$1" "$2" && echo OK || echo FAILED; }

say "Preparing: ${mb} MiB random source, key systems at levels n, l, m, h"
head -c $((mb * 1048576)) /dev/urandom >"$work/src.bin"
for level in n l m h; do
  folder "key-$level"
  ombrix "key-$level" "createsys 1 1 1 $level" "$random_shim"
done
cat "$work/src.bin" >/dev/null

# --- enc and dec at level n, beside age, openssl, dd and cp on the same file.
src=$work/src.bin
bytes=$(size "$src")
k=$work/key-n
if command -v age >/dev/null && command -v age-keygen >/dev/null; then
  age-keygen -o "$work/age.key" 2>/dev/null
  recipient=$(age-keygen -y "$work/age.key")
fi
aes_key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
aes_iv=$(head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n')
say "Level n: enc and dec, age, openssl, dd, cp (${runs} runs)"
for i in $(seq "$runs"); do
  rm -f "$k/n.enc" "$k/n.dec"
  sample enc_n "$bytes" ombrix key-n "enc $src $k/n.enc 1 1 1"
  sample dec_n "$bytes" ombrix key-n "dec $k/n.enc $k/n.dec 1 1 1"
  check "enc/dec level n, run $i: round trip" "$(same "$src" "$k/n.dec")"
  [ "$i" = 1 ] && mv "$k/n.enc" "$work/n.reference"
  rm -f "$k/n.enc" "$k/n.dec"
  if [ -n "${recipient:-}" ]; then
    rm -f "$work/a.age" "$work/a.out"
    sample age_enc "$bytes" age -r "$recipient" -o "$work/a.age" "$src"
    sample age_dec "$bytes" age -d -i "$work/age.key" -o "$work/a.out" "$work/a.age"
    rm -f "$work/a.age" "$work/a.out"
  fi
  if command -v openssl >/dev/null; then
    rm -f "$work/o.enc" "$work/o.out"
    sample openssl_enc "$bytes" openssl enc -aes-256-ctr -K "$aes_key" -iv "$aes_iv" -in "$src" -out "$work/o.enc"
    sample openssl_dec "$bytes" openssl enc -d -aes-256-ctr -K "$aes_key" -iv "$aes_iv" -in "$work/o.enc" -out "$work/o.out"
    rm -f "$work/o.enc" "$work/o.out"
  fi
  rm -f "$work/d.out" "$work/c.out"
  sample dd "$bytes" dd if="$src" of="$work/d.out" bs=256K status=none
  rm -f "$work/d.out"
  # The same, synced to the disk before it ends, as Ombrix's outputs are.
  sample dd_sync "$bytes" dd if="$src" of="$work/d.out" bs=256K conv=fdatasync status=none
  rm -f "$work/d.out"
  sample cp "$bytes" cp "$src" "$work/c.out"
  rm -f "$work/c.out"
done

# --- enc at levels l, m and h: a source sized so that the output is about BENCH_MB MiB,
# beside dd writing as many bytes.
for level in l m h; do
  k=$work/key-$level
  head -c 1048576 "$src" >"$k/probe.bin"
  ombrix "key-$level" "enc $k/probe.bin $k/probe.enc 1 1 1"
  ratio=$(($(size "$k/probe.enc") / 1048576))
  head -c $((mb * 1048576 / ratio)) "$src" >"$k/src.bin"
  in=$(size "$k/src.bin")
  say "Level $level: enc (output about ${ratio} x the source), dd of as many bytes, unsynced and synced (${runs} runs)"
  for i in $(seq "$runs"); do
    rm -f "$k/x.enc" "$k/x.dec" "$work/z.out"
    sample "enc_${level}" "$in" ombrix "key-$level" "enc $k/src.bin $k/x.enc 1 1 1"
    out=$(size "$k/x.enc")
    printf '%s\t%s\n' "out_${level}" "$out" >>"$work/sizes.tsv"
    sample "dd_${level}" "$out" dd if=/dev/zero of="$work/z.out" bs=256K count="$out" iflag=count_bytes status=none
    rm -f "$work/z.out"
    # The same, synced to the disk before it ends, as Ombrix's output is.
    sample "dd_sync_${level}" "$out" dd if=/dev/zero of="$work/z.out" bs=256K count="$out" iflag=count_bytes conv=fdatasync status=none
    rm -f "$work/z.out"
    ombrix "key-$level" "dec $k/x.enc $k/x.dec 1 1 1"
    check "enc level $level, run $i: round trip" "$(same "$k/src.bin" "$k/x.dec")"
  done
  rm -f "$k/x.enc" "$k/x.dec" "$k/src.bin" "$k/probe.bin" "$k/probe.enc"
done

# --- createsys beside the plain C floor program, from the same draws; files compared.
for level in n h; do
  say "createsys $keys $level, and the floor program, unsynced and synced (${runs} runs)"
  folder "cs-$level"
  mkdir -p "$work/floor-$level"
  for i in $(seq "$runs"); do
    (cd "$work/cs-$level" && rm -f K1*.bin k2.dat k3.bin sys.dat)
    rm -f "$work/floor-$level"/*
    sample "createsys_${level}" 0 ombrix "cs-$level" "createsys $keys $level" "$random_shim"
    # shellcheck disable=SC2086
    sample "floor_${level}" 0 env LD_PRELOAD="$random_shim" "$floor" "$work/floor-$level" $keys "$level"
    # The floor again, syncing every file as Ombrix does before it puts one in place.
    rm -f "$work/floor-$level"/*
    # shellcheck disable=SC2086
    sample "floor_sync_${level}" 0 env LD_PRELOAD="$random_shim" "$floor" "$work/floor-$level" $keys "$level" sync
    ok=OK
    for f in "$work/floor-$level"/*; do
      cmp -s "$f" "$work/cs-$level/$(basename "$f")" || { ok=FAILED; break; }
    done
    [ "$(ls "$work/floor-$level" | wc -l)" -eq "$(cd "$work/cs-$level" && ls K1*.bin k2.dat k3.bin sys.dat | wc -l)" ] || ok=FAILED
    check "createsys $keys $level, run $i: files equal the floor's" "$ok"
  done
  rm -rf "$work/cs-$level" "$work/floor-$level"
done

# --- Every cipher path the processor has, on one thread and on all, enc and dec at
# level n to /dev/null, beside age to /dev/null in the same run. A path the processor
# lacks is refused by the program and left out.
flags=$(grep -m1 '^flags' /proc/cpuinfo)
has() { case " $flags " in *" $1 "*) return 0 ;; esac; return 1; }
k=$work/key-n
all=$(nproc)
head -c 4096 "$src" >"$k/probe.bin"
paths=()
for p in portable avx2 avx512; do
  rm -f "$k/probe.enc"
  printf 'enc %s %s 1 1 1\nquit\n' "$k/probe.bin" "$k/probe.enc" |
    HOME="$k/home" OMBRIX_CIPHER_PATH=$p "$k/ombrix" >"$k/out.txt" 2>&1 || true
  if grep -q 'which this processor lacks' "$k/out.txt"; then
    say "Path $p: not on this processor"
  else
    paths+=("$p")
  fi
done
rm -f "$k/probe.bin" "$k/probe.enc"
# What the program found, not the flags of the kernel's processor (an emulator may run
# the program on a processor of its own).
vbmi=no
case " ${paths[*]} " in *" avx512 "*) vbmi=yes ;; esac
threads=(1)
[ "$all" -gt 1 ] && threads+=("$all")
say "Paths ${paths[*]} on ${threads[*]} thread(s), enc and dec to /dev/null, age beside (${runs} runs)"
for i in $(seq "$runs"); do
  for p in "${paths[@]}"; do
    for t in "${threads[@]}"; do
      OMBRIX_CIPHER_PATH=$p OMBRIX_THREADS=$t sample "null_${p}_${t}_enc" "$bytes" ombrix key-n "enc $src /dev/null 1 1 1"
      OMBRIX_CIPHER_PATH=$p OMBRIX_THREADS=$t sample "null_${p}_${t}_dec" "$bytes" ombrix key-n "dec $work/n.reference /dev/null 1 1 1"
      if [ "$i" = 1 ]; then
        rm -f "$k/p.enc"
        OMBRIX_CIPHER_PATH=$p OMBRIX_THREADS=$t ombrix key-n "enc $src $k/p.enc 1 1 1"
        check "path $p, $t thread(s): the same bytes as the default" "$(same "$work/n.reference" "$k/p.enc")"
        rm -f "$k/p.enc"
      fi
    done
  done
  if [ -n "${recipient:-}" ]; then
    rm -f "$work/a.age"
    sample age_null_enc "$bytes" age -r "$recipient" -o /dev/null "$src"
    age -r "$recipient" -o "$work/a.age" "$src"
    sample age_null_dec "$bytes" age -d -i "$work/age.key" -o /dev/null "$work/a.age"
    rm -f "$work/a.age"
  fi
done

# --- Start-up: the program started and ended (one "quit") 20 times in a row, with the
# check of its code image's digest, beside the same program with .mvsum removed (the
# record checks only). The "bytes" of these samples are the number of starts.
starts=20
say "Start-up with and without the image digest check (${runs} runs of ${starts} starts)"
folder startup
cp "$work/startup/ombrix" "$work/startup/ombrix-no-digest"
objcopy --remove-section .mvsum "$work/startup/ombrix-no-digest"
start_many() {
  local i
  for i in $(seq "$starts"); do
    printf 'quit\n' | HOME="$work/startup/home" "$1" >/dev/null 2>&1 || { say "$1 did not start"; exit 1; }
  done
}
for i in $(seq "$runs"); do
  sample startup_digest "$starts" start_many "$work/startup/ombrix"
  sample startup_no_digest "$starts" start_many "$work/startup/ombrix-no-digest"
done

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
emulated=()
[ "${OMBRIX_TEST_EMULATED:-}" = 1 ] && emulated=(--emulated)
python3 "$here/table.py" "$samples" "$checks" "$work/sizes.tsv" "${emulated[@]}" \
  --cpu "$cpu, $(nproc) cores, AVX-512 VBMI: $vbmi" --paths "${paths[*]}" --threads "${threads[*]}" --runs "$runs" --mb "$mb" --keys "$keys" \
  --out "$here/results.md"
