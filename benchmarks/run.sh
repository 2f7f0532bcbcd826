#!/usr/bin/env bash
# Runs every benchmark of a Release build: benchmarks/run.sh BUILD_DIR [NAME...]
set -uo pipefail
build="${1:?usage: benchmarks/run.sh BUILD_DIR [NAME...]}"; shift
export QT_QPA_PLATFORM=offscreen
status=0
if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for exe in "$build"/benchmarks/bench_*; do
    [ -x "$exe" ] && names+=("$(basename "$exe")")
  done
fi
for name in "${names[@]}"; do
  echo "== $name"
  "$build/benchmarks/$name" || status=1
  echo
done
exit $status
