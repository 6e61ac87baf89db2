# Shared by the GUI scripts, sourced at their start (`here` names their folder;
# `tobrine` and `driver` the program and gui_driver.exe, `artifacts` the folder
# for what a person may look at).

# The start every GUI script makes: the Wine session's environment, a display,
# the artifact folder as an absolute path (the recording browser runs
# elsewhere) and no failure yet. With a name, URL_LOG is a fresh file of that
# name among the artifacts.
gui_start() {
  . "$here/../../scripts/wine-env.sh"
  if [ -z "${DISPLAY:-}" ]; then
    echo "no display: start the Wine session first (scripts/wine-session start)" >&2
    exit 1
  fi
  mkdir -p "$artifacts"
  artifacts=$(cd "$artifacts" && pwd)
  if [ -n "${1:-}" ]; then
    export URL_LOG=$artifacts/$1
    rm -f "$URL_LOG"
  fi
  failed=0
  app=
  trap gui_end EXIT
}

# On exit: the program and the fixture server end, and whatever the script
# names in `on_exit` runs.
gui_end() {
  if [ -n "$app" ]; then
    kill "$app" 2>/dev/null
    wait "$app" 2>/dev/null
  fi
  [ -n "${SERVER_PID:-}" ] && kill "$SERVER_PID" 2>/dev/null
  ${on_exit:-:}
}

# Starts the program; `app` is its pid.
start_program() {
  "$WINE" "$tobrine" </dev/null >/dev/null 2>&1 &
  app=$!
}

# Starts the fixture server (it prints its ports on its first line and runs
# until its input closes); `port` is its plain HTTP port, `base` the address.
start_fixture_server() {
  local info
  coproc SERVER { python3 "$here/fixture_server.py"; }
  read -r info <&"${SERVER[0]}"
  port=$(python3 -c 'import json,sys; print(json.loads(sys.argv[1])["http"])' "$info")
  base=http://127.0.0.1:$port
}

# One phase of gui_driver.exe; a phase that fails is a failure of the script.
phase() { "$WINE" "$driver" "$@" </dev/null || fail "driver phase $*"; }

fail() { echo "FAIL $*"; failed=1; }

# Whether this Wine prefix still runs a launch of the browser (winebrowser, or
# the recording script it started).
browser_at_work() {
  local pid
  for pid in $(pgrep -f 'winebrowser|record-url'); do
    { tr '\0' '\n' < "/proc/$pid/environ"; } 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX" &&
      return 0
  done
  return 1
}

# Checks that the shell was asked to open exactly `want`, once ($URL_LOG; the
# recording browser runs asynchronously): once something is logged and no
# launch is at work any more, a second open would have shown. 10 s at most.
expect_opened() {
  local want=$1 what=$2 opened
  for _ in $(seq 100); do
    [ -s "$URL_LOG" ] && ! browser_at_work && break
    sleep 0.1
  done
  opened=$(cat "$URL_LOG" 2>/dev/null)
  if [ "$opened" = "$want" ]; then
    echo "PASS $what: $opened"
  else
    fail "the shell was asked to open: '${opened}' (want '$want' once)"
  fi
}

# Closes the window and checks that the program ends with status 0.
close_and_expect_status_0() {
  local status=
  phase close
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
    kill "$app" 2>/dev/null
  fi
}
