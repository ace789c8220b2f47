#!/usr/bin/env bash
# The benchmark: every figure of the performance table, each measured BENCH_RUNS times
# (at least 3) beside its baseline in the same run, every Ombrix output checked (enc
# outputs decrypt to their source, key files equal the floor program's byte for byte).
# Prints the table and writes it to bench/results.md with the processor and the date.
#   run.sh BUILD_DIR [I386_BUILD_DIR]
# BENCH_MB (default 256) sizes the random source of level n and the cipher paths, and
# the output aimed at for levels l, m and h; BENCH_KEYS (default "200 200 200") the
# key systems of the createsys rows; BENCH_BIG_MB (default 2048; 0 leaves the row out)
# the large enc whose peak resident size is held against that of a 200 MiB one. With
# I386_BUILD_DIR, the i386 program's enc and dec at level n too (BENCH_I386_MB, default
# 4), marked as the emulator's where BENCH_I386_EMULATED=1. The page cache is left as
# it is (warm).
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR [I386_BUILD_DIR]}" && pwd)
build_i386=${2:+$(cd "$2" && pwd)}
here=$(cd "$(dirname "$0")" && pwd)
runs=${BENCH_RUNS:-3}
mb=${BENCH_MB:-256}
keys=${BENCH_KEYS:-200 200 200}
big_mb=${BENCH_BIG_MB:-2048}
i386_mb=${BENCH_I386_MB:-4}
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
# ombrix_form FOLDER ARGS...: one command of the argument form (a sealed file unless
# --plain), which must succeed.
ombrix_form() {
  local dir=$work/$1
  shift
  HOME="$dir/home" "$dir/ombrix" "$@" 2>"$dir/err.txt" || { say "ombrix failed: $*"; cat "$dir/err.txt" >&2; exit 1; }
}
same() { cmp -s "$1" "$2" && echo OK || echo FAILED; }
# synced FILE COMMAND...: the command, then FILE's data synced to the disk.
synced() {
  local file=$1
  shift
  "$@" && sync -d "$file"
}

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
say "Level n: enc and dec (the plain format at the prompt, sealed files in the argument form), age, openssl, dd, cp (${runs} runs)"
for i in $(seq "$runs"); do
  rm -f "$k/n.enc" "$k/n.dec"
  sample enc_n "$bytes" ombrix key-n "enc $src $k/n.enc 1 1 1"
  sample dec_n "$bytes" ombrix key-n "dec $k/n.enc $k/n.dec 1 1 1"
  check "enc/dec level n, run $i: round trip" "$(same "$src" "$k/n.dec")"
  [ "$i" = 1 ] && mv "$k/n.enc" "$work/n.reference"
  rm -f "$k/n.enc" "$k/n.dec"
  sample enc_sealed_n "$bytes" ombrix_form key-n enc "$src" "$k/n.enc" 1 1 1
  sample dec_sealed_n "$bytes" ombrix_form key-n dec "$k/n.enc" "$k/n.dec" 1 1 1
  check "sealed enc/dec level n, run $i: round trip" "$(same "$src" "$k/n.dec")"
  [ "$i" = 1 ] && mv "$k/n.enc" "$work/n.sealed"
  rm -f "$k/n.enc" "$k/n.dec"
  if [ -n "${recipient:-}" ]; then
    rm -f "$work/a.age" "$work/a.out"
    sample age_enc "$bytes" age -r "$recipient" -o "$work/a.age" "$src"
    sample age_dec "$bytes" age -d -i "$work/age.key" -o "$work/a.out" "$work/a.age"
    rm -f "$work/a.age" "$work/a.out"
    # The same, its output synced to the disk before it ends, as Ombrix's outputs are.
    sample age_sync_enc "$bytes" synced "$work/a.age" age -r "$recipient" -o "$work/a.age" "$src"
    sample age_sync_dec "$bytes" synced "$work/a.out" age -d -i "$work/age.key" -o "$work/a.out" "$work/a.age"
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
# level n to /dev/null, in the plain format and sealed, beside age to /dev/null in the
# same run. A path the processor
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
      OMBRIX_CIPHER_PATH=$p OMBRIX_THREADS=$t sample "null_sealed_${p}_${t}_enc" "$bytes" ombrix_form key-n enc "$src" /dev/null 1 1 1
      OMBRIX_CIPHER_PATH=$p OMBRIX_THREADS=$t sample "null_sealed_${p}_${t}_dec" "$bytes" ombrix_form key-n dec "$work/n.sealed" /dev/null 1 1 1
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

# --- What the processors give together: openssl enc to /dev/null once, and twice at
# the same time (the targets of several threads assume that two run side by side).
if command -v openssl >/dev/null; then
  say "Processors side by side: openssl enc alone and two at once (${runs} runs)"
  both() {
    openssl enc -aes-256-ctr -K "$aes_key" -iv "$aes_iv" -in "$src" -out /dev/null &
    openssl enc -aes-256-ctr -K "$aes_key" -iv "$aes_iv" -in "$src" -out /dev/null
    wait
  }
  for i in $(seq "$runs"); do
    sample side_one "$bytes" openssl enc -aes-256-ctr -K "$aes_key" -iv "$aes_iv" -in "$src" -out /dev/null
    sample side_two $((2 * bytes)) both
  done
fi

# --- Start-up: `echo quit | ombrix` (with the check of its code image's digest) started
# 20 times in a row, beside `bash -c exit` and the same program with .mvsum removed (the
# record checks only), each start timed alone and recorded as a sample of its own.
starts=20
say "Start-up: ombrix to its first prompt and quit, bash -c exit, and ombrix without .mvsum (${runs} x ${starts} starts)"
folder startup
cp "$work/startup/ombrix" "$work/startup/ombrix-no-digest"
objcopy --remove-section .mvsum "$work/startup/ombrix-no-digest"
for i in $(seq "$runs"); do
  HOME="$work/startup/home" python3 "$here/starts.py" "$starts" startup_digest "$work/startup/ombrix" >>"$samples"
  python3 "$here/starts.py" "$starts" startup_bash bash -c exit >>"$samples"
  HOME="$work/startup/home" python3 "$here/starts.py" "$starts" startup_no_digest "$work/startup/ombrix-no-digest" >>"$samples"
done

# --- Peak resident size: enc at level n of a 200 MiB file and of a BENCH_BIG_MB one
# (the random source repeated), to a file; memory must stay flat in the file's size.
if [ "$big_mb" -gt 0 ]; then
  say "Peak resident size: enc level n of 200 MiB and of ${big_mb} MiB"
  k=$work/key-n
  rss() {  # rss KEY SOURCE: one enc at the prompt, its peak resident size in KiB
    local in=$2 out=$k/rss.enc peak
    rm -f "$out"
    peak=$(HOME="$k/home" python3 "$here/peak.py" "$k/ombrix" "enc $in $out 1 1 1")
    grep -q '==== Encryption completed ====' "$k/home/peak.out" || { say "ombrix failed: enc $in"; exit 1; }
    printf '%s\t%s\n' "$1" "$peak" >>"$work/sizes.tsv"
    rm -f "$out"
  }
  head -c $((200 * 1048576)) /dev/urandom >"$work/rss-small.bin"
  : >"$work/rss-big.bin"
  while [ "$(size "$work/rss-big.bin")" -lt $((big_mb * 1048576)) ]; do cat "$src" >>"$work/rss-big.bin"; done
  truncate -s $((big_mb * 1048576)) "$work/rss-big.bin"
  rss rss_small "$work/rss-small.bin"
  rss rss_big "$work/rss-big.bin"
  rm -f "$work/rss-small.bin" "$work/rss-big.bin"
fi

# --- The i386 program: enc and dec at level n, file to file, on the same key system (the
# key files are the same on both builds), under the user-mode emulator where the kernel
# cannot run it.
if [ -n "$build_i386" ] && [ -x "$build_i386/ombrix" ]; then
  k=$work/key-n
  mkdir -p "$work/i386"
  cp "$build_i386/ombrix" "$work/i386/ombrix"
  cp "$k"/K1*.bin "$k/k2.dat" "$k/k3.bin" "$k/sys.dat" "$work/i386/"
  mkdir -p "$work/i386/home"
  head -c $((i386_mb * 1048576)) "$src" >"$work/i386/src.bin"
  say "The i386 program: enc and dec level n of ${i386_mb} MiB (${runs} runs)"
  for i in $(seq "$runs"); do
    rm -f "$work/i386/x.enc" "$work/i386/x.dec"
    sample i386_enc_n "$(size "$work/i386/src.bin")" ombrix i386 "enc $work/i386/src.bin $work/i386/x.enc 1 1 1"
    sample i386_dec_n "$(size "$work/i386/src.bin")" ombrix i386 "dec $work/i386/x.enc $work/i386/x.dec 1 1 1"
    check "i386 program, enc/dec level n, run $i: round trip" "$(same "$work/i386/src.bin" "$work/i386/x.dec")"
  done
  rm -rf "$work/i386"
fi

cpu=$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')
emulated=()
[ "${OMBRIX_TEST_EMULATED:-}" = 1 ] && emulated=(--emulated)
# Whether the kernel runs the i386 program itself, or the user-mode emulator does
# (BENCH_I386_EMULATED=1, set by dev.sh).
i386_runs=""
if [ -n "$build_i386" ] && [ -x "$build_i386/ombrix" ]; then
  i386_runs=native
  [ "${BENCH_I386_EMULATED:-}" = 1 ] && i386_runs=emulated
fi
python3 "$here/table.py" "$samples" "$checks" "$work/sizes.tsv" "${emulated[@]}" \
  --cpu "$cpu, $(nproc) cores, AVX-512 VBMI: $vbmi" --i386 "$i386_runs" --big-label "${big_mb} MiB" --paths "${paths[*]}" --threads "${threads[*]}" --runs "$runs" --mb "$mb" --keys "$keys" \
  --out "$here/results.md"
