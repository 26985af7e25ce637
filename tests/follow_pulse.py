#!/usr/bin/env python3
"""FT8 played with paplay into a PulseAudio null sink and followed from the
sink's monitor by `kalimor --follow-audio pulse:kalimor.monitor --ptt vox` on
the simulated board; its trace is judged as follow_modes.py judges a file's
(each symbol's tone, and jt9 must read the exact message). Then the sink is
unloaded under a follower that is transmitting: it must stop, say why and
leave the output off.

The test runs its own PulseAudio on a private socket (no sound hardware, no
session bus needed, root or not); it skips only when that cannot start.

Usage: follow_pulse.py KALIMOR
"""
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # the source tree stays as checked out
import follow_modes as fm  # noqa: E402

SKIP = 77  # ctest's SKIP_RETURN_CODE


def start_pulse(work):
    """A PulseAudio with the null sink the docs tell users to make; the
    environment that reaches it."""
    if not shutil.which("pulseaudio") or not shutil.which("paplay"):
        print("SKIP: pulseaudio or paplay is not installed (scripts/deps installs them)")
        sys.exit(SKIP)
    socket = os.path.join(work, "native")
    config = os.path.join(work, "server.pa")
    with open(config, "w") as f:
        f.write(f"load-module module-native-protocol-unix auth-anonymous=1 socket={socket}\n")
    env = dict(os.environ, HOME=work, XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work,
               PULSE_SERVER=f"unix:{socket}", QT_QPA_PLATFORM="offscreen")
    log = open(os.path.join(work, "pulseaudio.log"), "w")
    daemon = subprocess.Popen(["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "-F", config,
                               "--log-target=stderr"], env=env, stdout=log, stderr=subprocess.STDOUT)
    for _ in range(100):
        if daemon.poll() is not None:
            break
        if subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0:
            sink = subprocess.run(["pactl", "load-module", "module-null-sink", "sink_name=kalimor",
                                   "sink_properties=device.description=Kalimor"],
                                  env=env, capture_output=True, text=True, check=True).stdout.strip()
            return daemon, env, sink
        time.sleep(0.1)
    daemon.kill()
    print("SKIP: pulseaudio did not start:\n" + open(log.name).read())
    sys.exit(SKIP)


def follow(kalimor, env, trace):
    """The follower, once its stream is open."""
    proc = subprocess.Popen([kalimor, "--simulate", "--trace", trace, "--follow-audio", "pulse:kalimor.monitor",
                             "--dial", str(fm.DIAL_HZ["ft8"] / 1e6), "--ptt", "vox"],
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("following"):
        proc.kill()
        sys.exit(f"FAIL: kalimor did not follow the monitor: {line}{proc.communicate()[1]}")
    print(line.strip())
    return proc


def main():
    kalimor = sys.argv[1]
    work = tempfile.mkdtemp()
    signal_wav, tones, first = fm.make_signal("ft8", work)
    audio = fm.read_wav(signal_wav)
    onset = next(n for n, s in enumerate(audio) if s != 0) / fm.RATE
    daemon, env, sink = start_pulse(work)
    failures = []
    try:
        trace = os.path.join(work, "trace.jsonl")
        proc = follow(kalimor, env, trace)
        subprocess.run(["paplay", "-d", "kalimor", signal_wav], env=env, check=True, timeout=60)
        time.sleep(0.3)
        proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=30)
        print(out.strip())
        if proc.returncode != 0:
            sys.exit(f"FAIL: kalimor exited {proc.returncode}: {err}")
        rate = float(re.search(r"\(([0-9.]+) a second\)", out).group(1))
        loads = [json.loads(line) for line in open(trace)]
        on = [l for l in loads if not l["power_down"]]
        if not on:
            sys.exit("FAIL: the output never came on")
        if rate < 100:
            failures.append(f"{rate:.1f} readings a second, fewer than 100")
        if loads[-1]["power_down"] != 1:
            failures.append("the last load leaves the output on")
        # When the sound reached the sink is not known: the first output
        # stands for the signal's onset.
        times = [l["t"] - on[0]["t"] + onset for l in loads]
        failures += fm.judge("ft8", work, loads, times, 0.0, tones, first, len(audio))

        # The sink goes while the follower transmits.
        trace = os.path.join(work, "gone.jsonl")
        proc = follow(kalimor, env, trace)
        player = subprocess.Popen(["paplay", "-d", "kalimor", signal_wav], env=env, stderr=subprocess.DEVNULL)
        time.sleep(3)
        subprocess.run(["pactl", "unload-module", sink], env=env, check=True)
        try:
            _, err = proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            err = "still running"
        player.wait(timeout=30)
        print(err.strip())
        loads = [json.loads(line) for line in open(trace)]
        if proc.returncode != 1 or "went away" not in err:
            failures.append(f"a follower whose source went away exited {proc.returncode}: {err}")
        if not any(not l["power_down"] for l in loads) or loads[-1]["power_down"] != 1:
            failures.append("the output was not on, then off, around the source going away")
    finally:
        daemon.terminate()
        daemon.wait(timeout=10)
    fm.report(failures)


if __name__ == "__main__":
    main()
