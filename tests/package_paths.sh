#!/usr/bin/env bash
# The package check sees what `cmake --install` puts under /usr: a unit that
# names the installed program passes, one that names another path fails, and
# the programs fail as another architecture's package (ARCH, default this
# machine's, is the architecture they were built for).
set -u
build=$1 check=$2
arch=${3:-$(dpkg --print-architecture)}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr >/dev/null || { echo "FAIL: install"; exit 1; }
unit=$root/usr/lib/systemd/user/kalimor-rigctld.service
grep -q '^ExecStart=/usr/bin/kalimor ' "$unit" || { echo "FAIL: $(grep ExecStart "$unit")"; exit 1; }
"$check" "$root" "$arch" >/dev/null || { echo "FAIL: the installed files did not pass"; exit 1; }
other=arm64
[ "$arch" = arm64 ] && other=amd64
out=$("$check" "$root" "$other" 2>&1) && { echo "FAIL: this machine's programs passed as $other"; exit 1; }
grep -q "is built for .*, not $other" <<<"$out" || { echo "FAIL: $out"; exit 1; }
sed -i 's|^ExecStart=/usr/bin/kalimor|ExecStart=/usr/local/bin/kalimor|' "$unit"
if "$check" "$root" "$arch" 2>/dev/null; then echo "FAIL: a unit naming a missing program passed"; exit 1; fi
echo "1 passed, 0 failed"
