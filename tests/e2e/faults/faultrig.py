"""The rig of the fault matrix and the soak: QOR APP installed in a private folder on a simulated
sensor, the data source installed for Wine's TWAIN manager, an imaging program (fault_host.exe)
and the Windows-side probe (fault_probe.exe), all under a running Wine harness (QOR_WINE_STATE).

Every exposure is recorded with its seed. The expected image of a seed is computed independently
by the native qorctl (the simulator's raw frame for the seed, corrected with the sensor's flash and
turned into the stored 8-bit bitmap), so a delivered or stored image is identified by its bytes.
"""

import hashlib
import json
import os
import select
import shutil
import struct
import subprocess
import time
from pathlib import Path

SENSOR = "e2e"
IMAGER_ID = 2101349  # sensor type 2: 1201 x 861
APP_EXE = "QOR APP.exe"
# The test build of QOR APP, the only one with fault points (QOR_FAULT_POINT), beside the shipped
# programs in the build's bin folder; never on the installation medium.
TEST_HOOKS_DIR = "test-hooks"
PROGRAM_FILES = ["QOR APP.exe", "Qor.dll", "qorimg.dll", "qorsim.dll", "Orbel.dll", "QorIcons.dll",
                 "Language.ini", "german.dll", "french.dll"]
REGISTRY_KEY = r"HKLM\SOFTWARE\Halvex Imaging\QOR"
REMOVE_COMMAND = 114    # "Remove Sensor"
EXIT_COMMAND = 117      # "Exit QOR" of the tray menu
ACTIVATE_COMMAND = 115  # "Activate Sensor"
PLUG = ("plug", "--name", SENSOR, "--imager-id", str(IMAGER_ID), "--format", "3")


class RigError(Exception):
    pass


def windows_path(path):
    """Wine's drive Z: is the Unix root."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


def pe_is_64bit(path):
    data = Path(path).read_bytes()[:4096]
    offset = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, offset + 4)[0] == 0x8664


class Wine:
    def __init__(self):
        state = os.environ.get("QOR_WINE_STATE")
        if not state or not Path(state, "env").exists():
            raise RigError("no Wine harness: start one with scripts/wine-harness.sh start DIR and set "
                           "QOR_WINE_STATE=DIR")
        self.env = dict(os.environ)
        for line in Path(state, "env").read_text().splitlines():
            if line.startswith("export "):
                for part in line[len("export "):].split(" "):
                    name, _, value = part.partition("=")
                    self.env[name] = value.strip("'")
        # Wine's manager loads the source from "sane.ds"; Wine has a built-in one of that name.
        self.env["WINEDLLOVERRIDES"] = self.env.get("WINEDLLOVERRIDES", "") + ";sane.ds=n"
        self.wine = self.env["WINE"]
        self.prefix = Path(self.env["WINEPREFIX"])
        # Program starts and the time spent in run(): under emulation a start costs seconds.
        self.starts = 0
        self.run_seconds = 0.0

    def run(self, args, cwd=None, timeout=60, env=None, input_text=None):
        self.starts += 1
        started = time.time()
        try:
            return subprocess.run([self.wine] + [str(a) for a in args], cwd=cwd, env=env or self.env,
                                  input=input_text, capture_output=True, text=True, timeout=timeout)
        finally:
            self.run_seconds += time.time() - started

    def popen(self, args, cwd=None, env=None, **kw):
        self.starts += 1
        return subprocess.Popen([self.wine] + [str(a) for a in args], cwd=cwd, env=env or self.env,
                                text=True, **kw)


class Rig:
    def __init__(self, bin_dir, work, native_qorctl):
        self.bin = Path(bin_dir).resolve()
        self.work = Path(work).resolve()
        self.qorctl_native = native_qorctl
        self.wine = Wine()
        self.install = self.work / "install"
        self.sim = self.work / "sim"
        self.images = self.install / "Images"
        self.expected_cache = {}
        self.model_digest = None
        self.app = None
        self.installed_test_hooks = False  # the install below copies the shipped QOR APP
        self.prober = None
        self.mounted = False
        self.other_mounts = []
        self.case_log = []
        self.case_started = time.time()
        if self.work.exists():
            self._unmount_leftover()
            shutil.rmtree(self.work)
        self.install.mkdir(parents=True)
        self.sim.mkdir()
        for name in PROGRAM_FILES:
            if (self.bin / name).exists():
                shutil.copy2(self.bin / name, self.install / name)
        twain = "twain_64" if pe_is_64bit(self.bin / "QORSRC.ds") else "twain_32"
        self.twain_dir = self.wine.prefix / "drive_c" / "windows" / twain
        self.twain_dir.mkdir(parents=True, exist_ok=True)
        shutil.copy2(self.bin / "QORSRC.ds", self.twain_dir / "sane.ds")
        for name in ("Stavik.dll", "Orbel.dll"):
            shutil.copy2(self.bin / name, self.twain_dir / name)
        self.old_install_path = self._registry_query("InstalPath")
        self._registry_set("InstalPath", windows_path(self.install))
        self.qorctl(*PLUG)

    # --- set-up and tear-down -------------------------------------------------------------------

    def step(self, text):
        """A line of the case's story, with its time since the case began."""
        self.case_log.append("%6.1f s  %s" % (time.time() - self.case_started, text))

    def _registry_query(self, name):
        r = self.wine.run(["reg", "query", REGISTRY_KEY, "/v", name])
        for line in r.stdout.splitlines():
            if "REG_SZ" in line:
                return line.split("REG_SZ", 1)[1].strip()
        return None

    def _registry_set(self, name, value):
        self.wine.run(["reg", "add", REGISTRY_KEY, "/v", name, "/t", "REG_SZ", "/d", value, "/f"])

    def close(self):
        self.kill_app()
        if self.prober is not None and self.prober.poll() is None:
            self.prober.stdin.close()
            try:
                self.prober.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.prober.kill()
        self.unmount()
        for folder in list(self.other_mounts):
            self.unmount_tmpfs(folder)
        if self.old_install_path:
            self._registry_set("InstalPath", self.old_install_path)
        for name in ("sane.ds", "Stavik.dll", "Orbel.dll"):
            try:
                (self.twain_dir / name).unlink()
            except FileNotFoundError:
                pass

    def _unmount_leftover(self):
        """File systems an interrupted run left mounted below the work folder."""
        with open("/proc/mounts") as mounts:
            points = [line.split()[1] for line in mounts]
        for point in sorted(points, reverse=True):
            if point.startswith(str(self.work) + "/"):
                subprocess.run(["umount", "-l", point], check=False)

    # --- the store's medium ---------------------------------------------------------------------

    def mount_store(self, size_kib):
        """A small file system of its own under the store (the tests run as root)."""
        self.images.mkdir(exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kib, "tmpfs",
                            str(self.images)], capture_output=True, text=True)
        if r.returncode != 0:
            raise RigError("cannot mount a tmpfs under the store (run the tests as root): " + r.stderr)
        self.mounted = True

    def mount_tmpfs(self, folder, size_kib):
        """A small file system at any folder (the imaging program's target)."""
        Path(folder).mkdir(parents=True, exist_ok=True)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%dk" % size_kib, "tmpfs", str(folder)],
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise RigError("cannot mount a tmpfs at %s (run the tests as root): %s" % (folder, r.stderr))
        self.other_mounts.append(Path(folder))

    def unmount_tmpfs(self, folder):
        """What it holds is copied beside it ("<folder>_kept") before it goes."""
        folder = Path(folder)
        shutil.copytree(folder, str(folder) + "_kept", dirs_exist_ok=True)
        subprocess.run(["umount", str(folder)], check=False)
        self.other_mounts.remove(folder)

    def remount_store(self, read_only):
        r = subprocess.run(["mount", "-o", "remount," + ("ro" if read_only else "rw"),
                            str(self.images)], capture_output=True, text=True)
        if r.returncode != 0:
            raise RigError("cannot remount the store: " + r.stderr)

    def unmount(self):
        """Keeps what the store holds: copied out of the small file system before it goes."""
        if not self.mounted:
            return
        keep = self.work / "store_kept"
        shutil.rmtree(keep, ignore_errors=True)
        shutil.copytree(self.images, keep)
        subprocess.run(["umount", str(self.images)], check=False)
        self.mounted = False
        for f in keep.iterdir():
            shutil.copy2(f, self.images / f.name)
        shutil.rmtree(keep)

    def reset_store(self):
        self.unmount()
        shutil.rmtree(self.images, ignore_errors=True)

    # --- the simulated sensor -------------------------------------------------------------------

    def qorctl(self, *args):
        r = subprocess.run([self.qorctl_native, "sim", "--dir", str(self.sim)] + list(args),
                           capture_output=True, text=True)
        if r.returncode != 0:
            raise RigError("qorctl sim %s failed: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

    def qorctl_windows(self, *args):
        """The Windows qorctl: it tells running programs of a plug or unplug."""
        env = dict(self.wine.env, QOR_SENSOR_SIMULATOR=windows_path(self.sim))
        return self.wine.run([self.bin / "qorctl.exe", "sim"] + list(args), env=env)

    def sensor(self):
        for line in self.qorctl("list").splitlines():
            words = line.split()
            if words and words[0] == SENSOR:
                return dict(w.split("=", 1) for w in words[1:] if "=" in w)
        return {}

    def fresh_sensor(self):
        """The sensor plugged in again with its flash: a press a failed case left pending would
        otherwise be taken by the next case's QOR APP as that case's first image."""
        if self.sensor().get("plugged") == "1":
            self.qorctl("unplug", SENSOR)
        self.qorctl(*PLUG, "--keep-flash")

    def set_faults(self, *faults):
        self.qorctl("faults", SENSOR, *faults)

    def paused(self):
        return (self.sim / SENSOR / "paused").exists()

    def release_pause(self):
        try:
            (self.sim / SENSOR / "paused").unlink()
        except FileNotFoundError:
            pass

    def replug(self):
        r = self.qorctl_windows(*PLUG, "--keep-flash")
        if r.returncode != 0:
            raise RigError("cannot plug the sensor again: " + r.stderr)

    def print_app_log(self, lines=40):
        """The end of QOR APP's log and of its console output, for a failure's report."""
        for name in ("QorAPPLog.txt", "../qor_app.out"):
            path = self.install / name
            try:
                tail = path.read_text(errors="replace").splitlines()[-lines:]
            except FileNotFoundError:
                continue
            print("    --- the end of %s:" % path.name)
            for line in tail:
                print("    | " + line)

    def log_count(self, text):
        try:
            return (self.install / "QorAPPLog.txt").read_text(errors="replace").count(text)
        except FileNotFoundError:
            return 0

    def recover_sensor(self, timeout=30):
        """After a pulled sensor, as a dentist does it: Remove Sensor, plug it in, Activate Sensor."""
        stopped = "ShutdownAcqSystem: Image Acq Thread exited"
        before = self.log_count(stopped)
        self.probe("command", APP_EXE, str(REMOVE_COMMAND))
        until = time.time() + timeout
        while self.log_count(stopped) == before and time.time() < until:
            time.sleep(0.2)
        self.probe("boxes", APP_EXE, "press")
        self.replug()
        self.probe("command", APP_EXE, str(ACTIVATE_COMMAND))
        self.step("sensor removed, plugged in and activated")

    def expose(self, seed, wait_stored=True, timeout=30):
        """Presses the X-ray button; waits until the sensor took the exposure and, when asked, until
        a new bitmap is in the store. True when it is."""
        before = len(self.stored_files())
        self.qorctl("expose", SENSOR, "--seed", str(seed))
        self.step("exposed seed %d" % seed)
        if not wait_stored:
            return False
        until = time.time() + timeout
        while time.time() < until:
            if len(self.stored_files()) > before:
                time.sleep(0.3)  # the list follows the bitmap
                return True
            time.sleep(0.1)
        return False

    def wait_taken(self, timeout=30):
        """Until the armed sensor took the pending exposure."""
        until = time.time() + timeout
        while time.time() < until:
            if self.sensor().get("pending") == "0":
                return True
            time.sleep(0.1)
        return False

    def expected(self, seed):
        """The bitmap QOR APP must store for `seed`, made by the native qorctl (the independent
        model). Kept in memory, and on disk in QOR_EXPECTED_CACHE when set, under the digests of
        the flash and of qorctl: under emulation each costs seconds, and the x86_64 runs of the
        same cases have made them already."""
        if seed in self.expected_cache:
            return self.expected_cache[seed]
        flash = self.sim / SENSOR / "flash.bin"
        shelf = None
        if os.environ.get("QOR_EXPECTED_CACHE"):
            if self.model_digest is None:
                digest = hashlib.sha256(Path(self.qorctl_native).read_bytes())
                digest.update(flash.read_bytes())
                self.model_digest = digest.hexdigest()[:24]
            shelf = Path(os.environ["QOR_EXPECTED_CACHE"]) / self.model_digest
            kept = shelf / ("%d.bmp" % seed)
            if kept.exists():
                self.expected_cache[seed] = kept.read_bytes()
                return self.expected_cache[seed]
        d = self.work / "expected"
        d.mkdir(exist_ok=True)
        raw, corrected, bmp = (d / ("%d.%s" % (seed, e)) for e in ("raw", "corrected", "bmp"))
        self.qorctl("frame-for-seed", SENSOR, "--seed", str(seed), "--out", str(raw))
        for args in (["correct", "--calibration", str(flash), "--raw", str(raw), "--out", str(corrected)],
                     ["bitmap", "--frame", str(corrected), "--width", "1201", "--height", "861",
                      "--out", str(bmp)]):
            r = subprocess.run([self.qorctl_native] + args, capture_output=True, text=True)
            if r.returncode != 0:
                raise RigError("qorctl %s failed: %s" % (args[0], r.stderr.strip()))
        self.expected_cache[seed] = bmp.read_bytes()
        # The frames (4 MiB each, with PGMs beside them) are not needed again.
        for f in d.glob("%d.*" % seed):
            if f.suffix != ".bmp":
                f.unlink()
        if shelf is not None:
            shelf.mkdir(parents=True, exist_ok=True)
            temporary = shelf / ("%d.bmp.%d" % (seed, os.getpid()))
            temporary.write_bytes(self.expected_cache[seed])
            temporary.replace(shelf / ("%d.bmp" % seed))
        return self.expected_cache[seed]

    # --- QOR APP --------------------------------------------------------------------------------

    def install_app(self, test_hooks):
        """Puts the shipped QOR APP, or for a fault point the test build, in the installation
        folder; a new file in its place, so that nothing still mapping the old one sees it change."""
        source = self.bin / TEST_HOOKS_DIR / APP_EXE if test_hooks else self.bin / APP_EXE
        if not source.exists():
            raise RigError("%s is missing: build the target %s" % (
                source, "qor_app_test_hooks" if test_hooks else "qor_app"))
        if self.installed_test_hooks == test_hooks:
            return
        staged = self.install / (APP_EXE + ".new")
        shutil.copy2(source, staged)
        os.replace(staged, self.install / APP_EXE)
        self.installed_test_hooks = test_hooks

    def start_app(self, fault_point=None, test_hooks=None):
        """QOR APP with QOR_FAULT_POINT set to `fault_point`; the test build obeys it, so that one
        runs unless test_hooks says otherwise."""
        self.install_app(bool(fault_point) if test_hooks is None else test_hooks)
        env = dict(self.wine.env)
        env.pop("QOR_FAULT_POINT", None)
        if fault_point:
            env["QOR_FAULT_POINT"] = fault_point
        env["QOR_SENSOR_SIMULATOR"] = windows_path(self.sim)
        log = open(self.work / "qor_app.out", "a")
        self.app = self.wine.popen([self.install / APP_EXE], cwd=self.install, env=env,
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.step("QOR APP started" + (" with fault point " + fault_point if fault_point else ""))
        # Running once its main window exists.
        until = time.time() + 30
        while time.time() < until:
            if self.probe("find", APP_EXE)[0] == 0:
                self.step("QOR APP's window is up")
                return
            time.sleep(0.2)
        raise RigError("QOR APP did not start: see " + str(self.work / "qor_app.out"))

    def app_processes(self):
        return self.probe("sample", APP_EXE)[1] or []

    def kill_app(self):
        self.probe("kill", APP_EXE)
        self.step("QOR APP killed")
        if self.app:
            try:
                self.app.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
            self.app = None

    def exit_app(self, timeout=30):
        """"Exit QOR" as a user chooses it; True when the program ended."""
        self.probe("command", APP_EXE, str(EXIT_COMMAND))
        until = time.time() + timeout
        while time.time() < until:
            if not self.app_processes():
                self.app = None
                return True
            time.sleep(0.3)
        return False

    def probe(self, *args, timeout=60):
        """One fault_probe command through the rig's long-lived probe; (exit code, its answer)."""
        if self.prober is None or self.prober.poll() is not None:
            env = dict(self.wine.env, QOR_SENSOR_SIMULATOR=windows_path(self.sim))
            self.prober = self.wine.popen([self.bin / "fault_probe.exe", "serve"], env=env,
                                          stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                          stderr=subprocess.DEVNULL)
        try:
            self.prober.stdin.write("\t".join(str(a) for a in args) + "\n")
            self.prober.stdin.flush()
            ready, _, _ = select.select([self.prober.stdout], [], [], timeout)
            line = self.prober.stdout.readline() if ready else ""
            reply = json.loads(line)
            return reply["code"], reply["answer"]
        except (OSError, ValueError, KeyError):
            # A probe that hangs or died is replaced at the next command.
            self.prober.kill()
            return -1, None

    def kill_at_point(self, timeout_ms=30000):
        """Starts a probe that kills QOR APP the moment it signals its fault point; returns it
        once it waits."""
        p = self.wine.popen([self.bin / "fault_probe.exe", "kill-at-point", APP_EXE, str(timeout_ms)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = p.stdout.readline()
        if "ready" not in line:
            raise RigError("the fault probe did not start: " + line)
        return p

    @staticmethod
    def point_result(probe, timeout=60):
        out, _ = probe.communicate(timeout=timeout)
        try:
            return json.loads(out.strip().splitlines()[-1])
        except (IndexError, ValueError):
            return {"reached": False}

    # --- the store and the imaging program --------------------------------------------------------

    def hold_file(self, path, ms):
        """Another program holds `path` open without sharing for `ms` ms; returns once it does."""
        p = self.wine.popen([self.bin / "fault_probe.exe", "hold", windows_path(path), str(ms)],
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        line = p.stdout.readline()
        if "true" not in line:
            raise RigError("%s could not be held open: %s" % (path, line.strip()))
        self.step("%s held open for %d ms" % (Path(path).name, ms))
        return p

    def source_log(self):
        log = self.twain_dir / "QorSrcLog.txt"
        return log.read_text(errors="replace") if log.exists() else ""

    def stored_files(self):
        return sorted(self.images.glob("*.bmp")) if self.images.exists() else []

    def host(self, mech, count, fault, out, timeout=180):
        """One imaging program for one session; (exit code, its answer or None)."""
        code, answers = self.host_sessions([(mech, count, fault, out)], timeout)
        return code, answers[0] if answers else None

    def host_sessions(self, sessions, timeout=180):
        """One imaging program for sessions in a row [(mech, count, fault, out)]; (exit code,
        its answers)."""
        request = ""
        for mech, count, fault, out in sessions:
            Path(out).mkdir(parents=True, exist_ok=True)
            request += "acquire %s %d %s %s\n" % (mech, count, fault, windows_path(out))
        try:
            r = self.wine.run([self.bin / "fault_host.exe"], cwd=self.work, input_text=request + "quit\n",
                              timeout=timeout)
        except subprocess.TimeoutExpired:
            self.probe("kill", "fault_host.exe")
            return -1, []
        self.step("host %s: exit %d %s" % ([s[:3] for s in sessions], r.returncode,
                                                     r.stdout.strip()[:300]))
        answers = []
        for line in r.stdout.strip().splitlines():
            try:
                answers.append(json.loads(line))
            except ValueError:
                pass
        return r.returncode, answers

    def drain(self, out, mech="native"):
        """Everything the store still offers, through the TWAIN road."""
        left = len(self.stored_files())
        if left == 0:
            return None
        return self.host(mech, left + 2, "none", out)


class Ledger:
    """Which exposure went where: checks that every exposure that must survive is delivered
    exactly once and byte-identical, that nothing delivered or stored is corrupt, and that the
    store is empty at the end."""

    def __init__(self, rig):
        self.rig = rig
        self.must = []      # stored before or during the fault: delivered exactly once
        self.in_flight = []  # caught by the fault before it was stored: at most once
        self.problems = []
        self.notes = []

    def identify(self, data):
        for seed in self.must + self.in_flight:
            if self.rig.expected(seed) == data:
                return seed
        return None

    def check(self, out_dirs, partial_ok=False, duplicate_ok=False, store_must_be_empty=True):
        delivered = {s: [] for s in self.must + self.in_flight}
        for d in out_dirs:
            for f in sorted(Path(d).rglob("*.bmp")) if Path(d).exists() else []:
                data = f.read_bytes()
                seed = self.identify(data) if data else None
                if not data:
                    self.notes.append("%s: an empty file at the target of a file transfer that "
                                      "failed, not an image" % f.name)
                elif seed is not None:
                    delivered[seed].append(f.name)
                elif partial_ok and any(self.rig.expected(s)[:len(data)] == data
                                        for s in self.must + self.in_flight):
                    self.notes.append("%s: the killed file transfer's incomplete target (%d bytes), "
                                      "not delivered" % (f.name, len(data)))
                else:
                    self.problems.append("%s: delivered image equal to no exposure (%d bytes)"
                                         % (f.name, len(data)))
        stored = {s: [] for s in self.must + self.in_flight}
        for f in self.rig.stored_files():
            seed = self.identify(f.read_bytes())
            if seed is None:
                self.problems.append("%s: stored file equal to no exposure" % f.name)
            else:
                stored[seed].append(f.name)
        for seed in self.must + self.in_flight:
            n, kept = len(delivered[seed]), len(stored[seed])
            where = "delivered %d time(s) %s, still stored %d time(s)" % (n, delivered[seed], kept)
            if seed in self.must and n + kept == 0:
                self.problems.append("seed %d LOST: %s" % (seed, where))
            elif n > 1 or (n == 1 and kept > 0):
                (self.notes if duplicate_ok else self.problems).append("seed %d DUPLICATED: %s" % (seed, where))
            elif kept > 0 and store_must_be_empty:
                self.problems.append("seed %d never delivered although offered: %s" % (seed, where))
            elif seed in self.in_flight and n + kept == 0:
                self.notes.append("seed %d was caught by the fault before it was stored and is not "
                                  "in the store (the exposure must be repeated)" % seed)
        return not self.problems
