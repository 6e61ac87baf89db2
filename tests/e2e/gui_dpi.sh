#!/usr/bin/env bash
# The program file and its scaling under Wine + Xvfb: the version information and
# manifest read back from the running exe, then the window at 96 DPI (exactly as
# stored) and at 144 DPI (Wine's LogPixels; everything 1.5 times, centred, the
# text drawn at that size), then a WM_DPICHANGED to 120. A screenshot of each
# goes to ARTIFACT_DIR. Runs alone: LogPixels is the prefix's, and it is put
# back on exit. Run inside `scripts/wine-session start`.
# Usage: gui_dpi.sh TOBRINE_EXE DRIVER_EXE ARTIFACT_DIR UNIT_TESTS_EXE
set -uo pipefail
tobrine=$1 driver=$2 artifacts=$3 unit_tests=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/gui_common.sh"
gui_start
base=$artifacts/dpi-96-text-width.txt

desktop='HKCU\Control Panel\Desktop'
saved=$("$WINE" reg query "$desktop" /v LogPixels </dev/null 2>/dev/null | awk '/LogPixels/ {print $3}')
restore_dpi() {
  if [ -n "$saved" ]; then
    "$WINE" reg add "$desktop" /v LogPixels /t REG_DWORD /d "$((saved))" /f </dev/null >/dev/null 2>&1
  else
    "$WINE" reg delete "$desktop" /v LogPixels /f </dev/null >/dev/null 2>&1
  fi
}
set_dpi() {
  "$WINE" reg add "$desktop" /v LogPixels /t REG_DWORD /d "$1" /f </dev/null >/dev/null 2>&1 ||
    fail "setting LogPixels to $1"
}

on_exit=restore_dpi

# The window alone, for a person to look at.
screenshot() {
  sleep 0.3
  local id
  id=$(xdotool search --name '^Tobrine ' 2>/dev/null | head -n 1)
  import -window "${id:-root}" "$artifacts/$1" || fail "screenshot $1"
}

set_dpi 96
start_program
phase resources
phase layout
phase scaled 96 "$base"
phase rows
screenshot dpi-96.png
close_and_expect_status_0

set_dpi 144
# The window layer above the backend still sees the stored geometry.
unit=MainForm.LoadsCentredWithEveryControlAsStored
if out=$("$WINE" "$unit_tests" --gtest_filter="$unit" </dev/null 2>&1) &&
  grep -q "^\[       OK \] $unit" <<<"$out"; then
  echo "PASS $unit at 144 DPI"
else
  printf '%s\n' "$out"
  fail "$unit at 144 DPI"
fi
start_program
phase scaled 144 "$base"
phase rows
screenshot dpi-144.png
# A move to a monitor of another DPI, as Windows reports it.
phase dpichange 120 "$base"
screenshot dpi-144-changed-to-120.png
close_and_expect_status_0

restore_dpi
exit $failed
