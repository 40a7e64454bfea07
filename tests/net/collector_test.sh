#!/usr/bin/env bash
# The collector kinds over TLS and RELP end to end: a CollectorLink, driven by
# collector_client.exe under Wine as the logger thread will drive it, against Debian's
# rsyslogd on loopback (imtcp with the gtls stream driver, imrelp with and without TLS),
# with a configuration, ports, pid file, certificates and work folder of this run's own.
# rsyslogd writes each message exactly as it arrived (the raw-message template) to one
# file per input, and the test reads those files back.
# A relay on loopback between the two (wire_relay.exe, beside the client) records what the
# client sent, to show what anyone on the path can read.
#   collector_test.sh <wine-run> <collector_client.exe> tls|relp|relp-tls
set -uo pipefail
wine_run=$1
client=$2
group=$3
relay="$(dirname "$client")/wire_relay.exe"

source "$(dirname "$0")/../support/collector_run.sh" collectors
require_collector rsyslogd openssl ss -- imrelp lmnsd_gtls

# ---- Certificates: two CAs, servers of each, one issued for other names, a client ----
source "$(dirname "$0")/collector_certificates.sh"
make_collector_certificates || { echo "FAILED: openssl could not make the certificates"; exit 1; }
ca=$(windows_path "$work/ca.pem")

# ---- Ports nobody uses ----
tls_port=$(next_free_port $((20000 + ($$ * 17) % 30000)))
foreign_port=$(next_free_port $((tls_port + 1)))
elsewhere_port=$(next_free_port $((foreign_port + 1)))
relp_port=$(next_free_port $((elsewhere_port + 1)))
relp_tls_port=$(next_free_port $((relp_port + 1)))
relay_port=$relp_tls_port

# One input per case; imrelp over TLS accepts a client whose certificate the CA issued.
{
  collector_config_head "$work/ca.pem"
  tls_inputs "$tls_port" "$foreign_port" "$elsewhere_port"
  echo 'module(load="imrelp")'
  raw_input imrelp relp "$relp_port"
  relp_tls_input "$relp_tls_port"
} >"$work/rsyslog.conf"
listening=("$tls_port" "$foreign_port" "$elsewhere_port" "$relp_port" "$relp_tls_port")

# Lines of one run carry the run's own word: "<14> collector-client: <word> <number>".
lines_of() { if [[ -f "$work/$2.log" ]]; then grep -c -F " collector-client: $1 " "$work/$2.log"; else echo 0; fi; }
arrived() { (($(lines_of "$1" "$2") >= $3)); }

# run_client <word> <client arguments...>: its output in $work/<word>.out, its status in $status.
status=0
run_client() {
  local word=$1
  shift
  "$wine_run" "$client" --prefix "$word" "$@" >"$work/$word.out" 2>&1
  status=$?
}

# A run whose every line must arrive, each once and in order.
expect_delivered() {
  local word=$1 file=$2 count=$3
  shift 3
  run_client "$word" --count "$count" "$@"
  wait_until 10 arrived "$word" "$file" "$count"
  if ((status != 0)) || ! grep -q "^result: delivered=$count " "$work/$word.out"; then
    fail "$word: not every line was delivered (status $status): $(cat "$work/$word.out")"
  elif ! diff -q <(awk -v w="$word" -v n="$count" 'BEGIN { for (i = 1; i <= n; i++) printf "<14> collector-client: %s %07d\n", w, i }') \
    <(grep -F " collector-client: $word " "$work/$file.log") >/dev/null; then
    fail "$word: the $file collector did not store the $count lines once each, in order ($(lines_of "$word" "$file") lines)"
  else
    echo "ok: $word ($count lines, $(sed -n 's/^result: .*seconds=//p' "$work/$word.out") s)"
  fi
}

# A run that must be refused for the reason given, with no line reaching the collector.
expect_refused() {
  local word=$1 file=$2 reason=$3
  shift 3
  run_client "$word" --count 5 "$@"
  if ((status == 0)) || ! grep -q -F -e "$reason" "$work/$word.out"; then
    fail "$word: not refused for \"$reason\" (status $status): $(cat "$work/$word.out")"
  elif (($(lines_of "$word" "$file") != 0)); then
    fail "$word: a refused collector got $(lines_of "$word" "$file") lines"
  else
    echo "ok: $word refused: $reason"
  fi
}

# through_relay <word> <log> <collector port> <count> <client arguments...>: a run whose
# every line must arrive, through a relay that records the client's bytes in
# $work/<word>.wire. Each relay gets a port of its own (the last one's may linger).
through_relay() {
  local word=$1 file=$2 port=$3 count=$4
  shift 4
  start_relay "$word" "$port"
  expect_delivered "$word" "$file" "$count" --port "$relay_port" "$@"
  finish_relay "$word"
}

# How many of the run's lines a relay saw in clear.
seen_on_wire() { grep -a -c -F " collector-client: $1 " "$work/$1.wire"; }

start_collector

case "$group" in
  tls)
    expect_delivered tls tls 10000 --kind tls --port "$tls_port" --ca "$ca"
    expect_delivered tls-by-name tls 10 --kind tls --port "$tls_port" --server-name localhost --ca "$ca"
    through_relay tls-relayed tls "$tls_port" 1000 --kind tls --ca "$ca"
    expect_unreadable_on_wire tls-relayed 1000 collector-client
    expect_refused foreign-ca foreign "the server's certificate does not lead to the given CA" \
      --kind tls --port "$foreign_port" --ca "$ca"
    expect_refused wrong-ca-file tls "the server's certificate does not lead to the given CA" \
      --kind tls --port "$tls_port" --ca "$(windows_path "$work/otherca.pem")"
    expect_refused address-mismatch elsewhere "the server's certificate is not issued for 127.0.0.1" \
      --kind tls --port "$elsewhere_port" --ca "$ca"
    expect_refused name-mismatch elsewhere "the server's certificate is not issued for localhost" \
      --kind tls --port "$elsewhere_port" --server-name localhost --ca "$ca"
    expect_refused no-ca tls "a TLS collector needs a CA to check it by; nothing goes to it in clear" \
      --kind tls --port "$tls_port"
    # Files that give no credentials stop the client before it connects.
    for bad in "garbage.pem:not a certificate in PEM or DER form" "missing.pem:CreateFile Error: "; do
      expect_refused "bad-ca-${bad%%.*}" tls "credentials: CA file $(windows_path "$work/${bad%%:*}"): ${bad#*:}" \
        --kind tls --port "$tls_port" --ca "$(windows_path "$work/${bad%%:*}")"
    done
    ;;

  relp)
    expect_delivered relp relp 10000 --kind relp --port "$relp_port"
    # Without TLS the relay reads every line: the check of the TLS groups can see text.
    through_relay relp-relayed relp "$relp_port" 1000 --kind relp
    if (($(seen_on_wire relp-relayed) == 1000)); then
      echo "ok: relp-relayed: the relay read all 1000 lines of plain RELP"
    else
      fail "relp-relayed: the relay read $(seen_on_wire relp-relayed) of 1000 plain lines"
    fi

    # The collector is stopped by its pid while lines flow and started again 2 s later:
    # every line arrives; only those whose answer was lost may arrive twice, at most a
    # window (128) of them.
    "$wine_run" "$client" --prefix restart --count 100000 --per-cycle 2000 --give-up-after 120000 \
      --kind relp --port "$relp_port" >"$work/restart.out" 2>&1 &
    client_pid=$!
    wait_until 30 arrived restart relp 30000 || fail "restart: the first lines did not arrive"
    stop_collector
    sleep 2
    start_collector
    wait "$client_pid"
    status=$?
    total=$(lines_of restart relp)
    unique=$(grep -F " collector-client: restart " "$work/relp.log" | sort -u | wc -l)
    echo "restart: sent 100000, arrived $total, unique $unique, duplicates $((total - unique))"
    if ((status != 0 || unique != 100000 || total - unique > 128)); then
      fail "restart: status $status, $unique of 100000 arrived: $(cat "$work/restart.out")"
    elif ! grep -q "^notice: lost: " "$work/restart.out" || (($(grep -c "^notice: connected: " "$work/restart.out") != 2)); then
      fail "restart: the run did not lose and regain its collector: $(cat "$work/restart.out")"
    else
      echo "ok: restart (every line arrived across a restart of the collector)"
    fi
    ;;

  relp-tls)
    pfx=$(windows_path "$work/client.pfx")
    expect_delivered relp-tls relptls 1000 --kind relp+tls --port "$relp_tls_port" --ca "$ca" --cert "$pfx"
    through_relay relp-tls-relayed relptls "$relp_tls_port" 1000 --kind relp+tls --ca "$ca" --cert "$pfx"
    expect_unreadable_on_wire relp-tls-relayed 1000 collector-client
    # imrelp over TLS wants a client certificate; without one the handshake is refused.
    expect_refused relp-tls-anonymous relptls "Connect failed to 127.0.0.1:$relp_tls_port" \
      --kind relp+tls --port "$relp_tls_port" --ca "$ca" --give-up-after 3000
    ;;

  *)
    echo "FAILED: unknown group $group"
    exit 1
    ;;
esac

((failures == 0)) || { echo "rsyslogd said:"; tail -20 "$work/rsyslog.out"; }
exit $((failures > 0))
