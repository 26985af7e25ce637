#!/usr/bin/env bash
# End to end through the real program: options refused with status 2, and
# Debian's rigctl tuning the simulated board, checked in the trace.
set -u
kalimor=$1
work=$(mktemp -d)
trap 'kill $pid 2>/dev/null; rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work/config QT_QPA_PLATFORM=offscreen
fail() { echo "FAIL: $*"; exit 1; }
# Waits for the server on port $1 to answer, then tunes 7.04 MHz and reads it back.
tune() {
  for _ in $(seq 100); do
    rigctl -m 2 -r 127.0.0.1:$1 f >/dev/null 2>&1 && break
    sleep 0.1
  done
  rigctl -m 2 -r 127.0.0.1:$1 F 7040000 f
}

for args in "--bogus" "--port /dev/sda" "--trace /nonexistent/dir/t" "--rigctld=99999"; do
  # shellcheck disable=SC2086
  "$kalimor" $args >"$work/out" 2>&1
  status=$?
  [ "$status" -eq 2 ] || fail "'$args' exited $status, not 2"
  [ "$(wc -l <"$work/out")" -eq 1 ] || fail "'$args' said more than one line: $(cat "$work/out")"
done
"$kalimor" --version | grep -q '^kalimor 1\.0\.0\.9$' || fail "--version"

port=$((20000 + RANDOM % 20000))
"$kalimor" --simulate --trace "$work/trace.jsonl" --rigctld=127.0.0.1:$port &
pid=$!
got=$(tune $port) || fail "rigctl failed"
[ "$got" = "7040000" ] || fail "rigctl f answered '$got'"
# The trace has a writer of its own: its last line may follow the reply.
for _ in $(seq 100); do
  tail -n 1 "$work/trace.jsonl" | grep -q '"ftw": 302365698, "phase": 0, "power_down": 0, "control": 0, "clocks": 40' \
    && break
  sleep 0.1
done
tail -n 1 "$work/trace.jsonl" | grep -q '"ftw": 302365698, "phase": 0, "power_down": 0, "control": 0, "clocks": 40' \
  || fail "trace: $(tail -n 1 "$work/trace.jsonl")"
[ "$(grep -c '"ftw": 42950,' "$work/trace.jsonl")" -eq 2 ] || fail "start-up did not load 1000 Hz twice"

# A port already taken stops the program before anything reaches the board.
"$kalimor" --simulate --trace "$work/taken.jsonl" --rigctld=127.0.0.1:$port >"$work/out" 2>&1
[ $? -eq 2 ] || fail "a taken port did not exit with 2"
[ ! -s "$work/taken.jsonl" ] || fail "a taken port still loaded the board: $(cat "$work/taken.jsonl")"

# Without a screen, a damaged store is reported on stderr and the server
# still listens; listening on every interface is warned about.
mkdir -p "$work/damaged"
printf '[Configuration]\nReferenceClkMHz=abc\n' >"$work/damaged/kalimor.conf"
port2=$((port + 1))
XDG_CONFIG_HOME=$work/damaged "$kalimor" --simulate --rigctld=0.0.0.0:$port2 -platform offscreen \
  2>"$work/err" &
pid2=$!
got=$(tune $port2) || fail "headless start with a damaged store"
kill $pid2
[ "$got" = "7040000" ] || fail "headless rigctl f answered '$got'"
grep -q 'ReferenceClkMHz' "$work/err" || fail "the damaged setting was not reported: $(cat "$work/err")"
grep -q 'anyone who can reach this machine' "$work/err" || fail "no warning for 0.0.0.0"

# Without a screen, a port that cannot be had is named once on stderr, not on
# every failed load, and a normal run says nothing else.
export XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
port3=$((port + 2))
"$kalimor" --port gpio:gpiochip99 --rigctld=127.0.0.1:$port3 -platform offscreen 2>"$work/err3" &
pid3=$!
for _ in $(seq 100); do rigctl -m 2 -r 127.0.0.1:$port3 f >/dev/null 2>&1 && break; sleep 0.1; done
# Twenty failed sets over a plain socket: rigctl would back off and retry
# each one for about a second.
exec 3<>/dev/tcp/127.0.0.1/$port3 || fail "cannot connect to port $port3"
for i in $(seq 20); do printf 'F %d\n' $((7040000 + i)) >&3; done
for i in $(seq 20); do
  read -t 10 -r reply <&3 || fail "set $i was not answered"
  [ "$reply" = "RPRT -6" ] || fail "set $i on a missing chip answered '$reply'"
done
exec 3<&-
kill $pid3; wait $pid3 2>/dev/null
[ "$(grep -c 'gpiochip99' "$work/err3")" -eq 1 ] || fail "the missing chip was not named once: $(cat "$work/err3")"
grep -q '^kalimor: the board was not loaded: no GPIO chip gpiochip99' "$work/err3" \
  || fail "the cause is not in the form 'kalimor: what: why': $(cat "$work/err3")"
[ "$(wc -l <"$work/err3")" -eq 1 ] || fail "more than the cause on stderr: $(cat "$work/err3")"
echo "1 passed, 0 failed"
