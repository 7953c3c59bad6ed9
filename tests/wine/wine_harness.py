"""Plumbing of the Wine runs: the prefix template, one copied prefix per test, a private X
display, the rx peer behind socat, and the test host run under Wine.

Every external step has a time-out, and every process started here is ended by its own id
on every exit path, so a hang fails a test instead of blocking the run.
"""

import ctypes
import os
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

SKIP = 77
PR_SET_PDEATHSIG = 1
# Name start of the per-test folders in the work folder.
RUN_PREFIX = "run-"

WINEBOOT_TIMEOUT = 100
WINE_STEP_TIMEOUT = 40
WINE_TIMEOUT = 45
XVFB_TIMEOUT = 15
PEER_TIMEOUT = 10
SERVER_KILL_TIMEOUT = 20

# Wine prompts for its .NET and HTML engines on a new prefix; the tests need neither.
DLL_OVERRIDES = "mscoree,mshtml="


class Skipped(Exception):
    """A prerequisite is missing: the test cannot run here."""


class Failed(Exception):
    """The test ran and a check did not hold."""


def require_tools(*names):
    missing = [name for name in names if shutil.which(name) is None]
    if missing:
        raise Skipped("not installed: " + ", ".join(missing))


def require_32bit_wine():
    """Wine's 32-bit loader needs a kernel that runs 32-bit programs; some kernels are built
    without that emulation, and then no 32-bit prefix can exist."""
    try:
        result = subprocess.run(["wine", "--version"], capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise Skipped(f"wine --version did not run: {error}")
    if "Exec format error" in result.stdout + result.stderr:
        raise Skipped("this kernel cannot run 32-bit programs, so Wine's 32-bit loader cannot start")


def require_files(*paths):
    missing = [str(path) for path in paths if not Path(path).is_file()]
    if missing:
        raise Skipped("not built: " + ", ".join(missing))


def _die_with_runner():
    """In a child before exec: the kernel kills it when the runner dies, even by SIGKILL (as
    CTest's time-out does), so no Xvfb, socat or Wine process outlives a killed test."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
    except (OSError, AttributeError):
        pass


def spawn(command, **options):
    """Starts a command as its own process group, tied to the runner's life."""
    return subprocess.Popen(command, start_new_session=True, preexec_fn=_die_with_runner, **options)


def stop_group(process):
    """Kills a process started here as a group leader, and everything it started."""
    if process is None or process.poll() is not None:
        return
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    try:
        process.wait(timeout=5)
    except subprocess.TimeoutExpired:
        pass


def run_bounded(command, timeout, **options):
    """Runs a command as its own process group; on time-out kills the group and fails."""
    process = spawn(command, **options)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        stop_group(process)
        raise Failed(f"timed out after {timeout} s: {' '.join(map(str, command))}")
    except BaseException:
        stop_group(process)
        raise
    return process.returncode, out, err


def wine_environment(prefix, display=""):
    env = dict(os.environ)
    env.update(WINEPREFIX=str(prefix), WINEARCH="win32", WINEDLLOVERRIDES=DLL_OVERRIDES,
               WINEDEBUG="-all", DISPLAY=display)
    for name in list(env):
        if name.startswith("D2XX_STANDIN_") or name.startswith("LC_"):
            del env[name]
    env["LANG"] = "C.UTF-8"
    return env


def kill_wineserver(prefix):
    env = wine_environment(prefix)
    try:
        run_bounded(["wineserver", "-k"], SERVER_KILL_TIMEOUT, env=env,
                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except Failed:
        pass


def template_path(work):
    return Path(work) / "prefix-template"


def create_template(work):
    """Boots one 32-bit prefix for the whole run; the tests copy it."""
    remove_template(work)
    template = template_path(work)
    template.parent.mkdir(parents=True, exist_ok=True)
    env = wine_environment(template)
    steps = [
        ["wineboot", "-i"],
        # With no window manager a managed window takes seconds to close.
        ["wine", "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
        # A crash prints its backtrace instead of waiting in a dialog.
        ["wine", "reg", "add", r"HKCU\Software\Wine\WineDbg", "/v", "ShowCrashDialog", "/t", "REG_DWORD",
         "/d", "0", "/f"],
        # Wait until the server has written the registry and gone.
        ["wineserver", "-w"],
    ]
    try:
        for step in steps:
            limit = WINEBOOT_TIMEOUT if step[0] == "wineboot" else WINE_STEP_TIMEOUT
            code, out, err = run_bounded(step, limit, env=env, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE)
            if code != 0:
                raise Failed(f"{' '.join(step)} failed ({code}): {err.decode(errors='replace')[-2000:]}")
    except Exception:
        kill_wineserver(template)
        raise
    if not (template / "system.reg").is_file():
        raise Failed("the prefix template has no registry")


def remove_template(work):
    template = template_path(work)
    if template.exists():
        kill_wineserver(template)
        shutil.rmtree(template, ignore_errors=True)
    # Left behind only by a runner that was killed outright.
    for stale in Path(work).glob(RUN_PREFIX + "*"):
        shutil.rmtree(stale, ignore_errors=True)


def copy_prefix(template, target):
    """Copies the template: registry files are copied (Wine rewrites them), everything else is
    hard-linked where the file system allows it, which makes a copy take a fraction of a second."""
    for root, dirs, files in os.walk(template):
        rel = Path(root).relative_to(template)
        destination = Path(target) / rel
        destination.mkdir(parents=True, exist_ok=True)
        for name in dirs + files:
            source = Path(root) / name
            if source.is_symlink():
                os.symlink(os.readlink(source), destination / name)
                if name in dirs:
                    dirs.remove(name)
        for name in files:
            source = Path(root) / name
            if source.is_symlink():
                continue
            if name.endswith(".reg") or name.startswith("."):
                shutil.copy2(source, destination / name)
                continue
            try:
                os.link(source, destination / name)
            except OSError:
                shutil.copy2(source, destination / name)


def free_loopback_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def is_listening(port):
    """Reads the kernel's socket table, so that checking does not take socat's one connection."""
    wanted = f"0100007F:{port:04X}"
    try:
        with open("/proc/net/tcp") as table:
            for line in table.readlines()[1:]:
                fields = line.split()
                if len(fields) > 3 and fields[1] == wanted and fields[3] == "0A":
                    return True
    except OSError:
        return False
    return False


def windows_path(drive_c, path):
    """The C: path under which Wine shows a file inside the prefix's drive_c."""
    return "C:\\" + str(Path(path).relative_to(drive_c)).replace("/", "\\")


def socat_safe(path):
    return not any(c in str(path) for c in " ,:!\"'\\()[]{}")


class Peer:
    """rx receiving one file over XMODEM-1K behind socat on 127.0.0.1."""

    def __init__(self, output, log):
        self.output = Path(output)
        self.log_path = Path(log)
        self.process = None
        self.port = None

    def start(self):
        if not socat_safe(self.output):
            raise Failed(f"path unsuitable for socat: {self.output}")
        for _ in range(5):
            port = free_loopback_port()
            log = open(self.log_path, "wb")
            command = ["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr",
                       f"EXEC:rx -c -b -U {self.output}"]
            self.process = spawn(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            log.close()
            deadline = time.monotonic() + PEER_TIMEOUT
            while time.monotonic() < deadline and self.process.poll() is None and not is_listening(port):
                time.sleep(0.02)
            if self.process.poll() is None and is_listening(port):
                self.port = port
                return port
            stop_group(self.process)
        raise Failed("socat did not start listening")

    def finish(self, timeout=PEER_TIMEOUT):
        """Waits for rx and socat to end; returns socat's exit status (None if it had to be killed)."""
        if self.process is None:
            return None
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            stop_group(self.process)
            return None

    def text(self):
        try:
            return self.log_path.read_bytes().decode(errors="replace").replace("\r", "\n")
        except OSError:
            return ""

    def stop(self):
        stop_group(self.process)


class SilentPeer:
    """A receiver that accepts the connection, records what arrives and never answers."""

    def __init__(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.listener.settimeout(PEER_TIMEOUT)
        self.port = self.listener.getsockname()[1]
        self.received = b""
        self.closed_by_sender = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        try:
            connection, _ = self.listener.accept()
        except OSError:
            return
        with connection:
            connection.settimeout(WINE_TIMEOUT)
            try:
                while True:
                    chunk = connection.recv(4096)
                    if not chunk:
                        self.closed_by_sender = True
                        return
                    self.received += chunk
            except OSError:
                return

    def finish(self, timeout=PEER_TIMEOUT):
        self.thread.join(timeout)
        self.stop()

    def stop(self):
        self.listener.close()


class Display:
    """A private Xvfb server; the display number is chosen by Xvfb itself."""

    def __init__(self):
        self.process = None
        self.name = None

    def start(self):
        read_end, write_end = os.pipe()
        try:
            self.process = spawn(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-br"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + XVFB_TIMEOUT
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([read_end], [], [], remaining)[0]:
                    raise Failed("Xvfb did not report its display")
                chunk = os.read(read_end, 16)
                if not chunk:
                    raise Failed("Xvfb ended before reporting its display")
                number += chunk
            self.name = ":" + number.decode().strip()
            return self.name
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                stop_group(self.process)


class WineRun:
    """One test's world: a copied prefix with the binaries in C:\\run, a display, and peers.

    Use as a context manager; everything it started is stopped when the block ends."""

    def __init__(self, work, case, host_exe, standin, dll):
        self.work = Path(work)
        self.case = case
        self.host_exe = Path(host_exe)
        self.standin = Path(standin)
        self.dll = Path(dll)
        self.logs = self.work / "logs" / case
        self.root = None
        self.prefix = None
        self.display = Display()
        self.peers = []
        self.scratch = None

    def __enter__(self):
        template = template_path(self.work)
        if not (template / "system.reg").is_file():
            raise Skipped("no Wine prefix template (its set-up was skipped or did not run)")
        if self.logs.exists():
            shutil.rmtree(self.logs)
        self.logs.mkdir(parents=True)
        self.root = Path(tempfile.mkdtemp(prefix=f"{RUN_PREFIX}{self.case}-", dir=self.work))
        # rx's file name goes through socat's address syntax, which some characters would break.
        self.scratch = Path(tempfile.mkdtemp(prefix="scratch-", dir=self.root if socat_safe(self.root) else None))
        try:
            self.prefix = self.root / "prefix"
            copy_prefix(template, self.prefix)
            self.run_dir = self.prefix / "drive_c" / "run"
            self.run_dir.mkdir()
            shutil.copy2(self.host_exe, self.run_dir / "wine_test_host.exe")
            shutil.copy2(self.standin, self.run_dir / "ftd2xx.dll")
            shutil.copy2(self.dll, self.run_dir / "ambrix.dll")
            self.display.start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for peer in self.peers:
            peer.stop()
        if self.prefix is not None:
            kill_wineserver(self.prefix)
        self.display.stop()
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)
        if self.scratch is not None:
            shutil.rmtree(self.scratch, ignore_errors=True)
        return False

    def c_path(self, path):
        return windows_path(self.prefix / "drive_c", path)

    def put_file(self, relative, data):
        """Writes a file below C:\\run and returns its Windows path."""
        path = self.run_dir / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        return self.c_path(path)

    def peer(self, name):
        """Starts an rx peer whose received file lands in the scratch folder."""
        peer = Peer(self.scratch / f"{name}.received", self.logs / f"{name}.rx.log")
        self.peers.append(peer)
        peer.start()
        return peer

    def silent_peer(self):
        peer = SilentPeer()
        self.peers.append(peer)
        return peer

    def standin_log(self):
        path = self.run_dir / "d2xx.log"
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def host(self, commands, devices="", port=None, list_status=None, debug="-all", lang=None,
             standin=None, timeout=WINE_TIMEOUT, tag="host"):
        """Runs the test host under Wine and returns (exit status, stdout lines, stderr text)."""
        if standin is not None:
            shutil.copy2(standin, self.run_dir / "ftd2xx.dll")
        env = wine_environment(self.prefix, self.display.name)
        env["WINEDEBUG"] = debug
        env["D2XX_STANDIN_DEVICES"] = devices
        env["D2XX_STANDIN_LOG"] = self.c_path(self.run_dir / "d2xx.log")
        if port is not None:
            env["D2XX_STANDIN_PORT"] = str(port)
        if list_status is not None:
            env["D2XX_STANDIN_LIST_STATUS"] = str(list_status)
        if lang is not None:
            env["LANG"] = lang
            env["LC_ALL"] = lang
        log = self.run_dir / "d2xx.log"
        log.unlink(missing_ok=True)
        command = ["wine", str(self.run_dir / "wine_test_host.exe"), "C:\\run\\ambrix.dll"] + list(commands)
        out_path, err_path = self.logs / f"{tag}.stdout", self.logs / f"{tag}.stderr"
        # Straight into the log folder, so that what was printed before a hang is kept.
        try:
            with open(out_path, "wb") as out, open(err_path, "wb") as err:
                code, _, _ = run_bounded(command, timeout, env=env, stdout=out, stderr=err, cwd=self.run_dir)
        finally:
            if log.exists():
                shutil.copy2(log, self.logs / f"{tag}.d2xx.log")
        text = out_path.read_bytes().decode("utf-8", errors="replace")
        errors = err_path.read_bytes().decode("utf-8", errors="replace")
        return code, text.replace("\r", "").splitlines(), errors
