#!/usr/bin/env python3
"""Reads benchmark output on standard input and prints the table of the
RESULT lines: each figure, its goal, and whether the goal is met.
Exit status 1 when a goal is missed or an expected figure is absent."""
import re
import sys

FIGURES = [
    ("column_zero", "column-zero load of 1,000,000 keys / sorting them"),
    ("change_merging", "one notification of 10,000 changes into 100,000 keys (rebuild incl.) / one column-zero load"),
    ("value_tree", "100,000-item value: select + expand all + first paint / eager QTreeWidget + expandAll"),
    ("startup", "start -> main window shown on the X server, 10,000-key snapshot / minimal Qt Widgets window"),
    ("console_shown", "console append at 20,000-char steady state / append into empty log (window shown, drawn)"),
    ("console_hidden", "console append at 20,000-char steady state / append into empty log (window hidden)"),
    ("memory_per_key", "resident memory per key: 1,000,000 keys in engine + key list + column zero / 300 bytes"),
    ("memory_large_snapshot", "resident, engine holding the 200,000-key binary file / Python's plistlib holding it"),
    ("large_binary_load", "load of the 200,000-key binary file / the same keys' XML file"),
    ("large_window_shown", "keyvane shown (offscreen) on the 200,000-key binary file / keyvane-cli list on it"),
    ("snapshot_diff", "diff of two 100,000-key snapshots differing in 1 % (~20-entry values) / column-zero load"),
    ("value_diff", "diff of a 100,000-item value and its copy with 10 entries edited (rest shared) / outline"),
    ("history_entry_memory", "change history: resident memory per change (~20-entry values kept alive included)"),
]
OPTIONAL = {
    "value_diff_apart": "diff of two 100,000-item values differing in 10 entries, built apart / value-tree outline",
    "flood_worst_stall_ms": "flood at 100,000 changes/min: worst event-loop gap (10 ms ticks)",
    "startup_offscreen": "start -> window 'shown' offscreen (no screen, baseline sets up no fonts), same ratio",
    "startup_text_window": "start -> window shown on the X server: minimal window with one line of text / minimal window",
    "startup_offscreen_text_window": "the same offscreen: minimal window with one line of text / minimal window",
    "console_shown_undrawn": "console append at steady state / empty log (window shown, not drawn since filling)",
    "flood_memory": "flood at 100,000 changes/min: resident growth after warm-up / resident after warm-up",
    "hostile_select_string": "select a 10 MB string (80-char lines): worst event-loop stall in s / 1 s",
    "hostile_select_line": "select a 10 MB string on one line: worst event-loop stall in s / 1 s",
    "hostile_select_array": "select a 1,000,000-element array: worst event-loop stall in s / 1 s",
    "hostile_select_deep": "select a value 512 levels deep: worst event-loop stall in s / 1 s",
    "find_keys": "find as typed in 1,000,000 keys: worst keystroke, all its slices / one column-zero load",
    "find_keys_slice": "find as typed in 1,000,000 keys: longest slice / 50 ms",
    "find_values": "find in 100,000 keys and ~20-entry values (texts made ahead): worst keystroke / column-zero load",
    "find_values_slice": "find in keys and values: longest slice, making the texts included / 50 ms",
    "goto_completion": "go to a key in 1,000,000 keys: slowest keystroke's completions / 10 ms",
    "etcd_load": "load 100,000 etcd keys (~200-byte plists): store + etcd source / etcdctl get --prefix",
    "desktop_latency_median": "desktop service's signal -> store connection's callout: median / 30 ms",
    "etcd_latency_median": "one etcd put -> store connection's callout: median / 20 ms",
    "etcd_latency_p99": "one etcd put -> store connection's callout: 99th percentile / 100 ms",
    "fleet_lag": "etcd fleet, 1,000 hosts x 60 keys, 1,000 changes/s: worst send -> window's store lag / 1 s",
    "fleet_stall": "etcd fleet storm: worst event-loop gap of the window's process (10 ms ticks) / 100 ms",
    "fleet_memory": "etcd fleet storm: resident at its end / at its start",
    "history_entry_estimate": "change history: its own estimate of the value bytes per change",
    "fleet_consistent": "etcd fleet storm: share of keys where the store differs from the cluster afterwards",
}

results = {}
for line in sys.stdin:
    sys.stdout.write(line)
    if not line.startswith("RESULT "):
        continue
    fields = dict(re.findall(r'(\w+)=("[^"]*"|\S+)', line[len("RESULT "):]))
    if "name" in fields:
        results[fields["name"]] = fields

names = [name for name, _ in FIGURES] + sorted(set(results) - {name for name, _ in FIGURES})
described = dict(FIGURES) | OPTIONAL
missed = 0
print()
print("== Summary (ratios measured side by side in this run)")
print(f"{'figure':<100} {'value':>10} {'goal':>8}  result")
for name in names:
    text = described.get(name, name)
    fields = results.get(name)
    if fields is None:
        print(f"{text:<100} {'-':>10} {'':>8}  not measured")
        missed += 1
        continue
    if "bytes" in fields or "value" in fields:
        shown = fields["bytes"] + " B" if "bytes" in fields else fields["value"]
        print(f"{text:<100} {shown:>10} {'-':>8}  (figure only)")
        continue
    ratio = float(fields["ratio"])
    goal = float(fields["goal"])
    met = ratio <= goal
    missed += 0 if met else 1
    print(f"{text:<100} {ratio:>9.2f}x {'<= ' + fields['goal'] + 'x':>8}  {'met' if met else 'MISSED'}")
sys.exit(1 if missed else 0)
