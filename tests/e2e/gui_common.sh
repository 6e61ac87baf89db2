# Shared by the GUI scripts: sourced after `app` (the program's pid), `phase`
# and `fail` are defined.

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
