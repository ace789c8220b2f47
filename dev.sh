#!/usr/bin/env bash
# Set up, build, start, test and benchmark Ombrix on a Debian machine.
#   ./dev.sh start   install what is missing, build the program, start ombrix in ./run
#   ./dev.sh test    install what is missing, build everything, run every test: on an
#                    x86-64 machine the x86-64 program's suite (in build) natively, then the
#                    i386 program's (in build-i386), under the user-mode emulator where the
#                    kernel cannot run i386 programs
#   ./dev.sh bench   install what is missing, build, run the benchmarks
#   ./dev.sh sanitize        build the machine's own program with AddressSanitizer and
#                            UndefinedBehaviorSanitizer (in build-asan) and run every test
#   ./dev.sh tsan            build it with ThreadSanitizer (in build-tsan) and run every
#                            test that starts a thread
#   ./dev.sh fuzz [seconds]  build the fuzz targets with clang and libFuzzer (in
#                            build-fuzz) and run each for the given time (default 60)
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD

# The build (googletest: the unit tests' framework, built from its sources) and the tests
# (groff-base: the manual page check).
packages=(g++-multilib cmake make googletest unicode-data python3 binutils file groff-base)
# The benchmark's baselines, installed by the bench command only.
bench_packages=(age openssl)
# The fuzz build: clang and its runtime libraries (libFuzzer and the sanitizers), for the
# machine's own program. The sanitizer builds need nothing more than g++ brings.
fuzz_packages=(clang libclang-rt-dev)

install_missing() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq </dev/null
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" </dev/null
}

# build/ holds the machine's own program: x86-64 on an x86-64 machine, else i386. On an
# x86-64 machine build-i386/ holds the i386 program too.
native_is_x86_64() { [ "$(uname -m)" = x86_64 ]; }

# The i386 program, its tools and its tests are i386 programs. A kernel without 32-bit
# support (or started with it off) cannot run them: they then run under the user-mode
# emulator, registered for i386 programs with argument 0 kept as given. The i386 tree's
# tests skip the few checks that only a kernel can show, told by OMBRIX_TEST_EMULATED=1
# (in i386_env, set here, for that tree only).
i386_env=()
run_i386() {
  local probe machine
  probe=$(mktemp)
  printf '#include <stdio.h>\n#include <sys/utsname.h>\nint main(void) { struct utsname u; uname(&u); puts(u.machine); return 0; }\n' |
    gcc -m32 -x c - -o "$probe"
  if ! machine=$("$probe" 2>/dev/null); then
    install_missing qemu-user-static
    local misc=/proc/sys/fs/binfmt_misc sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    [ -e "$misc/register" ] || "${sudo[@]}" mount -t binfmt_misc binfmt_misc "$misc"
    [ -e "$misc/qemu-i386" ] || printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:POCF' |
      "${sudo[@]}" tee "$misc/register" >/dev/null
    machine=$("$probe") || { rm -f "$probe"; echo "dev.sh: this machine cannot run i386 programs" >&2; exit 1; }
  fi
  rm -f "$probe"
  # The emulator calls its processor i686 where a 64-bit kernel says x86_64.
  if [ "$machine" != x86_64 ] && grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-i386; then
    i386_env=(OMBRIX_TEST_EMULATED=1)
  fi
}

# build [target...]: the machine's own program in build/ (everything, or only the given
# targets and what they need).
build() {
  install_missing "${packages[@]}"
  native_is_x86_64 || run_i386
  cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  cmake --build "$top/build" -j"$(nproc)" "${targets[@]}"
}

# build_i386: the i386 program and its tests in build-i386/, told where the x86-64 build
# is (its tests compare the files both programs make).
build_i386() {
  run_i386
  cmake -S "$top" -B "$top/build-i386" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_TARGET=i386 \
    -DOMBRIX_OTHER_BUILD="$top/build" >/dev/null
  cmake --build "$top/build-i386" -j"$(nproc)"
}

# The tests that start threads, for the ThreadSanitizer build: the worker pool, the
# read-ahead and write-behind, the segment work of enc and dec on the pool, signals
# during enc and dec, the argument form's signal tests.
tsan_tests='^(Workers|BackgroundIOTest|Segments)\.|^blackbox\.(test_safety|test_arguments)$'

# Sanitizer reports end the test that caused them. The runtime keeps what the code image
# needs until the process ends, so leaks are not looked for; the key-system tests preload
# their clock shim ahead of the sanitizer runtime; an allocation that cannot be served
# fails as it does with the C library, so that the program's own out-of-memory path runs.
sanitizer_env() {
  export ASAN_OPTIONS="detect_leaks=0:verify_asan_link_order=0:allocator_may_return_null=1"
  export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
  # Every report is a failure; no suppression.
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
}

# fuzz_one NAME SECONDS: runs one target for the given time, restarting it after each
# crash; every crash input is kept in tests/fuzz/crashes/NAME, where the test command
# replays it. Prints the executions and crashes.
fuzz_one() {
  local name=$1 seconds=$2 work="$top/build-fuzz/runs/$1" execs=0 crashes=0 left=$2 start now n
  local saved="$top/tests/fuzz/crashes/$name"
  rm -rf "$work"
  mkdir -p "$work/corpus" "$work/crashes"
  start=$(date +%s)
  while [ "$left" -gt 0 ]; do
    "$top/build-fuzz/tests/fuzz/fuzz_$name" -max_total_time="$left" -print_final_stats=1 \
      -artifact_prefix="$work/crashes/" -rss_limit_mb=2048 -timeout=20 \
      "$work/corpus" "$top/tests/fuzz/corpus/$name" >"$work/log" 2>&1 </dev/null || true
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log" | tail -1)
    execs=$((execs + ${n:-0}))
    now=$(date +%s)
    left=$((seconds - (now - start)))
    # A run that ended early without a new crash file ended for another reason.
    [ "$(ls "$work/crashes" | wc -l)" -gt "$crashes" ] || break
    crashes=$(ls "$work/crashes" | wc -l)
  done
  if [ "$crashes" -gt 0 ]; then
    mkdir -p "$saved"
    cp "$work/crashes/"* "$saved/"
  fi
  printf '%-16s %12s executions %4s crashes\n' "$name" "$execs" "$crashes"
}

case "${1:-}" in
  start)
    build ombrix
    # The program keeps its key files beside itself: run a copy in ./run, with a home
    # folder of its own so that plug-in extraction stays there too.
    mkdir -p "$top/run/home"
    cp "$top/build/ombrix" "$top/run/ombrix"
    cd "$top/run"
    HOME="$top/run/home" exec ./ombrix
    ;;
  test)
    build
    if native_is_x86_64; then
      echo "== The x86-64 program's tests (build), run natively"
      (cd "$top/build" && ctest --output-on-failure -j"$(nproc)" </dev/null)
      build_i386
      if [ ${#i386_env[@]} -gt 0 ]; then
        echo "== The i386 program's tests (build-i386), under the user-mode emulator"
      else
        echo "== The i386 program's tests (build-i386)"
      fi
      cd "$top/build-i386"
      env "${i386_env[@]}" ctest --output-on-failure -j"$(nproc)" </dev/null
    else
      cd "$top/build"
      env "${i386_env[@]}" ctest --output-on-failure -j"$(nproc)" </dev/null
    fi
    ;;
  bench)
    build
    # Quietly; without them the table says that the baseline is not installed.
    install_missing "${bench_packages[@]}" >/dev/null 2>&1 || true
    shift
    # The i386 program's rows too, where it can be run (natively or emulated).
    if native_is_x86_64; then
      build_i386
      [ ${#i386_env[@]} -gt 0 ] && export BENCH_I386_EMULATED=1
      exec "$top/bench/run.sh" "$top/build" "$top/build-i386" "$@"
    fi
    exec "$top/bench/run.sh" "$top/build" "$@"
    ;;
  sanitize)
    install_missing "${packages[@]}"
    native_is_x86_64 || run_i386
    # The build runs tools of its own, instrumented too.
    sanitizer_env
    cmake -S "$top" -B "$top/build-asan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_SANITIZE=ON >/dev/null
    cmake --build "$top/build-asan" -j"$(nproc)"
    cd "$top/build-asan"
    env "${i386_env[@]}" ctest --output-on-failure -j"$(nproc)" </dev/null
    ;;
  tsan)
    install_missing "${packages[@]}"
    native_is_x86_64 || { echo "dev.sh: ThreadSanitizer needs the x86-64 program" >&2; exit 1; }
    sanitizer_env
    cmake -S "$top" -B "$top/build-tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_TSAN=ON >/dev/null
    cmake --build "$top/build-tsan" -j"$(nproc)"
    cd "$top/build-tsan"
    ctest --output-on-failure -j"$(nproc)" -R "$tsan_tests" </dev/null
    ;;
  fuzz)
    install_missing "${packages[@]}" "${fuzz_packages[@]}"
    native_is_x86_64 || run_i386
    seconds=${2:-60}
    cmake -S "$top" -B "$top/build-fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBRIX_FUZZ=ON \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
    cmake --build "$top/build-fuzz" -j"$(nproc)"
    sanitizer_env
    echo "Each fuzz target for ${seconds} s:"
    while read -r name; do
      [ -n "$name" ] && fuzz_one "$name" "$seconds"
    done <"$top/build-fuzz/fuzz_targets.txt"
    ;;
  *)
    echo "usage: $0 start|test|bench|sanitize|tsan|fuzz [seconds]" >&2
    exit 2
    ;;
esac
