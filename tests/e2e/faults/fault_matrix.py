#!/usr/bin/env python3
"""The fault matrix across processes: QOR APP killed at each step of an image's way in, the imaging
program killed or giving up during each transfer mechanism, the pipe broken mid-image, the store's
disk full and read-only, the sensor pulled out mid-read. After each, every exposure is either still
in the store or delivered exactly once, byte-identical; the store is then drained through the TWAIN
road and must end empty.

Usage: fault_matrix.py --bin DIR --native-qorctl PATH --work DIR [--only NAME,...] [--list] [--steps]
(QOR_WINE_STATE names a running harness; run as root: some cases mount small file systems.)
"""

import argparse
import os
import subprocess
import sys
import time
import traceback
from pathlib import Path

from faultrig import APP_EXE, Ledger, Rig, RigError

CASES = []


def case(fn):
    CASES.append(fn)
    return fn


# Under emulation (QOR_TEST_TIME_SCALE above 1: the test guest, where a case costs half a minute)
# one or more cases of each kind of fault run; the x86_64 stage runs them all on the same code.
EMULATION_CASES = {
    "app_killed_during_sensor_read", "app_killed_during_store_write", "app_killed_during_pipe_write",
    "host_killed_mid_memory_transfer", "host_resets_after_imageinfo", "host_file_target_unwritable",
    "pipe_broken_mid_image", "store_disk_full", "sensor_pulled_mid_read",
    "skip_passes_image_over", "list_held_at_start", "busy_pipe_at_enable", "shipped_app_ignores_fault_point",
}


class Case:
    def __init__(self, rig, name, base_seed):
        self.rig = rig
        self.name = name
        self.out = rig.work / "out" / name
        self.ledger = Ledger(rig)
        self.seed = base_seed
        self.partial_ok = False
        self.duplicate_ok = False

    def next_seed(self):
        self.seed += 1
        return self.seed

    def store(self, count):
        """`count` exposures stored the ordinary way."""
        for _ in range(count):
            seed = self.next_seed()
            if not self.rig.expose(seed):
                raise RigError("seed %d was not stored before the fault" % seed)
            self.ledger.must.append(seed)

    def restart(self, fault_point=None):
        self.rig.kill_app()
        self.rig.start_app(fault_point)

    def kill_at(self, point, action):
        """Runs `action` with QOR APP waiting at `point`; kills it there. False when never reached."""
        probe = self.rig.kill_at_point()
        action()
        result = self.rig.point_result(probe)
        if not result.get("reached"):
            self.ledger.problems.append("QOR APP never reached its fault point \"%s\" (QOR_FAULT_POINT)"
                                        % point)
            return False
        self.ledger.notes.append("QOR APP killed at \"%s\"" % point)
        return True

    def finish(self):
        """Restarts QOR APP cleanly, drains the store, checks the invariant."""
        self.rig.release_pause()
        self.rig.set_faults()
        self.restart()
        self.rig.drain(self.out / "drain")
        return self.ledger.check([self.out], partial_ok=self.partial_ok, duplicate_ok=self.duplicate_ok)


# --- QOR APP killed at each step of the image's way into the store --------------------------------

def kill_during_sensor_exchange(c, fault):
    """QOR APP killed while the simulated sensor holds one exchange of the image read."""
    c.restart()
    c.store(2)
    seed = c.next_seed()
    c.ledger.in_flight.append(seed)
    c.rig.set_faults(fault)
    c.rig.expose(seed, wait_stored=False)
    until = time.time() + 30
    while not c.rig.paused() and time.time() < until:
        time.sleep(0.05)
    if not c.rig.paused():
        c.ledger.problems.append("the sensor read never reached the paused exchange " + fault)
    c.rig.kill_app()
    c.rig.release_pause()
    c.rig.set_faults()
    c.restart()
    c.store(1)  # the sensor works on after the restart


@case
def app_killed_during_sensor_read(c):
    # The eleventh 32 KiB window of the frame stalls.
    kill_during_sensor_exchange(c, "11:data:pause:10")


@case
def app_killed_before_correction(c):
    # The closing block of the frame's last window (64 windows of 32 KiB): the frame is read
    # whole and the correction comes next. QOR APP has no fault point inside the correction; the
    # image is in memory only here as it is there.
    kill_during_sensor_exchange(c, "11:closing:pause:63")


def kill_during_store_step(c, point, in_flight_must_survive):
    c.restart()
    c.store(2)
    c.restart(point)
    seed = c.next_seed()
    (c.ledger.must if in_flight_must_survive else c.ledger.in_flight).append(seed)
    c.kill_at(point, lambda: c.rig.expose(seed, wait_stored=False))


@case
def app_killed_during_store_write(c):
    kill_during_store_step(c, "store-write", in_flight_must_survive=False)


@case
def app_killed_during_info_swap(c):
    # The bitmap is complete before the list names it: adopted at the next start, and the images
    # stored before stay listed.
    kill_during_store_step(c, "info-swap", in_flight_must_survive=True)


@case
def app_killed_during_pipe_write(c):
    c.restart()
    c.store(2)
    c.restart("pipe-write")
    c.kill_at("pipe-write", lambda: c.rig.host("native", 2, "none", c.out / "killed_app"))


# --- the imaging program killed, or giving up, during each transfer mechanism ----------------------

def host_fault(c, mech, fault):
    c.restart()
    c.store(2)
    c.rig.host(mech, 2, fault, c.out / "faulty_host")


@case
def host_killed_after_imageinfo(c):
    host_fault(c, "native", "die-after-info")


@case
def host_killed_mid_memory_transfer(c):
    host_fault(c, "memory", "die-mid-memory")


@case
def host_killed_mid_file_transfer(c):
    # Killed while the source writes the target: an incomplete target is not an image; a kill that
    # lands after the file was complete but before the confirmation reached QOR APP is the one
    # documented duplicate.
    c.partial_ok = True
    c.duplicate_ok = True
    host_fault(c, "file", "die-mid-file")


@case
def host_killed_after_native_xferdone(c):
    host_fault(c, "native", "die-after-xferdone")


@case
def host_resets_after_imageinfo(c):
    host_fault(c, "native", "reset-after-info")


@case
def host_disables_after_imageinfo(c):
    host_fault(c, "native", "disable-after-info")


@case
def host_closes_after_imageinfo(c):
    host_fault(c, "native", "close-after-info")


@case
def host_abandons_memory_transfer(c):
    host_fault(c, "memory", "endxfer-mid-memory")


@case
def host_file_target_unwritable(c):
    host_fault(c, "file", "unwritable-file")


@case
def host_file_target_refused_after_an_earlier_session(c):
    # A program that saved one image by file transfer, then sets a target the source refuses and
    # transfers all the same: its earlier file must stay as it was, the image stays offered.
    c.restart()
    c.store(2)
    first = c.out / "first_session"
    c.rig.host_sessions([("file", 1, "none", first), ("file", 1, "unwritable-file", c.out / "second")])
    kept = sorted(first.glob("*.bmp"))
    if len(kept) == 1 and kept[0].read_bytes() != c.rig.expected(c.ledger.must[0]):
        c.ledger.problems.append("%s: the file the program saved in its first session was overwritten "
                                 "by the second session's transfer" % kept[0].name)


@case
def host_target_disk_full(c):
    # The program's own disk is full: the source's file write fails part-way.
    c.partial_ok = True
    c.restart()
    c.store(2)
    target = c.out / "full_disk"
    c.rig.mount_tmpfs(target, 512)
    try:
        c.rig.host("file", 2, "none", target)
    finally:
        c.rig.unmount_tmpfs(target)


# --- the pipe broken mid-image --------------------------------------------------------------------

@case
def pipe_broken_mid_image(c):
    c.restart()
    c.store(2)
    qorpipe = c.rig.bin / "qorpipe.exe"
    # The old fetch and the new lend, each cut off after 1000 bytes of the image.
    for request in ("2", "3"):
        r = c.rig.wine.run([qorpipe, "send", "--bytes", request, "--read", "1000"], cwd=c.rig.work)
        c.ledger.notes.append("request %s cut after 1000 bytes: exit %d" % (request, r.returncode))


# --- the store's medium ---------------------------------------------------------------------------

@case
def store_disk_full(c):
    # Room for two bitmaps (1,037,722 bytes each) and the list, not for a third.
    c.rig.mount_store(2200)
    c.restart()
    c.store(2)
    seed = c.next_seed()
    c.ledger.must.append(seed)
    c.rig.expose(seed, wait_stored=False)
    c.rig.wait_taken()
    time.sleep(2)
    # "Exit QOR" with an image that is only in memory must not discard it.
    exited = c.rig.exit_app(timeout=10)
    boxes = c.rig.probe("boxes", APP_EXE, "press")[1]
    c.ledger.notes.append("Exit QOR with the disk full: %s; boxes %s"
                          % ("QOR APP ended" if exited else "QOR APP stayed", boxes))
    if not exited:
        c.rig.host("native", 3, "none", c.out / "while_full")
    c.rig.kill_app()
    c.rig.unmount()


@case
def store_read_only(c):
    c.rig.mount_store(8192)
    c.restart()
    c.store(1)
    c.rig.remount_store(read_only=True)
    seed = c.next_seed()
    c.ledger.must.append(seed)
    c.rig.expose(seed, wait_stored=False)
    c.rig.wait_taken()
    time.sleep(2)
    c.rig.host("native", 2, "none", c.out / "while_read_only")
    c.rig.kill_app()
    # Writable again: what the read-only store could not delete must not come back.
    c.rig.remount_store(read_only=False)
    c.rig.unmount()


# --- the sensor pulled out mid-read ---------------------------------------------------------------

@case
def sensor_pulled_mid_read(c):
    c.restart()
    c.store(2)
    seed = c.next_seed()
    c.ledger.in_flight.append(seed)
    c.rig.set_faults("11:data:unplug:10")
    c.rig.expose(seed, wait_stored=False)
    until = time.time() + 20
    while c.rig.sensor().get("plugged") == "1" and time.time() < until:
        time.sleep(0.1)
    time.sleep(2)
    c.rig.set_faults()
    c.rig.recover_sensor()
    c.store(1)


# --- what the program receives: skipped and unticked images, a busy pipe, the shipped program -----

def received_seeds(c, out):
    """The seeds of the images the program received, in the order they arrived."""
    files = sorted(Path(out).glob("h*_*.bmp"), key=lambda f: int(f.stem.split("_")[1]))
    return [c.ledger.identify(f.read_bytes()) for f in files]


def set_selection(info_file, selected):
    """Rewrites the selection of each "Image<n>" line of ImageInfo.ini (QOR APP stopped), as the
    dentist's ticks in the preview would have left them."""
    raw = info_file.read_bytes()
    wide = raw.startswith(b"\xff\xfe")
    text = raw.decode("utf-16" if wide else "latin-1")
    lines = []
    for line in text.splitlines():
        key, _, value = line.partition("=")
        if key.startswith("Image") and key[5:].isdigit() and int(key[5:]) < len(selected):
            fields = value.split(",")
            fields[-1] = "1" if selected[int(key[5:])] else "0"
            line = key + "=" + ",".join(fields)
        lines.append(line)
    text = "\r\n".join(lines) + "\r\n"
    info_file.write_bytes(text.encode("utf-16") if wide else text.encode("latin-1"))


@case
def skip_passes_image_over(c):
    # A, B, C, D stored; the program skips A, after DAT_IMAGEINFO or by a file transfer that
    # fails, and goes on in the same session: B, C, D arrive in that order and A never; A stays
    # stored and the next session delivers it.
    c.restart()
    for fault, mech in (("skip-after-info", "native"), ("skip-unwritable-file", "file")):
        c.store(4)
        skipped, rest = c.ledger.must[-4], c.ledger.must[-3:]
        out = c.out / fault
        c.rig.host(mech, 4, fault, out)
        got = received_seeds(c, out)
        if got != rest:
            c.ledger.problems.append("%s: the session received seeds %s; after skipping %d it must "
                                     "receive %s in that order" % (fault, got, skipped, rest))
        c.rig.drain(c.out / (fault + "_next_session"))


@case
def list_held_at_start(c):
    # The dentist unticked B; another program holds "ImageInfo.ini" as QOR APP starts and lets
    # go a moment later: A is delivered, B never (it is kept, unticked).
    c.restart()
    c.store(2)
    a, b = c.ledger.must[-2:]
    c.rig.kill_app()
    info = c.rig.images / "ImageInfo.ini"
    set_selection(info, [True, False])
    holder = c.rig.hold_file(info, 1500)
    c.rig.start_app()
    holder.wait(timeout=60)
    out = c.out / "after_start"
    c.rig.host("native", 3, "none", out)
    got = received_seeds(c, out)
    if b in got:
        c.ledger.problems.append("the unticked image %d was delivered: %s" % (b, got))
    if got != [a]:
        c.ledger.problems.append("the session received %s; it must receive the ticked image %d only" % (got, a))
    # Ticked again by the dentist, B goes with the drain: it was kept.
    c.rig.kill_app()
    set_selection(info, [True])


@case
def busy_pipe_at_enable(c):
    # Another client holds QOR APP's pipe as the program enables the source: the source waits
    # for the pipe instead of starting a second QOR APP, and delivers once it is free.
    c.restart()
    c.store(2)
    holder = c.rig.wine.popen([c.rig.bin / "qorpipe.exe", "send", "--bytes", "", "--hold", "4000"],
                              cwd=c.rig.work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    holder.stdout.readline()  # connected
    out = c.out / "busy"
    c.rig.host("native", 2, "none", out)
    holder.wait(timeout=60)
    if len(received_seeds(c, out)) != 2:
        c.ledger.problems.append("the program received %d of 2 images once the pipe was free"
                                 % len(received_seeds(c, out)))
    if "Invoke QOR APP from QOR SRC" in c.rig.source_log():
        c.ledger.problems.append("the source started a second QOR APP while the first one's pipe was busy")


@case
def shipped_app_ignores_fault_point(c):
    # The environment variable of the test build's fault points means nothing to the shipped QOR
    # APP: it stores every exposure.
    c.rig.kill_app()
    c.rig.start_app("store-write", test_hooks=False)
    c.store(2)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bin", required=True)
    ap.add_argument("--native-qorctl", required=True)
    ap.add_argument("--work", required=True)
    ap.add_argument("--only", default="")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--steps", action="store_true", help="each case's steps with their times")
    args = ap.parse_args()
    if args.list:
        print("\n".join(fn.__name__ for fn in CASES))
        return 0
    chosen = [fn for fn in CASES if not args.only or fn.__name__ in args.only.split(",")]
    scale = max(1, int(os.environ.get("QOR_TEST_TIME_SCALE", "1") or 1))
    if scale > 1 and not args.only:
        chosen = [fn for fn in chosen if fn.__name__ in EMULATION_CASES]
        print("fault matrix: %d of %d cases under emulation (QOR_TEST_TIME_SCALE %d)"
              % (len(chosen), len(CASES), scale))
    rig = Rig(args.bin, args.work, args.native_qorctl)
    failed = []
    started = time.time()
    try:
        for fn in chosen:
            rig.kill_app()
            rig.reset_store()
            rig.fresh_sensor()
            rig.set_faults()
            rig.case_log = []
            rig.case_started = time.time()
            # Seeds follow the case's place in the whole matrix, whichever cases run: the expected
            # bitmaps the x86_64 runs left serve the guest's.
            c = Case(rig, fn.__name__, 1000 + 100 * CASES.index(fn))
            t0 = time.time()
            starts, run_seconds = rig.wine.starts, rig.wine.run_seconds
            try:
                fn(c)
                ok = c.finish()
            except (RigError, OSError) as e:
                c.ledger.problems.append("rig: %s" % e)
                traceback.print_exc()
                ok = False
            print("%s %s (%.0f s; %d Windows program starts, %.0f s waiting on finished ones)"
                  % ("PASS" if ok else "FAIL", fn.__name__, time.time() - t0,
                     rig.wine.starts - starts, rig.wine.run_seconds - run_seconds))
            for line in c.ledger.problems:
                print("    problem: " + line)
            for line in c.ledger.notes:
                print("    note: " + line)
            if not ok:
                failed.append(fn.__name__)
            if not ok or args.steps:
                for line in rig.case_log:
                    print("    step: " + line)
            if not ok:
                rig.print_app_log()
            sys.stdout.flush()
    finally:
        rig.close()
    print("fault matrix: %d of %d cases passed in %.0f s" % (len(chosen) - len(failed), len(chosen),
                                                           time.time() - started))
    if failed:
        print("failed: " + ", ".join(failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
