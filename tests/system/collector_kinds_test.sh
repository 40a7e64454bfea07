#!/usr/bin/env bash
# The syslog output's collector kinds beyond plain UDP and TCP, end to end: records
# through varrowmere-logger under Wine to Debian's rsyslogd on loopback (imrelp with and
# without TLS, imtcp with the gtls stream driver; for the comparison imtcp in plain TCP),
# with a configuration, ports, pid file, certificates and work folder of this run's own.
# rsyslogd writes each message exactly as it arrived (the raw-message template) to one
# file per input, and the test reads those files back. A relay on loopback between the
# two (wire_relay.exe) records what the logger sent, to show what anyone on the path reads.
#   collector_kinds_test.sh <wine-run> <varrowmere-logger.exe> <wire_relay.exe> relp|tls|relp-tls
#
# relp      100,000 records while the collector is stopped by its pid and started again
#           2 s later, over RELP and, for the comparison, over plain TCP; a network
#           that fails with acknowledgements lost (duplicates within the window); the
#           held-bytes bound and one [DIAG] per run of drops
# tls       10,000 records over /tls; a server certificate of another CA, a wrong CA file,
#           an address and a name mismatch refused with no line delivered; no CA, a bad CA
#           file; a relay on the path reads none of the text
# relp-tls  1,000 records over RELP inside TLS with a client certificate, every one
#           acknowledged; a relay reads none of the text; without the certificate refused
set -uo pipefail
wine_run=$1
logger=$2
relay=$3
group=$4

source "$(dirname "$0")/../support/collector_run.sh" kinds
require_collector rsyslogd openssl ss -- imrelp lmnsd_gtls

if [[ "$group" != relp ]]; then
  source "$(dirname "$0")/../net/collector_certificates.sh"
  make_collector_certificates || { echo "FAILED: openssl could not make the certificates"; exit 1; }
  ca=$(windows_path "$work/ca.pem")
  pfx=$(windows_path "$work/client.pfx")
fi

# ---- Ports nobody uses ----
first_port=$(next_free_port $((20000 + ($$ * 19) % 30000)))
ports=("$first_port")
for ((i = 1; i < 4; i++)); do ports+=("$(next_free_port $((ports[i - 1] + 1)))"); done
relay_port=${ports[3]}

{
  if [[ "$group" == relp ]]; then collector_config_head; else collector_config_head "$work/ca.pem"; fi
  case "$group" in
    relp)
      relp_port=${ports[0]}
      tcp_port=${ports[1]}
      listening=("$relp_port" "$tcp_port")
      echo 'module(load="imrelp")'
      echo 'module(load="imtcp")'
      raw_input imrelp relp "$relp_port"
      raw_input imtcp tcp "$tcp_port"
      ;;
    tls)
      tls_port=${ports[0]}
      foreign_port=${ports[1]}
      elsewhere_port=${ports[2]}
      listening=("$tls_port" "$foreign_port" "$elsewhere_port")
      tls_inputs "$tls_port" "$foreign_port" "$elsewhere_port"
      ;;
    relp-tls)
      relp_tls_port=${ports[0]}
      listening=("$relp_tls_port")
      echo 'module(load="imrelp")'
      relp_tls_input "$relp_tls_port"
      ;;
    *)
      echo "FAILED: unknown group $group"
      exit 1
      ;;
  esac
} >"$work/rsyslog.conf"

# The records of one run carry the run's own word: "<word> NNNNNNN". Stored, each is
# "<6> varrowmere-logger {0xTHREAD} SEQ: (#40000) <word> NNNNNNN".
stored() { if [[ -f "$work/$2.log" ]]; then grep -F " (#40000) $1 " "$work/$2.log"; fi; }
stored_count() { stored "$1" "$2" | wc -l; }
arrived() { (($(stored_count "$1" "$2") >= $3)); }
unique_count() { stored "$1" "$2" | sort -u | wc -l; }
records() { seq -f "$1 %07g" "$2" "$3"; }
console_count() { grep -c -F "} $1 " "$work/$2.console"; }
shows() { grep -q -F -e "$1" "$work/$2.console"; }

# run_logger <word> <logger arguments...>: records of the run's word from a file, console
# in $work/<word>.console, standard error in $work/<word>.err, exit status in $status.
status=0
run_logger() {
  local word=$1
  shift
  "$wine_run" "$logger" --no-event-log --console --level 4 --no-header "$@" \
    >"$work/$word.console" 2>"$work/$word.err"
  status=$?
}

# The line the logger ends with for a collector of these kinds.
collector_line() { grep "^collector: " "$work/$1.err"; }
all_delivered() { collector_line "$1" | grep -q " dropped=0 undelivered=0" && ! grep -q "not delivered" "$work/$1.err"; }

# A run whose every record must arrive, each once and in order, and be delivered as the
# logger counts it (for RELP: acknowledged).
expect_delivered() {
  local word=$1 file=$2 count=$3
  shift 3
  records "$word" 1 "$count" >"$work/$word.in"
  run_logger "$word" -f "$(windows_path "$work/$word.in")" "$@"
  wait_until 10 arrived "$word" "$file" "$count"
  if ((status != 0)) || ! all_delivered "$word"; then
    fail "$word: not every record was delivered (status $status): $(cat "$work/$word.err")"
  elif ! diff -q "$work/$word.in" <(stored "$word" "$file" | sed 's/.*(#40000) //') >/dev/null; then
    fail "$word: the $file collector did not store the $count records once each, in order ($(stored_count "$word" "$file") lines)"
  elif (($(console_count "$word" "$word") != count)); then
    fail "$word: the console got $(console_count "$word" "$word") of $count records"
  else
    echo "ok: $word ($count records; $(collector_line "$word"))"
  fi
}

# A run that must be refused for the reason given, with no record reaching the collector.
expect_refused() {
  local word=$1 file=$2 want_status=$3 reason=$4
  shift 4
  records "$word" 1 5 >"$work/$word.in"
  run_logger "$word" -f "$(windows_path "$work/$word.in")" "$@"
  sleep 0.5
  if ((status != want_status)) || ! grep -q -F -e "$reason" "$work/$word.err"; then
    fail "$word: not refused for \"$reason\" (status $status): $(cat "$work/$word.err")"
  elif (($(stored_count "$word" "$file") != 0)); then
    fail "$word: a refused collector got $(stored_count "$word" "$file") records"
  elif (($(console_count "$word" "$word") != 5)); then
    fail "$word: the console got $(console_count "$word" "$word") of 5 records"
  else
    echo "ok: $word refused: $reason"
  fi
}

# through_relay <word> <log> <collector port> <count> <kind> <logger arguments...>: a run
# whose every record must arrive, through a relay that records the logger's bytes in
# $work/<word>.wire. Each relay gets a port of its own (the last one's may linger).
through_relay() {
  local word=$1 file=$2 port=$3 count=$4 kind=$5
  shift 5
  start_relay "$word" "$port"
  expect_delivered "$word" "$file" "$count" --syslog "127.0.0.1:$relay_port/$kind" "$@"
  finish_relay "$word"
}

# restart_run <word> <log> <entry> <logger arguments...>: 100,000 records fed at about
# 20,000 a second; once 30,000 arrived the collector is stopped by its pid, and started
# again 2 s later. Leaves the counts in $sent $total $unique and the console's growth
# while the collector was down in $console_while_down.
restart_run() {
  local word=$1 file=$2 entry=$3
  shift 3
  sent=100000
  rm -f "$work/$word.fifo"
  mkfifo "$work/$word.fifo"
  "$wine_run" "$logger" --no-event-log --console --level 4 --no-header --syslog "$entry" "$@" --stdin \
    <"$work/$word.fifo" >"$work/$word.console" 2>"$work/$word.err" &
  local logger_pid=$!
  exec 3>"$work/$word.fifo"
  (
    for ((chunk = 0; chunk < 50; chunk++)); do
      records "$word" $((chunk * 2000 + 1)) $((chunk * 2000 + 2000))
      sleep 0.1
    done
  ) >&3 &
  local feeder_pid=$!
  wait_until 60 arrived "$word" "$file" 30000 || fail "$word: the first 30,000 records did not arrive"
  stop_collector
  local console_at_stop
  console_at_stop=$(console_count "$word" "$word")
  sleep 2
  console_while_down=$(($(console_count "$word" "$word") - console_at_stop))
  start_collector
  wait "$feeder_pid"
  wait_until 30 shows "} $word $(printf %07d "$sent")" "$word" || fail "$word: the console did not get every record"
  # Every record the logger still holds goes once the collector is back (plain TCP lost
  # the rest): the collector's file grows until then.
  local last=-1
  while (($(stored_count "$word" "$file") != last && last < sent)); do
    last=$(stored_count "$word" "$file")
    sleep 0.5
  done
  exec 3>&-
  wait "$logger_pid"
  status=$?
  total=$(stored_count "$word" "$file")
  unique=$(unique_count "$word" "$file")
  echo "$word: sent $sent, arrived $total, unique $unique, duplicates $((total - unique))," \
    "console $(console_count "$word" "$word") ($console_while_down while the collector was down)"
}

start_collector

case "$group" in
  relp)
    expect_delivered relp relp 10000 --syslog "127.0.0.1:$relp_port/relp"

    # The collector restarts while records flow: over RELP every record arrives, and only
    # those whose acknowledgement was lost may arrive twice, at most a window (128) of
    # them; the console gets every record throughout.
    restart_run restart relp "127.0.0.1:$relp_port/relp" --syslog-held-bytes 33554432
    relp_row="RELP $sent $total $unique $((total - unique))"
    if ((status != 0 || unique != sent || total - unique > 128)); then
      fail "restart over RELP: status $status, $unique of $sent arrived: $(cat "$work/restart.err")"
    elif (($(console_count restart restart) != sent || console_while_down == 0)); then
      fail "restart over RELP: the console did not get every record throughout"
    elif ! shows 'EVENT=Syslog_disconnected' restart || (($(grep -c 'EVENT=Syslog_connected' "$work/restart.console") != 2)); then
      fail "restart over RELP: the run did not lose and regain its collector: $(grep DIAG "$work/restart.console")"
    elif ! all_delivered restart; then
      fail "restart over RELP: $(cat "$work/restart.err")"
    else
      echo "ok: restart over RELP: every record arrived across a restart of the collector"
    fi

    # The same over plain TCP, for the comparison: what it loses is what RELP keeps.
    restart_run tcprestart tcp "127.0.0.1:$tcp_port/tcp"
    tcp_row="TCP $sent $total $unique $((total - unique))"
    if ((status != 0 || $(console_count tcprestart tcprestart) != sent)); then
      fail "restart over TCP: status $status: $(cat "$work/tcprestart.err")"
    fi
    echo "restart table: kind sent arrived unique duplicates"
    echo "restart table: $relp_row"
    echo "restart table: $tcp_row"

    # A network that fails: a relay passes the records but swallows the collector's answers
    # for half a second, then resets both connections. The collector keeps frames whose
    # acknowledgements the logger never saw, and the logger sends them again on its next
    # connection, through a second relay on the same port: they arrive twice, at most a
    # window (128) of them, and no record is lost.
    cut_port=$(next_free_port $((relay_port + 1)))
    relay_port=$cut_port
    rm -f "$work/cut.fifo"
    mkfifo "$work/cut.fifo"
    "$wine_run" "$relay" "$cut_port" "$relp_port" "$(windows_path "$work/cut.wire")" cut-after 200000 \
      >"$work/cut.relay" 2>&1 &
    cut_relay_pid=$!
    wait_until 10 listens "$cut_port" || fail "cut: the relay did not start: $(cat "$work/cut.relay")"
    "$wine_run" "$logger" --no-event-log --console --level 4 --no-header --syslog "127.0.0.1:$cut_port/relp" \
      --stdin <"$work/cut.fifo" >"$work/cut.console" 2>"$work/cut.err" &
    cut_logger_pid=$!
    exec 3>"$work/cut.fifo"
    (
      for ((chunk = 0; chunk < 20; chunk++)); do
        records cut $((chunk * 1000 + 1)) $((chunk * 1000 + 1000))
        sleep 0.1
      done
    ) >&3 &
    cut_feeder_pid=$!
    wait "$cut_relay_pid" || fail "cut: the relay failed: $(cat "$work/cut.relay")"
    # Without the input pipe, whose end must close when the test closes it.
    "$wine_run" "$relay" "$cut_port" "$relp_port" "$(windows_path "$work/cut-again.wire")" \
      >"$work/cut-again.relay" 2>&1 3>&- &
    again_relay_pid=$!
    wait "$cut_feeder_pid"
    all_unique() { (($(unique_count cut relp) >= 20000)); }
    wait_until 30 all_unique
    exec 3>&-
    wait "$cut_logger_pid"
    status=$?
    wait "$again_relay_pid"
    total=$(stored_count cut relp)
    unique=$(unique_count cut relp)
    echo "cut: sent 20000, arrived $total, unique $unique, duplicates $((total - unique));" \
      "$(cat "$work/cut.relay"); $(collector_line cut)"
    if ((status != 0 || unique != 20000 || total - unique > 128 || total == unique)) || ! all_delivered cut; then
      fail "cut: status $status: $(cat "$work/cut.err"); $(grep DIAG "$work/cut.console")"
    elif ! shows 'EVENTMSG="Connection lost to 127.0.0.1:' cut; then
      fail "cut: the logger did not see its connection lost: $(grep DIAG "$work/cut.console")"
    else
      echo "ok: cut: every record arrived; $((total - unique)) sent again arrived twice, within the window"
    fi

    # Beyond the held-bytes bound the oldest records go, in one [DIAG] per run of drops;
    # the newest arrive once the collector is back.
    stop_collector
    rm -f "$work/bound.fifo"
    mkfifo "$work/bound.fifo"
    "$wine_run" "$logger" --no-event-log --console --level 4 --no-header --syslog "127.0.0.1:$relp_port/relp" \
      --syslog-held-bytes 65536 --stdin <"$work/bound.fifo" >"$work/bound.console" 2>"$work/bound.err" &
    bound_pid=$!
    exec 3>"$work/bound.fifo"
    records bound 1 5000 >&3
    wait_until 20 shows "} bound 0005000" bound || fail "bound: the console did not get the records"
    start_collector
    wait_until 10 shows "EVENT=Syslog_connected" bound || fail "bound: no connection"
    records after-bound 1 100 >&3
    wait_until 10 arrived after-bound relp 100 || fail "bound: the records after the drops did not arrive"
    exec 3>&-
    wait "$bound_pid"
    status=$?
    dropped=$(sed -n 's/^collector: .* dropped=\([0-9]*\) .*/\1/p' "$work/bound.err")
    kept=$(stored_count bound relp)
    newest=$(stored bound relp | tail -1 | sed 's/.*bound //')
    drop_messages=$(grep -c 'EVENT=Syslog_lines_dropped' "$work/bound.console")
    echo "bound: 5000 records held within 64 KiB while down: $kept arrived, newest $newest; $drop_messages drop message(s); $(collector_line bound)"
    # The logger's own messages of the run (level 4) are held too, so the drops count
    # them along with the records.
    if ((status != 1 || drop_messages != 1 || kept == 0 || kept >= 5000 || ${dropped:-0} < 5000 - kept)) ||
      [[ "$newest" != 0005000 ]] || ! grep -q "dropped at the held-bytes bound" "$work/bound.err"; then
      fail "bound: status $status: $(cat "$work/bound.err"); $(grep DIAG "$work/bound.console")"
    elif ! diff -q <(records bound $((5001 - kept)) 5000) <(stored bound relp | sed 's/.*(#40000) //') >/dev/null; then
      fail "bound: the records kept are not the newest $kept in order"
    else
      echo "ok: bound: the oldest dropped, one [DIAG] for the run, the newest $kept delivered"
    fi
    ;;

  tls)
    expect_delivered tls tls 10000 --syslog "127.0.0.1:$tls_port/tls" --syslog-ca "$ca"
    expect_delivered tls-by-name tls 10 --syslog "localhost:$tls_port/TLS" --syslog-ca "$ca"
    through_relay tls-relayed tls "$tls_port" 1000 tls --syslog-ca "$ca"
    expect_unreadable_on_wire tls-relayed 1000 varrowmere-logger
    expect_refused foreign-ca foreign 1 "the server's certificate does not lead to the given CA" \
      --syslog "127.0.0.1:$foreign_port/tls" --syslog-ca "$ca"
    expect_refused wrong-ca-file tls 1 "the server's certificate does not lead to the given CA" \
      --syslog "127.0.0.1:$tls_port/tls" --syslog-ca "$(windows_path "$work/otherca.pem")"
    expect_refused address-mismatch elsewhere 1 "the server's certificate is not issued for 127.0.0.1" \
      --syslog "127.0.0.1:$elsewhere_port/tls" --syslog-ca "$ca"
    expect_refused name-mismatch elsewhere 1 "the server's certificate is not issued for localhost" \
      --syslog "localhost:$elsewhere_port/tls" --syslog-ca "$ca"
    # Without a CA, or with one that does not load, the logger does not start: nothing
    # goes to a TLS collector unchecked or in clear.
    expect_not_started() {
      local word=$1 want_status=$2 reason=$3
      shift 3
      records "$word" 1 5 >"$work/$word.in"
      run_logger "$word" -f "$(windows_path "$work/$word.in")" "$@"
      if ((status == want_status)) && grep -q -F -e "$reason" "$work/$word.err" &&
        (($(stored_count "$word" tls) == 0 && $(console_count "$word" "$word") == 0)); then
        echo "ok: $word: the logger does not start: $reason"
      else
        fail "$word: status $status: $(cat "$work/$word.err")"
      fi
    }
    expect_not_started no-ca 2 "needs --syslog-ca FILE: nothing goes to it unchecked or in clear" \
      --syslog "127.0.0.1:$tls_port/tls"
    expect_not_started bad-ca-file 1 "TLS collectors: CA file $(windows_path "$work/garbage.pem"): not a certificate" \
      --syslog "127.0.0.1:$tls_port/tls" --syslog-ca "$(windows_path "$work/garbage.pem")"
    ;;

  relp-tls)
    expect_delivered relp-tls relptls 1000 --syslog "127.0.0.1:$relp_tls_port/relp+tls" --syslog-ca "$ca" \
      --syslog-cert "$pfx"
    through_relay relp-tls-relayed relptls "$relp_tls_port" 1000 relp+tls --syslog-ca "$ca" --syslog-cert "$pfx"
    expect_unreadable_on_wire relp-tls-relayed 1000 varrowmere-logger
    # imrelp over TLS wants a client certificate; without one the handshake fails.
    expect_refused relp-tls-anonymous relptls 1 "not delivered" \
      --syslog "127.0.0.1:$relp_tls_port/relp+tls" --syslog-ca "$ca"
    ;;
esac

((failures == 0)) || { echo "rsyslogd said:"; tail -20 "$work/rsyslog.out"; }
exit $((failures > 0))
