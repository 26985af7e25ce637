#!/usr/bin/env bash
# kalimor --swr on the simulated board: no numbers before a calibration;
# after an open calibration the 40 m antenna's resonance and SWR 2 edges
# within 1 kHz of the model's; the CSV names its columns; bad input exits
# non-zero with the cause.
set -u
kalimor=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work
fail() { echo "FAIL: $*"; exit 1; }
range=6.5:7.7:101
antenna=antenna:50:10e-6:50.249e-12

err=$("$kalimor" --simulate --swr $range --sim-dut $antenna 2>&1 >/dev/null) && fail "ran uncalibrated"
grep -q 'not calibrated' <<<"$err" || fail "uncalibrated: $err"
"$kalimor" --simulate --swr $range --sim-dut open --calibrate open >/dev/null || fail "--calibrate open"
out=$("$kalimor" --simulate --swr $range --sim-dut $antenna --samples 16 --csv "$work/a.csv") \
  || fail "--swr exited $?"
echo "$out"
within() { # name, field, expected MHz
  got=$(sed -n "s/^$1: //p" <<<"$out" | awk -v f="$2" '{print $f}')
  awk -v g="$got" -v e="$3" 'BEGIN { d = (g - e) * 1e6; exit !(d < 1000 && d > -1000) }' \
    || fail "$1: $got, not within 1 kHz of $3"
}
within resonance 1 7.0999685
within "swr 2 bandwidth" 1 6.824192
within "swr 2 bandwidth" 3 7.386890
grep -qE '^swr at resonance: 1\.0[0-9]{2}$' <<<"$out" || fail "swr at resonance: $out"
[ "$(sed -n 2p "$work/a.csv")" = frequency_hz,return_loss_db,swr ] || fail "CSV header"
[ "$(grep -c '^[0-9]' "$work/a.csv")" = 101 ] || fail "CSV rows"
# A plain 25 ohm load never reaches SWR 1.5: "none".
out=$("$kalimor" --simulate --swr $range --sim-dut antenna:25:0:1) || fail "25 ohm"
grep -qE '^swr at resonance: (1\.99|2\.00)[0-9]$' <<<"$out" || fail "25 ohm: $out"
grep -q '^swr 1.5 bandwidth: none$' <<<"$out" || fail "25 ohm: $out"
for bad in "--swr 7:7:101" "--swr 6.5:7.7:0" "--swr $range --calibrate dummy" \
           "--swr $range --sim-dut antenna:50:1e-6"; do
  "$kalimor" --simulate $bad >/dev/null 2>"$work/err" && fail "$bad was accepted"
  [ -s "$work/err" ] || fail "$bad: no message"
done
echo "swr_cli: all checks passed"
