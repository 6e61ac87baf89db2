#!/usr/bin/env bash
# The main window under Wine + Xvfb, driven from gui_driver.exe: layout and
# captions, rows, a double-click handed to the shell, and the exit status after
# closing. Run inside `scripts/wine-session start`.
# Usage: gui_main_window.sh TOBRINE_EXE DRIVER_EXE ARTIFACT_DIR
set -uo pipefail
tobrine=$1 driver=$2 artifacts=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/gui_common.sh"
gui_start gui-opened-urls.txt

start_program

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
