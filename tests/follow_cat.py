#!/usr/bin/env python3
"""CAT keying: a tone plays from a file while Hamlib's own client (rigctl,
as WSJT-X's "Hamlib NET rigctl") sets the dial with F and keys with T 1 /
T 0. The output must be on only between them: every load with the output on
lies between the dial set before T 1 and the one after T 0, at dial + tone,
and the output is off again before the second set.

Usage: follow_cat.py KALIMOR
"""
import json
import math
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import wave

RATE = 12000
CLOCK_HZ = 100e6


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def rigctl(port, *command):
    out = subprocess.run(["rigctl", "-m", "2", "-r", f"127.0.0.1:{port}", *command],
                         capture_output=True, text=True, timeout=10)
    if out.returncode != 0:
        sys.exit(f"FAIL: rigctl {' '.join(command)}: {out.stderr.strip()}")
    return out.stdout.strip()


def main():
    kalimor = sys.argv[1]
    work = tempfile.mkdtemp()
    signal = os.path.join(work, "tone.wav")
    with wave.open(signal, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack(f"<{RATE * 4}h",
                                  *[int(12000 * math.sin(2 * math.pi * 1234.5 * n / RATE)) for n in range(RATE * 4)]))
    trace = os.path.join(work, "trace.jsonl")
    port = free_port()
    env = dict(os.environ, XDG_CONFIG_HOME=work, QT_QPA_PLATFORM="offscreen")
    proc = subprocess.Popen([kalimor, "--simulate", "--trace", trace, "--follow-audio", signal,
                             "--dial", "7.0", f"--rigctld=127.0.0.1:{port}"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.05)
    rigctl(port, "F", "14074000")
    dial = rigctl(port, "f")
    time.sleep(0.5)  # the tone plays, unkeyed
    rigctl(port, "T", "1")
    time.sleep(1.0)
    rigctl(port, "T", "0")
    rigctl(port, "F", "14074100")
    out, err = proc.communicate(timeout=30)
    failures = []
    if proc.returncode != 0:
        failures.append(f"kalimor exited {proc.returncode}: {err}")
    if dial != "14074000":
        failures.append(f"f read {dial!r} after F 14074000")
    loads = [json.loads(line) for line in open(trace)]

    def hz(load):
        return load["ftw"] * CLOCK_HZ / 2**32

    try:
        before = next(i for i, l in enumerate(loads) if l["power_down"] and abs(hz(l) - 14074000) < 0.05)
        after = next(i for i, l in enumerate(loads) if l["power_down"] and abs(hz(l) - 14074100) < 0.05)
    except StopIteration:
        sys.exit(f"FAIL: the dial sets are not in the trace: {[(hz(l), l['power_down']) for l in loads]}")
    on = [i for i, l in enumerate(loads) if not l["power_down"]]
    print(f"{len(loads)} loads, {len(on)} with the output on, between loads {before} and {after}")
    if not on:
        failures.append("the output never came on between T 1 and T 0")
    elif on[0] < before or on[-1] > after:
        failures.append(f"output on outside T 1 .. T 0: loads {on[0]}..{on[-1]}, sets at {before} and {after}")
    elif not loads[after - 1]["power_down"]:
        failures.append("T 0 left the output on")
    on_for = loads[on[-1] + 1]["t"] - loads[on[0]]["t"] if on else 0
    print(f"on for {on_for:.3f} s (keyed for about 1 s)")
    if on and not 0.5 < on_for < 2.0:
        failures.append(f"on for {on_for:.3f} s, not about the second between T 1 and T 0")
    wrong = [hz(loads[i]) - 14074000 for i in on if abs(hz(loads[i]) - 14074000 - 1234.5) > 0.1]
    if wrong:
        failures.append(f"offsets other than the tone: {wrong[:5]}")
    for f in failures:
        print("FAIL:", f)
    if failures:
        sys.exit(1)
    print("1 passed, 0 failed")


if __name__ == "__main__":
    main()
