#!/usr/bin/env bash
# Run every benchmark of this folder (bench_*.sh) against a build folder.
# Each prints its figures beside a baseline measured in the same run.
set -euo pipefail
build=$(cd "${1:?usage: run.sh BUILD_DIR}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for b in "$here"/bench_*.sh; do
  [ -e "$b" ] || continue
  echo "== $(basename "$b")"
  bash "$b" "$build"
done
