#!/usr/bin/env bash
# The analyser without a window, on the simulated board: --analyse prints the
# markers and writes a Touchstone file that scikit-rf reads back as the CSV's
# levels; --crystal measures the simulated crystal; a run with nothing to
# level against exits 1 with the cause; an export keeps the kind of what it
# writes to; a refused command line loads nothing and says why in one line;
# without XDG_RUNTIME_DIR stderr holds only the program's own lines.
set -u
kalimor=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_CONFIG_HOME=$work QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR=$work
# Runs the program, keeping its command line, output and errors for fail to show.
cmd=none
run() {
  cmd="kalimor $*"
  "$kalimor" "$@" </dev/null >"$work/out" 2>"$work/err"
}
fail() {
  echo "FAIL: $*"
  echo "command: $cmd"
  echo "--- its standard output:"; cat "$work/out" 2>/dev/null
  echo "--- its standard error:"; cat "$work/err" 2>/dev/null
  exit 1
}

run --simulate --analyse 10.68:10.72:1001 --source 0 --csv "$work/f.csv" --s2p "$work/f.s2p" \
  || fail "--analyse exited $?"
out=$(cat "$work/out")
grep -q '^shape: band-pass$' <<<"$out" || fail "shape: $out"
grep -qE '^bandwidth: 10[4-9][0-9]{2}\.[0-9] Hz$' <<<"$out" || fail "bandwidth: $out"
grep -qE '^centre: 10\.70[0-9]{4} MHz$' <<<"$out" || fail "centre: $out"
cmd="python3 (scikit-rf) $work/f.s2p $work/f.csv"
/usr/bin/python3 - "$work/f.s2p" "$work/f.csv" >"$work/out" 2>"$work/err" <<'PY' || fail "scikit-rf did not read the Touchstone file back"
import sys, skrf
n = skrf.Network(sys.argv[1])
rows = [l.split(",") for l in open(sys.argv[2]) if l[0].isdigit()]
assert n.number_of_ports == 2 and len(n.f) == len(rows) == 1001, (n.number_of_ports, len(n.f))
for f, s21, row in zip(n.f, n.s_db[:, 1, 0], rows):
    assert abs(f - float(row[0])) < 1e-3 and abs(s21 - float(row[1])) < 1e-3, (f, s21, row)
print("scikit-rf: 1001 points, S21 as measured")
PY

run --simulate --crystal 12.5 --source 0 || fail "--crystal exited $?"
out=$(cat "$work/out")
check() { # name, expected, tolerance in percent
  got=$(sed -n "s/^$1: \([0-9.]*\).*/\1/p" <<<"$out")
  python3 -c "import sys; sys.exit(abs($got - $2) > $3 / 100 * $2)" || fail "$1 $got, not $2 within $3 %: $out"
}
check Rm 20 3; check Lm 10 3; check Cm 25.3303 3; check C0 5 3
# fs within 10 Hz of the model's 9,999,999.2 Hz: a fit, not the highest sample.
check fs 9.9999992 0.0001

run --simulate --analyse 10.68:10.72:101 && fail "no through, no --source: exit 0"
grep -q 'no through is recorded' "$work/err" || fail "the cause is not named"

# Export targets: each still what it was afterwards. Never a device of the
# real /dev: nodes are made here, and a row is skipped where mknod is refused.
unset XDG_RUNTIME_DIR
sweep=(--simulate --analyse 10.68:10.72:51 --source 0)
run "${sweep[@]}" --csv - || fail "--csv - exited $?"
cp "$work/out" "$work/csv"
head -1 "$work/csv" | grep -q '^#' || fail "--csv - holds more than the CSV"
[ -s "$work/err" ] && fail "stderr of a good run"
t=$work/targets; mkdir "$t"; echo old >"$t/file"; echo old >"$t/linked"; ln -s linked "$t/link"
mkfifo "$t/fifo"; mkdir "$t/folder"
# name | kind before and after (find -printf %y) | exit | holds the CSV afterwards | mknod's numbers
while IFS='|' read -r name kind status holds numbers; do
  # shellcheck disable=SC2086 # major and minor
  if [ -n "$numbers" ] && ! mknod "$t/$name" "$kind" $numbers 2>/dev/null; then
    echo "skipped $name: mknod refused"; continue
  fi
  reader=
  if [ "$kind" = p ]; then cat "$t/$name" >"$t/read" & reader=$!; fi
  run "${sweep[@]}" --csv "$t/$name"
  got=$?
  [ -n "$reader" ] && { wait "$reader"; cmp -s "$t/read" "$work/csv" || fail "$name: the reader did not get the CSV"; }
  [ "$got" = "$status" ] || fail "$name: exit $got, not $status"
  [ "$(find "$t/$name" -maxdepth 0 -printf %y)" = "$kind" ] || fail "$name is no longer of kind $kind"
  [ "$status" = 0 ] || [ "$(wc -l <"$work/err")" = 1 ] || fail "$name: not one line of error"
  [ -z "$holds" ] || cmp -s "$t/$holds" "$work/csv" || fail "$name: $holds does not hold the CSV"
done <<'ROWS'
file|f|0|file
link|l|0|linked
fifo|p|0|
null|c|0||1 3
full|c|1||1 7
loop|b|1||7 0
folder|d|1|
ROWS

# Refused command lines: exit 2, one line naming the rule, nothing loaded.
while IFS='|' read -r args rule; do
  rm -f "$work/trace"
  # shellcheck disable=SC2086 # the row's words are the arguments
  run --simulate --trace "$work/trace" $args
  got=$?
  [ "$got" = 2 ] || fail "$args: exit $got, not 2"
  [ "$(wc -l <"$work/err")" = 1 ] && grep -qF "kalimor: $rule" "$work/err" ||
    fail "$args: not the one line \"kalimor: $rule\""
  [ -s "$work/trace" ] && fail "$args loaded $(wc -l <"$work/trace") words"
done <<'ROWS'
--analyse 10:60:11 --source 0|--analyse 10:60:11: STOP 60 MHz is above 49.999999 MHz, the most this board makes at a 100 MHz clock
--swr 10:60:11 --calibrate open|--swr 10:60:11: STOP 60 MHz is above 49.999999 MHz
--crystal 12.5 --near 60 --source 0|--near 60: the crystal's sweep up to 60.3 MHz is above 49.999999 MHz
--analyse -1:1:10|--analyse -1:1:10: START -1 MHz is not above 0 MHz
--analyse 0:1:10|--analyse 0:1:10: START 0 MHz is not above 0 MHz
--analyse 1:2:3 --csv - --s2p -|--csv - and --s2p -: only one of them can be standard output
--beacon wspr --dial 14.0956 --call K1ABC --grid FN42 --dbm 23.5|--dbm 23.5: WSPR sends 0, 3, 7
ROWS

for only in --help --version; do
  run "$only" || fail "$only exited $?"
  [ -s "$work/err" ] && fail "$only wrote to stderr"
done
echo "1 passed, 0 failed"
