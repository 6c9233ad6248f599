#!/usr/bin/env python3
"""Runs a command under the restart rules of a systemd service unit, for tests on machines
where systemd is not the init process (CI, containers). The rules are read from the unit
file, so that the test and the unit cannot disagree: Restart= (no, on-failure, always),
RestartSec=, and the start limit StartLimitIntervalSec= and StartLimitBurst=, with
systemd's defaults for what the file leaves out.

    supervise.py UNIT-FILE COMMAND [ARGUMENT...]

Prints one line per event on standard output, times in milliseconds since the epoch:
    rules: Restart=on-failure RestartSec=1.0 StartLimitIntervalSec=120.0 StartLimitBurst=5
    started PID at MS
    exited STATUS at MS            ("killed by SIGNAL at MS" for a signal)
    restarting in SECONDS s
    start limit hit: N starts within SECONDS s; not restarting
SIGTERM stops the command with SIGTERM, as stopping the unit does, and ends the supervisor
with status 0. Exit status 1 when the start limit was hit, 0 when the rules end it.
"""
import re
import signal
import subprocess
import sys
import time

# A failure for Restart=on-failure: any exit status but 0, any signal but these.
CLEAN_SIGNALS = {signal.SIGHUP, signal.SIGINT, signal.SIGTERM, signal.SIGPIPE}
UNITS = {"us": 1e-6, "ms": 1e-3, "s": 1, "sec": 1, "m": 60, "min": 60, "h": 3600, "hr": 3600}


def seconds(span):
    """A systemd time span ("1", "500ms", "2min 30s") in seconds."""
    total = 0.0
    for number, unit in re.findall(r"([\d.]+)\s*([a-z]*)", span):
        total += float(number) * UNITS[unit or "s"]
    return total


def rules(unit_file):
    values = {}
    with open(unit_file, encoding="utf-8") as f:
        for line in f:
            key, sep, value = line.strip().partition("=")
            if sep and not key.startswith(("#", ";")):
                values[key.strip()] = value.strip()
    return {
        "Restart": values.get("Restart", "no"),
        "RestartSec": seconds(values.get("RestartSec", "100ms")),
        "StartLimitIntervalSec": seconds(values.get("StartLimitIntervalSec", "10s")),
        "StartLimitBurst": int(values.get("StartLimitBurst", "5")),
    }


def say(text):
    print(text, flush=True)


def now_ms():
    return int(time.time() * 1000)


def main():
    if len(sys.argv) < 3:
        sys.stderr.write("usage: supervise.py UNIT-FILE COMMAND [ARGUMENT...]\n")
        return 2
    r = rules(sys.argv[1])
    say("rules: " + " ".join("%s=%s" % item for item in r.items()))
    command = sys.argv[2:]
    child = None
    stopping = False

    def stop(signum, frame):
        nonlocal stopping
        stopping = True
        if child is not None and child.poll() is None:
            child.terminate()

    signal.signal(signal.SIGTERM, stop)
    starts = []
    while not stopping:
        started = time.monotonic()
        interval = r["StartLimitIntervalSec"]
        starts = [t for t in starts if interval > 0 and started - t < interval]
        if interval > 0 and len(starts) >= r["StartLimitBurst"]:
            say("start limit hit: %d starts within %g s; not restarting" % (len(starts), interval))
            return 1
        starts.append(started)
        child = subprocess.Popen(command)
        say("started %d at %d" % (child.pid, now_ms()))
        status = child.wait()
        say(("exited %d" % status if status >= 0 else "killed by %s" % signal.Signals(-status).name)
            + " at %d" % now_ms())
        failed = status > 0 or (status < 0 and -status not in CLEAN_SIGNALS)
        if stopping or r["Restart"] == "no" or (r["Restart"] == "on-failure" and not failed):
            break
        say("restarting in %g s" % r["RestartSec"])
        time.sleep(r["RestartSec"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
