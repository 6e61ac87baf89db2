#!/usr/bin/env bash
# The window stays responsive through a lookup of a hostile page: 2 MB with one
# line of 50,000 manifest markers and ".plist" only on the next line. While the
# lookup runs, the window answers a WM_NULL every 100 ms within 1 s; it ends with
# no row and its one closing box. Run inside `scripts/wine-session start`.
# Usage: gui_hostile_flood.sh TOBRINE_EXE DRIVER_EXE ARTIFACT_DIR
set -uo pipefail
tobrine=$1 driver=$2 artifacts=$3
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
. "$here/gui_common.sh"
gui_start

start_fixture_server

start_program

: > "$artifacts/flood-expected.txt"
phase answering "http://127.0.0.1:$port/hostile/flood-page" "$artifacts/flood-expected.txt"

close_and_expect_status_0
exit $failed
