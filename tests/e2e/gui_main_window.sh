#!/usr/bin/env bash
# The main window under Wine + Xvfb, driven from gui_driver.exe: layout and
# captions, rows, a double-click handed to the shell, and the exit status after
# closing. Run inside `scripts/wine-session start`.
# Usage: gui_main_window.sh TOBRINE_EXE DRIVER_EXE ARTIFACT_DIR
set -uo pipefail
tobrine=$1 driver=$2 artifacts=$3
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/wine-env.sh"
if [ -z "${DISPLAY:-}" ]; then
  echo "no display: start the Wine session first (scripts/wine-session start)" >&2
  exit 1
fi
mkdir -p "$artifacts"
artifacts=$(cd "$artifacts" && pwd)  # the recording browser runs elsewhere
export URL_LOG=$artifacts/gui-opened-urls.txt
rm -f "$URL_LOG"
failed=0
fail() { echo "FAIL $*"; failed=1; }

"$WINE" "$tobrine" </dev/null >/dev/null 2>&1 &
app=$!
finish() { kill "$app" 2>/dev/null; wait "$app" 2>/dev/null; }

phase() { "$WINE" "$driver" "$1" </dev/null || fail "driver phase $1"; }

phase layout
phase rows
# The window with its rows, for a person to look at (Chinese must render).
sleep 0.3
import -window root "$artifacts/main-window.png" || fail "screenshot"
phase open

# The shell's open request reaches the recording browser asynchronously.
want="https://dl.example/three.ipa"
for _ in $(seq 50); do [ -s "$URL_LOG" ] && break; sleep 0.1; done
sleep 0.5
opened=$(cat "$URL_LOG" 2>/dev/null)
if [ "$opened" = "$want" ]; then
  echo "PASS the shell was asked to open exactly: $opened"
else
  fail "the shell was asked to open: '${opened}' (want '$want' once)"
fi

phase close
status=
for _ in $(seq 100); do
  if ! kill -0 "$app" 2>/dev/null; then
    wait "$app"
    status=$?
    break
  fi
  sleep 0.1
done
if [ "$status" = 0 ]; then
  echo "PASS closing the window ended the program with status 0"
else
  fail "program status after close: '${status:-still running}'"
  finish
fi
exit $failed
