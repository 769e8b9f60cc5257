# Shared by the shell checks (and the benchmarks) that are scripts: source it
# after setting `name` to the script's name.

# skip WHAT: a tool the check needs is missing. Outside CI the check is
# SKIPPED and the script ends with success; in CI (CI=true) it FAILS.
skip() {
  if [ "${CI:-}" = true ]; then
    echo "$name: FAILED: $1 is missing" >&2
    exit 1
  fi
  echo "$name: SKIPPED: $1 is missing"
  exit 0
}

# start_jtag_server LOG COMMAND...: runs COMMAND, a jtag-server with its
# arguments, to which "--listen 127.0.0.1:0" is added, in the background with
# its output in LOG, and waits up to ten seconds for its "listening on" line.
# Sets server_pid and server_address (host:port). When the server does not
# come up it is stopped and the function returns 1.
start_jtag_server() {
  local log=$1 _
  shift
  "$@" --listen 127.0.0.1:0 >"$log" 2>&1 &
  server_pid=$!
  server_address=
  for _ in $(seq 200); do
    server_address=$(sed -n 's/^jtag-server: listening on //p' "$log")
    [ -n "$server_address" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  return 1
}
