# Sourced by scripts that drive the stand-alone testbed:
#   testbed_up BINARY LOG ARGS...  starts "BINARY up ARGS..." in the background
#                                  (output to LOG) and waits up to 30 s for its
#                                  "testbed ready" line; fails, showing LOG, when
#                                  it did not come
#   testbed_down                   stops it (SIGTERM) and waits for it
testbed_pid=
testbed_up() {
  local binary=$1 log=$2
  shift 2
  "$binary" up "$@" >"$log" 2>&1 &
  testbed_pid=$!
  for _ in $(seq 1 300); do
    grep -q '^testbed ready' "$log" && return 0
    kill -0 "$testbed_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -q '^testbed ready' "$log" && return 0
  cat "$log" >&2
  return 1
}
testbed_down() {
  if [[ -n $testbed_pid ]] && kill -0 "$testbed_pid" 2>/dev/null; then
    kill -TERM "$testbed_pid"
    wait "$testbed_pid" 2>/dev/null || true
  fi
  testbed_pid=
}
