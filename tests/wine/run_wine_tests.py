#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the real Windows program under Wine, on the real Windows C runtime,
against stand-in setupapi.dll and winusb.dll built from the scripted device,
and compares every byte it writes.

  run_wine_tests.py --build-dir DIR --prefix DIR [--program EXE] [--smoke]

DIR is a mingw-w64 build (the program, and wine-standins/ with the stand-in
DLLs and the errno_text helper). --program tests another build of the
program (a release's) with DIR's stand-ins. --smoke runs only the import
check, the no-device run and a quiet round trip. Prints the route it takes,
one line per test and a last line "N passed, N failed"; exits 1 when any
failed.

The program runs where this host's kernel can execute 32-bit code (the
32-bit program needs it, and so does the 64-bit one when wine32 is
installed); elsewhere, or when PELMORA_WINE_IN_GUEST=1, the same tests run
inside a QEMU guest that chroots into this host's own root
(tests/guest/run_in_guest.sh).
"""

import argparse
import errno
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

PROGRAM = "pelmora-winusb-test.exe"
WINE32_LOADER = "/usr/lib/wine/wine"
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CRLF = b"\r\n"
INVALID_HANDLE_LINE = b"OpenDevice() returned: 0xFFFFFFFF\r\n"


def windows_path(path):
    """The Wine drive Z: path of a Unix path."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def text_mode(data):
    """What the C runtime's text mode writes for data: each LF as CR LF."""
    return data.replace(b"\n", CRLF)


class Wine:
    """One Wine prefix and its server, kept running for all the runs (a
    server started inside a pipe makes every call hang for seconds, and one
    started under WINEDLLOVERRIDES starts its services with the stand-ins)."""

    def __init__(self, prefix, arch):
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=os.path.abspath(prefix), WINEARCH=arch,
                        WINEDEBUG="-all,err+module")
        for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLOVERRIDES"):
            self.env.pop(name, None)

    def start(self):
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=self.env)
        if not os.path.isdir(self.env["WINEPREFIX"]):
            subprocess.run(["wine", "wineboot.exe"], timeout=600, check=True, **quiet)
        # One server of our own, kept until stop(), outside any pipe.
        subprocess.run(["wineserver", "-k"], **quiet)
        subprocess.run(["wineserver", "-p"], check=True, **quiet)
        subprocess.run(["wine", "wineboot.exe"], timeout=300, check=True, **quiet)

    def stop(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def run(self, exe, args, folder, stdin=b"", extra_env=None, streams=None):
        """Runs exe with every stream on a file in folder; returns
        (exit status, stdout bytes, stderr bytes). streams may replace the
        stdin/stdout file objects (to open one in the wrong direction)."""
        env = dict(self.env)
        env.update(extra_env or {})
        stdin_path = os.path.join(folder, "stdin.bin")
        with open(stdin_path, "wb") as f:
            f.write(stdin)
        out_path = os.path.join(folder, "stdout.bin")
        err_path = os.path.join(folder, "stderr.bin")
        streams = streams or {}
        with open(stdin_path, "rb") as fin, open(out_path, "wb") as fout, \
                open(err_path, "wb") as ferr:
            result = subprocess.run(["wine", exe] + list(args), env=env,
                                    stdin=streams.get("stdin", fin),
                                    stdout=streams.get("stdout", fout), stderr=ferr,
                                    timeout=120)
        with open(out_path, "rb") as f:
            out = f.read()
        with open(err_path, "rb") as f:
            err = f.read()
        return result.returncode, out, err


class Run:
    """One run of the program and what the stand-in device recorded."""

    def __init__(self, status, out, err, calls, received):
        self.status, self.out, self.err = status, out, err
        self.calls, self.received = calls, received

    def calls_to(self, function):
        return [c[len(function) + 1:] for c in self.calls if c.startswith(function + " ")]

    def lengths(self, function):
        return [int(re.search(r"length=(\d+)", c).group(1)) for c in self.calls_to(function)]

    def pipes(self, function):
        return [re.search(r"pipe=(\w+)", c).group(1) for c in self.calls_to(function)]

    def handle(self):
        """The device handle the program passed to the binding."""
        found = self.calls_to("WinUsb_Initialize")
        return int(found[0].split("device=")[1], 16) if found else None


class Harness:
    def __init__(self, build_dir, program, wine, work, pointer_bytes):
        self.wine, self.work, self.pointer_bytes = wine, work, pointer_bytes
        standins = os.path.join(build_dir, "wine-standins")
        self.program = program
        # The program beside both stand-ins, and beside the WinUSB one only
        # (Wine's own setupapi then enumerates: no device is present).
        self.with_device = self._app_folder("app-device", standins, ["setupapi.dll", "winusb.dll"])
        self.without_device = self._app_folder("app-no-device", standins, ["winusb.dll"])
        self.errno_helper = os.path.join(standins, "errno_text.exe")
        self.runs = 0
        self.device_file = os.path.join(work, "device")
        open(self.device_file, "wb").close()
        self.error_texts = {}

    def _app_folder(self, name, standins, dlls):
        folder = os.path.join(self.work, name)
        os.makedirs(folder, exist_ok=True)
        shutil.copy(self.program, folder)
        for dll in dlls:
            shutil.copy(os.path.join(standins, dll), folder)
        return os.path.join(folder, PROGRAM)

    def _folder(self):
        self.runs += 1
        folder = os.path.join(self.work, "run-%03d" % self.runs)
        os.makedirs(os.path.join(folder, "record"))
        return folder

    def error_text(self, number):
        """This runtime's perror text for an error number, from its own
        _wperror (Wine says "Success" for 0 where Windows says "No error")."""
        if number not in self.error_texts:
            status, _, err = self.wine.run(self.errno_helper, [str(number)], self._folder())
            match = re.fullmatch(rb"message: ([^\r\n]+)\r\n", err)
            if status != 0 or not match:
                raise AssertionError("errno_text %d printed %r" % (number, err))
            self.error_texts[number] = match.group(1)
        return self.error_texts[number]

    def diagnostic(self, message, number=0):
        """A diagnostic line as the perror form writes it in text mode."""
        return text_mode(message) + b": " + self.error_text(number) + CRLF

    def device_path(self):
        return "\\\\?\\" + windows_path(self.device_file)

    def run(self, args=(), stdin=b"", script=None, device=True, streams=None):
        """Runs the program with the stand-ins following script (text, see
        scripted_script_text.h; None: no device present), or, when device
        is False, with Wine's own setupapi, which finds no device."""
        folder = self._folder()
        record = os.path.join(folder, "record")
        env = {"PELMORA_DEVICE_RECORD": windows_path(record)}
        if device:
            env["WINEDLLOVERRIDES"] = "winusb,setupapi=n"
            if script is not None:
                script_path = os.path.join(folder, "script.txt")
                with open(script_path, "w") as f:
                    f.write(script)
                env["PELMORA_DEVICE_SCRIPT"] = windows_path(script_path)
        else:
            env["WINEDLLOVERRIDES"] = "winusb=n;setupapi=b"
        exe = self.with_device if device else self.without_device
        status, out, err = self.wine.run(exe, args, folder, stdin, env, streams)
        calls, received = [], b""
        for name in ("setupapi", "winusb"):
            error_path = os.path.join(record, name + ".error")
            if os.path.exists(error_path):
                with open(error_path) as f:
                    raise AssertionError("the %s stand-in rejected its script: %s"
                                         % (name, f.read().strip()))
            log_path = os.path.join(record, name + ".log")
            if os.path.exists(log_path):
                with open(log_path) as f:
                    calls += f.read().splitlines()
            elif name == "winusb" or device:
                # Every run loads its stand-ins; a missing log would make
                # "no such call" checks pass for nothing.
                raise AssertionError("the %s stand-in left no call log" % name)
        received_path = os.path.join(record, "winusb.received")
        if os.path.exists(received_path):
            with open(received_path, "rb") as f:
                received = f.read()
        return Run(status, out, err, calls, received)

    # Texts the program writes, as they reach the streams.
    def preamble(self):
        guid = b"".join(b"%02X-" % b for b in bytes.fromhex("98D72061" "92D16344"
                                                             "B0DE2B65ED2F4870"))
        return (b"pelmora WinUSB test application.\r\n"
                b"DeviceInterface GUID to search for: " + guid + CRLF)

    def lookup(self, found):
        return (self.diagnostic(b"GetDevicePath.\n") +
                self.diagnostic(b"GetDevicePath() returned %s.\n" % (b"TRUE" if found else b"FALSE")))

    @staticmethod
    def open_line(run):
        return b"OpenDevice() returned: 0x%08X\r\n" % (run.handle() & 0xFFFFFFFF)

    @staticmethod
    def session_lines(*outcomes):
        names = [b"WinUsb_Initialize", b"WinUsb_QueryDeviceInformation",
                 b"WinUsb_QueryInterfaceSettings"]
        return b"".join(b"%s() returned %s.\r\n" % (name, b"TRUE" if ok else b"FALSE")
                        for name, ok in zip(names, outcomes))

    @staticmethod
    def attempting(*lengths):
        return b"".join(b"Attempting WinUsb_WritePipe() for %d bytes.\r\n" % n for n in lengths)


def working_device(harness, *extra):
    lines = ["path " + harness.device_path(), "pipe bulk 0x01", "pipe bulk 0x81",
             "pipe interrupt 0x83"]
    return "\n".join(lines + list(extra)) + "\n"


def reads(*chunks):
    return ["read " + chunk.hex() for chunk in chunks]


def pattern(length, seed=0):
    return bytes((i * 7 + seed) & 0xFF for i in range(length))


# Every byte value, CR LF pairs, lone CR and LF, 0x1A and 0x00 in both
# directions: what a text-mode stream would change.
AWKWARD = b"\r\n\x1a\x00ab\n\rcd\r\r\n\x1a" + bytes(range(256)) + b"\r\n"


class Failure(Exception):
    pass


def expect(label, actual, expected):
    if actual != expected:
        raise Failure("%s: expected %r, got %r" % (label, expected, actual))


# ---- Scenarios: each takes the harness and raises Failure on a mismatch. ----

def no_device_verbose(h):
    run = h.run(stdin=b"never read\n", device=False)
    expect("exit status", run.status, 0)
    expect("stdout", run.out,
           h.preamble() + INVALID_HANDLE_LINE + h.session_lines(False))
    expect("stderr", run.err, h.lookup(False))
    expect("binding calls", run.calls, ["WinUsb_Initialize device=0x%X" % (
        (1 << (8 * h.pointer_bytes)) - 1)])


def no_device_quiet(h):
    run = h.run(["16"], stdin=b"never read\n", device=False)
    expect("exit status", run.status, 0)
    expect("stdout", run.out, b"")
    expect("stderr", run.err, h.lookup(False))


def quiet_round_trip(h):
    reply = AWKWARD[::-1] + AWKWARD
    run = h.run([str(len(reply))], stdin=AWKWARD, script=working_device(h, *reads(reply)))
    expect("exit status", run.status, 0)
    expect("stdout", run.out, reply)
    expect("stderr", run.err, h.lookup(True))
    expect("bytes the device took", run.received, AWKWARD)
    expect("write lengths", run.lengths("WinUsb_WritePipe"), [len(AWKWARD)])
    expect("read lengths", run.lengths("WinUsb_ReadPipe"), [len(reply)])
    # The records handed to SetupAPI have the platform's sizes: 28 and 6
    # bytes on 32-bit Windows, 32 and 8 on 64-bit.
    sizes = {4: ("28", "6"), 8: ("32", "8")}[h.pointer_bytes]
    expect("interface record size",
           [c.split("cbSize=")[1] for c in run.calls_to("SetupDiEnumDeviceInterfaces")],
           [sizes[0]])
    expect("detail record sizes",
           [c.split("cbSize=")[1].split()[0]
            for c in run.calls_to("SetupDiGetDeviceInterfaceDetailW")], ["-", sizes[1]])


def verbose_with_device(h):
    data = b"0123\r\n\x1a\x00\n9"
    run = h.run(stdin=data, script=working_device(h, *reads(b"unused")))
    expect("exit status", run.status, 0)
    expect("stdout", run.out, h.preamble() + h.open_line(run) +
           h.session_lines(True, True, True) + h.attempting(10))
    expect("stderr", run.err, h.lookup(True))
    expect("bytes the device took", run.received, data)
    expect("reads", run.calls_to("WinUsb_ReadPipe"), [])
    expect("lookup calls", [c.split()[0] for c in run.calls[:5]],
           ["SetupDiGetClassDevsW", "SetupDiEnumDeviceInterfaces",
            "SetupDiGetDeviceInterfaceDetailW", "SetupDiGetDeviceInterfaceDetailW",
            "SetupDiDestroyDeviceInfoList"])
    expect("write", run.calls_to("WinUsb_WritePipe")[0].split()[1:3], ["pipe=0x1", "length=10"])
    # Opened for reading and writing (FILE_GENERIC_READ | FILE_GENERIC_WRITE)
    # with overlapped I/O (no synchronous mode), as WinUSB needs.
    expect("device handle", run.calls_to("DeviceHandle"), ["granted=0x12019F mode=0x0"])


def first_of_two_devices(h):
    other = os.path.join(h.work, "second-device")
    open(other, "wb").close()
    script = working_device(h) + "path \\\\?\\" + windows_path(other) + "\n"
    run = h.run(["1"], stdin=b"x", script=script + "read 41\n")
    expect("stdout", run.out, b"A")
    expect("bytes the device took", run.received, b"x")


def chunks_in_verbose_mode(h):
    for size, lengths, lines in [(0, [], [0]), (4096, [4096], [4096, 0]),
                                 (4097, [4096, 1], [4096, 1]),
                                 (10000, [4096, 4096, 1808], [4096, 4096, 1808])]:
        data = pattern(size, seed=size)
        run = h.run(stdin=data, script=working_device(h))
        expect("%d bytes: stdout" % size, run.out, h.preamble() + h.open_line(run) +
               h.session_lines(True, True, True) + h.attempting(*lines))
        expect("%d bytes: write lengths" % size, run.lengths("WinUsb_WritePipe"), lengths)
        expect("%d bytes: bytes the device took" % size, run.received, data)


def short_writes(h):
    data = pattern(4096, seed=3)
    run = h.run(["1"], stdin=data, script=working_device(h, "max-bytes-per-write 512",
                                                            *reads(b"z")))
    expect("write lengths", run.lengths("WinUsb_WritePipe"), list(range(4096, 0, -512)))
    expect("bytes the device took", run.received, data)
    expect("stdout", run.out, b"z")
    # A write that takes nothing is issued again with the same length.
    run = h.run(["1"], stdin=b"0123456789",
                script=working_device(h, "write-takes 0 3", *reads(b"z")))
    expect("write lengths after a write that took nothing",
           run.lengths("WinUsb_WritePipe"), [10, 10, 7])
    expect("bytes the device took", run.received, b"0123456789")


def counted_reads(h):
    cases = [  # arguments, replies, read lengths asked
        (["64"], [pattern(40), pattern(24, 1)], [64, 24]),
        (["10000"], [pattern(4096), pattern(4096, 1), pattern(1808, 2)], [4096, 4096, 1808]),
        (["5"], [b"", b"hello"], [5, 5]),  # a zero-length packet changes nothing
        (["12abc"], [pattern(12)], [12]),
        (["3", "99"], [b"abc"], [3]),
        ([" +7"], [b"seven!!"], [7]),
    ]
    for args, replies, asked in cases:
        run = h.run(args, script=working_device(h, *reads(*replies)))
        expect("%s: read lengths" % args, run.lengths("WinUsb_ReadPipe"), asked)
        expect("%s: stdout" % args, run.out, b"".join(replies))
        expect("%s: stderr" % args, run.err, h.lookup(True))
        expect("%s: read pipe" % args, set(run.pipes("WinUsb_ReadPipe")), {"0x81"})


def count_minus_one_reads_until_a_read_fails(h):
    run = h.run(["-1"], script=working_device(h, *reads(pattern(4096), pattern(100, 1)),
                                              "read-fails"))
    expect("exit status", run.status, 0)
    expect("read lengths", run.lengths("WinUsb_ReadPipe"), [4096, 4096, 4096])
    expect("stdout", run.out, pattern(4096) + pattern(100, 1))
    expect("stderr", run.err,
           h.lookup(True) + h.diagnostic(b"WinUsb_ReadPipe() returned FALSE.\n"))


def not_a_number_is_verbose(h):
    run = h.run(["abc"], stdin=b"q", script=working_device(h, *reads(b"unused")))
    expect("stdout", run.out, h.preamble() + h.open_line(run) +
           h.session_lines(True, True, True) + h.attempting(1))
    expect("reads", run.calls_to("WinUsb_ReadPipe"), [])


def setup_failures(h):
    for failing, outcomes in [("initialize-fails", (False,)),
                              ("speed-query-fails", (True, False)),
                              ("interface-query-fails", (True, True, False))]:
        run = h.run(stdin=b"never sent", script=working_device(h, failing))
        expect(failing + ": exit status", run.status, 0)
        expect(failing + ": stdout", run.out,
               h.preamble() + h.open_line(run) + h.session_lines(*outcomes))
        expect(failing + ": stderr", run.err, h.lookup(True))
        expect(failing + ": writes", run.calls_to("WinUsb_WritePipe"), [])
        # Quiet mode: the same failure prints nothing and reads nothing.
        run = h.run(["8"], stdin=b"never sent", script=working_device(h, failing, "read 41"))
        expect(failing + " quiet: stdout", run.out, b"")
        expect(failing + " quiet: stderr", run.err, h.lookup(True))
        expect(failing + " quiet: reads", run.calls_to("WinUsb_ReadPipe"), [])


def lookup_failure(h):
    run = h.run(stdin=b"never sent", script=working_device(h, "detail-query-fails"))
    expect("stdout", run.out, h.preamble() + INVALID_HANDLE_LINE + h.session_lines(False))
    expect("stderr", run.err, h.lookup(False))


def write_failures(h):
    run = h.run(["8"], stdin=b"abc", script=working_device(h, "failing-write 1", "read 41"))
    expect("first write: exit status", run.status, 0)
    expect("first write: stdout", run.out, b"")
    expect("first write: stderr", run.err,
           h.lookup(True) + h.diagnostic(b"WinUsb_WritePipe() returned FALSE.\n"))
    expect("first write: reads", run.calls_to("WinUsb_ReadPipe"), [])
    data = pattern(9000)
    run = h.run(stdin=data, script=working_device(h, "failing-write 2"))
    expect("second write: write lengths", run.lengths("WinUsb_WritePipe"), [4096, 4096])
    expect("second write: bytes the device took", run.received, data[:4096])
    expect("second write: stdout", run.out, h.preamble() + h.open_line(run) +
           h.session_lines(True, True, True) + h.attempting(4096, 4096))
    expect("second write: stderr", run.err,
           h.lookup(True) + h.diagnostic(b"WinUsb_WritePipe() returned FALSE.\n"))


def read_failure_keeps_what_arrived(h):
    run = h.run(["10"], script=working_device(h, "read 0d0a1a", "read-fails"))
    expect("stdout", run.out, b"\r\n\x1a")
    expect("read lengths", run.lengths("WinUsb_ReadPipe"), [10, 7])
    expect("stderr", run.err,
           h.lookup(True) + h.diagnostic(b"WinUsb_ReadPipe() returned FALSE.\n"))


def stream_failures(h):
    # Under Wine a descriptor opened the wrong way round fails its reads or
    # writes (where /dev/full does not): the runtime reports EBADF.
    bad_descriptor = 9
    with open(os.path.join(h.work, "write-only-input"), "ab") as write_only:
        run = h.run(["4"], script=working_device(h, "read 41424344"),
                    streams={"stdin": write_only})
    expect("unreadable stdin: exit status", run.status, 1)
    expect("unreadable stdin: stderr", run.err, h.lookup(True) +
           h.diagnostic(b"Cannot read from stdin", bad_descriptor))
    expect("unreadable stdin: reads", run.calls_to("WinUsb_ReadPipe"), [])
    with open(h.device_file, "rb") as read_only:
        run = h.run(["4"], stdin=b"x", script=working_device(h, "read 41424344"),
                    streams={"stdout": read_only})
    expect("unwritable stdout: exit status", run.status, 1)
    expect("unwritable stdout: stderr", run.err, h.lookup(True) +
           h.diagnostic(b"Cannot write to stdout", bad_descriptor))


def pipe_map(h):
    path = "path " + h.device_path()
    # The last bulk IN and the last bulk OUT win; interrupt pipes are kept apart.
    script = "\n".join([path, "pipe bulk 0x02", "pipe bulk 0x81", "pipe interrupt 0x03",
                        "pipe bulk 0x82", "pipe bulk 0x04", "read 41"]) + "\n"
    run = h.run(["1"], stdin=b"x", script=script)
    expect("write pipe", run.pipes("WinUsb_WritePipe"), ["0x4"])
    expect("read pipe", run.pipes("WinUsb_ReadPipe"), ["0x82"])
    # A control or isochronous endpoint ends the session silently.
    for kind in ("control", "isochronous"):
        script = "\n".join([path, "pipe bulk 0x01", "pipe %s 0x05" % kind,
                            "pipe bulk 0x81"]) + "\n"
        run = h.run(stdin=b"never sent", script=script)
        expect(kind + ": stdout", run.out, h.preamble() + h.open_line(run) +
               h.session_lines(True, True, True))
        expect(kind + ": pipe queries", len(run.calls_to("WinUsb_QueryPipe")), 2)
        expect(kind + ": writes", run.calls_to("WinUsb_WritePipe"), [])
    # A failed last query ends the session too.
    run = h.run(["1"], stdin=b"never sent",
                script=working_device(h).replace("0x83", "0x83 query-fails") + "read 41\n")
    expect("failed query: writes", run.calls_to("WinUsb_WritePipe"), [])
    expect("failed query: stdout", run.out, b"")
    # No endpoints: the transfers address pipe 0.
    run = h.run(["1"], stdin=b"x", script=path + "\nread 41\n")
    expect("no endpoints: pipes", run.pipes("WinUsb_WritePipe") + run.pipes("WinUsb_ReadPipe"),
           ["0x0", "0x0"])
    expect("no endpoints: stdout", run.out, b"A")


def cut_path(h):
    # Two real files whose paths are 260 and 261 characters long: the first
    # is opened, the second is cut by the lookup and nothing is opened.
    folder = os.path.join(h.work, "long")
    os.makedirs(folder, exist_ok=True)
    prefix = "\\\\?\\" + windows_path(folder) + "\\"
    for length, found in [(260, True), (261, False)]:
        name = "d" * (length - len(prefix))
        open(os.path.join(folder, name), "wb").close()
        path = prefix + name
        assert len(path) == length
        script = "\n".join(["path " + path, "pipe bulk 0x01", "pipe bulk 0x81", "read 41"])
        run = h.run(["1"] if found else [], stdin=b"x", script=script + "\n")
        expect("%d characters: stderr" % length, run.err, h.lookup(found))
        if found:
            expect("%d characters: stdout" % length, run.out, b"A")
        else:
            expect("%d characters: stdout" % length, run.out, h.preamble() + INVALID_HANDLE_LINE +
                   h.session_lines(False))
            expect("%d characters: open" % length, run.handle() & 0xFFFFFFFF, 0xFFFFFFFF)


SMOKE = [no_device_verbose, quiet_round_trip]
ALL = [no_device_verbose, no_device_quiet, verbose_with_device, quiet_round_trip,
       first_of_two_devices, chunks_in_verbose_mode, short_writes, counted_reads,
       count_minus_one_reads_until_a_read_fails, not_a_number_is_verbose, setup_failures,
       lookup_failure, write_failures, read_failure_keeps_what_arrived, stream_failures,
       pipe_map, cut_path]


# ---- What the executable imports. ----

def imports_by_dll(objdump, exe):
    listing = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    imports, dll = {}, None
    for line in listing.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            dll = match.group(1).lower()
            imports[dll] = set()
            continue
        match = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)$", line)
        if dll and match:
            imports[dll].add(match.group(1))
        elif dll and not line.strip() == "" and "Member-Name" not in line:
            dll = None
    subsystem = re.search(r"^Subsystem\s+\S+\s+\((.*)\)", listing, re.M)
    return imports, subsystem.group(1) if subsystem else None


def def_exports(path):
    with open(path) as f:
        lines = [l.split(";")[0].strip() for l in f]
    return set(lines[lines.index("EXPORTS") + 1:]) - {""}


def check_imports(objdump, exe, source_dir):
    imports, subsystem = imports_by_dll(objdump, exe)
    expect("subsystem", subsystem, "Windows CUI")
    expect("DLLs", sorted(imports), ["kernel32.dll", "msvcrt.dll", "setupapi.dll", "winusb.dll"])
    every = set().union(*imports.values())
    replaced = sorted(n for n in every if n.startswith(("__mingw_", "__ms_")))
    expect("mingw replacements imported", replaced, [])
    needed = {"vfwprintf", "_wperror", "_setmode", "_fileno", "fread", "fwrite",
              "__wgetmainargs"}
    expect("runtime functions not from msvcrt.dll", sorted(needed - imports["msvcrt.dll"]), [])
    wine = os.path.join(source_dir, "tests", "wine")
    expect("SetupAPI imports = stand-in exports", imports["setupapi.dll"],
           def_exports(os.path.join(wine, "setupapi.def")))
    expect("WinUSB imports = stand-in exports", imports["winusb.dll"],
           def_exports(os.path.join(wine, "winusb.def")))


def pe_pointer_bytes(exe):
    """4 for a 32-bit x86 executable, 8 for x86-64, from its PE header."""
    with open(exe, "rb") as f:
        header = f.read(4096)
    pe = int.from_bytes(header[0x3C:0x40], "little")
    machine = int.from_bytes(header[pe + 4:pe + 6], "little")
    return {0x14C: 4, 0x8664: 8}[machine]


# ---- Where the 32-bit program can run. ----

def host_cannot_run_32_bit():
    """Why this host cannot run the 32-bit Wine, or None when it can."""
    try:
        result = subprocess.run([WINE32_LOADER, "--version"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return "%s: Exec format error" % WINE32_LOADER
        return "%s: %s" % (WINE32_LOADER, error.strerror)
    if result.returncode == 126:
        return "%s --version: status 126" % WINE32_LOADER
    return None


def run_in_guest(options, label):
    """The same tests inside a QEMU guest: relays its lines and counts them,
    so that a guest that dies half way still ends with a true summary."""
    shared = os.path.dirname(os.path.abspath(options.prefix))
    os.makedirs(shared, exist_ok=True)
    # The prefix lives in the guest's own memory: one on the shared folder is
    # several times slower to create than it saves.
    command = [os.path.join(SOURCE_DIR, "tests", "guest", "run_in_guest.sh"), shared, "--",
               sys.executable, os.path.abspath(__file__), "--route", "host",
               "--build-dir", os.path.abspath(options.build_dir),
               "--program", os.path.abspath(options.program),
               "--prefix", "/dev/shm/pelmora-wine-prefix"] + (["--smoke"] if options.smoke else [])
    passed = failed = 0
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, text=True, errors="replace")
    for line in process.stdout:
        if re.fullmatch(r"\d+ passed, \d+ failed\n?", line) or line.startswith("route: "):
            continue
        passed += line.startswith("PASS ")
        failed += line.startswith("FAIL ")
        print(line, end="", flush=True)
    status = process.wait()
    if status != 0 and failed == 0:
        failed += 1
        print("FAIL %s guest: the run in the QEMU guest ended with status %d" % (label, status))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and passed > 0 else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--program", help="the program to test (default: the build's)")
    parser.add_argument("--prefix", required=True, help="Wine prefix (created when missing)")
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--route", choices=("auto", "host", "guest"), default="auto",
                        help="where the 32-bit program runs (default: this host if it can)")
    options = parser.parse_args()

    source_dir = SOURCE_DIR
    exe = options.program = options.program or os.path.join(options.build_dir, PROGRAM)
    if not os.path.isfile(exe):
        print("FAIL program: %s is missing" % exe)
        print("0 passed, 1 failed")
        return 1
    pointer_bytes = pe_pointer_bytes(exe)
    objdump = ("i686" if pointer_bytes == 4 else "x86_64") + "-w64-mingw32-objdump"
    arch = "win32" if pointer_bytes == 4 else "win64"
    label = "%d-bit" % (pointer_bytes * 8)

    if pointer_bytes == 4 and not os.path.exists(WINE32_LOADER):
        print("FAIL %s wine32: %s is missing on this host: install wine32:i386" %
              (label, WINE32_LOADER))
        print("0 passed, 1 failed")
        return 1
    why = "asked for"
    # Debian's wine command starts every program through the 32-bit loader
    # once wine32 is installed, so the 64-bit program then needs it too.
    if options.route == "auto" and (pointer_bytes == 4 or os.path.exists(WINE32_LOADER)):
        reason = host_cannot_run_32_bit()
        if os.environ.get("PELMORA_WINE_IN_GUEST") == "1":
            options.route, why = "guest", "PELMORA_WINE_IN_GUEST=1"
        elif reason:
            options.route, why = "guest", "this host cannot run 32-bit code: " + reason
    if options.route == "guest":
        print("route: %s program in a QEMU guest (%s)" % (label, why), flush=True)
        return run_in_guest(options, label)
    print("route: %s program on this host" % label, flush=True)

    results = []

    def record(name, action):
        try:
            action()
            results.append(True)
            print("PASS %s %s" % (label, name), flush=True)
        except Exception as error:  # any fault of a test is its failure, not the run's end
            results.append(False)
            print("FAIL %s %s: %s" % (label, name, str(error)[:2000]), flush=True)

    record("imports", lambda: check_imports(objdump, exe, source_dir))

    wine = Wine(options.prefix, arch)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    work = tempfile.mkdtemp(prefix="pelmora-wine-")
    try:
        wine.start()
        harness = Harness(options.build_dir, exe, wine, work, pointer_bytes)
        for scenario in SMOKE if options.smoke else ALL:
            record(scenario.__name__, lambda: scenario(harness))
    finally:
        wine.stop()
        if all(results):
            shutil.rmtree(work, ignore_errors=True)
        else:
            print("runs kept in %s" % work)
    passed = sum(results)
    print("%d passed, %d failed" % (passed, len(results) - passed))
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())
