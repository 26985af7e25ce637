#!/usr/bin/env python3
"""One clean signal of a digital mode, followed from a WAV file by
`kalimor --follow-audio FILE --ptt vox` on the simulated board; the loads its
trace recorded are rebuilt into 12 kHz audio around the dial and the mode's
real decoder must read the exact message. Each symbol's tone is held to the
output too: the median of the output's offset from the dial over the middle
half of the symbol, against the tone the encoder gave it.

Usage: follow_modes.py KALIMOR ft8|ft4|wspr|fst4w
"""
import json
import math
import os
import re
import struct
import subprocess
import sys
import tempfile
import wave

RATE = 12000
CLOCK_HZ = 100e6  # the simulated board's default reference clock
MESSAGE = {"ft8": "K1ABC W9XYZ EN37", "ft4": "K1ABC W9XYZ EN37", "wspr": "K1ABC FN42 37",
           "fst4w": "K1ABC FN42 37"}
DIAL_HZ = {"ft8": 14074000, "ft4": 14080000, "wspr": 14095600, "fst4w": 14095600}
# Symbol length in samples, tone spacing, target, file length, how much faster than real time.
MODE = {"ft8": (1920, 6.25, 0.1, 15.0, 1), "ft4": (576, 12000 / 576, 0.1, 7.5, 1),
        "wspr": (8192, 12000 / 8192, 0.05, 114.0, 20), "fst4w": (8200, 12000 / 8200, 0.05, 120.0, 20)}


def write_wav(path, samples):
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(struct.pack(f"<{len(samples)}h", *[max(-32767, min(32767, int(s))) for s in samples]))


def read_wav(path):
    with wave.open(path) as w:
        data = w.readframes(w.getnframes())
    return struct.unpack(f"<{len(data) // 2}h", data)


def fsk(symbols, base_hz, spacing, nsps, start_s, seconds, ramped):
    """Continuous-phase FSK, the first and last symbol ramped where the mode does (FT4)."""
    out = [0.0] * int(seconds * RATE)
    phase = 0.0
    first = int(start_s * RATE)
    for k, s in enumerate(symbols):
        step = 2 * math.pi * (base_hz + s * spacing) / RATE
        for n in range(nsps):
            ramp = 1.0
            if not ramped:
                pass
            elif k == 0:
                ramp = 0.5 - 0.5 * math.cos(math.pi * n / nsps)
            elif k == len(symbols) - 1:
                ramp = 0.5 + 0.5 * math.cos(math.pi * n / nsps)
            out[first + k * nsps + n] = 12000 * ramp * math.sin(phase)
            phase += step
    return out


def digits_after(text, header, count):
    tail = text.split(header, 1)[1]
    found = re.findall(r"[0-9]", tail[: count * 4])
    return [int(d) for d in found[:count]]


def make_signal(mode, work):
    """The WAV to follow, its symbols' tones in Hz, the first symbol's start (s)."""
    nsps, spacing, _, seconds, _ = MODE[mode]
    msg = MESSAGE[mode]
    if mode == "ft8":
        out = subprocess.run(["ft8sim", msg, "1500", "0", "0", "0", "1", "99"], cwd=work,
                             capture_output=True, text=True, timeout=60).stdout
        symbols = [int(c) for c in out.split("Channel symbols:")[1].split()[0]]
        return os.path.join(work, "000000_000001.wav"), [1500 + s * spacing for s in symbols], 0.5
    if mode == "fst4w":
        out = subprocess.run(["fst4sim", msg, "120", "1500", "0", "0", "0", "1", "99", "T"], cwd=work,
                             capture_output=True, text=True, timeout=60).stdout
        symbols = digits_after(out, "Channel symbols:", 160)
        # fst4sim's f0 is tone 0, and its frame starts at 1 s.
        # jt9 reads FST4W only from a file named by its time.
        path = os.path.join(work, "201207_0000.wav")
        os.rename(os.path.join(work, "000000_0001.wav"), path)
        return path, [1500 + s * spacing for s in symbols], 1.0
    if mode == "ft4":
        out = subprocess.run(["ft4code", msg], capture_output=True, text=True, timeout=60).stdout
        line = out.split("Channel symbols (105 tones):")[1].splitlines()[2]
        symbols = [int(c) for c in line if c.isdigit()]
        assert len(symbols) == 105, line
        tones = [1500 + s * spacing for s in symbols]
        start = 0.5
    else:
        out = subprocess.run(["wsprcode", msg], capture_output=True, text=True, timeout=60).stdout
        symbols = digits_after(out, "Channel symbols:", 162)
        tones = [1500 + (s - 1.5) * spacing for s in symbols]
        start = 1.0
    path = os.path.join(work, "signal.wav")
    write_wav(path, fsk([t - 1500 for t in tones], 1500, 1, nsps, start, seconds, mode == "ft4"))
    return path, tones, start


def decode(mode, work, path):
    dial = DIAL_HZ[mode]
    if mode == "wspr":
        cmd = ["wsprd", "-a", work, "-f", str(dial / 1e6), path]
    elif mode == "fst4w":
        cmd = ["jt9", "-W", "-p", "120", "-d", "3", "-f", "1500", "-F", "200", "-L", "1000", "-H", "2000",
               "-a", work, "-t", work, path]
    else:
        cmd = ["jt9", "-8" if mode == "ft8" else "-5", "-a", work, "-t", work, path]
    return subprocess.run(cmd, cwd=work, capture_output=True, text=True, timeout=120).stdout


def offset(load, dial):
    """The output's offset from the dial (Hz) a load sets."""
    return load["ftw"] * CLOCK_HZ / 2**32 - dial


def judge(mode, work, loads, times, lag, tones, first, length):
    """The output against the signal: each symbol's tone, then the decode of
    the audio a receiver at the dial would hear. `times` holds each load's
    instant in seconds of the followed audio, `lag` the follower's own delay.
    Returns the failures."""
    nsps, _, target, _, _ = MODE[mode]
    dial = DIAL_HZ[mode]
    failures = []
    # Each symbol: the output's offset at many instants over its middle
    # half, the follower's own delay (its first output after the onset) allowed.
    shifted = [t - lag for t in times]
    errors = []
    k = 0
    for i, tone in enumerate(tones):
        s0 = first + i * nsps / RATE
        values = []
        for j in range(64):
            a = s0 + nsps / RATE * (0.25 + 0.5 * (j + 0.5) / 64)
            while k + 1 < len(shifted) and shifted[k + 1] <= a:
                k += 1
            while k > 0 and shifted[k] > a:
                k -= 1
            values.append(None if loads[k]["power_down"] else offset(loads[k], dial))
        if None in values:
            errors.append(float("inf"))
            continue
        values.sort()
        errors.append(abs(values[len(values) // 2] - tone))
    # The ramped ends of FT4's frame carry no data.
    judged = errors[1:-1] if mode == "ft4" else errors
    worst = max(judged)
    mean = sum(judged) / len(judged)
    print(f"{mode}: {len(judged)} symbols, per-symbol error mean {mean:.4f} Hz, worst {worst:.4f} Hz "
          f"(target {target} Hz)")
    if worst > target:
        bad = [(i, round(e, 3)) for i, e in enumerate(errors) if e > target]
        failures.append(f"{len(bad)} symbols beyond {target} Hz: {bad[:10]}")

    # The audio a receiver at the dial would hear.
    rebuilt = [0.0] * length
    phase = 0.0
    for i, load in enumerate(loads):
        begin = max(0, int(times[i] * RATE))
        stop = int(times[i + 1] * RATE) if i + 1 < len(loads) else len(rebuilt)
        step = 2 * math.pi * offset(load, dial) / RATE
        for n in range(begin, min(stop, len(rebuilt))):
            if not load["power_down"]:
                rebuilt[n] = 8000 * math.sin(phase)
                phase += step
    name = "201207_0000.wav" if mode == "fst4w" else "000000_0000.wav"
    path = os.path.join(work, "rebuilt", name)
    os.makedirs(os.path.dirname(path))
    write_wav(path, rebuilt)
    decoded = decode(mode, work, path)
    print(decoded.strip())
    if MESSAGE[mode] not in decoded:
        failures.append(f"the decoder did not read {MESSAGE[mode]} from the output")
    return failures


def report(failures):
    """Prints the failures and ends the test by them."""
    for f in failures:
        print("FAIL:", f)
    if failures:
        sys.exit(1)
    print("1 passed, 0 failed")


def main():
    kalimor, mode = sys.argv[1], sys.argv[2]
    seconds, speed = MODE[mode][3:]
    work = tempfile.mkdtemp()
    signal, tones, first = make_signal(mode, work)
    audio = read_wav(signal)
    onset = next(n for n, s in enumerate(audio) if s != 0) / RATE
    end = (len(audio) - next(n for n, s in enumerate(reversed(audio)) if s != 0)) / RATE
    if decode(mode, work, signal).find(MESSAGE[mode]) < 0:
        sys.exit(f"FAIL: the {mode} signal itself does not decode")

    trace = os.path.join(work, "trace.jsonl")
    env = dict(os.environ, XDG_CONFIG_HOME=work, QT_QPA_PLATFORM="offscreen")
    run = subprocess.run([kalimor, "--simulate", "--trace", trace, "--follow-audio", signal,
                          "--dial", str(DIAL_HZ[mode] / 1e6), "--ptt", "vox", "--speed", str(speed)],
                         env=env, capture_output=True, text=True, timeout=seconds / speed + 60)
    if run.returncode != 0:
        sys.exit(f"FAIL: kalimor exited {run.returncode}: {run.stderr}")
    print(run.stdout.strip())
    started = float(re.search(r"from t=([0-9.]+) s", run.stdout).group(1))
    rate = float(re.search(r"\(([0-9.]+) a second\)", run.stdout).group(1))
    loads = [json.loads(line) for line in open(trace)]

    def audio_time(t):  # a trace time as seconds of the followed audio
        return (t - started) * speed

    failures = []
    on = [l for l in loads if not l["power_down"]]
    if not on:
        sys.exit("FAIL: the output never came on")
    lag = audio_time(on[0]["t"]) - onset
    off_after = [l for l in loads if l["power_down"] and l["t"] > on[-1]["t"]]
    tail = audio_time(off_after[0]["t"]) - end if off_after else float("inf")
    print(f"first output {lag * 1e3:.1f} ms after the audio's onset, off {tail * 1e3:.1f} ms after its end "
          f"(in audio time), {rate:.1f} readings a second")
    if lag < 0:
        failures.append("the output came on before the audio did")
    # The targets (30 ms on, 50 ms off) are the benchmark's; a loaded machine
    # gets a generous bound here.
    if speed == 1 and lag > 0.100:
        failures.append(f"first output {lag * 1e3:.1f} ms after the onset")
    if speed == 1 and tail > 0.100:
        failures.append(f"output off {tail * 1e3:.1f} ms after the audio's end")
    if rate < 100:
        failures.append(f"{rate:.1f} readings a second, fewer than 100")
    if loads[-1]["power_down"] != 1:
        failures.append("the last load leaves the output on")

    failures += judge(mode, work, loads, [audio_time(l["t"]) for l in loads], lag, tones, first,
                      len(audio))
    report(failures)


if __name__ == "__main__":
    main()
