#!/usr/bin/env bash
# The event log output end to end. Wine's ReportEventW prints each event on its debug
# channels (the type and identifier on a fixme line, the message on the eventlog
# channel) to the process's Unix standard error, which only a test outside Wine can read.
#   event_log_test.sh <wine-run> <varrowmere-logger.exe>
set -uo pipefail
wine_run=$1
logger=$2
failures=0

# Prints "type id text" for every event one run of the logger reported.
events() {
  WINEDEBUG=+eventlog "$wine_run" "$logger" "$@" 2>&1 >/dev/null |
    sed -n -e 's/.*ReportEventW ([0-9A-Fa-f]*,0x\([0-9a-f]*\),0x[0-9a-f]*,0x\([0-9a-f]*\),.*/\1 \2/p' \
           -e 's/.*eventlog:ReportEventW L"\(.*\)"$/\1/p' \
           -e 's/.*eventlog:ReportEventW L"\(.*\)"\.\.\.$/\1.../p' | paste -d' ' - -
}

expect() {
  local expected=$1
  shift
  local got
  got=$(events "$@")
  if [[ "$got" == "$expected" ]]; then
    echo "ok: $* -> ${expected:-no event}"
  else
    echo "FAILED: $*"
    echo "  expected: '${expected}'"
    echo "  got:      '${got}'"
    failures=$((failures + 1))
  fi
}

# With the default threshold 2, levels 0-2 and 5 are written, with the level's type and
# default identifier; levels 3 and 4 are not.
expect "0001 efff2710 zero" --level 0 zero
expect "0001 efff2710 one" --level 1 one
expect "0002 afff4e20 two" --level 2 two
expect "" --level 3 three
expect "" --level 4 four
expect "0004 6fffc350 five" --level 5 five
# The type follows the level, not the identifier's severity bits.
expect "0002 6fff7530 own id" --level 2 --event-id 0x6FFF7530 "own id"
# Two records, two events, in order.
expect "$(printf '0001 efff2710 first\n0001 efff2710 second')" --level 1 first second

# Hostile text: each record is one event with its text whole; Wine's channel escapes
# what it prints (line breaks, control characters, text beyond ASCII) and shows only the
# head of a long text.
got=$(events --level 1 $'cr\rlf\nboth\r\n<13> forged' $'bin \x01\x07\x1b[31m\x7f end' "ru Привет é 😀 end" \
  "long $(printf 'y%.0s' {1..10000})")
expected=$(printf '%s\n' '0001 efff2710 cr\rlf\nboth\r\n<13> forged' '0001 efff2710 bin \0001\0007\001b[31m\007f end' \
  '0001 efff2710 ru \041f\0440\0438\0432\0435\0442 \00e9 \d83d\de00 end')
if [[ "$(head -n 3 <<<"$got")" == "$expected" && $(wc -l <<<"$got") == 4 &&
      "$(tail -n 1 <<<"$got")" == "0001 efff2710 long yyyyyyyyyyyyyyyyyyyy"*... ]]; then
  echo "ok: hostile text, one event per record"
else
  echo "FAILED: hostile text"
  echo "  got: '${got:0:600}'"
  failures=$((failures + 1))
fi

exit $((failures > 0))
