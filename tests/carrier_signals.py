#!/usr/bin/env python3
"""The carrier goes off however a keyed program ends: a command-line beacon
and a rigctld server keyed by PTT, each ended by a signal (or the beacon by
its output's reader going away); the last load in the simulated board's
trace must have the power-down bit. Unkeyed, the main window's word stays.

Usage: carrier_signals.py KALIMOR
"""
import json
import os
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import time

KALIMOR = sys.argv[1]
WORK = tempfile.mkdtemp()
ENV = dict(os.environ, XDG_CONFIG_HOME=WORK, QT_QPA_PLATFORM="offscreen")
BEACON = ["--beacon", "cw", "--text", "TEST", "--dial", "10.14", "--keying", "fsk:600"]
PORT = 20000 + os.getpid() % 20000


def start(args, stdout=subprocess.DEVNULL):
    return subprocess.Popen([KALIMOR, *args], env=ENV, stdout=stdout, stderr=subprocess.DEVNULL,
                            preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))


def loads(trace):
    return [json.loads(line) for line in open(trace)] if os.path.exists(trace) else []


def rig(line):
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=10) as s:
            s.sendall(line.encode() + b"\n")
            return s.recv(256).decode()
    except OSError:
        return ""


def wait_for(what, test):
    for _ in range(600):
        if test():
            return
        time.sleep(0.05)
    sys.exit(f"FAIL: {what}: not within 30 s")


def check(name, proc, trace, status, powered_down):
    try:
        got = proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        sys.exit(f"FAIL: {name}: still running")
    last = loads(trace)[-1]
    if got != status or bool(last["power_down"]) != powered_down:
        sys.exit(f"FAIL: {name}: exit status {got}, not {status}; the last load {last}")
    print(f"ok: {name}")


# (name, signal or None for the output's reader gone, --rigctld, T 1 first, status, powered down).
# Ctrl-C and systemd's stop end a beacon as done; the others end as the signal does.
CASES = [(f"beacon, SIG{s}", s, False, False, 0 if s in ("INT", "TERM") else -getattr(signal, "SIG" + s), True)
         for s in ["HUP", "INT", "QUIT", "TERM", "USR1", "USR2", "ALRM"]] + [
    ("beacon, its output's reader gone", None, False, False, 1, True),
    ("rigctld --ptt-keys, T 1, SIGTERM", "TERM", True, True, -signal.SIGTERM, True),
    ("rigctld --ptt-keys, T 1, SIGHUP", "HUP", True, True, -signal.SIGHUP, True),
    ("rigctld --ptt-keys, SIGTERM", "TERM", True, False, -signal.SIGTERM, True),
    ("rigctld unkeyed, SIGTERM", "TERM", False, False, -signal.SIGTERM, False),
]

for n, (name, sig, ptt, key, status, off) in enumerate(CASES):
    trace = os.path.join(WORK, f"{n}.jsonl")
    if name.startswith("beacon") and sig is None:
        read, write = os.pipe()
        os.close(read)
        proc = start(["--simulate", "--trace", trace, *BEACON], stdout=write)
        os.close(write)
    elif name.startswith("beacon"):
        proc = start(["--simulate", "--trace", trace, *BEACON])
        wait_for(name, lambda: any(not l["power_down"] for l in loads(trace)))
    else:
        proc = start(["--simulate", "--trace", trace, f"--rigctld=127.0.0.1:{PORT}"] + ["--ptt-keys"] * ptt)
        wait_for(name, lambda: rig("t"))
        if ptt and not loads(trace)[-1]["power_down"]:
            sys.exit(f"FAIL: {name}: on at start-up")
        if key:
            if rig("T 1") != "RPRT 0\n":
                sys.exit(f"FAIL: {name}: T 1 refused")
            # The trace's own thread writes the keyed load's line behind it.
            wait_for(f"{name}: T 1 keying", lambda: not loads(trace)[-1]["power_down"])
    if sig:
        proc.send_signal(getattr(signal, "SIG" + sig))
    check(name, proc, trace, status, off)

# A board nothing ever reached cannot be read: f says so, not the set.
proc = start(["--port", "ftdi:KALIMOR-NO-SUCH-ADAPTER", f"--rigctld=127.0.0.1:{PORT}"])
try:
    wait_for("a failing port's server", lambda: rig("t"))
    if [rig("F 704"), rig("f")] != ["RPRT -6\n", "RPRT -6\n"]:
        sys.exit("FAIL: a failing port: F 704 or f did not answer RPRT -6")
    print("ok: a failing port: F 704 and f answer RPRT -6")
finally:
    proc.kill()
    proc.wait()
