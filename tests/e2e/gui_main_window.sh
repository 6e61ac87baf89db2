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
. "$(dirname "${BASH_SOURCE[0]}")/gui_common.sh"

phase layout
phase rows
# The window with its rows, for a person to look at (Chinese must render).
sleep 0.3
import -window root "$artifacts/main-window.png" || fail "screenshot"
phase open

# The shell's open request reaches the recording browser asynchronously.
expect_opened "https://dl.example/three.ipa" "the shell was asked to open exactly"

close_and_expect_status_0
exit $failed
