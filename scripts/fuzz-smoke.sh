#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang, ASan+UBSan) and runs each for a short
# while from its committed seed corpus.
#
#   scripts/fuzz-smoke.sh [SECONDS per harness, default 20] [BUILD_DIR, default build-fuzz]
#
# Needs clang and libclang-rt-14-dev. Exit status: 0 when no harness found a
# crash; a crashing input is left in BUILD_DIR/fuzz-artifacts/<harness>/.
# Longer runs: give more SECONDS (600 for ten minutes each).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:-20}"
build="${2:-$root/build-fuzz}"
jobs="${FUZZ_BUILD_JOBS:-2}"

started=$(date +%s)
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DKEYVANE_FUZZ=ON -DKEYVANE_BENCHMARKS=OFF >/dev/null
harnesses=(plist_xml plist_binary plist_leftout snapshot_diff keys_columns merge_columns)
ninja -C "$build" -j"$jobs" "${harnesses[@]/#/fuzz_}"
built=$(date +%s)

status=0
for name in "${harnesses[@]}"; do
  work="$build/fuzz-corpus/$name"
  artifacts="$build/fuzz-artifacts/$name"
  mkdir -p "$work" "$artifacts"
  echo "== fuzz_$name (${seconds}s)"
  # The first corpus folder collects new inputs; the seeds stay as committed.
  if "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "$work" "$root/fuzz/corpus/$name" >"$build/fuzz-$name.log" 2>&1; then
    grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz-$name.log" || true
  else
    status=1
    echo "fuzz_$name found a failing input (see $build/fuzz-$name.log and $artifacts/):"
    grep -E 'ERROR|fuzz check failed|SUMMARY' "$build/fuzz-$name.log" | head -5 || true
  fi
done
finished=$(date +%s)
echo "fuzz smoke: build $((built - started)) s, runs $((finished - built)) s, total $((finished - started)) s"
exit $status
