#!/usr/bin/env python3
"""End-to-end tests of the real x64 kestrune.sys under Wine, beneath the simulated USB bus.

Usage: wine_driver_tests.py CASE --work DIR --win64-dir DIR --dist DIR

CASE is setup (boot the prefix template and install the bus and the driver into it), cleanup,
demo (a prefix of its own, and kestrunectl's view of the real driver), or one of the test cases
below. Exit status: 0 passed, 1 failed, 77 skipped (the reason is
printed).
"""

import argparse
import random
import re
import sys
import time
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent))
import wine_driver_harness as wh  # noqa: E402

LOOPBACK, SCRIPTED = wh.LOOPBACK, wh.SCRIPTED
# Pipes in the order of the instruments' endpoint descriptors.
LOOPBACK_OUT, LOOPBACK_IN = 0, 1
SCRIPTED_IN, SCRIPTED_OUT, SCRIPTED_INTERRUPT = 0, 1, 2
# Win32 errors as Windows maps the driver's statuses.
ERROR_INVALID_HANDLE = 6
STATUS_INVALID_PARAMETER = 0xC000000D
STATUS_INVALID_DEVICE_STATE = 0xC0000184

# A fixed generator: a failure can be repeated with the same data.
generator = random.Random(0x5EB7)


def random_bytes(size):
    return generator.randbytes(size)


def pipe_name(pipe):
    """What Windows passes to the driver after the device's name when kestrunectl opens a pipe."""
    return f"\\ep{pipe:02d}"


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

    def same_bytes(self, actual, expected, what):
        if actual == expected:
            return True
        first = next((i for i, (a, b) in enumerate(zip(actual, expected)) if a != b), min(len(actual), len(expected)))
        return self.expect(False, f"{what}: {len(actual)} bytes instead of {len(expected)}, first difference at "
                                  f"byte {first}")

    def finish(self):
        if self.failures:
            raise wh.Failed("\n  ".join(["checks failed:"] + self.failures))


def control(run, instrument, *arguments, **options):
    """kestrunectl on the instrument: the device by its DOS name, the pipes through the bus's
    aliases (--pipe-path, since Wine cannot open a name after the device's)."""
    return run.kestrunectl("--device", wh.DOS_NAMES[instrument], "--pipe-path", wh.pipe_template(instrument),
                           *arguments, **options)


def raw_result(text, word):
    match = re.search(rf"^{word} ok=(\d) (?:written|got)=(\d+) error=(\d+)$", text, re.M)
    if match is None:
        raise wh.Failed(f"simctl printed no {word} result: {text!r}")
    return int(match.group(1)), int(match.group(2)), int(match.group(3))


# --- the cases


def case_install(args):
    """The driver package went in through its INF: the children of the bus carry kestrune as
    their service, each child was configured once, and kestrunectl lists both instruments with
    their DOS names, IDs and serial numbers."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "install") as run:
        registry = (run.prefix / "system.reg").read_text(errors="replace")
        image = re.search(r'\[System\\\\CurrentControlSet\\\\Services\\\\kestrune\][^\[]*"ImagePath"="([^"]*)"',
                          registry)
        checks.expect(image is not None and image.group(1).lower().endswith("kestrune.sys"),
                      "service kestrune with its image path")
        for instrument, serial, product in ((LOOPBACK, "LOOP0001", "0002"), (SCRIPTED, "SCRIPT02", "0001")):
            key = rf"[System\\CurrentControlSet\\Enum\\USB\\VID_2A4B&PID_{product}\\{serial}]"
            block = registry.split(key, 1)
            checks.expect(len(block) == 2 and '"Service"="kestrune"' in block[1].split("\n\n", 1)[0],
                          f"{serial}: device key with service kestrune")
            counters = run.counters(instrument)
            checks.equal(counters["selects"], 1, f"{serial}: configurations selected")
            checks.equal(counters["vendorProbes"], 1, f"{serial}: vendor probes")
        _, out, _ = run.kestrunectl("list")
        for serial, product, dos in (("LOOP0001", "0002", "trelvousb1"), ("SCRIPT02", "0001", "trelvousb")):
            entry = re.search(rf"\\\\\?\\usb#vid_2a4b&pid_{product}#{serial.lower()}#[^\n]*\n[^\n]*", out, re.I)
            if checks.expect(entry is not None, f"list shows the interface path of {serial}: {out!r}"):
                text = entry.group(0)
                checks.expect(re.search(rf"\\\\\.\\{dos}\b", text) is not None, f"{serial}: DOS name {dos}")
                checks.expect("2a4b" in text.lower() and product in text, f"{serial}: vendor and product IDs")
                checks.expect(serial in text, f"{serial}: serial number")
    checks.finish()


def case_info(args):
    """What the control codes tell of each instrument: the strings, the driver's version and
    build date, the configuration descriptor's pipes, and the read chunk size that the vendor
    probe set (65536 where the instrument accepted it, 2048 where it stalled it)."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "info") as run:
        for dos, serial, product, chunk, endpoints in (
                (r"\\.\trelvousb1", "LOOP0001", "Loopback instrument", 65536, ("0x01 OUT bulk", "0x81 IN  bulk")),
                (r"\\.\trelvousb", "SCRIPT02", "Scripted instrument", 2048,
                 ("0x81 IN  bulk", "0x02 OUT bulk", "0x83 IN  interrupt"))):
            _, out, _ = run.kestrunectl("--device", dos, "info")
            # The configuration descriptor as the driver keeps it, pipe by pipe.
            for pipe, endpoint in enumerate(endpoints):
                checks.expect(f"pipe {pipe}: endpoint {endpoint}" in out, f"{serial}: pipe {pipe} is {endpoint}")
            checks.expect(f"pipe {len(endpoints)}:" not in out, f"{serial}: {len(endpoints)} pipes")
            for text in (serial, product, "Trelvo", "27010"):
                checks.expect(text in out, f"{serial}: info shows {text!r}")
            checks.expect(re.search(r"\b[A-Z][a-z]{2} [ \d]\d \d{4} \d\d:\d\d:\d\d\b", out) is not None,
                          f"{serial}: info shows the build date")
            checks.expect(re.search(rf"read chunk[^\n]*\b{chunk}\b", out, re.I) is not None,
                          f"{serial}: read chunk size {chunk}")
            checks.expect(re.search(r"write chunk[^\n]*\b2048\b", out, re.I) is not None,
                          f"{serial}: write chunk size 2048")
    checks.finish()


def case_write(args):
    """kestrunectl write: each file arrives at the instrument's bulk OUT pipe byte for byte, in
    transfers of at most 64 KiB."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "write") as run:
        transfers = 0
        for size in (1, 511, 512, 4097, 65536, 65537, 200000):
            data = random_bytes(size)
            path = run.put_file("out.bin", data)
            control(run, SCRIPTED, "write", str(SCRIPTED_OUT), "--file", path)
            checks.same_bytes(run.take_kept(SCRIPTED), data, f"{size} bytes written")
            transfers += (size + 65535) // 65536
        checks.equal(run.counters(SCRIPTED)["outTransfers"], transfers, "bulk OUT transfers")
    checks.finish()


def case_read(args):
    """kestrunectl read: queued bulk IN data comes back byte for byte, also when one read takes
    many transfers of the 2048-byte chunk and when the data is queued after the read started;
    a read that times out is cancelled and still hands over the bytes that had arrived."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "read") as run:
        for size in (1, 1000, 2049, 65536 + 300, 150001):
            data = random_bytes(size)
            run.queue(SCRIPTED, data)
            target = run.file_path("in.bin")
            target.unlink(missing_ok=True)
            control(run, SCRIPTED, "read", str(SCRIPTED_IN), str(size), "--file", run.c_path(target))
            checks.same_bytes(target.read_bytes() if target.exists() else b"", data, f"{size} bytes read")
        counters = run.counters(SCRIPTED)
        checks.equal(counters["inQueued"], 0, "bytes left queued")
        checks.expect(counters["largestInRequest"] <= 2048,
                      f"IN transfers within the 2048-byte chunk of an instrument that stalled the probe: "
                      f"{counters['largestInRequest']}")
        # 40 bytes of 100: the read waits, is cancelled at its time-out, and gets the 40. (Wine
        # returns no data with a failure status, where Windows' direct I/O leaves them in the
        # caller's buffer: the count is what can be seen here.) The driver handed them over, so
        # the next read gets only what came after them.
        run.queue(SCRIPTED, random_bytes(40))
        code, out, err = control(run, SCRIPTED, "read", str(SCRIPTED_IN), "100", "--timeout", "1500",
                                 "--file", run.c_path(run.file_path("partial.bin")), check=False)
        checks.expect(code != 0, "a read that timed out fails")
        checks.expect("after 40 of 100 bytes" in err, f"the cancelled read reports its 40 bytes: {out!r} {err!r}")
        later = random_bytes(60)
        run.queue(SCRIPTED, later)
        target = run.file_path("later.bin")
        control(run, SCRIPTED, "read", str(SCRIPTED_IN), "60", "--file", run.c_path(target))
        checks.same_bytes(target.read_bytes() if target.exists() else b"", later, "bytes after the cancelled read")
        after = run.counters(SCRIPTED)
        checks.equal(after["inPending"], 0, "IN transfers left waiting after the cancel")
        checks.expect(after["cancelledIn"] >= 1, "the waiting IN transfer ended cancelled")
    checks.finish()


def case_loop(args):
    """kestrunectl loop on the loopback instrument: patterns of several lengths go out and come
    back identical (kestrunectl compares them), and the bus saw every byte once."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "loop") as run:
        total = 0
        for length in (1, 512, 4096, 65536, 300000):
            # The pipes are found from the configuration descriptor that the driver keeps.
            code, out, err = control(run, LOOPBACK, "loop", str(length), check=False)
            checks.expect(f"to pipe {LOOPBACK_OUT} and read back from pipe {LOOPBACK_IN}" in out,
                          f"loop of {length} bytes on the loopback's pipes: {out!r}")
            checks.expect(code == 0 and "identical" in out, f"loop of {length} bytes: {out!r} {err!r}")
            total += length
        counters = run.counters(LOOPBACK)
        checks.equal(counters["outBytesTotal"], total, "bytes the instrument received")
        checks.equal(counters["inQueued"], 0, "bytes the instrument still holds")
    checks.finish()


def case_bench(args):
    """kestrunectl bench through the real driver: both directions complete and report a
    throughput and its fraction of the USB 2.0 high-speed bulk maximum."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "bench") as run:
        total = 16 << 20
        _, out, _ = control(run, LOOPBACK, "bench", "--total", str(total), timeout=120)
        print(out.strip())
        for direction in ("write", "read"):
            match = re.search(rf"^{direction}\s+(\d+) bytes in ([\d.]+) s: ([\d.]+) MB/s, ([\d.]+) of 53.248 MB/s",
                              out, re.M)
            if checks.expect(match is not None, f"bench reports its {direction} rate"):
                checks.equal(int(match.group(1)), total, f"{direction} bytes")
                checks.expect(float(match.group(3)) > 0, f"{direction} rate above 0")
        checks.equal(run.counters(LOOPBACK)["outBytesTotal"], total, "bytes the instrument received")
    checks.finish()


def case_handles(args):
    """The file name decides what a handle addresses, in the real binary: pipes by their last
    digits, the device itself without a name (no reads or writes on it), and numbers beyond the
    pipes refused, also one that 32-bit arithmetic would wrap to pipe 0. A minimal client of the
    bus's tool makes the single requests."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "handles") as run:
        data = random_bytes(3000)
        source = run.put_file("out.bin", data)
        alias = wh.alias_path(LOOPBACK)
        # \ep000 addresses pipe 0, the OUT pipe, and \ep01x pipe 1, the IN pipe.
        ok, written, error = raw_result(run.simctl("write", alias + "\\ep000", source, check=False)[1], "write")
        checks.equal((ok, written), (1, 3000), "write on \\ep000")
        ok, got, error = raw_result(run.simctl("read", alias + "\\ep01x", "3000", "in.bin", check=False)[1], "read")
        checks.equal((ok, got), (1, 3000), "read on \\ep01x")
        checks.same_bytes(run.file_path("in.bin").read_bytes(), data, "bytes back on \\ep01x")
        # Wine hands out the handle of a refused open all the same (it does not wait for the
        # driver's answer); the bus's alias keeps the answer. The handle then addresses no pipe.
        for path, expected, what in ((wh.DOS_NAMES[LOOPBACK], None, "the device itself"),
                                     (alias + "\\ep02", STATUS_INVALID_DEVICE_STATE, "pipe 2 of two"),
                                     (alias + "\\ep06", STATUS_INVALID_PARAMETER, "pipe 6"),
                                     (alias + "\\ep", STATUS_INVALID_PARAMETER, "a name without a digit"),
                                     # 2^32: pipe 0 where the digits are added up in 32 bits,
                                     # as an unsigned long is in Windows' x64 ABI, not in Linux's.
                                     (alias + "\\ep4294967296", STATUS_INVALID_PARAMETER, "pipe 2^32")):
            code, out, err = run.simctl("write", path, source, check=False)
            if expected is not None:
                checks.equal(run.counters(LOOPBACK)["lastOpenStatus"], expected, f"open of {what}")
            checks.equal(raw_result(out, "write")[2], ERROR_INVALID_HANDLE, f"write on the open of {what}")
        # Reads and writes on the interrupt pipe are refused.
        code, out, err = run.simctl("write", wh.alias_path(SCRIPTED) + pipe_name(SCRIPTED_INTERRUPT), source,
                                    check=False)
        checks.equal(raw_result(out, "write")[2], ERROR_INVALID_HANDLE, "write on the interrupt pipe")
        checks.equal(run.counters(SCRIPTED)["outTransfers"], 0, "transfers on the scripted instrument")
        checks.equal(run.counters(LOOPBACK)["outBytesTotal"], 3000, "bytes that reached the loopback")
    checks.finish()


def case_controls(args):
    """The control codes that change how reads work, through the real binary: a smaller read
    chunk bounds every IN transfer, partial reads return what is there, and clearing the
    read-ahead buffer drops what the driver had read ahead."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "controls") as run:
        def read(count, name):
            target = run.file_path(name)
            target.unlink(missing_ok=True)
            control(run, SCRIPTED, "read", str(SCRIPTED_IN), str(count), "--file", run.c_path(target))
            return target.read_bytes() if target.exists() else b""

        _, out, _ = control(run, SCRIPTED, "chunk", "read", "512")
        checks.expect(re.search(r"\b512\b", out) is not None, f"chunk reports 512: {out!r}")
        data = random_bytes(3000)
        run.queue(SCRIPTED, data)
        checks.same_bytes(read(3000, "chunked.bin"), data, "3000 bytes in 512-byte chunks")
        checks.equal(run.counters(SCRIPTED)["largestInRequest"], 512, "largest IN transfer")

        # 40 bytes there, 100 asked for: with partial reads the first read returns the 40 at once,
        # with their contents (a cancelled read's would not reach the program under Wine), and
        # kestrunectl's read of the other 60 then times out.
        _, out, _ = control(run, SCRIPTED, "options", "--partial-reads", "on")
        checks.expect("partial reads on" in out, f"options reports partial reads on: {out!r}")
        data = random_bytes(40)
        run.queue(SCRIPTED, data)
        target = run.file_path("partial.bin")
        code, out, err = control(run, SCRIPTED, "read", str(SCRIPTED_IN), "100", "--timeout", "1000", "--file",
                                 run.c_path(target), check=False)
        checks.expect(code != 0 and "after 40 of 100 bytes" in err, f"40 of 100 bytes read: {out!r} {err!r}")
        checks.same_bytes(target.read_bytes() if target.exists() else b"", data, "the partial read's 40 bytes")
        control(run, SCRIPTED, "options", "--partial-reads", "off")

        # A read of 100 brings a whole 512-byte packet into the read-ahead buffer; the clear drops
        # the other 412, so the next read starts with the bytes the instrument sent after them.
        data = random_bytes(1000)
        run.queue(SCRIPTED, data)
        checks.same_bytes(read(100, "first.bin"), data[:100], "the first 100 bytes")
        control(run, SCRIPTED, "clear")
        checks.same_bytes(read(488, "after-clear.bin"), data[512:], "the bytes after the cleared ones")
        checks.equal(run.counters(SCRIPTED)["inQueued"], 0, "bytes left queued")
    checks.finish()


def case_unplug(args):
    """An instrument pulled out while a read waits on it: the read ends at once with a failure
    instead of waiting for its time-out, the instrument leaves kestrunectl's list, and the other
    instrument goes on working."""
    checks = Checks()
    with wh.DriverRun(args.work, args.win64_dir, args.dist, "unplug") as run:
        reader = run.start(run.run_dir / "kestrunectl.exe", "--device", wh.DOS_NAMES[SCRIPTED], "--pipe-path",
                           wh.pipe_template(SCRIPTED), "read", str(SCRIPTED_IN), "100", "--timeout", "60000",
                           tag="waiting-read")
        try:
            run.wait_until(lambda: run.counters(SCRIPTED)["inPending"] == 1, 30, "the read's IN transfer at the bus")
            unplugged = time.monotonic()
            run.simctl("unplug", str(SCRIPTED))
            code, out, err = run.finish(reader, 20, "the read on the unplugged instrument")
        finally:
            wh.stop_group(reader)
        # Ended by the bus (device not connected) or by the driver's abort of its pipes (cancelled).
        checks.expect(code != 0 and ("error 1167)" in err or "error 995)" in err),
                      f"the read fails as disconnected or aborted: {out!r} {err!r}")
        checks.expect(time.monotonic() - unplugged < 20, "the read ended long before its 60 s time-out")

        def listed():
            return run.kestrunectl("list")[1]
        run.wait_until(lambda: "script02" not in listed().lower(), 20, "the unplugged instrument to leave the list")
        checks.expect("loop0001" in listed().lower(), "the loopback instrument is still listed")
        code, out, err = control(run, LOOPBACK, "loop", "5000", check=False)
        checks.expect(code == 0 and "identical" in out, f"the loopback instrument still loops: {out!r} {err!r}")
    checks.finish()


def demonstrate(args):
    """What an application sees of the real driver: kestrunectl list, info, a write to the
    loopback instrument and the read-back, each shown with its command line."""
    wh.create_template(args.work, args.win64_dir, args.dist, Path(args.work) / "install.log")
    try:
        with wh.DriverRun(args.work, args.win64_dir, args.dist, "demo") as run:
            device = ["--device", wh.DOS_NAMES[LOOPBACK]]
            pipes = device + ["--pipe-path", wh.pipe_template(LOOPBACK)]
            for arguments in (["list"],
                              device + ["info"],
                              pipes + ["write", str(LOOPBACK_OUT), "--text", "Hello, instrument"],
                              pipes + ["read", str(LOOPBACK_IN), "17"]):
                print("$ kestrunectl " + " ".join(f'"{a}"' if " " in a else a for a in arguments), flush=True)
                _, out, _ = run.kestrunectl(*arguments)
                print(out.rstrip(), flush=True)
    finally:
        wh.remove_template(args.work)


CASES = {name[len("case_"):]: function for name, function in globals().items() if name.startswith("case_")}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=["setup", "cleanup", "demo"] + sorted(CASES))
    parser.add_argument("--work", required=True)
    parser.add_argument("--win64-dir", required=True)
    parser.add_argument("--dist", required=True)
    args = parser.parse_args()
    # Wine takes only absolute prefix paths.
    args.work = str(Path(args.work).resolve())
    Path(args.work).mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    try:
        if args.case == "setup":
            wh.create_template(args.work, args.win64_dir, args.dist, Path(args.work) / "install.log")
        elif args.case == "cleanup":
            wh.remove_template(args.work)
        elif args.case == "demo":
            demonstrate(args)
            return 0
        else:
            CASES[args.case](args)
    except wh.Skipped as skipped:
        print(f"SKIPPED: {skipped}")
        return wh.SKIP
    except wh.Failed as failed:
        print(f"FAILED: {failed}")
        return 1
    print(f"passed in {time.monotonic() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
