#!/usr/bin/env python3
"""The carrier goes off however a keyed program ends: a command-line beacon
and a rigctld server keyed by PTT, each ended by a signal (or by the reader
of its output going away), and the last load in the simulated board's trace
must have the power-down bit. Unkeyed, the main window's word stays.

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


def no_core():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def loads(trace):
    try:
        return [json.loads(line) for line in open(trace)]
    except FileNotFoundError:
        return []


def wait_for(what, test, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if test():
            return
        time.sleep(0.05)
    sys.exit(f"FAIL: {what}: not within {seconds} s")


def rig(port, line):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(line.encode() + b"\n")
        return s.recv(256).decode()


def serve(trace, *extra):
    port = 20000 + os.getpid() % 20000
    proc = subprocess.Popen([KALIMOR, "--simulate", "--trace", trace, f"--rigctld=127.0.0.1:{port}", *extra],
                            env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, preexec_fn=no_core)

    def up():
        try:
            return rig(port, "t") != ""
        except OSError:
            return False
    wait_for("the server", up)
    return proc, port


def check(name, proc, trace, status, powered_down):
    try:
        got = proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        sys.exit(f"FAIL: {name}: still running")
    if got != status:
        sys.exit(f"FAIL: {name}: exit status {got}, not {status}")
    last = loads(trace)[-1]
    if bool(last["power_down"]) != powered_down:
        sys.exit(f"FAIL: {name}: the last load is {last}")
    print(f"ok: {name}: exit {got}, last load power_down {last['power_down']}, ftw {last['ftw']}")


def main():
    # A keyed beacon ended by each signal whose default ends a program.
    # Ctrl-C and systemd's stop end it as done; the others as the signal does.
    for sig in ["HUP", "INT", "QUIT", "TERM", "USR1", "USR2", "ALRM"]:
        trace = os.path.join(WORK, f"beacon-{sig}.jsonl")
        proc = subprocess.Popen([KALIMOR, "--simulate", "--trace", trace, *BEACON], env=ENV,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=no_core)
        wait_for(f"SIG{sig}: the first key-down", lambda: any(not l["power_down"] for l in loads(trace)))
        proc.send_signal(getattr(signal, "SIG" + sig))
        graceful = sig in ("INT", "TERM")
        check(f"beacon, SIG{sig}", proc, trace, 0 if graceful else -getattr(signal, "SIG" + sig), True)

    # `kalimor --beacon ... | tee` whose reader went away: no SIGPIPE death,
    # the failed write stops the beacon keyed down.
    trace = os.path.join(WORK, "beacon-pipe.jsonl")
    read, write = os.pipe()
    os.close(read)
    proc = subprocess.Popen([KALIMOR, "--simulate", "--trace", trace, *BEACON], env=ENV, stdout=write,
                            stderr=subprocess.DEVNULL, preexec_fn=no_core)
    os.close(write)
    check("beacon, its output's reader gone", proc, trace, 1, True)

    # rigctld with PTT keying: off from the start, on at T 1, off when killed.
    for sig, keyed in [("TERM", True), ("HUP", True), ("TERM", False)]:
        trace = os.path.join(WORK, f"rigctld-{sig}-{keyed}.jsonl")
        proc, port = serve(trace, "--ptt-keys")
        if not loads(trace) or not loads(trace)[-1]["power_down"]:
            sys.exit(f"FAIL: --ptt-keys: on at start-up: {loads(trace)}")
        if keyed:
            reply = rig(port, "T 1")
            if reply != "RPRT 0\n" or loads(trace)[-1]["power_down"]:
                sys.exit(f"FAIL: T 1: {reply!r}, {loads(trace)[-1]}")
        proc.send_signal(getattr(signal, "SIG" + sig))
        check(f"rigctld --ptt-keys{', T 1' if keyed else ''}, SIG{sig}", proc, trace,
              -getattr(signal, "SIG" + sig), True)

    # The main window unkeyed is left as it is.
    trace = os.path.join(WORK, "vfo.jsonl")
    proc, port = serve(trace)
    proc.send_signal(signal.SIGTERM)
    check("rigctld unkeyed, SIGTERM", proc, trace, -signal.SIGTERM, False)

    # A board nothing ever reached cannot be read: f says so, not the set.
    port_args = ["--port", "ftdi:KALIMOR-NO-SUCH-ADAPTER"]
    port = 20000 + (os.getpid() + 7) % 20000
    proc = subprocess.Popen([KALIMOR, *port_args, f"--rigctld=127.0.0.1:{port}"], env=ENV,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_for("the server on a failing port", lambda: _answers(port))
        replies = [rig(port, "F 704"), rig(port, "f")]
        if replies != ["RPRT -6\n", "RPRT -6\n"]:
            sys.exit(f"FAIL: a failing port: F and f answered {replies}")
        print("ok: a failing port: F 704 and f answer RPRT -6")
    finally:
        proc.kill()
        proc.wait()


def _answers(port):
    try:
        return rig(port, "t") != ""
    except OSError:
        return False


if __name__ == "__main__":
    main()
