#!/usr/bin/env python3
"""The soak: COUNT exposures through QOR APP and the TWAIN road, with the faults of the matrix mixed
in at random (seeded; the seed is printed), every image delivered by one long-lived imaging program
unless a fault interferes. Every 50 images QOR APP's and the program's handles, threads and private
bytes are sampled. At the end: no image lost or duplicated (byte-identical, the ledger of
faultrig.py), and no growth of handles, threads or private bytes within one QOR APP run or the
program's run.

Usage: soak.py --bin DIR --native-qorctl PATH --work DIR --count N --seed S [--json FILE]
       [--without KIND,...]
(scripts/soak.sh starts the harness and runs it on the Windows build.)
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

from faultrig import APP_EXE, Ledger, Rig, RigError, windows_path

# Fault kinds and their weights; "none" is the ordinary road.
FAULTS = [
    ("none", 52),
    ("host-cancels", 8),         # DAT_IMAGEINFO, then MSG_RESET / MSG_DISABLEDS / MSG_CLOSEDS
    ("memory-abandoned", 6),     # a strip, then MSG_ENDXFER
    ("file-unwritable", 6),      # a file transfer into a missing folder
    ("host-killed", 8),          # a second program dies after DAT_IMAGEINFO or mid memory transfer
    ("pipe-cut", 8),             # an image read off the pipe cut after 1000 bytes
    ("app-killed", 0),           # QOR APP killed at a fault point or mid-read: at block ends
    ("sensor-pulled", 3),        # the sensor pulled out mid-read, plugged in and activated again
    ("disk-full", 4),            # the store's disk full for one image
    ("skipped", 6),              # the program passes the image over (DAT_IMAGEINFO, MSG_ENDXFER)
    ("deleted", 3),              # the dentist deletes the image ("Delete All Images", Yes)
    ("list-held", 0),            # another program holds ImageInfo.ini as QOR APP starts: at block ends
]
SAMPLE_EVERY = 50  # and QOR APP killed, or not, at the end of each block of this many
# Growth allowed between the first and the last sample of one run of a process.
MAX_HANDLE_GROWTH = 40
MAX_THREAD_GROWTH = 3
MAX_PRIVATE_GROWTH = 24 * 1024 * 1024


class LongHost:
    """One imaging program for the whole soak, one session per request."""

    def __init__(self, rig):
        self.rig = rig
        self.p = rig.wine.popen([rig.bin / "fault_host.exe"], cwd=rig.work, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def request(self, line):
        self.p.stdin.write(line + "\n")
        self.p.stdin.flush()
        answer = self.p.stdout.readline()
        if not answer:
            raise RigError("the imaging program ended unexpectedly")
        return json.loads(answer)

    def acquire(self, mech, count, fault, out):
        out.mkdir(parents=True, exist_ok=True)
        return self.request("acquire %s %d %s %s" % (mech, count, fault, windows_path(out)))

    def close(self):
        try:
            self.p.stdin.write("quit\n")
            self.p.stdin.flush()
            self.p.wait(timeout=20)
        except (OSError, subprocess.TimeoutExpired):
            self.p.kill()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--native-qorctl", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--count", type=int, default=60)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--json", default="")
    ap.add_argument("--without", default="", help="fault kinds left out, comma-separated")
    args = ap.parse_args()
    # Under emulation (the tests' time limits stretched) the same time buys fewer exposures; the
    # fault matrix still meets every fault kind there, the full count runs on a quick machine.
    scale = max(1, int(os.environ.get("QOR_TEST_TIME_SCALE", "1") or 1))
    if scale > 1:
        args.count = max(12, args.count // scale)
        print("soak: the count divided by QOR_TEST_TIME_SCALE (%d), 12 at least" % scale)
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1, 1 << 30)
    print("soak: %d exposures, seed %d (repeat with --seed %d)" % (args.count, seed, seed))
    sys.stdout.flush()
    rng = random.Random(seed)
    left_out = [k for k in args.without.split(",") if k]
    for k in left_out:
        if k not in [name for name, _ in FAULTS]:
            ap.error("unknown fault kind %s; the kinds: %s" % (k, ", ".join(n for n, _ in FAULTS)))
    if left_out:
        print("soak: without %s" % ", ".join(left_out))
    kinds = [k for k, _ in FAULTS]
    weights = [0 if k in left_out else w for k, w in FAULTS]

    rig = Rig(args.bin, args.work, args.native_qorctl)
    ledger = Ledger(rig)
    out = rig.work / "out"
    samples = []
    counts = {k: 0 for k in kinds}
    incarnation = 0
    started = time.time()
    host = None

    def restart_app(point=None):
        nonlocal incarnation
        rig.kill_app()
        rig.start_app(point)
        incarnation += 1

    def sample(image):
        app = rig.app_processes()
        entry = {"image": image, "seconds": round(time.time() - started, 1), "appRun": incarnation,
                 "app": app[0] if app else None, "host": host.request("sample")}
        samples.append(entry)
        a, h = entry["app"] or {}, entry["host"]
        print("sample after %4d images (%5.0f s): QOR APP run %d: %s handles, %s threads, %s KiB; "
              "host: %s handles, %s threads, %s KiB"
              % (image, entry["seconds"], incarnation, a.get("handles"), a.get("threads"),
                 (a.get("privateBytes") or 0) // 1024, h.get("handles"), h.get("threads"),
                 (h.get("privateBytes") or 0) // 1024))
        sys.stdout.flush()

    def deliver(mech):
        pending = len(rig.stored_files())
        if pending:
            answer = host.acquire(mech, pending + 1, "none", out / "long_host")
            if answer.get("error"):
                history.setdefault(exposure, []).append("delivery: " + answer["error"])

    history = {}
    exposure = 0
    try:
        restart_app()
        host = LongHost(rig)
        for i in range(1, args.count + 1):
            exposure = 100000 + i
            # QOR APP is killed only at the end of a block of 50, so that each of its runs spans
            # whole blocks and its samples can be compared; the other faults come at any time.
            block_end = i % SAMPLE_EVERY == 0
            if block_end:
                sample(i - 1)
                draw = rng.random()
                kind = ("app-killed" if draw < 0.5 and "app-killed" not in left_out else
                        "list-held" if draw < 0.75 and "list-held" not in left_out else "none")
            else:
                kind = rng.choices(kinds, weights)[0]
            counts[kind] += 1
            mech = rng.choice(["native", "memory", "file"])
            detail = kind
            if kind == "app-killed":
                point = rng.choice(["sensor-read", "store-write", "info-swap", "pipe-write"])
                detail += " at " + point
                if point == "pipe-write":
                    deliver(mech)  # the store holds this one image only when QOR APP is killed
                    if not rig.expose(exposure):
                        ledger.problems.append("exposure %d not stored in time" % exposure)
                    ledger.must.append(exposure)
                    restart_app(point)
                    probe = rig.kill_at_point()
                    host.acquire(mech, 1, "none", out / "long_host")
                    if not rig.point_result(probe).get("reached"):
                        ledger.problems.append("exposure %d: fault point %s not reached" % (exposure, point))
                elif point == "sensor-read":
                    ledger.in_flight.append(exposure)
                    rig.set_faults("11:data:pause:%d" % rng.randrange(0, 64))
                    rig.expose(exposure, wait_stored=False)
                    until = time.time() + 30
                    while not rig.paused() and time.time() < until:
                        time.sleep(0.05)
                    rig.kill_app()
                    rig.release_pause()
                    rig.set_faults()
                else:
                    (ledger.must if point == "info-swap" else ledger.in_flight).append(exposure)
                    restart_app(point)
                    probe = rig.kill_at_point()
                    rig.expose(exposure, wait_stored=False)
                    if not rig.point_result(probe).get("reached"):
                        ledger.problems.append("exposure %d: fault point %s not reached" % (exposure, point))
                restart_app()
                deliver(mech)
            elif kind == "list-held":
                # The images stored so far stay ticked; held for a moment, the list is read again.
                if not rig.expose(exposure):
                    ledger.problems.append("exposure %d not stored in time" % exposure)
                ledger.must.append(exposure)
                rig.kill_app()
                holder = rig.hold_file(rig.images / "ImageInfo.ini", 1500)
                restart_app()
                holder.wait(timeout=60)
                deliver(mech)
            elif kind == "deleted":
                # Never delivered, never stored: the ledger knows it as no exposure at all.
                deliver(mech)
                if not rig.expose(exposure):
                    ledger.problems.append("exposure %d not stored in time" % exposure)
                rig.probe("command", APP_EXE, "111")
                until = time.time() + 20
                while rig.stored_files() and time.time() < until:
                    rig.probe("boxes", APP_EXE, "yes")
                    time.sleep(0.3)
                if rig.stored_files():
                    ledger.problems.append("exposure %d: \"Delete All Images\" left %d image(s)"
                                           % (exposure, len(rig.stored_files())))
                deliver(mech)
            elif kind == "sensor-pulled":
                ledger.in_flight.append(exposure)
                rig.set_faults("11:data:unplug:%d" % rng.randrange(0, 64))
                rig.expose(exposure, wait_stored=False)
                until = time.time() + 20
                while rig.sensor().get("plugged") == "1" and time.time() < until:
                    time.sleep(0.1)
                time.sleep(1)
                rig.set_faults()
                rig.recover_sensor()
                deliver(mech)
            elif kind == "disk-full":
                ledger.must.append(exposure)
                # For one image the store's folder lies on a file system with room for the list
                # only (mounted under the running program; the store is emptied first).
                deliver(mech)
                rig.mount_store(64)
                rig.expose(exposure, wait_stored=False)
                rig.wait_taken()
                time.sleep(1.5)
                answer = host.acquire(mech, 1, "none", out / "long_host")
                detail += ": " + json.dumps(answer)
                rig.unmount()
                deliver(mech)
            else:
                if not rig.expose(exposure):
                    ledger.problems.append("exposure %d not stored in time" % exposure)
                ledger.must.append(exposure)
                answer = {}
                if kind == "host-cancels":
                    how = rng.choice(["reset-after-info", "disable-after-info", "close-after-info"])
                    detail += " " + how
                    answer = host.acquire("native", 1, how, out / "long_host")
                elif kind == "memory-abandoned":
                    answer = host.acquire("memory", 1, "endxfer-mid-memory", out / "long_host")
                elif kind == "file-unwritable":
                    answer = host.acquire("file", 1, "unwritable-file", out / "long_host")
                elif kind == "skipped":
                    answer = host.acquire(mech, 2, "skip-after-info", out / "long_host")
                elif kind == "host-killed":
                    if rng.random() < 0.5:
                        rig.host("native", 1, "die-after-info", out / "short_hosts")
                        detail += " after DAT_IMAGEINFO"
                    else:
                        rig.host("memory", 1, "die-mid-memory", out / "short_hosts")
                        detail += " mid memory transfer"
                elif kind == "pipe-cut":
                    request = rng.choice(["2", "3"])
                    detail += " request " + request
                    rig.wine.run([rig.bin / "qorpipe.exe", "send", "--bytes", request, "--read", "1000"],
                                 cwd=rig.work)
                if answer.get("received"):
                    detail += " (the program got %s)" % answer["received"]
                deliver(mech)
            history.setdefault(exposure, []).insert(0, detail + ", then " + mech)
            if i % SAMPLE_EVERY == 1:
                sample(i)
        # Whatever is left (a fault of the last exposures) goes out now.
        sample(args.count)
        restart_app()
        rig.drain(out / "final")
    finally:
        if host:
            host.close()
        rig.close()

    ok = ledger.check([out / "long_host", out / "short_hosts", out / "final"])
    elapsed = time.time() - started
    print("soak: %d exposures in %.0f s (%.2f s each); faults: %s"
          % (args.count, elapsed, elapsed / max(1, args.count),
             ", ".join("%s %d" % (k, n) for k, n in counts.items())))
    for line in ledger.notes:
        print("    note: " + line)
    for line in ledger.problems:
        print("    problem: " + line)
        for word in line.replace(":", " ").split():
            if word.isdigit() and int(word) in history:
                print("        exposure %s: %s" % (word, "; ".join(history[int(word)])))

    growth = []
    # The program runs throughout; QOR APP's runs end at its kills: compare within each run.
    runs = {}
    for s in samples:
        if s["app"]:
            runs.setdefault(s["appRun"], []).append(s["app"])
    series = [("host", [s["host"] for s in samples])] + [("QOR APP run %d" % r, v) for r, v in runs.items()]
    for name, values in series:
        if len(values) < 2:
            continue
        first, last = values[0], values[-1]
        d = {k: last[k] - first[k] for k in ("handles", "threads", "privateBytes")}
        line = "%s: handles %+d, threads %+d, private %+d KiB over %d samples" % (
            name, d["handles"], d["threads"], d["privateBytes"] // 1024, len(values))
        print("growth " + line)
        if (d["handles"] > MAX_HANDLE_GROWTH or d["threads"] > MAX_THREAD_GROWTH or
                d["privateBytes"] > MAX_PRIVATE_GROWTH):
            growth.append(line)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"seed": seed, "count": args.count, "without": left_out,
                       "history": {str(k): v for k, v in history.items()}, "seconds": elapsed, "faults": counts,
                       "samples": samples, "problems": ledger.problems, "notes": ledger.notes,
                       "growth": growth}, f, indent=2)
    if growth:
        print("soak: growth beyond the limits: " + "; ".join(growth))
    if not ok:
        rig.print_app_log()
    print("soak: %s" % ("every image delivered exactly once" if ok and not growth else "FAILED"))
    return 0 if ok and not growth else 1


if __name__ == "__main__":
    sys.exit(main())
