#!/usr/bin/env python3
"""End-to-end tests of the real 32-bit ambrix.dll under Wine.

Usage: wine_tests.py CASE --work DIR --win32-dir DIR --dll PATH [--vendor-id ID]

CASE is setup (boot the prefix template for this run), cleanup, or one of the test cases
below. Exit status: 0 passed, 1 failed, 77 skipped (the reason is printed).
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

# No compiled files in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_harness as wh  # noqa: E402

CAPTION = "XMODEM 1K over D2XX"
UNPROGRAMMED_LABEL = "Unprogrammed FTDI FTD2XX device"
CAN4 = "18181818"
EOT = "04"

# A fixed generator: a failure can be repeated with the same file contents.
generator = random.Random(0x0A3B)


class Checks:
    """Collects every failed check of a test, so one run reports all of them."""

    def __init__(self):
        self.failures = []

    def expect(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")

    def finish(self):
        if self.failures:
            raise wh.Failed("\n  ".join(["checks failed:"] + self.failures))


def fields(line):
    """Parses 'word key=value key=value ...' into a dict."""
    result = {}
    for token in line.split()[1:]:
        key, _, value = token.partition("=")
        result[key] = value
    return result


def lines_of(lines, word):
    return [line for line in lines if line.split(" ", 1)[0] == word]


def send_reports(lines):
    return [fields(line) for line in lines_of(lines, "send")]


def random_bytes(size):
    return generator.randbytes(size)


def check_received(checks, peer, sent, what):
    """rx writes whole blocks: the data, then 0x1A up to the next multiple of 1024."""
    try:
        received = peer.output.read_bytes()
    except OSError:
        checks.expect(False, f"{what}: rx wrote no file")
        return
    padded = -(-len(sent) // 1024) * 1024
    checks.equal(len(received), padded, f"{what}: received length")
    checks.expect(received[:len(sent)] == sent, f"{what}: received data differs from the file")
    checks.expect(set(received[len(sent):]) <= {0x1A}, f"{what}: padding is not 0x1A")


def check_port_setup(checks, log, baud):
    """The seven port settings in their order, before the transfer starts."""
    expected = [f"FT_SetBaudRate {baud} = 0", "FT_SetDataCharacteristics 8 0 0 = 0", "FT_SetFlowControl 0 0 0 = 0",
                "FT_ClrDtr = 0", "FT_ClrRts = 0", "FT_SetChars 0 0 0 0 = 0", "FT_SetTimeouts 1000 1000 = 0"]
    setup = [line for line in log if line.split(" ", 1)[0] in
             ("FT_SetBaudRate", "FT_SetDataCharacteristics", "FT_SetFlowControl", "FT_ClrDtr", "FT_ClrRts",
              "FT_SetChars", "FT_SetTimeouts")]
    checks.equal(setup, expected, "port set-up calls")


def block_numbers(log):
    return [int(line.rsplit("block=", 1)[1]) for line in log if line.startswith("FT_Write") and "len=1029" in line]


def short_writes(log):
    return [line.rsplit("data=", 1)[1] for line in log if line.startswith("FT_Write") and "data=" in line]


def check_handles_balanced(checks, log):
    opened = sum(1 for line in log if line.startswith("FT_Open") and line.endswith("= 0"))
    closed = sum(1 for line in log if line.startswith("FT_Close") and line.endswith("= 0"))
    checks.equal(closed, opened, "FT_Close calls for successful FT_Open calls")


def check_dialog(checks, report, blocks, name):
    checks.equal(report.get("dialog"), "1", "dialog found by its caption")
    checks.equal(report.get("owner"), "1", "dialog owned by the host window")
    checks.equal(report.get("hostdisabled"), "1", "host window disabled while the dialog runs")
    checks.equal(report.get("hostenabledafter"), "1", "host window enabled again after the call")
    checks.equal(report.get("range"), f"0..{blocks}", "progress range")
    checks.equal(bytes.fromhex(report.get("text", "")), name, "file name shown in the dialog")


def single_transfer(ctx, run, size, baud, tag):
    """Sends a random file of SIZE bytes to the instrument and checks the complete round."""
    checks = Checks()
    data = random_bytes(size)
    name = f"firmware-{size}.bin"
    path = run.put_file(f"images/{name}", data)
    peer = run.peer(tag)
    code, out, _ = run.host(["send", path, "1", str(baud)], devices=ctx.devices, port=peer.port, tag=tag)
    peer_status = peer.finish()
    log = run.standin_log()
    checks.equal(code, 0, "host exit status")
    reports = send_reports(out)
    if not checks.equal(len(reports), 1, "send reports"):
        checks.finish()
    report = reports[0]
    blocks = -(-size // 1024)
    checks.equal(report.get("result"), "0", "D2xxXmodem result")
    check_dialog(checks, report, blocks, name.encode())
    checks.equal(report.get("end"), "1", "end message seen by the dialog")
    checks.equal(report.get("endpos"), str(blocks), "progress position when the transfer ended")
    check_port_setup(checks, log, baud)
    checks.equal(block_numbers(log), [n % 256 for n in range(1, blocks + 1)], "block numbers sent")
    checks.equal(short_writes(log), [EOT], "short writes (one EOT)")
    checks.expect("FT_Purge 3 = 0" in log, "receive and transmit purged at the start")
    check_handles_balanced(checks, log)
    checks.expect("Transfer complete" in peer.text(), f"rx reports a complete transfer: {peer.text()[-300:]!r}")
    checks.equal(peer_status, 0, "socat/rx exit status")
    check_received(checks, peer, data, name)
    checks.finish()
    return report


# --- test cases ------------------------------------------------------------------------------


def case_imports(ctx, run):
    """The DLL loads, both exports resolve, every import is satisfied, and no runtime DLLs
    other than the system's and ftd2xx.dll are pulled in."""
    checks = Checks()
    code, out, err = run.host([], debug="warn+module,+loaddll", tag="full")
    checks.equal(code, 0, "host exit status")
    checks.expect("exports getinstruments=1 download=1" in out, f"both exports resolved: {out}")
    unresolved = [line for line in err.splitlines() if "No implementation for" in line]
    checks.equal(unresolved, [], "unresolved imports")
    failed = [line for line in err.splitlines() if line.startswith("err:module")]
    checks.equal(failed, [], "module errors")
    loaded = [line for line in err.splitlines() if "Loaded L" in line]
    ours = [line for line in loaded if "C:\\\\run\\\\" in line]
    checks.expect(any("ftd2xx.dll" in line and "native" in line for line in ours),
                  "ftd2xx.dll loaded from the application folder")
    checks.expect(any("ambrix.dll" in line for line in ours), "ambrix.dll loaded")
    strangers = [line for line in ours if not any(n in line for n in ("ambrix.dll", "ftd2xx.dll", "wine_test_host"))]
    checks.equal(strangers, [], "other DLLs loaded from the application folder")

    # The same check against a D2XX that lacks one ordinal must see the gap: Wine loads the
    # library anyway, so the warning is the only sign.
    code, out, err = run.host([], debug="warn+module", standin=ctx.partial_standin, tag="partial")
    checks.expect(any("No implementation for ftd2xx.dll.61" in line for line in err.splitlines()),
                  "a missing ordinal is reported by Wine")
    checks.finish()


def case_enumeration(ctx, run):
    """The real combo box gets the right labels and item data for each filter."""
    checks = Checks()
    long_description = "D" * 63
    vendor = ctx.vendor_id
    devices = ";".join([
        "04036001,FT0001,USB Serial Converter",
        f"{vendor:04X}0002,AX100,Ambrix Scope",
        f"{vendor:04X}0001,AX200,Ambrix Meter",
        "12345678,ZZ1,Other maker",
        f"{vendor:04X}0002,AX300,Busy Scope,busy",
        "04036001,FT0002,USB Serial Converter",
        f"{vendor:04X}0003,SERIAL123456789,{long_description}",
    ])
    code, out, _ = run.host(["enum", "0", "1", "enum", "0", "0", "enum", "2", "0", "enum", "1", "1"],
                            devices=devices, tag="table")
    checks.equal(code, 0, "host exit status")

    def listing(index):
        enums = [i for i, line in enumerate(out) if line.startswith("enum ")]
        if index >= len(enums):
            return None, []
        start = enums[index]
        end = enums[index + 1] if index + 1 < len(enums) else len(out)
        items = []
        for line in out[start + 1:end]:
            if line.startswith("item "):
                head, _, label = line.partition(" label=")
                items.append((int(fields(head)["data"]), label))
        return fields(out[start]), items

    scope, meter = (1, "Ambrix Scope - AX100"), (2, "Ambrix Meter - AX200")
    header, items = listing(0)
    checks.equal(header and header["result"], "7", "result with every device: the count")
    checks.equal(items[:4], [(0, UNPROGRAMMED_LABEL), scope, meter, (5, UNPROGRAMMED_LABEL)],
                 "entries with unprogrammed bridges")
    checks.equal(len(items), 5, "entry count with unprogrammed bridges")
    if len(items) == 5:
        data, label = items[4]
        checks.equal(data, 6, "item data of the long label")
        checks.expect(len(label) <= 79, f"long label kept within 79 characters: {len(label)}")
        checks.expect(label.startswith(long_description[:40]), f"long label starts with the description: {label}")

    header, items = listing(1)
    checks.equal(header and header["result"], "7", "result without unprogrammed bridges")
    checks.equal([i for i in items if i[0] != 6], [scope, meter], "instruments only")
    header, items = listing(2)
    checks.equal(items, [scope], "product filter 2")
    header, items = listing(3)
    checks.equal(items, [(0, UNPROGRAMMED_LABEL), meter, (5, UNPROGRAMMED_LABEL)],
                 "product filter 1 with unprogrammed bridges")
    log = run.standin_log()
    checks.expect("FT_Open 4 = 3" in log, "the busy device was tried and refused")
    check_handles_balanced(checks, log)

    # A failing device list: the box is emptied (the host's leftover entry is gone) and the
    # status is the result. No device attached: empty box, result 0.
    code, out, _ = run.host(["enum", "0", "1"], devices=devices, list_status=4, tag="list-fails")
    checks.equal([fields(line) for line in lines_of(out, "enum")], [{"filter": "0", "include": "1", "result": "4",
                                                                   "count": "0"}], "failing FT_ListDevices")
    checks.equal(run.standin_log()[1:], [], "no call after the failing FT_ListDevices")
    code, out, _ = run.host(["enum", "0", "1"], devices="", tag="no-devices")
    checks.equal([fields(line) for line in lines_of(out, "enum")], [{"filter": "0", "include": "1", "result": "0",
                                                                   "count": "0"}], "no device attached")
    checks.finish()


def case_transfer_small(ctx, run):
    """3000 bytes: three blocks, the last one padded; range 0..3 and the bar at 3 at the end."""
    single_transfer(ctx, run, 3000, 115200, "small")


def case_transfer_large(ctx, run):
    """1 MiB: 1024 blocks whose numbers wrap past 255, arriving intact."""
    start = time.monotonic()
    report = single_transfer(ctx, run, 1 << 20, 3000000, "large")
    print(f"1 MiB at 3000000 baud: {report.get('ms')} ms in the call, {time.monotonic() - start:.1f} s in all")


def case_cancel(ctx, run):
    """Cancel pressed on the real dialog: the dialog stays until the sender has sent its CAN
    bytes, rx sees them and gives up, and only then does the call return 3."""
    checks = Checks()
    data = random_bytes(64 * 1024)
    path = run.put_file("cancel.bin", data)
    peer = run.peer("cancel")
    code, out, _ = run.host(["cancel-at", "3", "send", path, "1", "115200"], devices=ctx.devices,
                            port=peer.port, tag="cancel")
    peer_status = peer.finish()
    log = run.standin_log()
    checks.equal(code, 0, "host exit status")
    reports = send_reports(out)
    if not checks.equal(len(reports), 1, "send reports"):
        checks.finish()
    report = reports[0]
    checks.equal(report.get("result"), "3", "D2xxXmodem result after Cancel")
    checks.equal(report.get("cancel"), "1", "Cancel pressed")
    checks.equal(report.get("openaftercancel"), "1", "dialog still open right after Cancel")
    checks.expect(0 <= int(report.get("cancelms", "-1")) < 3000,
                  f"call returned within a read time-out and a write of Cancel: {report.get('cancelms')} ms")
    writes = short_writes(log)
    checks.equal(writes, [CAN4], "short writes (the four CAN bytes, no EOT)")
    sent_blocks = block_numbers(log)
    checks.expect(3 <= len(sent_blocks) < 64, f"cancelled mid-transfer after {len(sent_blocks)} blocks")
    can_at = next((i for i, line in enumerate(log) if f"data={CAN4}" in line), None)
    peer_gone = next((i for i, line in enumerate(log) if line == "link closed by peer"), None)
    close_at = next((i for i, line in enumerate(log) if line.startswith("FT_Close")), None)
    checks.expect(can_at is not None and peer_gone is not None and close_at is not None
                  and can_at < peer_gone < close_at,
                  "rx ended the connection after the CAN bytes and before the device was closed")
    checks.expect("Sender Cancelled" in peer.text(), f"rx saw the sender's cancel: {peer.text()[-300:]!r}")
    checks.expect(peer_status not in (0, None), f"rx did not report success (socat status {peer_status})")
    check_handles_balanced(checks, log)
    checks.finish()


def case_cancel_silent_peer(ctx, run):
    """A receiver that never answers: the sender waits in its read time-outs, and Cancel ends
    the call within about one of them with the four CAN bytes as the only bytes sent."""
    checks = Checks()
    path = run.put_file("silent.bin", random_bytes(5000))
    peer = run.silent_peer()
    code, out, _ = run.host(["cancel-at", "0", "send", path, "1", "115200"], devices=ctx.devices, port=peer.port,
                            tag="silent")
    peer.finish()
    checks.equal(code, 0, "host exit status")
    reports = send_reports(out)
    if not checks.equal(len(reports), 1, "send reports"):
        checks.finish()
    report = reports[0]
    checks.equal(report.get("result"), "3", "D2xxXmodem result after Cancel")
    checks.equal(report.get("openaftercancel"), "1", "dialog still open right after Cancel")
    cancel_ms = int(report.get("cancelms", "-1"))
    checks.expect(0 <= cancel_ms < 2500, f"call returned within about one read time-out: {cancel_ms} ms")
    checks.equal(peer.received, bytes([0x18] * 4), "bytes the receiver got")
    checks.expect(peer.closed_by_sender, "the device closed the line")
    checks.equal(block_numbers(run.standin_log()), [], "no block sent without a 'C'")
    checks.finish()


def case_host_closes(ctx, run):
    """The host's main window closes during a download (the dialog it owns goes with it): the
    sender is stopped before the device is closed, the call reports a cancelled download, and
    the host's process ends through its quit message with device and file closed."""
    checks = Checks()
    data = random_bytes(64 * 1024)
    path = run.put_file("closing.bin", data)
    peer = run.peer("closing")
    code, out, _ = run.host(["close-at", "3", "send", path, "1", "115200", "enum", "0", "1"], devices=ctx.devices,
                            port=peer.port, tag="closing")
    peer_status = peer.finish()
    log = run.standin_log()
    checks.equal(code, 0, "host exit status")
    reports = send_reports(out)
    if not checks.equal(len(reports), 1, "send reports"):
        checks.finish()
    report = reports[0]
    checks.equal(report.get("close"), "1", "main window closed during the transfer")
    checks.equal(report.get("result"), "3", "D2xxXmodem result when the dialog went with its owner")
    checks.equal([fields(line) for line in lines_of(out, "exit")], [{"quit": "1", "probe": "1"}],
                 "quit message reached the host's loop and the file is closed")
    checks.equal(lines_of(out, "enum"), [], "no command after the main window closed")
    checks.equal(short_writes(log), [CAN4], "short writes (the four CAN bytes, no EOT)")
    checks.equal([line for line in log if "invalid" in line], [], "calls on a closed device")
    can_at = next((i for i, line in enumerate(log) if f"data={CAN4}" in line), None)
    close_at = next((i for i, line in enumerate(log) if line.startswith("FT_Close")), None)
    checks.expect(can_at is not None and close_at is not None and can_at < close_at,
                  "the sender's CAN bytes went out before the device was closed")
    checks.expect(close_at is not None and not any(line.startswith("FT_Write") for line in log[close_at:]),
                  "nothing written after FT_Close")
    check_handles_balanced(checks, log)
    checks.expect("Sender Cancelled" in peer.text(), f"rx saw the sender's cancel: {peer.text()[-300:]!r}")
    checks.expect(peer_status not in (0, None), f"rx did not report success (socat status {peer_status})")
    checks.finish()


def case_open_failures(ctx, run):
    """A missing file returns 1 without touching a device; a device that cannot be opened or
    configured returns 2 and leaves nothing open."""
    checks = Checks()
    present = run.put_file("present.bin", random_bytes(100))
    commands = ["send", "C:\\run\\absent\\missing.bin", "1", "115200",
                "send", present, "9", "115200",
                "send", present, "3", "115200",
                "send", present, "4", "115200",
                "send", present, "1", "0",
                "probe", present]
    devices = ctx.devices + f";{ctx.vendor_id:04X}0002,AX900,Flaky Scope,badbaud"
    code, out, _ = run.host(commands, devices=devices, tag="failures")
    checks.equal(code, 0, "host exit status")
    results = [r.get("result") for r in send_reports(out)]
    checks.equal(results, ["1", "2", "2", "2", "2"],
                 "results: missing file, absent device, busy device, failing baud rate, baud rate 0")
    checks.equal([r.get("dialog") for r in send_reports(out)], ["0"] * 5, "no dialog shown")
    log = run.standin_log()
    first_open = next((i for i, line in enumerate(log) if line.startswith("FT_Open")), None)
    checks.equal(first_open is not None and log[first_open], "FT_Open 9 = 2",
                 "the missing file touched no device; the first open is the absent device's")
    checks.equal([line for line in log if line.startswith("FT_SetTimeouts")], ["FT_SetTimeouts 1000 1000 = 0"] * 2,
                 "all seven settings made even after the baud rate failed")
    check_handles_balanced(checks, log)
    checks.equal(sum(1 for line in log if line.startswith("FT_Close")), 2, "configured-but-failed devices closed")
    checks.equal([fields(line) for line in lines_of(out, "probe")], [{"exclusive": "1"}],
                 "the file is closed again after the failures")
    checks.finish()


def case_double_byte_path(ctx, run):
    """Under code page 932 a path whose characters carry 0x5C trail bytes shows only its file
    name, and the file arrives intact."""
    checks = Checks()
    locale = "ja_JP.UTF-8"
    available = subprocess.run(["locale", "-a"], capture_output=True, text=True, timeout=10).stdout.lower()
    if "ja_jp.utf8" not in available and "ja_jp.utf-8" not in available:
        raise wh.Skipped("locale ja_JP.UTF-8 is not generated")
    # 表 and ソ both end in the byte 0x5C in code page 932.
    folder, name = "ソフト表", "表示ソ.bin"
    encoded = name.encode("cp932")
    checks.expect(b"\\" in encoded, "the test name carries a 0x5C trail byte")
    data = random_bytes(1500)
    path = run.put_file(f"{folder}/{name}", data)
    peer = run.peer("double-byte")
    code, out, _ = run.host(["send", path, "1", "115200"], devices=ctx.devices, port=peer.port, lang=locale,
                            tag="cp932")
    peer.finish()
    checks.equal(code, 0, "host exit status")
    checks.expect("codepage=932" in out, f"the host runs with code page 932: {out[:1]}")
    reports = send_reports(out)
    if checks.equal(len(reports), 1, "send reports"):
        report = reports[0]
        checks.equal(report.get("result"), "0", "D2xxXmodem result")
        checks.equal(bytes.fromhex(report.get("text", "")), encoded, "file name shown in the dialog")
        checks.equal(bytes.fromhex(report.get("endtext", "")), encoded, "file name shown at the end")
    check_received(checks, peer, data, "double-byte file")
    checks.finish()


def read_rgb(image, width, height):
    raw = subprocess.run(["convert", str(image), "-depth", "8", "rgb:-"], capture_output=True, timeout=30).stdout
    if len(raw) != width * height * 3:
        raise wh.Failed(f"unexpected pixel data size {len(raw)} for {width}x{height}")
    return [raw[i:i + 3] for i in range(0, len(raw), 3)]


def png_size(path):
    header = Path(path).read_bytes()[:24]
    if header[:8] != b"\x89PNG\r\n\x1a\n" or header[12:16] != b"IHDR":
        return None
    return int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")


def case_screenshot(ctx, run):
    """A picture of the dialog mid-transfer, taken from the X server by the dialog's caption,
    shows a dialog: its size, a caption bar and a partly filled progress bar."""
    wh.require_tools("xwd", "convert")
    checks = Checks()
    path = run.put_file("screenshot.bin", random_bytes(64 * 1024))
    ready, go = run.run_dir / "ready.txt", run.run_dir / "go.txt"
    peer = run.peer("screenshot")
    shot = ctx.work / "dialog.png"
    shot.unlink(missing_ok=True)
    geometry = {}

    def photograph():
        try:
            deadline = time.monotonic() + 60
            while not ready.exists() and time.monotonic() < deadline:
                time.sleep(0.02)
            for line in ready.read_text().splitlines():
                key, _, value = line.partition("=")
                geometry[key] = value
            dump = run.scratch / "dialog.xwd"
            env = dict(os.environ, DISPLAY=run.display.name)
            # Wine hands a window's drawing to X on its own schedule: until then the window is
            # one flat colour, so look again for a few seconds.
            for _ in range(10):
                time.sleep(0.3)
                wh.run_bounded(["xwd", "-name", CAPTION, "-silent", "-out", str(dump)], 30, env=env)
                wh.run_bounded(["convert", f"xwd:{dump}", str(shot)], 30)
                colours = wh.run_bounded(["convert", str(shot), "-format", "%k", "info:"], 30,
                                         stdout=subprocess.PIPE)[1]
                if int(colours or b"0") > 1:
                    break
        except Exception as error:  # reported through the missing picture
            geometry["error"] = repr(error)
        finally:
            go.write_text("go")

    photographer = threading.Thread(target=photograph)
    photographer.start()
    code, out, _ = run.host(["pause-at", "2", run.c_path(ready), run.c_path(go), "cancel-at", "2",
                             "send", path, "1", "115200"], devices=ctx.devices, port=peer.port, tag="screenshot")
    photographer.join(timeout=70)
    peer.finish()
    checks.equal(code, 0, "host exit status")
    reports = send_reports(out)
    checks.expect(len(reports) == 1 and reports[0].get("paused") == "1", "the dialog waited for the picture")
    checks.expect(len(reports) == 1 and reports[0].get("result") == "3", "transfer cancelled after the picture")
    if not checks.expect(shot.is_file(), f"picture saved: {geometry.get('error', '')}"):
        checks.finish()

    x, y, w, h = (int(v) for v in geometry["dialog"].split(","))
    checks.equal(png_size(shot), (w, h), "picture is a PNG of the dialog window's size")
    checks.expect(200 <= w <= 800 and 80 <= h <= 400, f"dialog size is sensible: {w}x{h}")
    pixels = read_rgb(shot, w, h)
    colours = len(set(pixels))
    checks.expect(colours >= 8, f"picture has real content: {colours} colours")

    def count(colour, x0, x1, y0, y1):
        return sum(1 for row in range(max(y0, 0), min(y1, h)) for column in range(max(x0, 0), min(x1, w))
                   if pixels[row * w + column] == colour)

    # The caption bar: its colour fills the left end of the rows just below the frame.
    captions = {bytes.fromhex(geometry["activecaption"]), bytes.fromhex(geometry["inactivecaption"])}
    caption_height = int(geometry["caption"])
    checks.expect(any(count(c, 0, 40, 3, caption_height) > 40 for c in captions), "caption bar drawn")
    # The progress bar, in dialog coordinates: filled at its start, not yet at its end.
    px, py, pw, ph = (int(v) for v in geometry["progress"].split(","))
    left, top = px - x, py - y
    bar = bytes.fromhex(geometry["bar"])
    checks.expect(count(bar, left + 2, left + pw // 20 + 3, top + 2, top + ph - 2) > 0,
                  "the progress bar is filled at its start")
    checks.expect(count(bar, left + pw - pw // 10, left + pw - 2, top + 2, top + ph - 2) == 0,
                  "the progress bar is not yet full")
    checks.expect(count(bar, 0, w, 0, h) - count(bar, left, left + pw, top, top + ph) < w * h // 20,
                  "the bar colour stays inside the progress bar")
    print(f"picture: {shot} ({w}x{h}, {colours} colours)")
    checks.finish()


CASES = {
    "imports": case_imports,
    "enumeration": case_enumeration,
    "transfer_small": case_transfer_small,
    "transfer_large": case_transfer_large,
    "cancel": case_cancel,
    "cancel_silent_peer": case_cancel_silent_peer,
    "host_closes": case_host_closes,
    "open_failures": case_open_failures,
    "double_byte_path": case_double_byte_path,
    "screenshot": case_screenshot,
}


class Context:
    def __init__(self, options):
        self.work = Path(options.work)
        win32 = Path(options.win32_dir)
        self.host_exe = win32 / "wine_test_host.exe"
        self.standin = win32 / "ftd2xx.dll"
        self.partial_standin = win32 / "ftd2xx_partial.dll"
        self.dll = Path(options.dll)
        self.vendor_id = int(options.vendor_id, 0)
        # Device 1 is the instrument the transfers go to.
        self.devices = ";".join(["04036001,FT0001,USB Serial Converter",
                                 f"{self.vendor_id:04X}0002,AX100,Ambrix Scope",
                                 f"{self.vendor_id:04X}0001,AX200,Ambrix Meter",
                                 f"{self.vendor_id:04X}0002,AX300,Busy Scope,busy"])


def stop_on_signal(number, frame):
    # CTest's time-out or an interrupt: leave through the normal clean-up path.
    raise wh.Failed(f"stopped by signal {number}")


def main():
    signal.signal(signal.SIGTERM, stop_on_signal)
    signal.signal(signal.SIGHUP, stop_on_signal)
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["setup", "cleanup"] + sorted(CASES))
    parser.add_argument("--work", required=True)
    parser.add_argument("--win32-dir", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--vendor-id", default="0x1D50")
    options = parser.parse_args()
    ctx = Context(options)
    started = time.monotonic()
    try:
        wh.require_tools("wine", "wineserver", "wineboot")
        wh.require_32bit_wine()
        if options.case == "cleanup":
            wh.remove_template(ctx.work)
            return 0
        if options.case == "setup":
            wh.create_template(ctx.work)
            print(f"prefix template ready in {time.monotonic() - started:.1f} s")
            return 0
        wh.require_tools("Xvfb", "socat", "rx")
        needed = [ctx.host_exe, ctx.standin, ctx.dll]
        if options.case == "imports":
            needed.append(ctx.partial_standin)
        wh.require_files(*needed)
        with wh.WineRun(ctx.work, options.case, ctx.host_exe, ctx.standin, ctx.dll) as run:
            CASES[options.case](ctx, run)
    except wh.Skipped as reason:
        print(f"SKIPPED: {reason}")
        return wh.SKIP
    except wh.Failed as failure:
        print(f"FAILED: {failure}")
        print(f"logs: {ctx.work / 'logs' / options.case}")
        return 1
    print(f"passed in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
