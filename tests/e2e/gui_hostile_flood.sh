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

# The fixture server prints its ports on its first line and runs until its input closes.
coproc SERVER { python3 "$here/fixture_server.py"; }
read -r info <&"${SERVER[0]}"
port=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["http"])' "$info")

"$WINE" "$tobrine" </dev/null >/dev/null 2>&1 &
app=$!
finish() { kill "$app" 2>/dev/null; wait "$app" 2>/dev/null; }
trap 'finish; kill "$SERVER_PID" 2>/dev/null' EXIT

phase() { "$WINE" "$driver" "$@" </dev/null || fail "driver phase $*"; }

: > "$artifacts/flood-expected.txt"
phase answering "http://127.0.0.1:$port/hostile/flood-page" "$artifacts/flood-expected.txt"

close_and_expect_status_0
exit $failed
