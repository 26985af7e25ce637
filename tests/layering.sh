#!/usr/bin/env bash
# The rooms' includes run downwards only: each room may include the rooms
# listed after it here and none other (the program's app/ may include all).
set -u
cd "$1"
allowed() {
  case $1 in
    core) echo "" ;;
    settings | timing) echo "core" ;;
    dds) echo "core firmware" ;; # firmware/protocol.h: the bridge protocol both sides share
    follow) echo "core dds" ;;
    net) echo "" ;;
    ui) echo "core settings dds" ;; # dds for the holders' wording alone
    analyser) echo "core dds settings ui" ;; # its logic (Analysis, SweepRunner) core only, below
    beacon) echo "core dds settings ui" ;; # its logic core and dds only, below
    about | dialogs | sweep) echo "core settings dds ui about" ;;
    digital) echo "core settings dds ui follow net" ;;
    *) echo "*" ;;
  esac
}
bad=0
for room in core settings timing dds follow net beacon ui analyser about dialogs sweep digital; do
  ok=$(allowed $room)
  for used in $(grep -ho '#include "[a-z]*/' $room/*.h $room/*.cpp | sed 's|#include "||; s|/||' | sort -u); do
    [ "$used" = "$room" ] && continue
    case " $ok " in *" $used "*) ;; *) echo "FAIL: $room/ includes $used/"; bad=1 ;; esac
  done
done
# The analyser's, the beacon's and the follower's logic stand below the windows.
if grep -n '#include "' analyser/Analysis.* analyser/Crystal.* analyser/SweepRunner.* beacon/Wspr.* beacon/Morse.* \
  beacon/Schedule.* beacon/Beacon.* | grep -v -E '"(core|dds|analyser|beacon)/|"[A-Za-z]+\.h"' ||
  grep -n '#include "' digital/FollowRig.* | grep -v -E '"(core|dds|follow|net|digital)/|"[A-Za-z]+\.h"'; then
  echo "FAIL: an instrument's logic includes a window's room"; bad=1
fi
[ $bad = 0 ] && echo "1 passed, 0 failed"
exit $bad
