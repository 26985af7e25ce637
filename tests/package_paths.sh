#!/usr/bin/env bash
# The package check sees what `cmake --install` puts under /usr: a unit that
# names the installed program passes, one that names another path fails, and
# programs built for this machine fail as another architecture's package.
set -u
build=$1 check=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null || { echo "FAIL: install"; exit 1; }
unit=$root/usr/lib/systemd/user/kalimor-rigctld.service
grep -q '^ExecStart=/usr/bin/kalimor ' "$unit" || { echo "FAIL: $(grep ExecStart "$unit")"; exit 1; }
"$check" "$root" >/dev/null || { echo "FAIL: the installed files did not pass"; exit 1; }
other=arm64
[ "$(dpkg --print-architecture)" = arm64 ] && other=amd64
out=$("$check" "$root" "$other" 2>&1) && { echo "FAIL: this machine's programs passed as $other"; exit 1; }
grep -q "is built for .*, not $other" <<<"$out" || { echo "FAIL: $out"; exit 1; }
sed -i 's|^ExecStart=/usr/bin/kalimor|ExecStart=/usr/local/bin/kalimor|' "$unit"
if "$check" "$root" 2>/dev/null; then echo "FAIL: a unit naming a missing program passed"; exit 1; fi
echo "1 passed, 0 failed"
