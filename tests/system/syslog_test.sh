#!/usr/bin/env bash
# The syslog output end to end against a real collector: Debian's rsyslogd on loopback,
# with a configuration, ports, pid file and work folder of this run's own, writing each
# message exactly as it arrived (the raw-message template) to one file per transport.
# Only a test outside Wine can start a Linux program, hence a script.
#   syslog_test.sh <wine-run> <varrowmere-logger.exe>
set -uo pipefail
wine_run=$1
logger=$2
source "$(dirname "$0")/../support/collector_run.sh" syslog
require_collector rsyslogd ss

# Two loopback ports nobody uses.
udp_port=$(next_free_port $((20000 + ($$ * 13) % 30000)))
tcp_port=$(next_free_port $((udp_port + 1)))

{
  collector_config_head
  echo 'module(load="imudp")'
  echo 'module(load="imtcp")'
  cat <<EOF
template(name="priority" type="string" string="%syslogfacility% %syslogseverity% %rawmsg%\n")
ruleset(name="udp") {
  action(type="omfile" file="$work/udp.log" template="raw")
  action(type="omfile" file="$work/priority.log" template="priority")
}
input(type="imudp" address="127.0.0.1" port="$udp_port" ruleset="udp")
EOF
  raw_input imtcp tcp "$tcp_port"
} >"$work/rsyslog.conf"

collector_listens() { [[ -n "$(ss -Htln "sport = :$tcp_port")" && -n "$(ss -Huan "sport = :$udp_port")" ]]; }

count_lines() {
  if [[ -f "$2" ]]; then grep -c -F -e "$1" "$2"; else echo 0; fi
}
has_lines() { (($(count_lines "$1" "$2") >= $3)); }
line_count() { if [[ -f "$1" ]]; then wc -l <"$1"; else echo 0; fi; }

# The collector keeps its files open, so each run reads only what its files gained.
udp_mark=0
tcp_mark=0
new_lines() {
  local mark=$tcp_mark
  [[ $1 == udp ]] && mark=$udp_mark
  tail -n +$((mark + 1)) "$work/$1.log" 2>/dev/null
}
new_line_count() { new_lines "$1" | wc -l; }
gained() { (($(new_line_count "$1") >= $2)); }

# Runs the logger against both collectors; its console output (for the thread) goes to
# $work/console.txt.
run_logger() {
  udp_mark=$(line_count "$work/udp.log")
  tcp_mark=$(line_count "$work/tcp.log")
  "$wine_run" "$logger" --no-event-log --console --syslog "127.0.0.1:$udp_port,127.0.0.1:$tcp_port/tcp" "$@" \
    >"$work/console.txt" 2>"$work/stderr.txt" || fail "logger exited $?: $(cat "$work/stderr.txt")"
}

# The thread of the first console line, as syslog lines print it (hexadecimal, no zeros).
logged_thread() {
  local padded
  padded=$(sed -n 's/^\[[0-9]*\] ([0-9:.]*):{0x\([0-9A-F]*\)} .*/\1/p' "$work/console.txt" | head -1)
  printf '%X' $((16#${padded:-0}))
}

# Compares what a collector's file gained with the expected lines, once it gained as many.
expect_lines() {
  local name=$1 transport=$2 expected=$3
  wait_until 10 gained "$transport" "$(printf '%s\n' "$expected" | wc -l)"
  if [[ "$(new_lines "$transport")" == "$expected" ]]; then
    echo "ok: $name ($transport)"
  else
    fail "$name ($transport)"
    diff <(printf '%s\n' "$expected") <(new_lines "$transport") | head -20
  fi
}

start_collector

# ---- Lines byte for byte, over UDP and TCP alike ----
long=$(printf 'x%.0s' {1..600})
run_logger --no-header --facility 16 --level 2 plain $'two\nlines' "$long" $'carriage\rreturn'
head="<132> varrowmere-logger {0x$(logged_thread)}"
long_line="$head 0002: (#20000) $long"
expected=$(printf '%s\n' "$head 0000: (#20000) plain" "$head 0001: (#20000) two#012lines" \
  "${long_line:0:509}" "$head 0003: (#20000) carriage#015return")
for transport in tcp udp; do
  expect_lines "no header, facility 16, line breaks escaped, 509-character cut" $transport "$expected"
done

run_logger --no-header --level 2 --user "the user" "with user text"
expected="<4> varrowmere-logger {0x$(logged_thread)} 0000: (#20000) {the user} with user text"
for transport in tcp udp; do expect_lines "user text in braces" $transport "$expected"; done

# Hostile text: control bytes arrive as sent, text outside the ANSI code page (1252 here)
# as "?", a 10,000-character line cut like any other, and line breaks escaped, so a
# forged record after them stays inside its own line.
run_logger --no-header --level 2 $'bin \x01\x07\x1b[31m\x7f end' "ru Привет zh 中文 é emoji 😀 end" \
  "long $(printf 'y%.0s' {1..10000})" $'cr\rlf\nboth\r\n<13> forged'
head="<4> varrowmere-logger {0x$(logged_thread)}"
long_line="$head 0002: (#20000) long $(printf 'y%.0s' {1..600})"
expected=$(printf '%s\n' "$head 0000: (#20000) "$'bin \x01\x07\x1b[31m\x7f end' \
  "$head 0001: (#20000) ru ?????? zh ?? "$'\xe9'" emoji ?? end" "${long_line:0:509}" \
  "$head 0003: (#20000) cr#015lf#012both#015#012<13> forged")
for transport in tcp udp; do expect_lines "hostile text, one line per record" $transport "$expected"; done

run_logger --level 3 "with header"
header_line="^<5>[A-Z][a-z][a-z] [0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9] $(uname -n) varrowmere-logger \{0x$(logged_thread)\} 0000: \(#30000\) with header$"
for transport in tcp udp; do
  wait_until 10 gained $transport 1
  if new_lines $transport | grep -qE "$header_line"; then
    echo "ok: header with time stamp and host name ($transport)"
  else
    fail "header line ($transport): $(new_lines $transport)"
  fi
done

# The cut at 509 characters never splits an escaped line break: four lengths of text
# before the line breaks put the cut at each place of an escape.
breaks=$(printf 'n%.0s' {1..200})
breaks=${breaks//n/$'\n'}
run_logger --no-header --level 2 "${breaks}x" "a${breaks}x" "aa${breaks}x" "aaa${breaks}x"
for transport in tcp udp; do
  wait_until 10 gained $transport 4
  lengths=$(new_lines $transport | awk '{ print length($0) }' | sort | tr '\n' ' ')
  if [[ $(new_line_count $transport) == 4 && "$lengths" == "506 507 508 509 " ]] &&
    new_lines $transport | awk -v head="<4> varrowmere-logger {0x$(logged_thread)} " '
      { rest = $0; if (index(rest, head) != 1) exit 1; rest = substr(rest, length(head) + 1)
        if (rest !~ /^[0-9][0-9][0-9][0-9]: \(#20000\) a*(#012)+$/) exit 1 }'; then
    echo "ok: the cut ends before an escape that does not fit ($transport)"
  else
    fail "cut at an escape ($transport): lengths $lengths"
    new_lines $transport | sed 's/\(.\{20\}\).*\(.\{12\}\)$/\1...\2/'
  fi
done

# The priority as rsyslog reads it: the level's severity stays in its three bits, in
# the facility asked for; levels above 5 are debug (7).
for case in "0 2 0 4" "1 7 1 7" "23 6 23 7" "0 15 0 7"; do
  read -r facility level want_facility want_severity <<<"$case"
  mark=$(line_count "$work/priority.log")
  run_logger --no-header --facility "$facility" --level "$level" "priority"
  wait_until 10 gained udp 1
  got=$(tail -n +$((mark + 1)) "$work/priority.log" | sed -n 's/^\([0-9]* [0-9]*\) .*) priority$/\1/p')
  if [[ "$got" == "$want_facility $want_severity" ]]; then
    echo "ok: facility $facility, level $level: rsyslog reads facility ${got% *}, severity ${got#* }"
  else
    fail "facility $facility, level $level: rsyslog read \"$got\", expected \"$want_facility $want_severity\""
  fi
done

# ---- The sequence number counts every line 0 to 9999 and wraps ----
run_logger --no-header --level 2 --count 10001
wait_until 30 gained tcp 10001
if new_lines tcp | awk '$4 != sprintf("%04d:", (NR - 1) % 10000) { print "line " NR ": " $0; bad = 1; exit }
                       END { exit bad || NR < 10001 }' &&
  new_lines tcp | grep -q ' 9999: (#20000) record 10000 of thread 1$' &&
  new_lines tcp | grep -q ' 0000: (#20000) record 10001 of thread 1$'; then
  echo "ok: sequence numbers wrap after 9999"
else
  fail "sequence numbers: $(new_line_count tcp) lines"
fi

# ---- A collector that stalls, then resumes: whole lines only, every line accounted for ----
# Without --nonblocking-syslog the logger would wait for it; with it, the logger keeps
# the unsent rest of a line and drops whole lines, counted, until the collector reads.
tcp_mark=$(line_count "$work/tcp.log")
mkfifo "$work/stall-input"
stall_console="$work/stall-console.txt"
"$wine_run" "$logger" --no-event-log --console --level 4 --no-header --nonblocking-syslog \
  --syslog "127.0.0.1:$tcp_port/tcp" --stdin <"$work/stall-input" >"$stall_console" 2>"$work/stderr.txt" &
stall_logger_pid=$!
exec 4>"$work/stall-input"
padding=$(printf 'p%.0s' {1..400})
send_lines() {
  local line
  for ((line = $1; line <= $2; line++)); do printf 'line %d %s\n' "$line" "$padding"; done >&4
}
wait_until 20 has_lines 'EVENTMSG="Connected to 127.0.0.1"' "$stall_console" 1 || fail "stall run: no connection"
send_lines 1 1000
wait_until 10 has_lines "} line 1000 " "$stall_console" 1
kill -STOP "$collector_pid"
# Over 20 MB while the collector reads nothing: far more than the sockets' buffers hold.
send_lines 1001 50000
wait_until 60 has_lines "} line 50000 " "$stall_console" 1 || fail "stall run: the console did not keep up"
kill -CONT "$collector_pid"
sleep 1
send_lines 50001 51000
# The drops are told when the collector takes a line again; the logger's own messages
# are lost once it stops, so its input stays open until it told them.
wait_until 30 has_lines "} line 51000 " "$stall_console" 1
wait_until 10 has_lines "lines dropped for 127.0.0.1" "$stall_console" 1
exec 4>&-
wait "$stall_logger_pid" || fail "stall run: logger exited $?: $(cat "$work/stderr.txt")"
console_records=$(grep -c '^\[[0-9]*\] ' "$stall_console")
dropped=$(sed -n 's/.*EVENTMSG="\([0-9]*\) lines dropped for 127\.0\.0\.1.*/\1/p' "$stall_console" |
  awk '{ s += $1 } END { print s + 0 }')
wait_until 30 gained tcp $((console_records - dropped))
whole_line='^<6> varrowmere-logger \{0x[0-9A-F]+\} [0-9]{4}: \(#40000\) (line [0-9]+ p{400}|\[DIAG\] EVENT=[A-Za-z_]+, .*")$'
received=$(new_line_count tcp)
cut=$(new_lines tcp | grep -c -v -E "$whole_line")
after_resume=$(new_lines tcp | grep -oE '\(#40000\) line [0-9]+ ' | awk '$3 > 50000' | wc -l)
echo "stall run: $console_records records, $received lines received ($cut cut), $dropped dropped"
if ((cut == 0 && dropped > 0 && received + dropped == console_records && after_resume >= 1000)); then
  echo "ok: a collector that stalls and resumes gets whole lines, every drop counted"
else
  fail "stall run: $cut cut lines, $received + $dropped != $console_records records, $after_resume after resuming"
  new_lines tcp | grep -v -E "$whole_line" | cut -c1-100 | head -5
fi

# ---- TCP reconnection: down, up, lost, back ----
stop_collector
tcp_mark=$(line_count "$work/tcp.log")
mkfifo "$work/input"
"$wine_run" "$logger" --no-event-log --console --level 4 --no-header --syslog "127.0.0.1:$tcp_port/tcp" --stdin \
  <"$work/input" >"$work/console.txt" 2>"$work/stderr.txt" &
logger_pid=$!
exec 3>"$work/input"
console="$work/console.txt"
has_new() { new_lines tcp | grep -q -F -e "$1"; }

wait_until 20 has_lines 'EVENTMSG="Connect failed to 127.0.0.1"' "$console" 1 ||
  fail "no connect-failed message while the collector is down"
echo "while down" >&3
wait_until 10 has_lines "} while down" "$console" 1
# Retries run every cycle meanwhile; a second of them must stay silent.
sleep 1
[[ $(count_lines 'Connect failed' "$console") == 1 && $(count_lines 'Error_connecting' "$console") == 0 ]] ||
  fail "retries while down were not silent: $(grep -c DIAG "$console") messages"

start_collector
wait_until 3 has_lines 'EVENTMSG="Connected to 127.0.0.1"' "$console" 1 || fail "no connected message"
echo "while up" >&3
wait_until 10 has_new "(#40000) while up" || fail "line after connecting did not arrive"

stop_collector
for ((i = 1; i <= 50; i++)); do
  echo "after stop $i" >&3
  wait_until 1 has_lines 'EVENTMSG="Connection lost to 127.0.0.1"' "$console" 1 && break
done
has_lines 'EVENTMSG="Connection lost to 127.0.0.1"' "$console" 1 || fail "no connection-lost message"

start_collector
# The next cycle (200 ms) connects again.
wait_until 2 has_lines 'EVENTMSG="Connected to 127.0.0.1"' "$console" 2 || fail "did not reconnect within a cycle"
echo "after restart" >&3
wait_until 10 has_new "(#40000) after restart" || fail "line after reconnecting did not arrive"
exec 3>&-
wait "$logger_pid" || fail "logger exited $?: $(cat "$work/stderr.txt")"
[[ $(count_lines 'Connect failed' "$console") == 1 ]] || fail "connect-failed told more than once"
((failures == 0)) && echo "ok: TCP reconnection"

((failures == 0)) || { echo "console of the reconnection run:"; cat "$console"; }
exit $((failures > 0))
