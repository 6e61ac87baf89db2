# Shared by the GUI scripts: sourced after `app` (the program's pid), `phase`
# and `fail` are defined.

# Checks that the shell was asked to open exactly `want`, once ($URL_LOG; the
# recording browser runs asynchronously).
expect_opened() {
  local want=$1 what=$2 opened
  for _ in $(seq 50); do [ -s "$URL_LOG" ] && break; sleep 0.1; done
  sleep 0.5
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
