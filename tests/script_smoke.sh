#!/usr/bin/env bash
# Starts the real programs: keyvane on a snapshot (offscreen), keyvane-cli on the same file.
# Usage: script_smoke.sh KEYVANE KEYVANE_CLI SOURCE_DIR
set -uo pipefail
keyvane="$1"; cli="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# A configuration folder of its own: the session the window saves stays here.
export XDG_CONFIG_HOME="$work/config"
fail() { echo "FAIL: $*" >&2; exit 1; }

cat > "$work/snapshot.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist SYSTEM "file://localhost/plist.dtd">
<plist version="1.0">
<dict>
	<key>Setup:/System</key>
	<dict>
		<key>HostName</key>
		<string>smoke</string>
	</dict>
	<key>State:/Network/Interface/lo/IPv4</key>
	<dict>
		<key>Addresses</key>
		<array>
			<string>127.0.0.1</string>
		</array>
	</dict>
</dict>
</plist>
PLIST

# --version and --help answer and exit 0; an unknown option is a usage error.
"$keyvane" --version | grep -q '^keyvane [0-9]' || fail "keyvane --version"
# An early exit leaves nothing behind (the fonts read ahead at start are waited
# for before the application object releases them; a sanitizer build checks).
for run in 1 2 3 4 5 6 7 8 9 10; do
  "$keyvane" --version -platform offscreen >/dev/null 2>"$work/err" || { cat "$work/err" >&2; fail "keyvane --version, run $run"; }
done
"$keyvane" --help -platform offscreen | grep -q -- '--snapshot' || fail "keyvane --help"
"$keyvane" --no-such-option -platform offscreen >/dev/null 2>&1; [ $? -eq 2 ] || fail "unknown option must exit 2"

# With no display at all (as over SSH), the options still answer, and the
# window says in one line that it cannot be shown: no abort, no core dump.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "XDG_RUNTIME_DIR=$work")
"${nodisplay[@]}" "$keyvane" --version | grep -q '^keyvane [0-9]' || fail "keyvane --version without a display"
"${nodisplay[@]}" "$keyvane" --help | grep -q -- '--snapshot' || fail "keyvane --help without a display"
"${nodisplay[@]}" "$keyvane" --bogus >/dev/null 2>"$work/err"; status=$?
[ "$status" -eq 2 ] && [ "$(wc -l <"$work/err")" -eq 1 ] || { cat "$work/err" >&2; fail "keyvane --bogus without a display: $status"; }
"${nodisplay[@]}" "$keyvane" >/dev/null 2>"$work/err"; status=$?
[ "$status" -eq 2 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "no display.*keyvane-cli" "$work/err" \
  || { cat "$work/err" >&2; fail "keyvane without a display: status $status"; }
# A display that cannot be reached is told the same way.
env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY DISPLAY=:987 "XDG_RUNTIME_DIR=$work" "$keyvane" >/dev/null 2>"$work/err"; status=$?
[ "$status" -eq 2 ] && [ "$(wc -l <"$work/err")" -eq 1 ] && grep -q "cannot show a window" "$work/err" \
  || { cat "$work/err" >&2; fail "keyvane on an unreachable display: status $status"; }

# The window comes up on the snapshot and the program ends with status 0 when asked to.
QT_QPA_PLATFORM=offscreen "$keyvane" --snapshot "$work/snapshot.plist" >"$work/out" 2>"$work/err" &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || { cat "$work/err" >&2; fail "keyvane exited early"; }
kill -TERM "$pid"
wait "$pid"; status=$?
[ "$status" -eq 0 ] || { cat "$work/err" >&2; fail "keyvane ended with status $status"; }

# The shown window serves the snapshot's keys, the file named either way.
for form in separate joined; do
  if [ "$form" = separate ]; then args=(--snapshot "$work/snapshot.plist"); else args=("--snapshot=$work/snapshot.plist"); fi
  shown="$(QT_QPA_PLATFORM=offscreen KEYVANE_EXIT_WHEN_SHOWN=1 timeout 60 "$keyvane" "${args[@]}" 2>"$work/err")" \
    || { cat "$work/err" >&2; fail "keyvane (--snapshot $form) did not end by itself when shown"; }
  [ "$shown" = "shown keys=2 rows=2 key=none" ] || fail "keyvane (--snapshot $form) showed: $shown"
done

# A snapshot given through a pipe (read once, by the store) serves the same.
shown="$(QT_QPA_PLATFORM=offscreen KEYVANE_EXIT_WHEN_SHOWN=1 timeout 60 "$keyvane" --snapshot <(cat "$work/snapshot.plist") 2>"$work/err")" \
  || { cat "$work/err" >&2; fail "keyvane (--snapshot through a pipe) did not end by itself when shown"; }
[ "$shown" = "shown keys=2 rows=2 key=none" ] || { cat "$work/err" >&2; fail "keyvane (--snapshot through a pipe) showed: $shown"; }

# --select opens the window at a key; an unknown key is said so and the window opens all the same.
shown="$(QT_QPA_PLATFORM=offscreen KEYVANE_EXIT_WHEN_SHOWN=1 timeout 60 "$keyvane" --snapshot "$work/snapshot.plist" \
  --select State:/Network/Interface/lo/IPv4 2>"$work/err")" || { cat "$work/err" >&2; fail "keyvane --select"; }
[ "$shown" = "shown keys=2 rows=2 key=State:/Network/Interface/lo/IPv4" ] || fail "keyvane --select showed: $shown"
shown="$(QT_QPA_PLATFORM=offscreen KEYVANE_EXIT_WHEN_SHOWN=1 timeout 60 "$keyvane" --snapshot "$work/snapshot.plist" \
  --select State:/Nothing 2>"$work/err")" || { cat "$work/err" >&2; fail "keyvane --select of an unknown key"; }
[ "$shown" = "shown keys=2 rows=2 key=none" ] && grep -q "No such key: State:/Nothing" "$work/err" \
  || { cat "$work/err" >&2; fail "keyvane --select of an unknown key showed: $shown"; }

# A missing snapshot still brings up the window; the store's error goes to standard error.
QT_QPA_PLATFORM=offscreen "$keyvane" --snapshot "$work/missing.plist" >"$work/out" 2>"$work/err" &
pid=$!
sleep 3
kill -0 "$pid" 2>/dev/null || { cat "$work/err" >&2; fail "keyvane exited early without a store"; }
kill -TERM "$pid"; wait "$pid"; status=$?
[ "$status" -eq 0 ] || fail "keyvane without a store ended with status $status"
grep -q "missing.plist" "$work/err" || { cat "$work/err" >&2; fail "the store's error was not reported"; }

# The session: a run that ends normally leaves its selected key (and its
# window's place) for the next, which opens there.
QT_QPA_PLATFORM=offscreen "$keyvane" --snapshot "$work/snapshot.plist" --select Setup:/System >/dev/null 2>"$work/err" &
pid=$!
sleep 3
kill -TERM "$pid"; wait "$pid" || { cat "$work/err" >&2; fail "keyvane ended badly before saving its session"; }
grep -q "selectedKey=Setup:/System" "$XDG_CONFIG_HOME/Keyvane/Keyvane.ini" || fail "the session was not saved"
shown="$(QT_QPA_PLATFORM=offscreen KEYVANE_EXIT_WHEN_SHOWN=1 timeout 60 "$keyvane" --snapshot "$work/snapshot.plist" 2>"$work/err")" \
  || { cat "$work/err" >&2; fail "keyvane with a saved session"; }
[ "$shown" = "shown keys=2 rows=2 key=Setup:/System" ] || fail "the saved session was not restored: $shown"

# The command-line companion reads the same snapshot.
"$cli" --snapshot "$work/snapshot.plist" list > "$work/keys" || fail "keyvane-cli list"
diff <(printf 'Setup:/System\nState:/Network/Interface/lo/IPv4\n') "$work/keys" || fail "keyvane-cli list output"
"$cli" --snapshot "$work/snapshot.plist" show State:/Network/Interface/lo/IPv4 | grep -q 127.0.0.1 || fail "keyvane-cli show"
echo "1 passed, 0 failed"
