#!/usr/bin/env bash
# Runs the benchmark suite of a Release build and prints, at the end, the
# table of every figure against its goal, all measured in this one run.
#
#   benchmarks/run.sh BUILD_DIR [NAME...]
#
# With NAMEs only those benchmarks run. bench_flood (a soak, 60 s by default),
# bench_fleet (an etcd fleet's storm, 60 s by default), bench_live_latency
# (needs network namespaces) and bench_desktop_latency (needs dbus-daemon and
# python3-dbusmock) run only when named, or with BENCH_ALL=1.
# Exit status: 0 when every goal is met.
set -uo pipefail
build="${1:?usage: benchmarks/run.sh BUILD_DIR [NAME...]}"; shift
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
export QT_QPA_PLATFORM=offscreen
if [ $# -gt 0 ]; then
  names=("$@")
else
  names=(bench_column_zero bench_change_merging bench_value_tree bench_startup bench_console bench_memory bench_large_snapshot bench_hostile_select bench_find bench_etcd bench_snapshot_diff bench_value_diff bench_history_memory)
  if [ "${BENCH_ALL:-0}" = 1 ]; then
    names+=(bench_live_latency bench_desktop_latency bench_flood bench_fleet)
  fi
fi
status=0
{
  for name in "${names[@]}"; do
    echo "== $name"
    if [ ! -x "$build/benchmarks/$name" ]; then
      echo "$name: not built in $build" >&2
      status=1
      continue
    fi
    if [ "$name" = bench_startup ] && [ -z "${DISPLAY:-}" ] && command -v xvfb-run >/dev/null; then
      # The start-up goal is judged on an X server: start one for it.
      xvfb-run -a -s "-screen 0 1280x800x24" "$build/benchmarks/$name" 2>&1 || echo "$name: exit status $?"
    else
      "$build/benchmarks/$name" 2>&1 || echo "$name: exit status $?"
    fi
    echo
  done
} | python3 "$here/summary.py" || status=1
exit $status
