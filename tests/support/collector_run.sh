# What every test against a real rsyslogd shares, sourced by the test scripts: a work
# folder of the run's own, the collector started with the run's configuration
# ($work/rsyslog.conf) and pid file and stopped by its pid, free loopback ports, polling,
# and the count of failures. A script sets ${listening[@]}, the ports rsyslogd listens on
# as configured, before it starts the collector.
#   source tests/support/collector_run.sh <name of the work folder>

work=$(mktemp -d "${TMPDIR:-/tmp}/varrowmere-$1.XXXXXX")
failures=0
collector_pid=

# require_collector <commands...> [-- <rsyslog modules...>]: ends the test with a clear
# word when something it needs is not installed.
require_collector() {
  local needs_modules=0 need
  for need in "$@"; do
    if [[ "$need" == -- ]]; then
      needs_modules=1
    elif ((needs_modules)); then
      ls /usr/lib/*/rsyslog/"$need".so >/dev/null 2>&1 ||
        { echo "FAILED: rsyslog's $need is not installed (scripts/ensure-packages.sh installs it)"; exit 1; }
    else
      command -v "$need" >/dev/null ||
        { echo "FAILED: $need is not installed (scripts/ensure-packages.sh installs it)"; exit 1; }
    fi
  done
}

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

# Pieces of an rsyslog configuration, each printed, for a script to put together in
# $work/rsyslog.conf:
#   collector_config_head [CA file]   rsyslogd's work folder (made here), no name lookups,
#                                     messages up to 8k stored as they came, and the
#                                     template "raw" that writes a message exactly as it
#                                     arrived; with a CA file, the one TLS inputs check by
#   raw_input <module> <name> <port> [input settings...]
#                                     an input on loopback whose messages go raw to
#                                     $work/<name>.log
collector_config_head() {
  mkdir -p "$work/spool"
  echo "global(workDirectory=\"$work/spool\" net.enableDNS=\"off\" maxMessageSize=\"8k\""
  echo "       parser.escapeControlCharactersOnReceive=\"off\""
  [[ -z "${1:-}" ]] || echo "       defaultNetstreamDriverCAFile=\"$1\""
  echo ")"
  echo "template(name=\"raw\" type=\"string\" string=\"%rawmsg%\\n\")"
}
raw_input() {
  local module=$1 name=$2 port=$3
  shift 3
  echo "ruleset(name=\"$name\") { action(type=\"omfile\" file=\"$work/$name.log\" template=\"raw\") }"
  echo "input(type=\"$module\" address=\"127.0.0.1\" port=\"$port\" ruleset=\"$name\"${*:+ $*})"
}

# True once rsyslogd listens on every TCP port in ${listening[@]}; a script that listens
# otherwise defines its own after sourcing this.
collector_listens() {
  local port
  for port in "${listening[@]}"; do listens "$port" || return 1; done
}

# Without the scripts' input pipes, whose ends must close when the test closes them.
start_collector() {
  rsyslogd -n -C -f "$work/rsyslog.conf" -i "$work/rsyslog.pid" >>"$work/rsyslog.out" 2>&1 3>&- 4>&- &
  collector_pid=$!
  wait_until 10 collector_listens || fail "rsyslogd did not start: $(cat "$work/rsyslog.out")"
}

# A relay on loopback between a program and the collector (wire_relay.exe, in $relay),
# which records every byte the program sends in $work/<word>.wire: start_relay <word>
# <collector port> leaves its port in $relay_port; finish_relay <word> waits for it to end
# after the program's run, whose exit status is in $status. Each relay gets a port of its
# own (the last one's may linger).
start_relay() {
  local word=$1 port=$2
  relay_port=$(next_free_port $((relay_port + 1)))
  "$wine_run" "$relay" "$relay_port" "$port" "$(windows_path "$work/$word.wire")" >"$work/$word.relay" 2>&1 &
  relay_pid=$!
  wait_until 10 listens "$relay_port" || fail "$word: the relay did not start: $(cat "$work/$word.relay")"
}
finish_relay() {
  local word=$1
  # A program that never connected leaves the relay waiting for it.
  ((status == 0)) || kill "$relay_pid" 2>/dev/null
  wait "$relay_pid" || ((status != 0)) || fail "$word: the relay failed: $(cat "$work/$word.relay")"
}
# expect_unreadable_on_wire <word> <lines> <text>: the relay passed at least 30 bytes a
# line, and none of them holds the run's word or the sender's <text> in clear.
expect_unreadable_on_wire() {
  local word=$1 count=$2 text=$3
  local bytes
  bytes=$(wc -c <"$work/$word.wire")
  if ((bytes < count * 30)) || grep -a -q -F " $word " "$work/$word.wire" || grep -a -q -F "$text" "$work/$word.wire"; then
    fail "$word: the relay read message text in the $bytes bytes it passed"
  else
    echo "ok: $word: the relay passed $bytes bytes and read none of the text"
  fi
}
