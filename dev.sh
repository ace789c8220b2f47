#!/usr/bin/env bash
# Set up, build, start, test and benchmark Ombrix on a Debian machine.
#   ./dev.sh start   install what is missing, build the program, start ombrix in ./run
#   ./dev.sh test    install what is missing, build everything, run every test
#   ./dev.sh bench   install what is missing, build, run the benchmarks
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD

# The build (googletest: the unit tests' framework, built from its sources) and the tests
# (groff-base: the manual page check).
packages=(g++-multilib cmake make googletest unicode-data python3 binutils file groff-base)
# The benchmark's baselines, installed by the bench command only.
bench_packages=(age openssl)

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

# build [target...]: everything, or only the given targets and what they need.
build() {
  install_missing "${packages[@]}"
  cmake -S "$top" -B "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  local targets=()
  [ $# -eq 0 ] || targets=(--target "$@")
  cmake --build "$top/build" -j"$(nproc)" "${targets[@]}"
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
    cd "$top/build"
    ctest --output-on-failure -j"$(nproc)" </dev/null
    ;;
  bench)
    build
    # Quietly; without them the table says that the baseline is not installed.
    install_missing "${bench_packages[@]}" >/dev/null 2>&1 || true
    shift
    exec "$top/bench/run.sh" "$top/build" "$@"
    ;;
  *)
    echo "usage: $0 start|test|bench" >&2
    exit 2
    ;;
esac
