# Sourced by tools/demo, tools/demo-firmware and tools/demo-jtag.
#
# run_against_a_server BUILD [SERVER-ARGUMENT...] -- [TERMINAL-ARGUMENT...]
# Starts BUILD/bin/jtag-server with the arguments before "--" on a free
# loopback port, runs BUILD/bin/tolvan-terminal with those after it in the
# current directory against that server, and stops the server when the
# terminal exits. If the caller defines server_errors, the server's standard
# error goes through it; if it defines server_stopped, that runs once the
# server has stopped (tools/demo-jtag stops its board there).
run_against_a_server() {
  local build=$1
  shift
  local server_arguments=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    server_arguments+=("$1")
    shift
  done
  [ $# -gt 0 ] && shift

  fifo=$(mktemp -u)
  mkfifo "$fifo"
  if declare -F server_errors >/dev/null; then
    "$build/bin/jtag-server" "${server_arguments[@]}" --listen 127.0.0.1:0 >"$fifo" 2> >(server_errors >&2) &
  else
    "$build/bin/jtag-server" "${server_arguments[@]}" --listen 127.0.0.1:0 >"$fifo" &
  fi
  server=$!
  trap 'kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; rm -f "$fifo"
    if declare -F server_stopped >/dev/null; then server_stopped; fi' EXIT
  exec 3<"$fifo"
  local first_line
  read -r first_line <&3
  echo "$first_line"
  # Keep draining the server's output so it never blocks on a full pipe.
  cat <&3 >/dev/null &

  JTAG_CORVEX_SERVER=${first_line##* } "$build/bin/tolvan-terminal" "$@"
}
