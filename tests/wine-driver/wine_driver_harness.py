"""Plumbing of the real driver's runs under a 64-bit Wine: the prefix template with the
simulated USB bus and kestrune installed, one copied prefix per test, and bounded runs of the
x64 tools in it.

The generic parts (process groups tied to the runner's life, bounded runs, prefix copies, the
skip and failure exceptions) come from the library's Wine harness. Every external step has a
time-out, and every process started here is ended by its own id, or through the `wineserver -k`
of the test's own prefix, on every exit path; Wine servers of other prefixes are never touched.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "wine"))
from wine_harness import (  # noqa: E402
    SKIP, Failed, Skipped, copy_prefix, run_bounded, spawn, stop_group)

__all__ = ["SKIP", "Failed", "Skipped", "DriverRun", "create_template", "remove_template", "find_wine64"]

RUN_PREFIX = "run-"
WINEBOOT_TIMEOUT = 120
INSTALL_TIMEOUT = 120
TOOL_TIMEOUT = 60
SERVER_TIMEOUT = 20
# How long the bus and the driver above it may take to appear after the Wine server starts, and
# how often Wine is started for them.
DEVICE_TIMEOUT = 40
DRIVER_START_TRIES = 2
# A probe that shows the prefix's Wine server is ready to start programs, and how often it is tried.
SETTLE_TIMEOUT = 30
SETTLE_TRIES = 3
# Longest life of the program that keeps a prefix's drivers loaded between the tools' runs.
HOLD_SECONDS = 250

DLL_OVERRIDES = "mscoree,mshtml="
# The instruments of the simulated bus, by index: DOS name the driver gives it, and the DOS
# names of the bus's pipe aliases.
LOOPBACK = 0
SCRIPTED = 1
DOS_NAMES = {LOOPBACK: r"\\.\trelvousb1", SCRIPTED: r"\\.\trelvousb"}


def alias_path(instrument):
    """The bus's directory of pipe aliases of the instrument: "<this>\\ep01" opens the driver
    above the instrument with the file name "\\ep01", as "\\.\\trelvousb1\\ep01" does on Windows."""
    return rf"\\.\KsUsbSim{instrument}"


def pipe_template(instrument):
    """kestrunectl's --pipe-path for the instrument's pipes."""
    return alias_path(instrument) + r"\ep{pipe}"


def find_wine64():
    """The 64-bit loader itself: the `wine` launcher prefers a 32-bit loader, which cannot run
    x64 programs and does not start at all on a kernel without 32-bit support."""
    for candidate in (shutil.which("wine64"), "/usr/lib/wine/wine64", "/usr/lib64/wine/wine64"):
        if candidate and os.access(candidate, os.X_OK):
            return candidate
    return None


def find_wineserver(loader):
    for candidate in (str(Path(loader).with_name("wineserver64")), str(Path(loader).with_name("wineserver")),
                      shutil.which("wineserver")):
        if candidate and os.access(candidate, os.X_OK) and Path(candidate).is_file():
            return candidate
    return None


def require_wine():
    loader = find_wine64()
    if loader is None:
        raise Skipped("not installed: a 64-bit Wine (wine64)")
    server = find_wineserver(loader)
    if server is None:
        raise Skipped("not installed: wineserver")
    return loader, server


def wine_environment(prefix, loader):
    env = {name: value for name, value in os.environ.items()
           if not name.startswith("WINE") and not name.startswith("LC_")}
    env.update(WINEPREFIX=str(prefix), WINEARCH="win64", WINELOADER=loader, WINEDLLOVERRIDES=DLL_OVERRIDES,
               WINEDEBUG="-all", DISPLAY="", LANG="C.UTF-8")
    return env


def kill_wineserver(prefix, loader, server):
    """Ends the server of this prefix and with it every process of the prefix, and only those."""
    try:
        run_bounded([server, "-k"], SERVER_TIMEOUT, env=wine_environment(prefix, loader),
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except Failed:
        pass


def wait_server_gone(prefix, loader, server):
    run_bounded([server, "-w"], SERVER_TIMEOUT, env=wine_environment(prefix, loader),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def hold(prefix, loader, simctl):
    """Starts a program that only waits: while a program of the prefix runs, Wine keeps its
    services, and with them the loaded drivers and their state, between the tools' runs."""
    return spawn([loader, simctl, "hold", str(HOLD_SECONDS)], env=wine_environment(prefix, loader),
                 stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def settle(prefix, loader, simctl):
    """Waits until a program can start in the prefix. A program that starts while Wine is still
    starting the prefix's server and services can hang; such a probe is ended and tried again."""
    env = wine_environment(prefix, loader)
    for _ in range(SETTLE_TRIES):
        try:
            code, _, _ = run_bounded([loader, str(simctl), "hold", "0"], SETTLE_TIMEOUT, env=env,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except Failed:
            print(f"a probe program hung for {SETTLE_TIMEOUT} s while Wine started the prefix; trying again",
                  file=sys.stderr, flush=True)
            continue
        if code == 0:
            return
    raise Failed(f"no program started in the prefix within {SETTLE_TRIES} tries of {SETTLE_TIMEOUT} s")


def template_path(work):
    return Path(work) / "prefix-template"


def parts(win64_dir, dist_dir):
    win64 = Path(win64_dir) / "tests" / "wine-driver"
    return {
        "ksusbsim.sys": win64 / "ksusbsim.sys",
        "ksusbsim.inf": win64 / "ksusbsim.inf",
        "simctl.exe": win64 / "simctl.exe",
        "kestrune.sys": Path(dist_dir) / "kestrune.sys",
        "kestrune.inf": Path(dist_dir) / "kestrune.inf",
    }


def require_parts(files):
    missing = [str(path) for path in files.values() if not path.is_file()]
    if missing:
        raise Skipped("not built: " + ", ".join(missing))


def create_template(work, win64_dir, dist_dir, log):
    """Boots one 64-bit prefix for the whole run and installs into it, as an administrator
    would: the driver package first, where Plug and Play looks for drivers, then the bus as a
    root-enumerated device, whose children then find kestrune. Returns the install's output."""
    loader, server = require_wine()
    files = parts(win64_dir, dist_dir)
    require_parts(files)
    remove_template(work)
    holder = None
    template = template_path(work)
    template.parent.mkdir(parents=True, exist_ok=True)
    env = wine_environment(template, loader)
    package = template / "drive_c" / "packages"
    transcript = []

    def step(command, limit):
        code, out, err = run_bounded(command, limit, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     cwd=str(template.parent))
        text = out.decode(errors="replace") + err.decode(errors="replace")
        transcript.append(f"$ {' '.join(map(str, command))}\n{text}")
        if code != 0:
            raise Failed(f"{' '.join(map(str, command))} failed ({code}):\n{text[-3000:]}")
        return text

    try:
        step([loader, "wineboot", "-i"], WINEBOOT_TIMEOUT)
        # A program started while the prefix's server shuts down can hang in Wine: each run of
        # the server here ends before the next one starts.
        step([server, "-w"], SERVER_TIMEOUT)
        package.mkdir(parents=True)
        for name, path in files.items():
            shutil.copy2(path, package / name)
        # The package names a catalog, which only a signed release carries; Wine's
        # SetupCopyOEMInf insists on finding the file.
        (package / "kestrune.cat").write_bytes(b"")
        simctl = str(package / "simctl.exe")
        step([loader, simctl, "add-inf", r"C:\packages\kestrune.inf"], INSTALL_TIMEOUT)
        step([server, "-w"], SERVER_TIMEOUT)
        # One run of the server for the rest of the installation: the drivers it loads stay loaded.
        holder = hold(template, loader, simctl)
        settle(template, loader, simctl)
        # Wine copies the INF alone to C:\windows\inf and installs devices from there; Windows
        # keeps the whole package in its driver store. The driver file goes beside the copy.
        shutil.copy2(files["kestrune.sys"], template / "drive_c" / "windows" / "inf" / "kestrune.sys")
        step([loader, simctl, "install-bus", r"C:\packages\ksusbsim.inf"], INSTALL_TIMEOUT)
        for instrument, name in DOS_NAMES.items():
            step([loader, simctl, "wait", name, str(DEVICE_TIMEOUT)], DEVICE_TIMEOUT + TOOL_TIMEOUT)
        kill_wineserver(template, loader, server)
        stop_group(holder)
        wait_server_gone(template, loader, server)
    except BaseException:
        Path(log).write_text("\n".join(transcript))
        kill_wineserver(template, loader, server)
        stop_group(holder)
        raise
    Path(log).write_text("\n".join(transcript))
    if not (template / "system.reg").is_file():
        raise Failed("the prefix template has no registry")
    return "\n".join(transcript)


def remove_template(work):
    template = template_path(work)
    loader = find_wine64()
    if template.exists():
        if loader is not None and find_wineserver(loader) is not None:
            kill_wineserver(template, loader, find_wineserver(loader))
        shutil.rmtree(template, ignore_errors=True)
    # Left behind only by a runner that was killed outright.
    for stale in Path(work).glob(RUN_PREFIX + "*"):
        shutil.rmtree(stale, ignore_errors=True)


class DriverRun:
    """One test's world: a copy of the template in which the bus and kestrune start with the
    Wine server. Use as a context manager; the prefix's server and everything it ran end with
    the block."""

    def __init__(self, work, win64_dir, dist_dir, case):
        self.work = Path(work)
        self.case = case
        self.win64_dir = win64_dir
        self.dist_dir = Path(dist_dir)
        self.logs = self.work / "logs" / case
        self.root = None
        self.prefix = None
        self.holder = None
        self.count = 0

    def __enter__(self):
        self.loader, self.server = require_wine()
        template = template_path(self.work)
        if not (template / "system.reg").is_file():
            raise Skipped("no Wine prefix template (its set-up was skipped or did not run)")
        if self.logs.exists():
            shutil.rmtree(self.logs)
        self.logs.mkdir(parents=True)
        self.root = Path(tempfile.mkdtemp(prefix=f"{RUN_PREFIX}{self.case}-", dir=self.work))
        try:
            self.prefix = self.root / "prefix"
            copy_prefix(template, self.prefix)
            self.run_dir = self.prefix / "drive_c" / "run"
            self.run_dir.mkdir()
            kestrunectl = self.dist_dir / "kestrunectl.exe"
            if kestrunectl.is_file():
                shutil.copy2(kestrunectl, self.run_dir / "kestrunectl.exe")
            self.start_drivers()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def start_drivers(self):
        """Starts the prefix's server with a waiting program; the bus starts with it, and the
        driver is ready once its DOS names open. Wine's start-up now and then stalls for good
        on a loaded machine: then the prefix's server is ended and started once more."""
        simctl = self.prefix / "drive_c" / "packages" / "simctl.exe"
        for _ in range(DRIVER_START_TRIES):
            self.holder = hold(self.prefix, self.loader, simctl)
            settle(self.prefix, self.loader, simctl)
            missing = [name for name in DOS_NAMES.values()
                       if self.simctl("wait", name, str(DEVICE_TIMEOUT), check=False,
                                      timeout=DEVICE_TIMEOUT + TOOL_TIMEOUT)[0] != 0]
            if not missing:
                return
            kill_wineserver(self.prefix, self.loader, self.server)
            stop_group(self.holder)
            print(f"{', '.join(missing)} did not appear within {DEVICE_TIMEOUT} s; starting Wine again",
                  file=sys.stderr, flush=True)
        raise Failed(f"the driver's devices did not appear in {DRIVER_START_TRIES} starts of Wine")

    def __exit__(self, *exc):
        if self.prefix is not None:
            kill_wineserver(self.prefix, self.loader, self.server)
        stop_group(self.holder)
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
        return False

    def c_path(self, path):
        return "C:\\" + str(Path(path).relative_to(self.prefix / "drive_c")).replace("/", "\\")

    def put_file(self, name, data):
        path = self.run_dir / name
        path.write_bytes(data)
        return self.c_path(path)

    def file_path(self, name):
        return self.run_dir / name

    def run(self, program, *arguments, timeout=TOOL_TIMEOUT, check=True, tag=None):
        """Runs an x64 program of C:\\run under Wine; returns (exit status, stdout, stderr)."""
        self.count += 1
        tag = tag or f"{self.count:02d}-{Path(program).stem}-{arguments[0] if arguments else ''}"
        out_path, err_path = self.logs / f"{tag}.stdout", self.logs / f"{tag}.stderr"
        env = wine_environment(self.prefix, self.loader)
        command = [self.loader, str(program)] + [str(a) for a in arguments]
        started = time.monotonic()
        # Straight into the log folder, so that what was printed before a hang is kept.
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            code, _, _ = run_bounded(command, timeout, env=env, stdout=out, stderr=err, cwd=self.run_dir)
        self.last_duration = time.monotonic() - started
        text = out_path.read_bytes().decode("utf-8", errors="replace").replace("\r", "")
        errors = err_path.read_bytes().decode("utf-8", errors="replace").replace("\r", "")
        if check and code != 0:
            raise Failed(f"{Path(program).name} {' '.join(map(str, arguments))} exited {code}:\n"
                         f"{text[-2000:]}{errors[-2000:]}")
        return code, text, errors

    def start(self, program, *arguments, tag):
        """Starts an x64 program of the prefix without waiting; see finish."""
        out = open(self.logs / f"{tag}.stdout", "wb")
        err = open(self.logs / f"{tag}.stderr", "wb")
        try:
            process = spawn([self.loader, str(program)] + [str(a) for a in arguments],
                            env=wine_environment(self.prefix, self.loader), stdin=subprocess.DEVNULL, stdout=out,
                            stderr=err, cwd=self.run_dir)
        finally:
            out.close()
            err.close()
        process.tag = tag
        return process

    def finish(self, process, timeout, what):
        """Waits for a program started with start; returns (exit status, stdout, stderr)."""
        try:
            code = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop_group(process)
            raise Failed(f"{what} did not end within {timeout} s")
        text = (self.logs / f"{process.tag}.stdout").read_bytes().decode("utf-8", errors="replace")
        errors = (self.logs / f"{process.tag}.stderr").read_bytes().decode("utf-8", errors="replace")
        return code, text.replace("\r", ""), errors.replace("\r", "")

    def wait_until(self, condition, timeout, what):
        """Polls condition() until it holds; fails naming what it waited for."""
        deadline = time.monotonic() + timeout
        while not condition():
            if time.monotonic() > deadline:
                raise Failed(f"waited {timeout} s for {what}")
            time.sleep(0.2)

    def simctl(self, *arguments, **options):
        return self.run(self.prefix / "drive_c" / "packages" / "simctl.exe", *arguments, **options)

    def kestrunectl(self, *arguments, **options):
        program = self.run_dir / "kestrunectl.exe"
        if not program.is_file():
            raise Skipped(f"not built: {self.dist_dir / 'kestrunectl.exe'}")
        return self.run(program, *arguments, **options)

    def counters(self, instrument):
        _, out, _ = self.simctl("counters", str(instrument))
        line = next((line for line in out.splitlines() if line.startswith("counters ")), None)
        if line is None:
            raise Failed(f"simctl printed no counters: {out!r}")
        return {key: int(value) for key, _, value in (t.partition("=") for t in line.split()[1:])}

    def queue(self, instrument, data):
        self.simctl("queue", str(instrument), self.put_file("queued.bin", data))

    def take_kept(self, instrument):
        target = self.run_dir / "kept.bin"
        target.unlink(missing_ok=True)
        self.simctl("take-kept", str(instrument), self.c_path(target))
        return target.read_bytes()
