#!/usr/bin/env python3
"""One WSPR frame from `kalimor --beacon wspr --once` on the simulated board,
rebuilt as audio from the loads its trace recorded (each at its time, at the
frequency its tuning word makes, less the dial), and decoded by the real WSPR
decoder, wsprd. Also checks how the frame kept time, and prints it.

The board runs on its virtual clock (KALIMOR_VIRTUAL_CLOCK), which jumps to
each word's due time: the 110.6 s frame takes a moment, and every load in the
trace is stamped with exactly the time the board sent it at. bench_beacon
keeps a frame in real time.

Usage: beacon_wspr.py KALIMOR
"""
import json
import math
import os
import subprocess
import sys
import tempfile
import wave

RATE = 12000
DIAL_MHZ = 14.0956
CLOCK_HZ = 100e6  # the simulated board's default reference clock


def main():
    kalimor = sys.argv[1]
    work = tempfile.mkdtemp()
    trace = os.path.join(work, "trace.jsonl")
    env = dict(os.environ, XDG_CONFIG_HOME=work, QT_QPA_PLATFORM="offscreen", KALIMOR_VIRTUAL_CLOCK="1")
    beacon = ["--beacon", "wspr", "--call", "K1ABC", "--grid", "FN42", "--dbm", "37", "--dial", str(DIAL_MHZ),
              "--once"]
    # Never on a real board: without --simulate the program stops before it
    # opens any port.
    refused = subprocess.run([kalimor, "--port", "ppdev"] + beacon, env=env, capture_output=True,
                             text=True, timeout=30)
    if refused.returncode != 2 or "KALIMOR_VIRTUAL_CLOCK works only with --simulate" not in refused.stderr:
        sys.exit(f"FAIL: the virtual clock on a port: exit {refused.returncode}, {refused.stderr!r}")
    run = subprocess.run([kalimor, "--simulate", "--trace", trace] + beacon, env=env, capture_output=True,
                         text=True, timeout=60)
    if run.returncode != 0:
        sys.exit(f"FAIL: kalimor exited {run.returncode}: {run.stderr}")
    if "K1ABC FN42 37" not in run.stdout or "dial 14.095600 MHz  14.097100 MHz" not in run.stdout:
        sys.exit(f"FAIL: the frame's line: {run.stdout!r}")
    loads = [json.loads(line) for line in open(trace)]
    on = [l for l in loads if not l["power_down"]]
    if len(on) != 162:
        sys.exit(f"FAIL: {len(on)} symbols loaded, not 162")
    start = on[0]["t"]
    steps = [b["t"] - a["t"] for a, b in zip(on, on[1:])]
    frame = loads[loads.index(on[-1]) + 1]["t"] - start
    late = max(abs(l["t"] - start - k * 8192 / 12000) for k, l in enumerate(on))
    print(f"frame {frame:.6f} s (110.592000 due), symbol steps {min(steps) * 1e3:.3f} to {max(steps) * 1e3:.3f} ms, "
          f"worst edge {late * 1e3:.3f} ms from its time")
    # Each symbol is due at its own time from the start, so nothing may
    # accumulate: a beacon that slept a period after each edge, or a symbol
    # length rounded to the millisecond, would drift. On the virtual clock
    # each load's time is its due time, to the trace's microsecond.
    if abs(frame - 110.592) > 3e-6:
        sys.exit(f"FAIL: the frame lasted {frame:.6f} s, not 110.592 s")
    if late > 3e-6:
        sys.exit(f"FAIL: a symbol edge {late * 1e6:.1f} us from its time")

    # The audio a receiver at the dial would hear, the frame starting 1 s in.
    samples = [0] * (RATE * 114)
    phase = 0.0
    for k, load in enumerate(loads):
        begin = int((load["t"] - start + 1.0) * RATE)
        end = int((loads[k + 1]["t"] - start + 1.0) * RATE) if k + 1 < len(loads) else begin
        audio = load["ftw"] * CLOCK_HZ / 2**32 - DIAL_MHZ * 1e6
        for n in range(max(begin, 0), min(end, len(samples))):
            if not load["power_down"]:
                samples[n] = int(8000 * math.sin(phase))
                phase += 2 * math.pi * audio / RATE
    path = os.path.join(work, "000000_0000.wav")
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(int(s).to_bytes(2, "little", signed=True) for s in samples))
    decoded = subprocess.run(["wsprd", "-a", work, "-f", str(DIAL_MHZ), path], cwd=work,
                             capture_output=True, text=True, timeout=120).stdout
    print(decoded.strip())
    if "K1ABC FN42 37" not in decoded:
        sys.exit("FAIL: wsprd did not decode K1ABC FN42 37")
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
