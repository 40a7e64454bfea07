# What every test against a real rsyslogd shares, sourced by the test scripts: a work
# folder of the run's own, the collector started with the run's configuration
# ($work/rsyslog.conf) and pid file and stopped by its pid, free loopback ports, polling,
# and the count of failures. A script defines collector_listens (true once rsyslogd
# listens where the script configured it) before it starts the collector.
#   source tests/support/collector_run.sh <name of the work folder>

work=$(mktemp -d "${TMPDIR:-/tmp}/varrowmere-$1.XXXXXX")
failures=0
collector_pid=

stop_collector() {
  if [[ -n "$collector_pid" ]]; then
    kill -CONT "$collector_pid" 2>/dev/null  # a test may have stopped it for a stall
    kill "$collector_pid" 2>/dev/null
    wait "$collector_pid" 2>/dev/null
    collector_pid=
  fi
}
cleanup() {
  exec 3>&- 4>&- 2>/dev/null
  stop_collector
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# Programs run under Wine, which sees this machine's root as drive Z:.
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# Loopback ports nobody uses; callers start from a number made from their pid, so that
# parallel runs start apart.
port_in_use() { [[ -n "$(ss -Htuan "sport = :$1" 2>/dev/null)" ]]; }
next_free_port() {
  local port=$1
  while port_in_use "$port"; do port=$((port + 1)); done
  echo "$port"
}
listens() { [[ -n "$(ss -Htln "sport = :$1")" ]]; }

# Polls (0.05 s steps, up to the limit in seconds) until the command succeeds.
wait_until() {
  local limit=$1
  shift
  local steps=$((limit * 20)) step
  for ((step = 0; step < steps; step++)); do
    "$@" && return 0
    sleep 0.05
  done
  "$@"
}

# Without the scripts' input pipes, whose ends must close when the test closes them.
start_collector() {
  rsyslogd -n -C -f "$work/rsyslog.conf" -i "$work/rsyslog.pid" >>"$work/rsyslog.out" 2>&1 3>&- 4>&- &
  collector_pid=$!
  wait_until 10 collector_listens || fail "rsyslogd did not start: $(cat "$work/rsyslog.out")"
}
