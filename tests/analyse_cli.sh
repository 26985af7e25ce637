#!/usr/bin/env bash
# The analyser without a window, on the simulated board: --analyse prints the
# markers and writes a Touchstone file that scikit-rf reads back as the CSV's
# levels; --crystal measures the simulated crystal; a run with nothing to
# level against exits 1 with the cause.
set -u
kalimor=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work
fail() { echo "FAIL: $*"; exit 1; }

out=$("$kalimor" --simulate --analyse 10.68:10.72:1001 --source 0 --csv "$work/f.csv" --s2p "$work/f.s2p") \
  || fail "--analyse exited $?"
grep -q '^shape: band-pass$' <<<"$out" || fail "shape: $out"
grep -qE '^bandwidth: 10[4-9][0-9]{2}\.[0-9] Hz$' <<<"$out" || fail "bandwidth: $out"
grep -qE '^centre: 10\.70[0-9]{4} MHz$' <<<"$out" || fail "centre: $out"
/usr/bin/python3 - "$work/f.s2p" "$work/f.csv" 2>/dev/null <<'PY' || fail "scikit-rf did not read the Touchstone file back"
import sys, skrf
n = skrf.Network(sys.argv[1])
rows = [l.split(",") for l in open(sys.argv[2]) if l[0].isdigit()]
assert n.number_of_ports == 2 and len(n.f) == len(rows) == 1001, (n.number_of_ports, len(n.f))
for f, s21, row in zip(n.f, n.s_db[:, 1, 0], rows):
    assert abs(f - float(row[0])) < 1e-3 and abs(s21 - float(row[1])) < 1e-3, (f, s21, row)
print("scikit-rf: 1001 points, S21 as measured")
PY

out=$("$kalimor" --simulate --crystal 12.5 --source 0) || fail "--crystal exited $?"
check() { # name, expected, tolerance in percent
  got=$(sed -n "s/^$1: \([0-9.]*\).*/\1/p" <<<"$out")
  python3 -c "import sys; sys.exit(abs($got - $2) > $3 / 100 * $2)" || fail "$1 $got, not $2 within $3 %: $out"
}
check Rm 20 3; check Lm 10 3; check Cm 25.3303 3; check C0 5 3
# fs within 10 Hz of the model's 9,999,999.2 Hz: a fit, not the highest sample.
check fs 9.9999992 0.0001

"$kalimor" --simulate --analyse 10.68:10.72:101 >"$work/out" 2>"$work/err" && fail "no through, no --source: exit 0"
grep -q 'no through is recorded' "$work/err" || fail "the cause: $(cat "$work/err")"
echo "1 passed, 0 failed"
