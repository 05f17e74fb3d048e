#!/usr/bin/env python3
"""The built program as a user runs it, against real ports.

    python3 tests/e2e.py BUILD_DIR RUNNER... [--exe=uipacer.exe]

CASES says once what the program promises of a port; each runner says only
how it starts the program and reaches its port, and which cases it cannot
show, with the reason. Runners: linux (pseudo-terminals, then what only this
build shows), tcp (a KISS TNC on TCP), no-termios2 (QEMU's user-mode
emulation, which lacks the termios2 calls), windows and windows-tcp
(uipacer.exe under Wine), direwolf (every example through Dire Wolf, decoded
back from the audio it transmits), vm-amd64, vm-arm64, vm-armhf (a guest's
own UART driver, 8250 or PL011, under QEMU), vm-usb-ftdi, vm-usb-acm (its
USB serial drivers, ftdi_sio and cdc-acm).
Ends "N passed, M failed".
"""
import atexit, contextlib, fcntl, os, re, select, shutil, signal, socket, struct, subprocess, sys, tempfile, termios
import time, types, wave
from dataclasses import dataclass, field
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[1]
VERSION = re.search(r"project\(uipacer VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())[1]
SPEEDS = [int(s) for s in re.findall(r'"(\d+)"', (SOURCE / "app/speeds.h").read_text())]
BANNER = f"\nUipacer version {VERSION} by Tobrin\n\n"
A_TO_B = "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0"
LINES = [b"N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>hello\n", b"A>B:\xc0\xdb\r\n", b"A>B:i"]
FRAMES = bytes.fromhex("C0 00 82 A0 A4 A6 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 AE 92"
                       f" 88 8A 64 40 65 03 F0 3E 68 65 6C 6C 6F 0A C0 {A_TO_B} DB DC DB DD 0D 0A C0"
                       f" {A_TO_B} 69 C0")
ONE_FRAME = bytes.fromhex(A_TO_B + " 69 0A C0")
# 180 octets: a stalled UART must stop the program inside this frame, with
# at most 128 queued and a few below the driver (see Guest.run_case); at
# 1200 Bd what it queued would take a second to go, so it must be discarded.
STALL_LINE = b"A>B:" + b"x" * 160 + b"\n"
STALL_FRAME = bytes.fromhex(A_TO_B) + STALL_LINE[4:] + b"\xc0"
FILES = {"frames": b"".join(LINES), "empty": b"", "one": b"A>B:i\n", "two": b"A>B:i\nA>B:j\n",
         "stall": STALL_LINE * 2, "\u03a9": b"A>B:i\n", "O": b"A>B:O\n"}


def sent(*lines):
    return "".join(f"Sending frame:\n {line.decode('latin-1')}\n\n" for line in lines)


class Case:
    """{file} and {port} in args are the input file and the port as the
    runner names it in the case's form; {…} in console, the runner's words.
    action: what the test does to the port meanwhile. tcp_only: why a
    serial port cannot show it."""

    def __init__(self, name, file="one", pause="1", status=0, console="", octets=b"", form="device",
                 action=None, speed=9600, signal=None, tcp_only=None):
        self.__dict__.update({k: v for k, v in locals().items() if k != "self"})
        self.args = ["{file}", "{port}", str(speed), pause]


CASES = [
    Case("frames, paced", "frames", console=sent(*LINES), octets=FRAMES, action="pace"),
    Case("frames through Com2", "frames", console=sent(*LINES), octets=FRAMES, form="com"),
    # Windows' ANSI command line would give "O" for the omega, another file.
    Case("a file name outside the ANSI code page", "\u03a9", console=sent(b"A>B:i\n"),
         octets=ONE_FRAME),
    *(Case(f"{speed} Bd", "empty", speed=speed, action="settings") for speed in SPEEDS),
    *(Case(f"{how} by another program", status=1, action=how,
           console="\nUnable to open serial port {port} ({busy}).\n") for how in ("held", "locked")),
    Case("no such device", status=1, form="missing", console="\nUnable to {opening} {port} ({missing}).\n"),
    Case("not a terminal", status=1, form="null",
         console="\nUnable to open serial port {port} (Inappropriate ioctl for device).\n"),
    Case("stalled line", "stall", "5", 1, sent(STALL_LINE) + "\nUnable to write to serial port {port} "
         "(no octet taken within 60 ms).\n", action="stall", speed=1200),
    Case("hang-up", "two", status=1, octets=ONE_FRAME, action="hangup",
         console=sent(*FILES["two"].splitlines(True)) + "\nUnable to {writing} {port} ({hung_up}).\n"),
    *(Case(f"stopped by {sig.name}", "two", "5", 128 + sig, sent(b"A>B:i\n") + f"\nRun stopped by {{{sig.name}}}"
           " after frame 1.\n", ONE_FRAME, action="stop", signal=sig)
      for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)),
    Case("the TNC talks back all along", "frames", console=sent(*LINES), octets=FRAMES, action="talk"),
    Case("no such host", status=1, form="unresolved", tcp_only="a serial port has no host name",
         console="\nUnable to {opening} {port} ({unresolved}).\n"),
    Case("reset by the TNC", "two", status=1, octets=ONE_FRAME, action="reset",
         console=sent(*FILES["two"].splitlines(True)) + "\nUnable to {writing} {port} ({reset}).\n",
         tcp_only="a serial line has no connection to reset"),
    Case("one send per frame", "frames", console=sent(*LINES), octets=FRAMES, action="count sends",
         tcp_only="a serial line has no sends to count"),
]
TCP_ONLY = {c.name: c.tcp_only for c in CASES if c.tcp_only}


# Terminals: the settings with their real speeds, [iflag, oflag, cflag,
# lflag, line, control characters, ispeed, ospeed].
TCGETS2, TCSETS2, TIOCGEXCL = 0x802C542A, 0x402C542B, 0x80045440


def termios2(fd, new=None):
    if new:
        fcntl.ioctl(fd, TCSETS2, struct.pack("4IB19s2I", *new))
    return list(struct.unpack("4IB19s2I", fcntl.ioctl(fd, TCGETS2, bytes(44))))


def held(fd):
    return fcntl.ioctl(fd, TIOCGEXCL, bytes(4)) != bytes(4)


class Pty:
    """A pseudo-terminal, its slave held (settings outlive a run) and set as
    a port may be found: cooked 7E2, 1200 Bd out and 2400 Bd in, XON/XOFF,
    RTS/CTS."""

    def __init__(self, input_speed=termios.B2400):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        t = termios2(self.slave)
        t[:4] = [t[0] | termios.IXON | termios.IXOFF | termios.ICRNL, t[1] | termios.OPOST,
                 (t[2] & ~(termios.CBAUD | termios.CIBAUD | termios.CLOCAL | termios.CSIZE)) | termios.B1200
                 | input_speed << 16 | termios.CS7 | termios.PARENB | termios.CSTOPB | termios.CRTSCTS,
                 t[3] | termios.ICANON | termios.ECHO]
        termios2(self.slave, t)

    def close(self):
        for fd in (self.master, self.slave):
            with contextlib.suppress(OSError):
                os.close(fd)

    def raw_at(self, speed):  # raw 8N1, RTS/CTS as found
        i, o, c, l, *_, ispeed, ospeed = termios2(self.slave)
        return (ispeed, ospeed, c & (termios.CSIZE | termios.CSTOPB | termios.PARENB | termios.CREAD
                                     | termios.CLOCAL | termios.CRTSCTS), o & termios.OPOST,
                i & (termios.IXON | termios.IXOFF | termios.ICRNL), l & (termios.ICANON | termios.ECHO)) \
            == (speed, speed, termios.CS8 | termios.CREAD | termios.CLOCAL | termios.CRTSCTS, 0, 0, 0)


class Run:
    """One run: its console, through a file (Wine's helpers would keep a
    pipe open), and the octets from link with their times."""

    def __init__(self, command, link=None, crlf=False, stdout=None, closed_console=False):
        self.link, self.crlf, self.octets, self.arrival = link, crlf, bytearray(), []
        self.file = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([str(c) for c in command], stdin=subprocess.DEVNULL, stdout=stdout or self.file,
                                     stderr=subprocess.STDOUT,
                                     preexec_fn=(lambda: (os.close(0), os.close(1))) if closed_console else None)
        self.started = time.monotonic()

    def pump(self, timeout):
        try:
            while select.select([self.link] if self.link is not None else [], [], [], timeout)[0] and \
                    (data := os.read(self.link, 65536)):
                self.octets += data
                self.arrival += [time.monotonic() - self.started] * len(data)
                timeout = 0
        except OSError:
            pass

    def collect(self, octets, seconds=10):
        deadline = time.monotonic() + seconds
        while len(self.octets) < octets and time.monotonic() < deadline and self.proc.poll() is None:
            self.pump(0.005)

    def finish(self, seconds=30):
        deadline = time.monotonic() + seconds
        while self.proc.poll() is None:
            self.pump(0.005)
            if time.monotonic() > deadline:
                self.proc.kill()
        self.pump(0)
        self.status = abs(self.proc.returncode) + 128 * (self.proc.returncode < 0)
        self.file.seek(0)  # Windows' console ends its lines with CR LF
        self.console = self.file.read().decode("latin-1").replace("\r\n", "\n" if self.crlf else "\r\n")
        return self


class Linux:
    """The Linux build on pseudo-terminals (ComN: links in the build tree)."""
    words = dict(opening="open serial port", writing="write to serial port", busy="Device or resource busy",
                 missing="No such file or directory", hung_up="Input/output error",
                 **{s.name: s.name for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)})
    cannot, terminal_console, input_speed, tcp = {}, False, termios.B2400, False

    def __init__(self, build, options):
        self.build = Path(build).resolve()
        self.cannot = {**({} if self.tcp else TCP_ONLY), **self.cannot}
        self.com2 = self.build / "tests/dev/ttyS1"
        self.scratch = Path(tempfile.mkdtemp(prefix="uipacer-e2e-"))
        for name, content in FILES.items():
            (self.scratch / name).write_bytes(content)

    def start(self, args, link):
        return Run([self.build / "tests/uipacer_test_ports", *args], link)

    def port_name(self, form, pty):
        if form == "com":
            self.com2.parent.mkdir(exist_ok=True)
            self.com2.unlink(missing_ok=True)
            self.com2.symlink_to(pty.path)
            return "2"
        return {"missing": str(self.scratch / "nothing"), "null": "/dev/null"}.get(form, pty.path)

    def run_case(self, case):
        pty = Pty(self.input_speed)
        try:
            port = self.port_name(case.form, pty)
            # Another program's claim, or output suspended so that the line takes nothing more.
            {"held": lambda: fcntl.ioctl(pty.slave, termios.TIOCEXCL), "stall": lambda: termios.tcflow(
                pty.slave, termios.TCOOFF), "locked": lambda: fcntl.flock(pty.slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
             }.get(case.action, lambda: None)()
            run = self.start([a.format(file=self.scratch / case.file, port=port) for a in case.args],
                             None if case.action == "stall" else pty.master)
            problems = self.act(case, run, pty.master)
            if case.action == "settings" and case.status == 0 and not pty.raw_at(case.speed):
                problems.append(f"not raw 8N1 at {case.speed} Bd: {termios2(pty.slave)}")
            if case.action != "hangup" and held(pty.slave) != (case.action == "held"):
                problems.append("the port is held after the run, or another's claim was cleared")
            return run, port, problems
        finally:
            pty.close()

    def act(self, case, run, link):
        problems = []
        if case.action in ("hangup", "stop", "reset"):
            run.collect(len(ONE_FRAME))
        if case.action == "reset":  # closed without lingering: a reset, not an orderly close
            with socket.socket(fileno=os.dup(link)) as tnc:
                tnc.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        if case.action in ("hangup", "reset"):
            os.close(link)
            run.link = None
        if case.action == "stop":
            run.proc.send_signal(case.signal)
        if case.action == "talk":  # a TNC passes on all it hears: a frame every 5 ms, none kept waiting
            run.collect(1)  # the line is raw now: nothing comes back as an echo
            longest, rest, since = 0, b"", 0
            while run.proc.poll() is None:
                rest, since = (rest, since) if rest else (b"\xc0" + b"\x40" * 2000 + b"\xc0", time.monotonic())
                with contextlib.suppress(OSError):  # nothing taken, or the program has gone
                    rest = rest[os.write(link, rest):]
                longest = max(longest, time.monotonic() - since)
                run.pump(0.005)
            problems += [f"what the TNC sent waited {longest:.2f} s"] if longest > 0.5 else []
        run.finish()
        if case.action in ("stop", "stall") and time.monotonic() - run.started > 3:
            problems.append("the run was not ended at once")
        if case.action == "pace":  # no pause before the first frame, about one after each
            starts = [i for i, o in enumerate(run.octets) if o == 0xC0][::2]
            gaps = [run.arrival[s] - run.arrival[s - 1] for s in starts[1:]]
            tail = time.monotonic() - run.started - (run.arrival or [0])[-1]
            if len(starts) < 2 or not all(0.9 < g < 2 for g in gaps) or tail < 0.9:
                problems.append(f"paced {gaps}, {tail:.2f} s after the last frame")
        return problems

    def checks(self):
        yield from table_checks(self)
        if type(self) is not Linux:
            return
        quick = self.build / "tests/uipacer_quick_pause"
        # Nothing but frames reaches the port when the console cannot be
        # written: descriptors closed at start (the file and the device must
        # not take them), or a reader that has gone.
        for closed in (True, False):
            pty = Pty()
            run = Run([quick, self.scratch / "frames", pty.path, "9600", "1"], pty.master,
                      stdout=None if closed else subprocess.PIPE, closed_console=closed)
            if not closed:
                run.proc.stdout.close()
            run.finish()
            pty.close()
            yield f"console {('closed', 'gone')[not closed]}", [] if (run.status, run.octets) == (0, FRAMES) \
                else [f"status {run.status}, octets {run.octets.hex(' ')}"]


def table_checks(runner):
    for case in (getattr(runner, "adjust", lambda c: c)(c) for c in CASES if c.name not in runner.cannot):
        run, port, problems = runner.run_case(case)
        console = BANNER + case.console.format(port=port, **runner.words)
        console = console.replace("\r", "") if runner.terminal_console else console
        problems += [f"console\n{run.console!r}\nwanted\n{console!r}"] if run.console != console else []
        problems += [f"status {run.status}, wanted {case.status}"] if run.status != case.status else []
        if run.octets != case.octets and case.action != "stall":
            problems.append(f"octets\n{run.octets.hex(' ')}\nwanted\n{case.octets.hex(' ')}")
        yield case.name, problems


class NoTermios2(Linux):
    """Without the termios2 calls, the speeds with a Bxxxx constant are set
    by the standard calls; 7200 and 14400 Bd are refused with the reason."""
    cannot = {c.name: "as on the linux runner" for c in CASES if c.action not in ("settings", "pace")}

    def start(self, args, link):
        return Run(["qemu-x86_64-static", self.build / "tests/uipacer_test_ports", *args], link)

    def adjust(self, case):
        return case if case.speed not in (7200, 14400) else Case(case.name, "empty", status=1, speed=case.speed,
            console="\nUnable to configure serial port {port} (the system lacks the termios2 calls that "
                    "this speed needs).\n")


class Tcp(Linux):
    """The Linux build on a KISS TNC on TCP, listening here. A small segment
    size and window keep the sender's buffer small, so that a TNC that
    stops reading stalls the sender soon."""
    words = dict(Linux.words, opening="connect to KISS TNC", writing="write to KISS TNC",
                 missing="Connection refused", hung_up="the TNC closed the connection",
                 unresolved="Name or service not known", reset="Connection reset by peer")
    tcp = True
    cannot = {**{c.name: "the speed has no effect on TCP" for c in CASES if c.action == "settings"},
              "held by another program": "TCP has no exclusive use", "locked by another program":
              "TCP has no exclusive use", "frames through Com2": "a number names a serial port",
              "not a terminal": "no terminal", "stalled line": "see 'a TNC that never reads'"}

    def listen(self, family=socket.AF_INET):
        listener = socket.socket(family)
        listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.bind(("127.0.0.1" if family == socket.AF_INET else "::1", 0))
        listener.listen(1)
        return listener, ("127.0.0.1:%d", "[::1]:%d")[family != socket.AF_INET] % listener.getsockname()[1]

    def accept(self, listener, run):
        """The program's connection, or None if it ends first."""
        while not select.select([listener], [], [], 0.05)[0]:
            if run.proc.poll() is not None:
                return None
        link = listener.accept()[0]
        link.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)  # what it sends does not pile up here
        link.setblocking(False)
        return link.detach()

    def run_case(self, case, file=None, start=None):
        listener, port = self.listen(socket.AF_INET6 if case.action == "pace" else socket.AF_INET)
        if case.form in ("missing", "unresolved"):
            listener.close()  # nothing listens there
            port = port.replace("127.0.0.1", "no such host") if case.form == "unresolved" else port
        run = (start or self.start)([a.format(file=file or self.scratch / case.file, port=port)
                                     for a in case.args], None)
        link = None if case.form in ("missing", "unresolved") else self.accept(listener, run)
        run.link = None if case.action == "deaf" else link
        problems = self.act(case, run, link) if link is not None else [] if run.finish() else []
        if case.action == "count sends" and link is not None:  # Linux's count of data segments in
            with socket.socket(fileno=os.dup(link)) as tnc:
                info = tnc.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 232)
            sends = struct.unpack_from("I", info, 152)[0]  # tcpi_data_segs_in
            problems += [f"{sends} sends for {len(LINES)} frames"] if sends != len(LINES) else []
        if link is not None and case.action not in ("hangup", "reset"):
            os.close(link)
        return run, port, problems

    def checks(self):
        yield from table_checks(self)
        # A TNC that accepts but never reads: the run ends within the budget
        # of the frame it could not hand over, with the write message.
        (self.scratch / "many").write_bytes((b"A>B:" + b"x" * 80 + b"\n") * 20000)
        run, port, _ = self.run_case(Case("never reads", action="deaf"), self.scratch / "many", lambda args, link: Run(
            [self.build / "tests/uipacer_quick_pause", *args], link))
        said = f"\nUnable to write to KISS TNC {port} (the TNC took nothing for 60 ms an octet).\n"
        yield "a TNC that never reads", [] if run.status == 1 and run.console.endswith(said) else [
            f"status {run.status}, console ends {run.console[-120:]!r}"]


class Wine(Linux):
    """uipacer.exe under Wine, in a prefix of its own whose COM1, COM2 and
    COM10 are links here (through the registry: Wine otherwise links COMn to
    the machine's own /dev/ttyS{n-1}), pointed at pseudo-terminals."""
    words = dict(Linux.words, hung_up="Not ready", SIGINT="Ctrl-C")
    input_speed = 0  # Wine sets the output speed; the input speed follows it only if left unset
    cannot = {"held by another program": "Wine lets a second program open a port that one holds",
              "locked by another program": "Windows has no such locks",
              "no such device": "Wine opens a stand-in for a COM port it cannot find",
              **dict.fromkeys(("stopped by SIGTERM", "stopped by SIGHUP"), "Wine turns only SIGINT into a "
                              "console event (Ctrl-C); the other events are rows of boundary_win32"),
              "not a terminal": "only COMn names a device on Windows",
              **{f"{s} Bd": "Wine cannot put it on a Linux terminal" for s in (7200, 14400)}}

    def __init__(self, build, options):
        super().__init__(build, options)
        self.exe, self.dir = str(Path(options["exe"]).resolve()), self.build / "tests/wine"
        self.com2 = self.dir / "com2"
        os.environ.update(WINEPREFIX=str(self.dir / "prefix"), WINEDEBUG="-all", DISPLAY="",
                          WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not (self.dir / "prefix/uipacer-prefix").exists():
            self.dir.mkdir(parents=True, exist_ok=True)
            (self.dir / "setup.reg").write_text(  # COMn here
                "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n"
                + "".join(f'"COM{n}"="{self.dir}/com{n}"\n' for n in (1, 2, 10)))
            for command in (["wineboot", "-i"], ["regedit", "/S", self.dir / "setup.reg"]):
                subprocess.run(["wine", *command], **quiet)
            subprocess.run(["wineserver", "-w"], **quiet)
            (self.dir / "prefix/uipacer-prefix").write_text("COM1, COM2 and COM10 mapped\n")
        # A server and its helpers of our own before any run, so that none
        # of them writes into a run's console.
        subprocess.run(["wineserver", "--persistent"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        atexit.register(subprocess.run, ["wineserver", "--kill"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["wine", "cmd", "/c", "exit"], **quiet)
        self.await_ports()

    def await_ports(self):
        """Each new server's serial driver makes the COM links again, one
        by one, while the first programs may already run: a run that came
        too soon found its port gone. The driver lists each port in a
        registry key of that server's alone once its link is made."""
        query = ["wine", "reg", "query", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"]
        for _ in range(60):
            listed = subprocess.run(query, capture_output=True, timeout=30).stdout.decode("latin-1")
            if {"COM1", "COM2", "COM10"} <= set(re.findall(r"\bCOM\d+\b", listed)):
                return
            time.sleep(0.5)
        raise RuntimeError("Wine made no COM1, COM2 and COM10: " + listed)

    def checks(self):
        yield from table_checks(self)
        # Windows as documented where Wine is kinder or does not enforce what
        # it is asked: the Windows layers over fakes of what they import
        # (tests/boundary_win32.cpp).
        boundary = Path(self.exe).parent / "boundary_win32.exe"
        said = subprocess.run(["wine", boundary], capture_output=True).stdout.decode()
        said = said.replace("\r\n", "\n")
        for line in said.splitlines():
            if outcome := re.match(r"(ok|FAILED): (.*?)(?:: (.*))?$", line):
                yield f"as documented: {outcome[2]}", [outcome[3]] if outcome[1] == "FAILED" else []
        yield "as documented: every row ran", [] if said.endswith(" 0 failed\n") else [said[-200:]]

    def port_name(self, form, pty):
        if Linux.port_name(self, form, pty) == "2":
            return "2"
        (self.dir / "com10").unlink(missing_ok=True)
        (self.dir / "com10").symlink_to(pty.path)
        return "com10"

    def start(self, args, link):
        return Run(["wine", self.exe, *args], link, crlf=True)


class WineTcp(Wine, Tcp):
    """uipacer.exe under Wine on a KISS TNC on TCP, through Winsock."""
    words = dict(Wine.words, **{k: Tcp.words[k] for k in ("opening", "writing", "missing", "hung_up")},
                 unresolved="Host not found", reset="Connection reset by peer")
    cannot = dict(Tcp.cannot, **{k: Wine.cannot[k] for k in ("stopped by SIGTERM", "stopped by SIGHUP")},
                  **{"stalled line": "a TNC that never reads fills the buffers only after many frames; "
                                     "the tcp runner shows it with a thousandth of the pause",
                     "reset by the TNC": "Wine's recv gives 0 after a reset, as after a close; "
                                         "Windows' reset is a row of boundary_win32"})
    run_case = Tcp.run_case
    checks = Linux.checks


class DireWolf:
    """Every example through Dire Wolf, a software TNC: it transmits each
    frame as 1200 Bd AFSK into a file (ALSA's file plugin stands in for the
    sound card), and its atest decodes that audio back. Every line must come
    back exactly; frames a digipeater has repeated go first, so as a set."""

    def __init__(self, build, options):
        self.scratch, self.program = Path(tempfile.mkdtemp(prefix="uipacer-e2e-")), Path(build).resolve()

    def checks(self):
        examples = sorted((SOURCE / "examples").glob("*.txt"))
        yield "there are examples", [] if examples else ["no example to send"]
        for way in ("pty", "address"):
            for example in examples:
                tnc = Tnc(self.scratch / f"{way}-{example.stem}")
                run = Run([self.program / "tests/uipacer_test_ports", example, getattr(tnc, way), "9600", "1"]).finish()
                lines = example.read_bytes().decode("latin-1").splitlines()
                heard, wanted = tnc.stop(len(lines) if run.status == 0 else 0), sorted(l + "<0x0a>" for l in lines)
                yield f"{example.name} through {way}", [] if run.status == 0 and heard == wanted else [
                    f"status {run.status}, {run.console[-120:]!r}, sent {wanted}, decoded from the audio {heard}"]


class Tnc:
    """Dire Wolf, started in folder: its pseudo-terminal and KISS TCP port."""

    def __init__(self, folder):
        self.folder, self.log = folder, folder / "direwolf.log"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "asoundrc").write_text(f'pcm.air {{ type file slave.pcm "null" file "{folder}/air.raw" '
                                         'format "raw" }\n')
        port = 20000 + int.from_bytes(os.urandom(2), "big") % 12000  # below the range the system hands out
        # Audio in from a UDP port that nothing sends to, so nothing keeps
        # the channel busy; PERSIST 255 sends as soon as it is clear.
        (folder / "direwolf.conf").write_text("ADEVICE udp:0 air\nARATE 48000\nACHANNELS 1\nCHANNEL 0\n"
                                              f"MODEM 1200\nPERSIST 255\nKISSPORT {port}\nAGWPORT 0\n")
        # -p: the pseudo-terminal; -d o: "PTT 0 = 1" and "= 0" around every transmission.
        self.proc = subprocess.Popen(
            ["direwolf", "-c", folder / "direwolf.conf", "-p", "-t", "0", "-d", "o"], stdout=open(self.log, "wb"),
            stderr=subprocess.STDOUT,
            env=dict(os.environ, ALSA_CONFIG_PATH=f"/usr/share/alsa/alsa.conf:{folder}/asoundrc"))
        for _ in range(100):
            text = self.log.read_text(errors="replace")
            if (pty := re.search(r"Virtual KISS TNC is available on (\S+)", text)) and "Ready to accept" in text:
                self.pty, self.address = pty[1], f"localhost:{port}"
                return
            time.sleep(0.05)
        self.proc.kill()
        raise RuntimeError("direwolf did not start: " + self.log.read_text(errors="replace"))

    def stop(self, frames):
        """Once frames have gone out whole (a transmission's audio is in the
        file when PTT goes off; a queued one starts within 0.1 s), the TNC2
        lines that atest decodes from the audio."""
        quiet = 0
        for _ in range(200):
            text = self.log.read_text(errors="replace")
            done = len(re.findall(r"^\[0[HL]\] ", text, re.M)) >= frames and \
                text.count("PTT 0 = 1") == text.count("PTT 0 = 0")
            if (quiet := quiet + 1 if done else 0) == 3:
                break
            time.sleep(0.1)
        self.proc.terminate()
        self.proc.wait()
        with wave.open(str(self.folder / "air.wav"), "wb") as audio:  # 16-bit mono at 48 kHz, as configured
            audio.setparams((1, 2, 48000, 0, "NONE", None))
            audio.writeframes((self.folder / "air.raw").read_bytes())
        out = subprocess.run(["atest", self.folder / "air.wav"], capture_output=True).stdout
        out = re.sub(rb"\x1b\[[0-9;]*[A-Za-z]", b"", out).decode("utf-8", "replace")
        return sorted(line[4:] for line in out.splitlines() if line.startswith("[0] "))


@dataclass
class Machine:
    """A guest: QEMU with the character devices "console" and "port"
    attached, Debian's kernel for arch and the modules to load; its console
    and its port; what marks a traced speed, from QEMU's trace event or, in
    the guest, from the lines of its guest_trace file, shown after each run;
    and how the guest reaches its port: shell lines run once before the
    cases, around the stalled line, and to unplug and plug in its device."""
    qemu: list
    arch: str
    kernel: str
    console: str
    port: str
    trace: str
    modules: list = field(default_factory=list)
    reach: list = field(default_factory=list)
    stall: str = ""
    unstall: str = ""
    guest_trace: str = ""
    unplug: str = ""
    replug: str = ""
    slowest: int = 0  # what the chip runs at below this is not the speed asked
    cannot: dict = field(default_factory=dict)


ARM = ["-M", "virt", "-serial", "chardev:port", "-device", "virtio-serial-device", "-device",
       "virtconsole,chardev=console"]
UART = {"hang-up": "a UART does not hang up"}
PL011 = {**UART, "frames through Com2": "no ComN names the PL011, /dev/ttyAMA0",
         "stalled line": "QEMU's PL011 stops the guest when not read"}
PC = ["qemu-system-x86_64", "-M", "pc", "-serial", "chardev:console"]
USB = {"frames through Com2": "no ComN names a USB port"}
UNPLUG = "echo 0 >/sys/bus/usb/devices/1-1/authorized"  # as if pulled out: its drivers let go
REPLUG = "echo 1 >/sys/bus/usb/devices/1-1/authorized; while [ ! -e {} ]; do sleep 0.1; done"
MACHINES = {
    "amd64": Machine([*PC, "-serial", "chardev:port"], "amd64", "linux-image-cloud-amd64", "ttyS0",
                     "/dev/ttyS1", "serial_update_parameters", cannot=UART),
    "arm64": Machine(["qemu-system-aarch64", "-cpu", "cortex-a57", *ARM], "arm64",
                     "linux-image-arm64", "hvc0", "/dev/ttyAMA0", "pl011_baudrate_change",
                     ["virtio_mmio", "virtio_console"], cannot=PL011),
    "armhf": Machine(["qemu-system-arm", "-cpu", "cortex-a15", *ARM], "armhf",
                     "linux-image-armmp", "hvc0", "/dev/ttyAMA0", "pl011_baudrate_change",
                     ["virtio_mmio", "virtio_console"], cannot=PL011),
    # QEMU's FT232 adapter on an xHCI controller, run by ftdi_sio. Its
    # divisor has 14 bits, 183 Bd at the least: ftdi_sio wraps it for
    # 110 Bd, and reads 110 back.
    "usb-ftdi": Machine([*PC, "-device", "qemu-xhci", "-device", "usb-serial,chardev=port"],
                        "amd64", "linux-image-amd64", "ttyS0", "/dev/ttyUSB0",
                        "usb_serial_set_baud", ["xhci-pci", "ftdi_sio"], slowest=183,
                        unplug=UNPLUG, replug=REPLUG.format("/dev/ttyUSB0"),
                        cannot=dict(USB, **{"stalled line": "QEMU's FT232 writes to its socket "
                                            "blocking: the guest stops, not the line"})),
    # A CDC-ACM device inside the guest: dummy_hcd joins the gadget stack's
    # serial function (/dev/ttyGS0) to the host side, run by cdc-acm. What
    # arrives at ttyGS0 is passed to the 8250's line; the speed is the
    # SET_LINE_CODING request in usbmon's trace. A stall: the reader takes
    # 20 octets and closes ttyGS0, which then queues no more transfers; an
    # unplugged device takes the reader's ttyGS0 with it. Runs
    # are a user's, as in the dialout group: root could shorten the closing
    # wait that the stall leaves close() with.
    "usb-acm": Machine(
        [*PC, "-serial", "chardev:port"], "amd64", "linux-image-amd64", "ttyS0", "/dev/ttyACM0",
        " s 21 20 ", ["usbmon", "dummy_hcd", "usb_f_acm", "g_serial", "cdc-acm"],
        ["mount -t debugfs debug /sys/kernel/debug",
         "mkdir /etc /sbin && echo 'tnc:x:1000:1000::/:/bin/sh' >/etc/passwd",
         "printf '#!/bin/sh\\nexec su -s /bin/uipacer tnc \"$@\"\\n' >/sbin/uipacer",
         "chmod 755 /sbin/uipacer && chmod 666 /dev/ttyACM0",
         "cat /sys/kernel/debug/usb/usbmon/0u >>/usbmon &",
         "stty -F /dev/ttyS1 raw -echo && stty -F /dev/ttyGS0 raw -echo",
         "cat /dev/ttyGS0 >/dev/ttyS1 & reader=$!"],
        "kill $reader; dd if=/dev/ttyGS0 of=/dev/ttyS1 bs=1 count=20 2>/dev/null & sleep 0.5",
        "kill $! 2>/dev/null; cat /dev/ttyGS0 >/dev/ttyS1 & reader=$!",
        "/usbmon", UNPLUG, REPLUG.format("/dev/ttyACM0") + "; chmod 666 /dev/ttyACM0; "
        "cat /dev/ttyGS0 >/dev/ttyS1 & reader=$!", cannot=USB),
}


def traced_speed(line):
    """The 8250's speed as traced, 8N1; the PL011's from its divisor and its
    24 MHz clock; the FT232's; cdc-acm's request, 8N1, its speed in 4 octets
    little-endian."""
    if m := re.search(r"baudrate=(\d+) parity='N' data=8 stop=1|baud rate (\d+)", line):
        return int(m[1] or m[2])
    if m := re.search(r" s 21 20 0000 \w+ 0007 7 = (\w{8}) 000008", line):
        return int.from_bytes(bytes.fromhex(m[1]), "little")
    m = re.search(r"ibrd: (\d+), fbrd: (\d+)", line)
    return 24e6 * 4 / (int(m[1]) * 64 + int(m[2]) or 1) if m else 0


def load_order(names, tree):
    """The modules' files, each after those it depends on: busybox's insmod
    has no modules.dep to read."""
    order = []
    for name in names:
        module = next(tree.glob(f"lib/modules/*/kernel/**/{name}.ko"))
        needs = re.search(rb"depends=([^\0]*)", module.read_bytes())[1].decode()
        order += [m for m in load_order(filter(None, needs.split(",")), tree) + [module]
                  if m not in order]
    return order


class Guest:
    """A static uipacer in a small Linux guest under QEMU (no KVM needed), on
    a port that the guest's own driver runs. One boot runs every case: the
    guest's console carries the program's console and markers; the port's
    other end is a socket read here, or left unread to stall a UART (a USB
    device is stalled inside the guest: Machine.stall)."""
    words, terminal_console = Linux.words, True  # its console's CR LF comes back as LF
    cannot = {"stopped by SIGINT": "a background job starts with SIGINT ignored",
              "locked by another program": "a second uipacer is refused by the first's exclusive "
              "use before its lock",
              "the TNC talks back all along": "the input path is the same as the pseudo-terminal's"}

    def __init__(self, build, options):
        self.machine = machine = MACHINES[options["runner"][3:]]
        self.console, self.port, self.trace = machine.console, machine.port, machine.trace
        self.vm = Path(build).resolve() / "vm"
        self.work = self.vm / options["runner"][3:]
        self.cannot = {**TCP_ONLY, **self.cannot, **machine.cannot}

    def checks(self):
        cases = [c for c in CASES if c.name not in self.cannot]
        self.results = self.boot(self.prepare(cases), {c.name: c.action for c in cases})
        yield from table_checks(self)

    def port_name(self, case):
        return {"com": "2", "missing": "/dev/nothing", "null": "/dev/null"}.get(case.form, self.port)

    def commands(self, case):
        args = " ".join(f"'{a}'".format(file="/" + case.file, port=self.port_name(case)) for a in case.args)
        if case.action == "held":  # a first run holds the port while it pauses
            return f"uipacer /one {self.port} 9600 3 >/dev/null & sleep 1; run {args}; wait $!"
        if case.action == "stop":
            return f'uipacer {args} & sleep 1.5; kill -{case.signal.name[3:]} $!; wait $!; echo "@@ exit $?"'
        if case.action == "hangup":  # the device unplugged in the first frame's pause
            return (f"timeout 10 uipacer {args} & sleep 0.7; {self.machine.unplug}; wait $!; "
                    f'echo "@@ exit $?"; {self.machine.replug}')
        if case.action == "stall" and self.machine.stall:
            return f"{self.machine.stall}\nrun {args}\n{self.machine.unstall}"
        return f"run {args}"

    def run_case(self, case):
        got = {**dict(console="", octets=b"", settings=[], seconds=0, gave_up=0),
               **self.results.get(case.name, {})}
        status, problems = re.search(r"@@ exit (\d+)\n", got["console"]), []
        run = types.SimpleNamespace(console=re.sub(r"@@ exit \d+\n", "", got["console"]), octets=bytes(got["octets"]),
                                    status=status and int(status[1]))
        if case.action == "held" and run.octets == ONE_FRAME:  # the first run's
            run.octets = b""
        # A line left unread takes in a few octets beside the driver's queue
        # of 128: in QEMU's socket, the UART's shift register and its FIFO;
        # so what arrives is the start of the frame, some 52 short of it.
        # The run must give up within its budget (60 ms, and the octets
        # the device took without passing them on) of the last octet that
        # arrived, and end within a second of its message.
        if case.action == "stall" and (not STALL_FRAME.startswith(run.octets)
                                       or len(run.octets) + 128 >= len(STALL_FRAME)
                                       or got["gave_up"] >= 0.5 or got["seconds"] >= 1):
            problems.append(f"{len(run.octets)} octets; the message after {got['gave_up']:.1f} s, "
                            f"the end {got['seconds']:.1f} s after it")
        speeds = [traced_speed(line) for line in got["settings"]] or [0]
        if case.action == "settings" and case.speed >= self.machine.slowest \
                and not 0.98 < speeds[-1] / case.speed < 1.02:
            problems.append(f"the driver set {speeds}, not {case.speed} Bd")
        return run, self.port_name(case), problems

    def prepare(self, cases):
        """The kernel, and an initramfs with busybox, the program, the
        modules and the cases."""
        arch, root = self.machine.arch, self.work / "initramfs"
        build, packages = self.vm / arch / "program", self.vm / arch / self.machine.kernel
        if not (packages / "bin/busybox").exists():  # fetched once, busybox last
            for package in (self.machine.kernel, "busybox-static"):
                fetch(package, arch, packages)
        toolchain = {"arm64": "aarch64-linux-gnu", "armhf": "arm-linux-gnueabihf"}.get(arch)
        subprocess.run(["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                        "-DCMAKE_EXE_LINKER_FLAGS=-static",
                        *[f"-DCMAKE_TOOLCHAIN_FILE=cmake/{toolchain}.cmake"] * bool(toolchain)],
                       check=True, cwd=SOURCE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", build, "--target", "uipacer"], check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        shutil.rmtree(root, ignore_errors=True)
        (root / "bin").mkdir(parents=True)
        for file in [packages / "bin/busybox", build / "uipacer"]:
            shutil.copy(file, root / "bin")
        modules = load_order(self.machine.modules, packages)
        for module in modules:
            shutil.copy(module, root)
        for name, content in FILES.items():
            (root / name).write_bytes(content)
        console = "/dev/" + self.console
        lines = ["#!/bin/busybox sh", "/bin/busybox --install -s /bin",
                 "mkdir -p /dev /proc /sys && mount -t devtmpfs dev /dev",
                 "mount -t proc proc /proc && mount -t sysfs sys /sys",
                 *(f"insmod /{module.name}" for module in modules),
                 *(f"while [ ! -e {d} ]; do sleep 0.1; done" for d in (console, self.port)),
                 f"exec <{console} >{console} 2>&1", "stty -echo; dmesg -n 1; echo",
                 *self.machine.reach, 'run() { timeout 10 uipacer "$@"; echo "@@ exit $?"; '
                 f'{self.show_trace()}; }}']
        for case in cases:  # each waits for this side to answer its marker
            lines += [f"echo '@@ case {case.name}'; read -r _", self.commands(case)]
            lines += ["sleep 1"] * (case.action == "stall")
        (root / "init").write_text("\n".join(lines + ["echo '@@ end'", "poweroff -f", ""]))
        (root / "init").chmod(0o755)
        with open(self.work / "initramfs.cpio", "wb") as archive:
            subprocess.run("find . | cpio -o -H newc --quiet", shell=True, cwd=root, stdout=archive, check=True)
        return next(packages.glob("boot/vmlinuz-*"))

    def show_trace(self):
        """What the guest traced since the last run, once its tracer has it."""
        traced = self.machine.guest_trace
        return f"sleep 0.2; grep '{self.trace}' {traced}; : >{traced}" if traced else ":"

    def boot(self, kernel, actions):
        """Per case: its console, octets, traced settings, the time to its
        write message from its last octet (or its start), and from that
        message (or its start) to its end."""
        console, console_qemu = socket.socketpair()
        port, port_qemu = socket.socketpair()
        # QEMU writes an octet at a time; an unread socket then holds 6 at
        # the smallest send buffer, rather than some 270.
        port_qemu.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)
        trace = [] if self.machine.guest_trace else ["-trace", self.trace]
        qemu = subprocess.Popen(
            [*self.machine.qemu, "-m", "256", "-nodefaults", "-nographic", "-no-reboot", "-kernel",
             kernel,
             "-initrd", self.work / "initramfs.cpio", "-append", f"console={self.console} panic=-1 quiet",
             "-chardev", f"socket,id=console,fd={console_qemu.fileno()}",
             "-chardev", f"socket,id=port,fd={port_qemu.fileno()}", *trace],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            pass_fds=(console_qemu.fileno(), port_qemu.fileno()))
        console_qemu.close()
        port_qemu.close()
        port.setblocking(False)
        os.set_blocking(qemu.stderr.fileno(), False)
        results, current, reading, text, trace = {}, dict(console="", octets=b"", settings=[]), None, "", ""
        log = open(self.work / "console.log", "wb")

        def drain():  # what the last case sent and set is all here by its end marker
            nonlocal trace
            try:
                while data := port.recv(65536):
                    current["octets"] += data
                    current["last octet"] = time.monotonic()
            except BlockingIOError:
                pass
            *lines, trace = (trace + (qemu.stderr.read() or b"").decode("latin-1")).split("\n")
            current["settings"] += [line for line in lines if self.trace in line]

        deadline = time.monotonic() + 300
        while time.monotonic() < deadline:
            unread = reading == "stall" and not self.machine.stall  # a UART's stall is here
            ready = select.select([console, qemu.stderr] + [port] * (not unread), [], [], 1)[0]
            if port in ready or qemu.stderr in ready:
                drain()
            data = console.recv(4096) if console in ready else None
            if data == b"":
                break
            log.write(data or b"")
            *lines, text = (text + (data or b"").decode("latin-1").replace("\r", "")).split("\n")
            for line in lines:
                if line.startswith("@@ case ") or line == "@@ end":
                    drain()
                    current = results[line[8:]] = dict(console="", octets=b"", settings=[], started=time.monotonic())
                    reading = actions.get(line[8:])
                    console.sendall(b"\n")
                    continue
                if self.trace in line:  # the guest's own trace
                    current["settings"].append(line)
                    continue
                if line.startswith("Unable to write"):
                    since = current.get("last octet", current["started"])
                    current["gave_up"] = time.monotonic() - since
                    current["started"] = time.monotonic()
                if line.startswith("@@ exit "):  # the program has ended: what it left queued may come
                    current["seconds"], reading = time.monotonic() - current["started"], None
                current["console"] += line + "\n"
        qemu.kill()
        qemu.wait()
        return results


def fetch(package, arch, tree):
    """Unpacks a Debian package for arch into tree, never installing it; for
    a kernel meta-package, the kernel package that it depends on."""
    def depends():
        return subprocess.run(["apt-cache", "depends", f"{package}:{arch}"], capture_output=True).stdout
    listing = depends() or (subprocess.run(["apt-get", "update", "-q"], check=True), depends())[1]
    concrete = re.findall(rb"Depends: (linux-image-[0-9][^:\s]+)", listing)
    download = tree.parent / "download"
    shutil.rmtree(download, ignore_errors=True)
    download.mkdir(parents=True)
    subprocess.run(["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root",
                    (concrete[0].decode() if concrete else package) + f":{arch}"], cwd=download, check=True,
                   stdout=subprocess.DEVNULL)
    subprocess.run(["dpkg-deb", "-x", next(download.glob("*.deb")), tree], check=True)


RUNNERS = {"linux": Linux, "tcp": Tcp, "no-termios2": NoTermios2, "windows": Wine, "windows-tcp": WineTcp,
           "direwolf": DireWolf, **{f"vm-{name}": Guest for name in MACHINES}}


def main():
    options = dict(a[2:].split("=", 1) for a in sys.argv[2:] if a.startswith("--"))
    passed = failed = 0
    for name in (a for a in sys.argv[2:] if not a.startswith("--")):
        runner = RUNNERS[name](sys.argv[1], dict(options, runner=name))
        for reason in sorted(set(getattr(runner, "cannot", {}).values())):
            print(f"{name} cannot show {[c for c, r in runner.cannot.items() if r == reason]}: {reason}")
        for check, problems in runner.checks():
            print(f"{'FAILED' if problems else 'ok'}: {name}: {check}", flush=True)
            print("".join("    " + p.replace("\n", "\n    ") + "\n" for p in problems), end="")
            failed, passed = failed + bool(problems), passed + (not problems)
    print(f"{passed} passed, {failed} failed" + ("" if passed else ": no check ran"))
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
