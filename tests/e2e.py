# The built program as a user runs it, against real ports, under pytest:
#
#   UIPACER_BUILD=build/test /usr/bin/python3 -m pytest -v -rs tests/e2e.py -k linux
#
# CASES says once what the program promises of a port. Each runner, a fixture, says only
# how it starts the program and reaches its port, and skips what it cannot show, with the
# reason: linux (pseudo-terminals), tcp (a KISS TNC on TCP), no-termios2 (QEMU's user-mode
# emulation, which lacks the termios2 calls), direwolf (every example through Dire Wolf,
# decoded back from the audio it transmits), windows and winsock (the uipacer.exe named by
# UIPACER_WINDOWS_PROGRAM under Wine, on pseudo-terminals and on TCP), vm-amd64, vm-arm64,
# vm-armhf (a guest's own UART driver, 8250 or PL011, under QEMU), vm-usb-ftdi, vm-usb-acm
# (its USB serial drivers, ftdi_sio and cdc-acm). UIPACER_BUILD is the build tested
# (build/test if unset); the guests' kernels and static programs are in its vm folder.
import contextlib, fcntl, os, re, resource, select, shutil, signal, socket, struct, subprocess
import tempfile, termios, time, tty, wave
from collections import namedtuple
from dataclasses import dataclass, replace
from pathlib import Path
from types import SimpleNamespace

import pytest

SOURCE = Path(__file__).resolve().parents[1]
BUILD = Path(os.environ.get("UIPACER_BUILD") or SOURCE / "build/test").resolve()
WINDOWS_PROGRAM = os.environ.get("UIPACER_WINDOWS_PROGRAM")
VERSION = re.search(r"uipacer VERSION ([0-9.]+)", (SOURCE / "CMakeLists.txt").read_text())[1]
BANNER = f"\nUipacer version {VERSION} by Tobrin\n\n"
SPEEDS = [110, 300, 600, 1200, 2400, 4800, 7200, 9600, 14400, 19200, 38400, 57600, 115200]
EXAMPLES = sorted((SOURCE / "examples").glob("*.txt"))
A_TO_B = "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0"
LINES = [b"N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>hello\n", b"A>B:\xc0\xdb\r\n", b"A>B:i"]
FRAMES = bytes.fromhex(
    "C0 00 82 A0 A4 A6 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2 AE 92 88 8A 64 40 65"
    f" 03 F0 3E 68 65 6C 6C 6F 0A C0 {A_TO_B} DB DC DB DD 0D 0A C0 {A_TO_B} 69 C0")
ONE_FRAME = bytes.fromhex(A_TO_B + " 69 0A C0")
# 180 octets: a stalled UART must stop the program inside this frame, with at most 128
# queued and a few below the driver (see Guest.run); at 1200 Bd what it queued would take
# a second to go, so it must be discarded.
STALL_LINE = b"A>B:" + b"x" * 160 + b"\n"
STALL_FRAME = bytes.fromhex(A_TO_B) + STALL_LINE[4:] + b"\xc0"
ESCAPES = b"A>B:\x1b]0;title\x07\x1b[2J\r\n"  # a title set and the screen cleared, if obeyed
FILES = {"frames": b"".join(LINES), "empty": b"", "one": b"A>B:i\n", "two": b"A>B:i\nA>B:j\n",
         "escapes": ESCAPES, "stamped": b"A>B:/010000z\n", "three": b"A>B:i\nA>B:j\nA>B:k\n",
         "stall": STALL_LINE * 2, "\u03a9": b"A>B:i\n", "O": b"A>B:O\n",
         "many": (b"A>B:" + b"x" * 1000 + b"\n") * 2000, "300": b"A>B:i\n" * 300,
         "paced": STALL_LINE}


def sent(*lines):
    return "".join(f"Sending frame:\n {line.decode('latin-1')}\n\n" for line in lines)


@dataclass
class Case:
    name: str
    file: str = "one"  # one of FILES, or an example's path
    pause: str = "1"
    status: int = 0
    # After the banner, with {port} as the runner names it and its words for the rest
    # ({opening}, {hung_up}, ...); None: the console cannot be written, and nothing shows.
    console: str = ""
    octets: bytes = b""
    form: str = "device"  # the port: the device, as Com2 (com), missing, null, unresolved...
    action: str = ""  # what the test does to the port meanwhile
    speed: int = 9600
    signal: int = 0
    quick: bool = False  # by the build whose pauses are a thousandth, for long files
    options: tuple = ()  # before the four arguments
    only: tuple = ()  # the runners that can show it, if not all
    elsewhere: str = ""  # why the others cannot


TCP = ("tcp", "winsock")
FED, ONLY_FED = ("linux", "windows"), "the input's reader is the same whatever the port"
FOLLOWED = [b"A>B:i\n", b"A>B:j\n", b"A>B:k\n", b"A>B:l\n"]
THREE = FOLLOWED[:3]
NATIVE = ("linux", "tcp", "no-termios2", "windows", "winsock")
# Every option, and the octets each adds, in the order they go: the init text, the
# parameter frames (their values escaped as in any frame), the frame on KISS port 3, and
# the frame that takes the TNC out of KISS mode.
OPTIONS = ("-c", "3", "--txdelay", "1920", "--persist", "219", "--slottime", "100", "--txtail",
           "30", "--duplex", "full", "--init", "KISS ON\\r", "--init-wait", "0", "--exit-kiss")
PREPARED = "Sending the init text: KISS ON\\r\nSetting TXDELAY to 1920 ms.\nSetting persistence " \
    "to 219.\nSetting slot time to 100 ms.\nSetting TX tail to 30 ms.\nSetting full duplex.\n"
SET = b"KISS ON\r" + bytes.fromhex(
    "C0 31 DB DC C0 C0 32 DB DD C0 C0 33 0A C0 C0 34 03 C0 C0 35 01 C0")
RETURN = bytes.fromhex("C0 FF C0")
OUT_OF_KISS = "Taking the TNC out of KISS mode.\n"
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
TWO_SENT = sent(b"A>B:i\n", b"A>B:j\n")
CASES = [
    Case("frames, paced", "frames", console=sent(*LINES), octets=FRAMES, action="pace"),
    Case("frames through Com2", "frames", console=sent(*LINES), octets=FRAMES, form="com"),
    # Timed from outside: a frame starts within a millisecond of 10 s after the one before.
    Case("a pause of 10 s, timed", "three", "10", console=sent(*THREE), action="time the pause",
         octets=b"".join(ONE_FRAME.replace(b"i", line[4:5]) for line in THREE), only=("linux",),
         elsewhere="the pause's clock is the same whatever the port; Windows': boundary_win32"),
    # Windows' ANSI command line would give "O" for the omega, another file.
    Case("a file name outside the ANSI code page", "\u03a9", console=sent(b"A>B:i\n"),
         octets=ONE_FRAME),
    *(Case(f"{speed} Bd", "empty", speed=speed, action="settings") for speed in SPEEDS),
    *(Case(f"{how} by another program", status=1, action=how,
           console="\nUnable to open serial port {port} (Device or resource busy).\n")
      for how in ("held", "locked")),
    Case("no such device", status=1, form="missing",
         console="\nUnable to {opening} {port} ({missing}).\n"),
    Case("not a terminal", status=1, form="null",
         console="\nUnable to open serial port {port} (Inappropriate ioctl for device).\n"),
    Case("stalled line", "stall", "5", 1, sent(STALL_LINE) + "\nUnable to write to serial port "
         "{port} (no octet taken within {stalled} ms).\n", action="stall", speed=1200),
    # A stop while the line takes nothing cuts the frame: at 300 Bd after the 583 ms an octet
    # is given, not a frame's worth.
    Case("a stalled line, stopped", "stall", "5", 130, sent(STALL_LINE) + "\nRun stopped by "
         "{SIGINT} before the first frame, frame 1 cut short.\n", action="stop in a stall",
         speed=300, signal=signal.SIGINT, only=("linux",),
         elsewhere="as stalled, on the linux runner"),
    # Standard input: each line as it arrives, the end of the input the run's; a stop ends
    # the wait for a line.
    Case("standard input, as it comes", "-", console=TWO_SENT, action="feed", only=FED,
         octets=ONE_FRAME + ONE_FRAME.replace(b"i", b"j"), elsewhere=ONLY_FED),
    Case("standard input, stopped while waiting", "-", status=130, action="stop at once",
         console="\nRun stopped by {SIGINT} before the first frame.\n", signal=signal.SIGINT,
         only=FED, elsewhere=ONLY_FED),
    # A file followed: a line once its line feed has come, a file renamed over it and one
    # written over in place read from their start; its wait costs no wake-up.
    Case("a file followed as it grows", "follow", "1", 130, action="follow", options=("--follow",),
         console=sent(*FOLLOWED) + "\nRun stopped by {SIGINT} after frame 4.\n",
         octets=b"".join(ONE_FRAME.replace(b"i", line[4:5]) for line in FOLLOWED),
         signal=signal.SIGINT, only=FED, elsewhere=ONLY_FED),
    # Each pass of --repeat opens the file by its name: the file renamed over it is sent.
    Case("a file replaced between passes", "follow", console=TWO_SENT, action="replace",
         options=("--repeat", "2"), octets=ONE_FRAME + ONE_FRAME.replace(b"i", b"j"), only=FED,
         elsewhere=ONLY_FED),
    Case("a file gone by its next pass", "follow", status=1, action="remove", octets=ONE_FRAME,
         console=sent(b"A>B:i\n") + "\nUnable to read input file {input}.\n",
         options=("--repeat", "2"), only=FED, elsewhere=ONLY_FED),
    # On the real clock: the timestamp is the time it went, in UTC.
    Case("a timestamp fixed", "stamped", console=sent(FILES["stamped"]), action="time fixed",
         options=("--timefix",), octets=bytes.fromhex(A_TO_B) + FILES["stamped"][4:] + b"\xc0",
         only=("linux",), elsewhere="the clock is the C library's on every platform"),
    # Before the air: the serial ports this machine has (the runner's own among them).
    Case("the serial ports listed", console="{listed}", action="list ports",
         options=("--list-ports",), only=("linux", "windows", "vm-usb-ftdi", "vm-usb-acm"),
         elsewhere="the linux runner's /dev/serial/by-id link shows a pseudo-terminal listed"),
    # A FIFO that no one writes: the stop ends the wait for its first line.
    Case("stopped while waiting for a line", "fifo", status=130, action="stop at once",
         console="\nRun stopped by {SIGINT} before the first frame.\n", signal=signal.SIGINT,
         only=("linux",), elsewhere="a FIFO is Linux's"),
    # 110 Bd, an octet every 91 ms: each waits that long for room in the driver's queue.
    Case("110 Bd on a line that takes each octet in its time", "paced", console=sent(STALL_LINE),
         octets=STALL_FRAME, action="paced", speed=110, only=("vm-amd64",),
         elsewhere="only the 8250's line, its other end read an octet at a time, paces"),
    Case("hang-up", "two", status=1, octets=ONE_FRAME, action="hangup",
         console=TWO_SENT + "\nUnable to {writing} {port} ({hung_up}).\n"),
    # A signal ignored at the start (nohup) stays ignored: the run goes on to its end.
    Case("SIGHUP ignored, as nohup leaves it", "two", console=TWO_SENT, action="ignored",
         octets=ONE_FRAME + ONE_FRAME.replace(b"i", b"j"), signal=signal.SIGHUP, only=("linux",),
         elsewhere="shown by the linux runner alone"),
    # SIGINT: see "stopped by Ctrl-C, then out of KISS mode".
    *(Case(f"stopped by {sig.name}", "two", "5", 128 + sig, octets=ONE_FRAME, action="stop",
           console=sent(b"A>B:i\n") + f"\nRun stopped by {{{sig.name}}} after frame 1.\n",
           signal=sig) for sig in STOPS[1:]),
    Case("the TNC talks back all along", "frames", console=sent(*LINES), octets=FRAMES,
         action="talk"),
    Case("every option, in its order", console=PREPARED + sent(b"A>B:i\n") + OUT_OF_KISS,
         octets=SET + ONE_FRAME.replace(b"\xc0\x00", b"\xc0\x30", 1) + RETURN, options=OPTIONS,
         only=NATIVE + ("vm-amd64", "vm-arm64", "vm-armhf", "vm-usb-ftdi", "vm-usb-acm"),
         elsewhere="Dire Wolf's port 3 is no channel of its"),
    Case("stopped by Ctrl-C, then out of KISS mode", "two", "5", 130, octets=ONE_FRAME + RETURN,
         action="stop", signal=signal.SIGINT, options=("--exit-kiss",), only=NATIVE,
         console=sent(b"A>B:i\n") + OUT_OF_KISS + "\nRun stopped by {SIGINT} after frame 1.\n",
         elsewhere="no SIGINT reaches a background job of the guests' shell"),
    # Sent twice, the pauses lengthened by up to a second at random.
    Case("repeated, with jitter", "frames", console=sent(*LINES) * 2, octets=FRAMES * 2,
         action="pace", options=("--repeat", "2", "--jitter", "1000"), only=NATIVE,
         elsewhere="only the native runners time the frames"),
    # With --wait, a port that comes only later, and one lost and back: the frame in hand
    # goes whole to the port that is back.
    Case("a port waited for", console="\nWaiting for {waited} {port} ({missing}).\n" +
         sent(b"A>B:i\n"), octets=ONE_FRAME, form="link", action="appears", options=("--wait",),
         only=("linux", "tcp", "winsock"), elsewhere="Wine makes a COM port it cannot find"),
    Case("a port lost and back", "two", console=TWO_SENT + "\nWaiting for {waited} {port} "
         "({hung_up}).\n", octets=ONE_FRAME + ONE_FRAME.replace(b"i", b"j"), form="link",
         action="back", options=("--wait",), only=("linux", "tcp", "windows", "winsock",
                                                   "vm-usb-ftdi", "vm-usb-acm"),
         elsewhere="a UART is not lost, nor Dire Wolf"),
    # A pause on a TNC that sends nothing wakes for nothing: a few switches in all, not 100
    # a second.
    Case("a silent TNC costs no wake-up", pause="2", console=sent(b"A>B:i\n"), octets=ONE_FRAME,
         action="count wake-ups", only=("linux", "tcp"),
         elsewhere="only a native run's context switches are counted"),
    # Nothing but frames reaches the port when the console cannot be written: descriptors
    # closed at start (the file, the device and the stop pipe must not take them: a pause
    # would spin on the pipe), or a reader that has gone.
    *(Case(f"console {how}", console=None, octets=ONE_FRAME, action=f"console {how}",
           only=("linux",), elsewhere="shown by the linux runner alone")
      for how in ("closed", "gone")),
    # A terminal shows an input line's control characters, and does not obey them.
    Case("a terminal shows the input, never obeys it", "escapes", action="console a terminal",
         console=sent(b"A>B:<0x1B>]0;title<0x07><0x1B>[2J\r\n"), only=("linux",),
         octets=bytes.fromhex(A_TO_B) + ESCAPES[4:] + b"\xc0",
         elsewhere="shown by the linux runner alone, and on Windows by boundary_win32"),
    # A terminal whose output is stopped (Ctrl-S) while 300 frames go out: they all go, and
    # the console shows them all once it is started again.
    Case("a console that stops reading", "300", console=sent(*[b"A>B:i\n"] * 300),
         octets=ONE_FRAME * 300, action="console stopped", quick=True, only=("linux",),
         elsewhere="shown by the linux runner alone, and on Windows by boundary_win32"),
    Case("no such host", status=1, form="unresolved", only=TCP,
         console="\nUnable to {opening} {port} ({unresolved}).\n",
         elsewhere="a serial port has no host name"),
    # A name that no server answers: the lookup is given the 5 s, and a stop ends it.
    Case("a name no server answers", status=1, form="unanswered", only=("tcp",),
         console="\nUnable to {opening} {port} (no answer within 5 s).\n",
         elsewhere="Linux's lookup; Windows' is a row of boundary_win32"),
    Case("stopped while a name is looked up", status=130, form="unanswered", action="stop at once",
         console="\nRun stopped by {SIGINT} before the first frame.\n", signal=signal.SIGINT,
         only=("tcp",), elsewhere="Linux's lookup; Windows' is a row of boundary_win32"),
    # localhost's ::1 takes no connection, and drops what comes: its 127.0.0.1 is taken.
    Case("one address silent, the next answering", console=sent(b"A>B:i\n"), octets=ONE_FRAME,
         action="silent ::1", only=TCP, elsewhere="a serial port has no addresses"),
    Case("reset by the TNC", "two", status=1, octets=ONE_FRAME, action="reset", only=TCP,
         console=TWO_SENT + "\nUnable to {writing} {port} ({reset}).\n",
         elsewhere="a serial line has no connection to reset"),
    Case("one send per frame", "frames", console=sent(*LINES), octets=FRAMES,
         action="count sends", only=TCP, elsewhere="a serial line has no sends to count"),
    # A TNC that accepts but never reads: the run ends once it has taken nothing for an
    # octet's budget, not a frame's nor more for the part of a 1 KB frame it took, with the
    # write message (the console's end).
    Case("a TNC that never reads", "many", status=1, action="deaf", quick=True, only=TCP,
         console="\nUnable to {writing} {port} (the TNC took nothing for 60 ms).\n",
         elsewhere="a serial line stalls instead: see 'stalled line'"),
    *(Case(f"{example.name} through Dire Wolf's {way}", str(example), form=way,
           console=sent(*example.read_bytes().splitlines(True)), only=("direwolf",),
           elsewhere="the direwolf runner's, through Dire Wolf and back from its audio")
      for example in EXAMPLES for way in ("pty", "KISS port")),
]


# Terminals: the settings with their real speeds, [iflag, oflag, cflag, lflag, line,
# control characters, ispeed, ospeed].
TCGETS2, TCSETS2, TIOCGEXCL = 0x802C542A, 0x402C542B, 0x80045440


def termios2(fd, new=None):
    if new:
        fcntl.ioctl(fd, TCSETS2, struct.pack("4IB19s2I", *new))
    return list(struct.unpack("4IB19s2I", fcntl.ioctl(fd, TCGETS2, bytes(44))))


def port_name(form, device, missing):
    # The port as a case names it: the device, Com2 (com), a missing device or not a terminal.
    return {"com": "2", "missing": str(missing), "null": "/dev/null"}.get(form, device)


def link(path, target):
    path.parent.mkdir(parents=True, exist_ok=True)
    path.unlink(missing_ok=True)
    path.symlink_to(target)


class Pty:
    # A pseudo-terminal, its slave held (settings outlive a run) and set as a port may be
    # found: cooked 7E2, 1200 Bd out and input_speed in, XON/XOFF, RTS/CTS.
    def __init__(self, input_speed):
        self.master, self.slave = os.openpty()
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        i, o, c, l, *rest = termios2(self.slave)
        c &= ~(termios.CBAUD | termios.CIBAUD | termios.CLOCAL | termios.CSIZE)
        c |= termios.B1200 | input_speed << 16 | termios.CS7 | termios.PARENB | termios.CSTOPB
        termios2(self.slave, [i | termios.IXON | termios.IXOFF | termios.ICRNL, o | termios.OPOST,
                              c | termios.CRTSCTS, l | termios.ICANON | termios.ECHO, *rest])

    def close(self):
        for fd in (self.master, self.slave):
            with contextlib.suppress(OSError):
                os.close(fd)

    def raw_at(self, speed):  # raw 8N1, RTS/CTS as found
        i, o, c, l, *_, ispeed, ospeed = termios2(self.slave)
        line = termios.CSIZE | termios.CSTOPB | termios.PARENB | termios.CREAD | termios.CLOCAL
        raw = termios.CS8 | termios.CREAD | termios.CLOCAL | termios.CRTSCTS
        return (ispeed, ospeed, c & (line | termios.CRTSCTS), o & termios.OPOST,
                i & (termios.IXON | termios.IXOFF | termios.ICRNL),
                l & (termios.ICANON | termios.ECHO)) == (speed, speed, raw, 0, 0, 0)


class Run:
    # One run: its console, through a file (Wine's helpers would keep a pipe open), and the
    # octets from link with their times. Windows' console ends its lines with CR LF.
    def __init__(self, command, link=None, port="", crlf=False, **popen):
        self.link, self.port, self.crlf = link, port, crlf
        self.octets, self.arrival, self.file = bytearray(), [], tempfile.TemporaryFile()
        self.before = resource.getrusage(resource.RUSAGE_CHILDREN)  # to count its wake-ups
        self.proc = subprocess.Popen([str(part) for part in command], **{
            "stdin": subprocess.DEVNULL, "stdout": self.file, "stderr": subprocess.STDOUT, **popen})
        self.started = time.monotonic()

    def pump(self, timeout):
        with contextlib.suppress(OSError):
            while select.select([self.link] if self.link is not None else [], [], [], timeout)[0] \
                    and (data := os.read(self.link, 65536)):
                self.octets += data
                self.arrival += [time.monotonic() - self.started] * len(data)
                timeout = 0

    def collect(self, octets=1e9, seconds=10):
        end = time.monotonic() + seconds
        while len(self.octets) < octets and self.proc.poll() is None and time.monotonic() < end:
            self.pump(0.005)

    def finish(self):
        self.collect(seconds=30)
        self.proc.kill()  # if it has not ended by now
        self.proc.wait()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.switches = after.ru_nvcsw - self.before.ru_nvcsw
        self.cpu = after.ru_utime + after.ru_stime - self.before.ru_utime - self.before.ru_stime
        self.pump(0)
        self.status = abs(self.proc.returncode) + 128 * (self.proc.returncode < 0)
        self.file.seek(0)
        self.console = self.file.read().decode("latin-1")
        self.console = self.console.replace("\r\n", "\n") if self.crlf else self.console
        return self


class Runner:
    # What the runners share: the program's words on a serial port, the cases a runner
    # cannot show, with the reason, and the checks of a run against its case. A stalled
    # line at 1200 Bd is given up within stall_seconds: a UART's FIFO holds 16 octets ahead
    # of the one waiting, 133 ms on the line, but a run on Windows, where the driver takes
    # octets one at a time, starts Wine first.
    words = dict(opening="open serial port", writing="write to serial port",
                 missing="No such file or directory", hung_up="Input/output error",
                 waited="serial port", **{sig.name: sig.name for sig in STOPS})
    stall_seconds = (0.15, 0.6)
    cannot = {}

    def __init__(self, name, scratch):
        self.name, self.scratch = name, scratch
        for file, content in FILES.items():
            (scratch / file).write_bytes(content)
        os.mkfifo(scratch / "fifo")

    def skip_reason(self, case):
        if case.name in self.cannot:
            return self.cannot[case.name]
        return case.elsewhere if case.only and self.name not in case.only else ""

    def close(self):
        pass

    def check(self, case):
        run = self.run(case)
        wanted = case.console or ""
        # The budget it names is the one it kept, which the time it took shows.
        run.console = re.sub(r"within \d+ ms\)", "within {stalled} ms)", run.console)
        if case.action == "time fixed":  # the time it went, or a minute before
            stamp = bytes(run.octets[-9:-3])
            assert stamp in {time.strftime("%d%H%M", time.gmtime(time.time() - s)).encode()
                             for s in (0, 60)}, run.octets
            run.octets[-9:-3] = b"010000"
            run.console = run.console.replace(stamp.decode(), "010000")
        path = str(getattr(self, "scratch", "")) + "/" + case.file  # the input, by its name
        for word, said in dict(self.words, port=run.port, input=path).items():
            wanted = wanted.replace("{" + word + "}", said)
        if case.console is None:
            assert run.console == ""
        elif case.action == "deaf":
            assert run.console.endswith(wanted)
        elif case.action == "list ports":  # among the machine's others
            assert wanted in run.console
        else:
            assert run.console == BANNER + wanted
        assert run.status == case.status
        if case.action != "stall":  # what a stalled line passes on is the guests' to check
            assert run.octets == case.octets


class Linux(Runner):
    # The Linux build on pseudo-terminals (ComN: links in the build tree).
    input_speed, crlf, wakeups_counted = termios.B2400, False, True
    BY_ID = Path("/dev/serial/by-id/usb-uipacer_Test_TNC_1-if00-port0")  # as udev names one
    words = dict(Runner.words, listed=f" {BY_ID}  -> {{port}}\n")

    def program(self, case):
        return [BUILD / "tests" / ("uipacer_quick_pause" if case.quick else "uipacer_test_ports")]

    def start(self, case, port, link):
        name = case.file if case.file == "-" else self.scratch / case.file
        args = [*self.program(case), *case.options, name, port, case.speed, case.pause]
        if case.action == "console closed":
            return Run(args, link, port, preexec_fn=lambda: (os.close(0), os.close(1)))
        if case.action == "ignored":  # the stop signal, from the start
            ignore = signal.SIG_IGN
            return Run(args, link, port, preexec_fn=lambda: signal.signal(case.signal, ignore))
        if case.action in ("console stopped", "console a terminal"):  # a raw terminal
            terminal, console = os.openpty()
            tty.setraw(console)
            if case.action == "console stopped":  # its output stopped (Ctrl-S)
                termios.tcflow(console, termios.TCOOFF)
            run = Run(args, link, port, stdout=console)
            run.terminal = (terminal, console)
            return run
        if case.file == "-":
            return Run(args, link, port, self.crlf, stdin=subprocess.PIPE)
        if case.file == "follow":  # a file of its own for each run
            (self.scratch / case.file).write_bytes(b"A>B:i\n")
        if case.action != "console gone":
            return Run(args, link, port, self.crlf)
        run = Run(args, link, port, stdout=subprocess.PIPE)
        run.proc.stdout.close()
        return run

    def port_name(self, form, pty):
        link(BUILD / "tests/dev/ttyS1", pty.path)  # Com2
        link(self.scratch / "tnc", pty.path)
        return str(self.scratch / "tnc") if form == "link" else port_name(
            form, pty.path, self.scratch / "nothing")

    def run(self, case):
        pty = Pty(self.input_speed)
        try:
            port = self.port_name(case.form, pty)
            if case.action == "held":  # another program's claims
                fcntl.ioctl(pty.slave, termios.TIOCEXCL)
            if case.action == "locked":
                fcntl.flock(pty.slave, fcntl.LOCK_EX | fcntl.LOCK_NB)
            stalled = case.action in ("stall", "stop in a stall")
            if stalled:  # output suspended: the line takes nothing more
                termios.tcflow(pty.slave, termios.TCOOFF)
            if case.action == "appears":  # the link made only once the run waits
                (self.scratch / "tnc").unlink()
            if case.action == "list ports":
                if os.geteuid() != 0:
                    pytest.skip("a link in /dev/serial/by-id needs root")
                self.made = [folder for folder in (self.BY_ID.parent.parent, self.BY_ID.parent)
                             if not folder.exists()]
                link(self.BY_ID, pty.path)
            run = self.start(case, port, None if stalled else pty.master)
            pty = self.bring_back(case, run, pty)
            self.act(case, run, pty.master)
            if case.action == "settings" and case.status == 0:
                assert pty.raw_at(case.speed), termios2(pty.slave)
            if case.action != "hangup":  # not held after the run, another's claim not cleared
                held = fcntl.ioctl(pty.slave, TIOCGEXCL, bytes(4)) != bytes(4)
                assert held == (case.action == "held")
            return run
        finally:
            pty.close()
            if case.action == "list ports":  # the machine's /dev as it was
                self.BY_ID.unlink(missing_ok=True)
                for folder in reversed(getattr(self, "made", [])):
                    folder.rmdir()

    def act(self, case, run, link):
        if case.action in ("hangup", "stop", "reset", "ignored"):
            run.collect(len(ONE_FRAME))
        if case.action == "reset":  # closed without lingering: a reset, not an orderly close
            with socket.socket(fileno=os.dup(link)) as tnc:
                tnc.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        if case.action in ("hangup", "reset"):
            os.close(link)
            run.link = None
        if case.action in ("stop at once", "stop in a stall"):
            time.sleep(0.3 if case.action == "stop in a stall" else 1)
        if case.action in ("stop", "stop at once", "stop in a stall", "ignored"):
            run.proc.send_signal(case.signal)
        if case.action in ("console stopped", "console a terminal"):
            self.restart_console(case, run)
        if case.action == "time the pause":  # awake, reading without a pause, as each ends
            lates = []
            for frames in (1, 2):
                run.collect(len(ONE_FRAME) * frames)
                time.sleep(9.9 - (time.monotonic() - run.started - run.arrival[-1]))
                while not select.select([link], [], [], 0)[0]:
                    pass
                lates.append(time.monotonic() - run.started - run.arrival[-1] - 10)
            # This machine's own timer now and then wakes a process late (a few ms, under
            # load): the pause is late if both are.
            assert min(map(abs, lates)) < 0.001, f"the pauses ended {lates} s late"
        self.write_input(case, run)
        waited = self.talk(run, link) if case.action == "talk" else 0
        run.finish()
        assert waited < 0.5, "what the TNC sent waited"
        took = time.monotonic() - run.started
        if case.action in ("stop", "deaf"):
            assert took < 3, "the run was not ended at once"
        if case.action in ("stop at once", "stop in a stall"):  # a stop within 1 s or 0.3 s
            assert took < 2, "the stop was not obeyed within a second"
        if case.action == "stall":
            assert self.stall_seconds[0] < took < self.stall_seconds[1], f"given up after {took} s"
        if case.action in ("count wake-ups", "console closed"):
            assert run.switches < 20 and run.cpu < 0.3, "the pause woke up"
        if case.action == "follow" and self.wakeups_counted:  # a few for each change, no more
            assert run.switches < 60 and run.cpu < 0.3, "the follow woke up"
        if case.action in ("console stopped", "console a terminal"):
            run.console = run.terminal_said
        if case.action == "pace":  # no pause before the first frame, about one after each
            starts = [i for i, octet in enumerate(run.octets) if octet == 0xC0][::2]
            gaps = [run.arrival[s] - run.arrival[s - 1] for s in starts[1:]]
            tail = time.monotonic() - run.started - (run.arrival or [0])[-1]
            jitter = 1.0 if "--jitter" in case.options else 0
            assert len(starts) > 1 and all(0.9 < gap < 2 + jitter for gap in gaps), gaps
            assert tail > 0.9, f"{tail:.2f} s after the last frame"
            assert not jitter or max(gaps) - min(gaps) > 0.05, f"no jitter in {gaps}"

    def write_input(self, case, run):
        # The input as it is written meanwhile, each step once the frames before it have come.
        path = self.scratch / case.file

        def after(frames, seconds=0.3):
            run.collect(len(ONE_FRAME) * frames)
            time.sleep(seconds)

        def rename_over(octets):
            (self.scratch / "new").write_bytes(octets)
            os.replace(self.scratch / "new", path)

        if case.action == "feed":
            run.proc.stdin.write(b"A>B:i\n")
            run.proc.stdin.flush()
            after(1)
            run.proc.stdin.write(b"A>B:j\n")
            run.proc.stdin.close()
        if case.action == "replace":
            after(1)
            rename_over(b"A>B:j\n")
        if case.action == "remove":
            after(1)
            path.unlink()
        if case.action == "follow":
            after(1)
            with open(path, "ab") as grown:
                grown.write(b"A>B:j")
            after(1, 1.3)
            assert len(run.octets) == len(ONE_FRAME), "a line went before its line feed"
            with open(path, "ab") as grown:
                grown.write(b"\n")
            after(2)
            rename_over(b"A>B:k\n")
            after(3)
            path.write_bytes(b"A>B:l\n")  # written over in place, as long as it was
            after(4, 0)
            run.proc.send_signal(case.signal)

    def bring_back(self, case, run, pty):
        # A port that comes later, or one that hangs up after the first frame and comes back
        # at the same path, a new pseudo-terminal: the one the run goes on with.
        if case.action == "back":
            run.collect(len(ONE_FRAME))
            pty.close()
            pty = Pty(self.input_speed)
            run.link = pty.master
        if case.action in ("appears", "back"):
            time.sleep(1.5)
            self.port_name(case.form, pty)
        return pty

    def restart_console(self, case, run):
        # Every frame goes while the console is stopped (if it is); then it is started, and
        # shows all.
        run.collect(len(case.octets))
        assert len(run.octets) == len(case.octets), "the frames waited for the console"
        terminal, console = run.terminal
        termios.tcflow(console, termios.TCOON)
        said = b""
        while select.select([terminal], [], [], 1)[0]:
            said += os.read(terminal, 65536)
        run.terminal_said = said.decode("latin-1")
        os.close(terminal)
        os.close(console)

    def talk(self, run, link):
        # A TNC passes on all it hears: a frame every 5 ms. The longest that one waited.
        run.collect(1)  # the line is raw now: nothing comes back as an echo
        longest, rest, since = 0, b"", 0
        while run.proc.poll() is None:
            if not rest:
                rest, since = b"\xc0" + b"\x40" * 2000 + b"\xc0", time.monotonic()
            with contextlib.suppress(OSError):  # nothing taken, or the program has gone
                rest = rest[os.write(link, rest):]
            longest = max(longest, time.monotonic() - since)
            run.pump(0.005)
        return longest


class NoTermios2(Linux):
    # Without the termios2 calls, the speeds with a Bxxxx constant are set by the standard
    # calls; 7200 and 14400 Bd are refused with the reason.
    def skip_reason(self, case):
        return "" if case.action in ("settings", "pace") else "as on the linux runner"

    def program(self, case):
        return ["qemu-x86_64-static", *super().program(case)]

    def check(self, case):
        super().check(case if case.speed not in (7200, 14400) else replace(case, status=1, console=(
            "\nUnable to configure serial port {port} (the system lacks the termios2 calls that"
            " this speed needs).\n")))


class Tcp(Linux):
    # The Linux build on a KISS TNC on TCP, listening here. A small segment size and window
    # keep the sender's buffer small, so that a TNC that stops reading stalls the sender soon.
    words = dict(Runner.words, opening="connect to KISS TNC", writing="write to KISS TNC",
                 missing="Connection refused", hung_up="the TNC closed the connection",
                 waited="KISS TNC",
                 unresolved="Name or service not known", reset="Connection reset by peer")
    cannot = {**{f"{speed} Bd": "the speed has no effect on TCP" for speed in SPEEDS},
              "held by another program": "TCP has no exclusive use",
              "locked by another program": "TCP has no exclusive use",
              "frames through Com2": "a number names a serial port",
              "not a terminal": "no terminal", "stalled line": "see 'a TNC that never reads'"}

    def program(self, case):
        if case.form != "unanswered":
            return super().program(case)
        # Its own view of /etc/resolv.conf, naming a server that never answers.
        resolv = self.scratch / "resolv.conf"
        resolv.write_text("nameserver 127.0.0.2\n")
        return ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/resolv.conf && exec "$@"',
                resolv, *super().program(case)]

    def listen(self, host, port=0):
        listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, 536)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        listener.bind((host, port))
        listener.listen(1)
        return listener

    def run(self, case):
        ipv6 = case.action == "pace"
        with self.listen("::1" if ipv6 else "127.0.0.1") as listener:
            port = ("[::1]:%d" if ipv6 else "127.0.0.1:%d") % listener.getsockname()[1]
            if case.form not in ("device", "link"):
                listener.close()  # nothing listens there
            port = port.replace("127.0.0.1", "no such host") if case.form == "unresolved" else port
            if case.form == "unanswered":  # a name server that takes the question, and is silent
                if os.geteuid() != 0:
                    pytest.skip("a resolv.conf of the test's own needs root")
                if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode:
                    pytest.skip("no mount namespace of its own (a chroot: its / is no mount point)")
                port = port.replace("127.0.0.1", "tnc.invalid")
                server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
                server.bind(("127.0.0.2", 53))
            if case.action == "silent ::1":  # its queue full, with one not taken
                silent = socket.socket(socket.AF_INET6)
                silent.bind(("::1", listener.getsockname()[1]))
                silent.listen(0)
                waiting = socket.create_connection(("::1", listener.getsockname()[1]))
                port = port.replace("127.0.0.1", "localhost")
            if case.action == "appears":  # refused until the run waits, then listened on
                listener.close()
                run = self.start(case, port, None)
                time.sleep(1.5)
                listener = self.listen("127.0.0.1", int(port.rsplit(":", 1)[1]))
            else:
                run = self.start(case, port, None)
            link = self.accept(listener, run) if case.form in ("device", "link") else None
            if case.action == "silent ::1":  # 127.0.0.1 tried beside it, not after its time-out
                assert time.monotonic() - run.started < 2, "127.0.0.1 waited for ::1"
            if case.action == "back":  # the TNC closes after a frame, and listens again
                run.link = link
                run.collect(len(ONE_FRAME))
                os.close(link)
                link = self.accept(listener, run)
        if link is None:  # nothing connected: the run, perhaps stopped
            if case.action:
                self.act(case, run, None)
                return run
            return run.finish()
        run.link = None if case.action == "deaf" else link
        self.act(case, run, link)
        if case.action == "count sends":  # Linux's count of data segments in
            with socket.socket(fileno=os.dup(link)) as tnc:
                info = tnc.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 232)
            assert struct.unpack_from("I", info, 152)[0] == len(LINES)  # tcpi_data_segs_in
        if case.action not in ("hangup", "reset"):
            os.close(link)
        return run

    def accept(self, listener, run):
        # The program's connection, or None if it ends first.
        while not select.select([listener], [], [], 0.05)[0]:
            if run.proc.poll() is not None:
                return None
        link = listener.accept()[0]
        link.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)  # nothing piles up here
        link.setblocking(False)
        return link.detach()


class Windows(Linux):
    # uipacer.exe under Wine, in a prefix of its own whose COM1, COM2 and COM10 are links
    # here (through the registry: Wine otherwise links COMn to the machine's own
    # /dev/ttyS{n-1}), pointed at pseudo-terminals.
    words = dict(Runner.words, hung_up="Not ready", SIGINT="Ctrl-C", listed=" COM10\n")
    stall_seconds = (0, 3)
    input_speed = 0  # Wine sets the output speed; the input speed follows it only if left unset
    crlf, wakeups_counted = True, False  # Wine's own threads and server wake too
    stops = "Wine turns only SIGINT into a console event (Ctrl-C); the other events are rows " \
            "of boundary_win32"
    cannot = {"held by another program": "Wine lets a second program open a port that one holds",
              "locked by another program": "Windows has no such locks",
              "no such device": "Wine opens a stand-in for a COM port it cannot find",
              "stopped by SIGTERM": stops, "stopped by SIGHUP": stops,
              "not a terminal": "only COMn names a device on Windows",
              "7200 Bd": "Wine cannot put it on a Linux terminal",
              "14400 Bd": "Wine cannot put it on a Linux terminal"}

    def __init__(self, name, scratch):
        if not WINDOWS_PROGRAM:
            pytest.skip("no uipacer.exe to run: UIPACER_WINDOWS_PROGRAM names none")
        super().__init__(name, scratch)
        self.dir = BUILD / "tests/wine"
        os.environ.update(WINEPREFIX=str(self.dir / "prefix"), WINEDEBUG="-all", DISPLAY="",
                          WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        quiet = dict(check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not (self.dir / "prefix/uipacer-prefix").exists():
            self.dir.mkdir(parents=True, exist_ok=True)
            for n in (1, 2, 10):  # COMn here; the first makes the prefix
                subprocess.run(["wine", "reg", "add", r"HKLM\Software\Wine\Ports", "/v", f"COM{n}",
                                "/d", f"{self.dir}/com{n}", "/f"], **quiet)
            subprocess.run(["wineserver", "-w"], **quiet)
            (self.dir / "prefix/uipacer-prefix").write_text("COM1, COM2 and COM10 mapped\n")
        # A server and its helpers of our own before any run, so that none of them writes
        # into a run's console; not one that another test left to end on its own.
        self.close()
        subprocess.run(["wineserver", "--persistent"], **quiet)
        subprocess.run(["wine", "cmd", "/c", "exit"], **quiet)
        # Each new server's serial driver makes the COM links again, one by one, while the
        # first programs may already run: a run that came too soon found its port gone. The
        # driver lists each port in a registry key of that server's alone once it is linked.
        query = ["wine", "reg", "query", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM"]
        for _ in range(60):
            listed = subprocess.run(query, capture_output=True, timeout=30).stdout.decode()
            if {"COM1", "COM2", "COM10"} <= set(re.findall(r"\bCOM\d+\b", listed)):
                return
            time.sleep(0.5)
        raise RuntimeError("Wine made no COM1, COM2 and COM10: " + listed)

    def close(self):
        subprocess.run(["wineserver", "--kill"], capture_output=True)

    def program(self, case):
        return ["wine", Path(WINDOWS_PROGRAM).resolve()]

    def port_name(self, form, pty):
        link(self.dir / ("com2" if form == "com" else "com10"), pty.path)
        return "2" if form == "com" else "com10"  # a link too: the device


class Winsock(Windows, Tcp):
    # uipacer.exe under Wine on a KISS TNC on TCP, through Winsock.
    words = dict(Tcp.words, SIGINT="Ctrl-C", unresolved="Host not found")
    cannot = {**Tcp.cannot, "stopped by SIGTERM": Windows.stops, "stopped by SIGHUP": Windows.stops,
              "reset by the TNC": "Wine's recv gives 0 after a reset, as after a close; Windows'"
                                  " reset is a row of boundary_win32",
              "a TNC that never reads": "it fills the buffers only after many frames; the tcp "
                                        "runner shows it with a thousandth of the pause"}


class DireWolf(Runner):
    # Every example through Dire Wolf, a software TNC: it transmits each frame as 1200 Bd
    # AFSK into a file (ALSA's file plugin stands in for the sound card), and its atest
    # decodes that audio back. Every line must come back exactly; frames a digipeater has
    # repeated go first, so as a set.
    def __init__(self, name, scratch):
        assert EXAMPLES, "no example to send"
        super().__init__(name, scratch)

    def skip_reason(self, case):
        return "" if self.name in case.only else "Dire Wolf's pty and TCP port are as the linux" \
            " and tcp runners' ports"

    def run(self, case):
        tnc = Tnc(self.scratch / f"{case.form}-{Path(case.file).stem}".replace(" ", "-"))
        port = tnc.pty if case.form == "pty" else tnc.address
        run = Run([BUILD / "tests/uipacer_test_ports", case.file, port, 9600, 1], port=port)
        lines = Path(case.file).read_text(encoding="latin-1").splitlines()
        heard = tnc.stop(len(lines) if run.finish().status == 0 else 0)
        assert heard == sorted(line + "<0x0a>" for line in lines), run.console
        return run


class Tnc:
    # Dire Wolf, started in folder: its pseudo-terminal and KISS TCP port.
    def __init__(self, folder):
        self.folder, self.log = folder, folder / "direwolf.log"
        folder.mkdir(parents=True, exist_ok=True)
        (folder / "asoundrc").write_text(f'pcm.air {{ type file slave.pcm "null" file '
                                         f'"{folder}/air.raw" format "raw" }}\n')
        port = 20000 + int.from_bytes(os.urandom(2), "big") % 12000  # below the system's range
        # Audio in from a UDP port that nothing sends to, so nothing keeps the channel busy;
        # PERSIST 255 sends as soon as it is clear.
        (folder / "direwolf.conf").write_text(
            "ADEVICE udp:0 air\nARATE 48000\nACHANNELS 1\nCHANNEL 0\nMODEM 1200\nPERSIST 255\n"
            f"KISSPORT {port}\nAGWPORT 0\n")
        # -p: the pseudo-terminal; -d o: "PTT 0 = 1" and "= 0" around every transmission.
        self.proc = subprocess.Popen(
            ["direwolf", "-c", folder / "direwolf.conf", "-p", "-t", "0", "-d", "o"],
            stdout=open(self.log, "wb"), stderr=subprocess.STDOUT,
            env=dict(os.environ, ALSA_CONFIG_PATH=f"/usr/share/alsa/alsa.conf:{folder}/asoundrc"))
        for _ in range(100):
            text = self.log.read_text(errors="replace")
            pty = re.search(r"Virtual KISS TNC is available on (\S+)", text)
            if pty and "Ready to accept" in text:
                self.pty, self.address = pty[1], f"localhost:{port}"
                return
            time.sleep(0.05)
        self.proc.kill()
        raise RuntimeError("direwolf did not start: " + self.log.read_text(errors="replace"))

    def stop(self, frames):
        # Once frames have gone out whole (a transmission's audio is in the file when PTT
        # goes off; a queued one starts within 0.1 s), the TNC2 lines that atest decodes
        # from the audio.
        quiet = 0
        for _ in range(200):
            text = self.log.read_text(errors="replace")
            done = len(re.findall(r"^\[0[HL]\] ", text, re.M)) >= frames and \
                text.count("PTT 0 = 1") == text.count("PTT 0 = 0")
            quiet = quiet + 1 if done else 0
            if quiet == 3:
                break
            time.sleep(0.1)
        self.proc.terminate()
        self.proc.wait()
        with wave.open(str(self.folder / "air.wav"), "wb") as audio:  # 16-bit mono at 48 kHz
            audio.setparams((1, 2, 48000, 0, "NONE", None))
            audio.writeframes((self.folder / "air.raw").read_bytes())
        out = subprocess.run(["atest", self.folder / "air.wav"], capture_output=True).stdout
        out = re.sub(rb"\x1b\[[0-9;]*[A-Za-z]", b"", out).decode("utf-8", "replace")
        return sorted(line[4:] for line in out.splitlines() if line.startswith("[0] "))


# A guest: QEMU with the character devices "console" and "port" attached, Debian's kernel
# for arch and the modules to load; its console and its port; what marks a traced speed,
# from QEMU's trace event or, in the guest, from the lines of its guest_trace file, shown
# after each run; and how the guest reaches its port: shell lines run once before the
# cases, around the stalled line, and to unplug and plug in its device; the slowest speed
# its chip runs at as asked; the rows it cannot show.
Machine = namedtuple("Machine", "qemu arch kernel console port trace modules reach stall unstall "
                     "guest_trace unplug replug slowest cannot listed",
                     defaults=[(), (), "", "", "", "", "", 0, {}, ""])
ARM = ["-M", "virt", "-serial", "chardev:port", "-device", "virtio-serial-device", "-device",
       "virtconsole,chardev=console"]
VIRTIO = ["virtio_mmio", "virtio_console"]
UART = {"hang-up": "a UART does not hang up"}
PL011 = {**UART, "frames through Com2": "no ComN names the PL011, /dev/ttyAMA0",
         "stalled line": "QEMU's PL011 stops the guest when not read"}
PC = ["qemu-system-x86_64", "-M", "pc", "-serial", "chardev:console"]
USB = {"frames through Com2": "no ComN names a USB port"}
UNPLUG = "echo 0 >/sys/bus/usb/devices/1-1/authorized"  # as if pulled out: its drivers let go
REPLUG = "echo 1 >/sys/bus/usb/devices/1-1/authorized; while [ ! -e {0} ]; do sleep 0.1; done"
MACHINES = {
    "vm-amd64": Machine([*PC, "-serial", "chardev:port"], "amd64", "linux-image-cloud-amd64",
                        "ttyS0", "/dev/ttyS1", "serial_update_parameters", cannot=UART),
    "vm-arm64": Machine(["qemu-system-aarch64", "-cpu", "cortex-a57", *ARM], "arm64",
                        "linux-image-arm64", "hvc0", "/dev/ttyAMA0", "pl011_baudrate_change",
                        VIRTIO, cannot=PL011),
    "vm-armhf": Machine(["qemu-system-arm", "-cpu", "cortex-a15", *ARM], "armhf",
                        "linux-image-armmp", "hvc0", "/dev/ttyAMA0", "pl011_baudrate_change",
                        VIRTIO, cannot=PL011),
    # QEMU's FT232 adapter on an xHCI controller, run by ftdi_sio. Its divisor has 14 bits,
    # 183 Bd at the least: ftdi_sio wraps it for 110 Bd, and reads 110 back.
    "vm-usb-ftdi": Machine(
        [*PC, "-device", "qemu-xhci", "-device", "usb-serial,chardev=port"], "amd64",
        "linux-image-amd64", "ttyS0", "/dev/ttyUSB0", "usb_serial_set_baud",
        ["xhci-pci", "ftdi_sio"], unplug=UNPLUG, replug=REPLUG.format("/dev/ttyUSB0"),
        slowest=183, cannot={**USB, "stalled line": "QEMU's FT232 writes to its socket blocking:"
                                                    " the guest stops, not the line"},
        # The 8250 that has a UART (the console's), not the 31 that have none.
        listed="Serial ports on this machine:\n /dev/ttyS0  serial\n /dev/ttyUSB0  ftdi_sio; QEMU, "
               "QEMU USB SERIAL, serial 1-0000:00:02.0-1\n"),
    # A CDC-ACM device inside the guest: dummy_hcd joins the gadget stack's serial function
    # (/dev/ttyGS0) to the host side, run by cdc-acm. What arrives at ttyGS0 is passed to
    # the 8250's line; the speed is the SET_LINE_CODING request in usbmon's trace. A stall:
    # the reader takes 20 octets and closes ttyGS0, which then queues no more transfers; an
    # unplugged device takes the reader's ttyGS0 with it. Runs are a user's, as in the
    # dialout group: root could shorten the closing wait that the stall leaves close() with.
    "vm-usb-acm": Machine(
        [*PC, "-serial", "chardev:port"], "amd64", "linux-image-amd64", "ttyS0", "/dev/ttyACM0",
        " s 21 20 ", ["usbmon", "dummy_hcd", "usb_f_acm", "g_serial", "cdc-acm"],
        ["mount -t debugfs debug /sys/kernel/debug",
         "mkdir /etc /sbin && echo 'tnc:x:1000:1000::/:/bin/sh' >/etc/passwd",
         "printf '#!/bin/sh\\nexec su -s /bin/uipacer -- tnc \"$@\"\\n' >/sbin/uipacer",
         "chmod 755 /sbin/uipacer && chmod 666 /dev/ttyACM0",
         "cat /sys/kernel/debug/usb/usbmon/0u >>/usbmon &",
         "stty -F /dev/ttyS1 raw -echo && stty -F /dev/ttyGS0 raw -echo",
         "cat /dev/ttyGS0 >/dev/ttyS1 & reader=$!"],
        "kill $reader; dd if=/dev/ttyGS0 of=/dev/ttyS1 bs=1 count=20 2>/dev/null & sleep 0.5",
        "kill $! 2>/dev/null; cat /dev/ttyGS0 >/dev/ttyS1 & reader=$!",
        "/usbmon", UNPLUG, REPLUG.format("/dev/ttyACM0") + "; chmod 666 /dev/ttyACM0; "
        "cat /dev/ttyGS0 >/dev/ttyS1 & reader=$!", cannot=USB, listed=" /dev/ttyACM0  cdc_acm; "),
}


def traced_speed(line):
    # The 8250's speed as traced, 8N1; the FT232's; cdc-acm's request, 8N1, its speed in
    # 4 octets little-endian; the PL011's from its divisor and its 24 MHz clock.
    if m := re.search(r"baudrate=(\d+) parity='N' data=8 stop=1|baud rate (\d+)", line):
        return int(m[1] or m[2])
    if m := re.search(r" s 21 20 0000 \w+ 0007 7 = (\w{8}) 000008", line):
        return int.from_bytes(bytes.fromhex(m[1]), "little")
    m = re.search(r"ibrd: (\d+), fbrd: (\d+)", line)
    return 24e6 * 4 / (int(m[1]) * 64 + int(m[2]) or 1) if m else 0


def load_order(names, tree):
    # The modules' files, each after those it depends on: busybox's insmod has no
    # modules.dep to read.
    order = []
    for name in names:
        module = next(tree.glob(f"lib/modules/*/kernel/**/{name}.ko"))
        needs = re.search(rb"depends=([^\0]*)", module.read_bytes())[1].decode()
        order += [m for m in load_order(filter(None, needs.split(",")), tree) + [module]
                  if m not in order]
    return order


def fetch(package, arch, tree):
    # Unpacks a Debian package for arch into tree, never installing it; for a kernel
    # meta-package, the kernel package that it depends on.
    depends = ["apt-cache", "depends", f"{package}:{arch}"]
    listing = subprocess.run(depends, capture_output=True).stdout
    if not listing:  # the architecture's package lists are not read yet
        subprocess.run(["apt-get", "update", "-q"], check=True)
        listing = subprocess.run(depends, capture_output=True).stdout
    concrete = re.findall(rb"Depends: (linux-image-[0-9][^:\s]+)", listing)
    download = tree.parent / "download"
    shutil.rmtree(download, ignore_errors=True)
    download.mkdir(parents=True)
    subprocess.run(["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root",
                    (concrete[0].decode() if concrete else package) + f":{arch}"],
                   cwd=download, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["dpkg-deb", "-x", next(download.glob("*.deb")), tree], check=True)


class Guest(Runner):
    # A static uipacer (scripts/test.sh builds it) in a small Linux guest under QEMU (no KVM
    # needed), on a port that the guest's own driver runs. One boot runs every case, each
    # sent to the shell on the guest's console, which carries the program's console; the
    # port's other end is a socket read here, or left unread to stall a UART (a USB device
    # is stalled inside the guest: Machine.stall).
    cannot = {"locked by another program": "a second uipacer is refused by the first's "
                                           "exclusive use before its lock",
              "the TNC talks back all along": "the input path is the same as the "
                                              "pseudo-terminal's"}

    def __init__(self, name, scratch):
        self.name, self.machine, self.work = name, MACHINES[name], BUILD / "vm" / name[3:]
        self.cannot = {**Guest.cannot, **self.machine.cannot}
        self.words = dict(Runner.words, listed=self.machine.listed)
        program = BUILD / "vm" / self.machine.arch / "program/uipacer"
        if not program.exists():
            pytest.skip(f"no {program} (a static build) to run in the guest")
        kernel = self.prepare(program)
        self.console, console = socket.socketpair()
        self.port, port = socket.socketpair()
        # QEMU writes an octet at a time; an unread socket then holds 6 at the smallest
        # send buffer, rather than some 270.
        port.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)
        self.qemu = subprocess.Popen(
            [*self.machine.qemu, "-m", "256", "-nodefaults", "-nographic", "-no-reboot",
             "-kernel", kernel, "-initrd", self.work / "initramfs.cpio",
             "-append", f"console={self.machine.console} panic=-1 quiet",
             "-chardev", f"socket,id=console,fd={console.fileno()}",
             "-chardev", f"socket,id=port,fd={port.fileno()}",
             *([] if self.machine.guest_trace else ["-trace", self.machine.trace])],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            pass_fds=(console.fileno(), port.fileno()))
        console.close()
        port.close()
        self.port.setblocking(False)
        os.set_blocking(self.qemu.stderr.fileno(), False)
        self.log, self.text, self.trace = open(self.work / "console.log", "wb"), "", ""
        self.read("@@ ready", 300)

    def close(self):
        self.qemu.kill()
        self.qemu.wait()

    def port_name(self, case):
        return port_name(case.form, self.machine.port, "/dev/nothing")

    def commands(self, case):
        machine, port = self.machine, self.port_name(case)
        options = "".join(f"'{option}' " for option in case.options)
        args = f"{options}/{case.file} {port} {case.speed} {case.pause}"
        if case.action == "held":  # a first run holds the port while it pauses
            return f"uipacer /one {machine.port} 9600 3 >/dev/null & sleep 1; run {args}; wait $!"
        if case.action == "stop":
            stop = f"kill -{case.signal.name[3:]} $!"
            return f'uipacer {args} & sleep 1.5; {stop}; wait $!; echo "@@ exit $?"'
        if case.action == "hangup":  # the device unplugged in the first frame's pause
            return f"timeout 10 uipacer {args} & sleep 0.7; {machine.unplug}; wait $!; " \
                   f'echo "@@ exit $?"; {machine.replug}'
        if case.action == "back":  # and plugged in again a second later
            return f"timeout 10 uipacer {args} & run=$!; sleep 0.7; {machine.unplug}; sleep 1; " \
                   f'{machine.replug}; wait $run; echo "@@ exit $?"'
        if case.action == "stall":  # what the stalled line left queued has a second to come
            return f"{machine.stall}\nrun {args}\n{machine.unstall}\nsleep 1"
        if case.action == "paced":  # 180 octets at 11 a second
            return f'timeout 40 uipacer {args}; echo "@@ exit $?"'
        return f"run {args}"

    def run(self, case):
        self.console.sendall(f"{self.commands(case)}\necho '@@ done'\n".encode())
        unread = case.action == "stall" and not self.machine.stall
        got = self.read("@@ done", 60, unread, 10 / case.speed if case.action == "paced" else 0)
        status = re.search(r"@@ exit (\d+)\n", got.console)
        run = SimpleNamespace(console=re.sub(r"@@ exit \d+\n", "", got.console), octets=got.octets,
                              status=status and int(status[1]), port=self.port_name(case))
        if case.action == "held" and run.octets == ONE_FRAME:  # the first run's
            run.octets = b""
        # A line left unread takes in a few octets beside the driver's queue of 128: in
        # QEMU's socket, the UART's shift register and its FIFO; so what arrives is the
        # start of the frame, some 52 short of it. The run must give up within its budget
        # (60 ms, and the octets the device took without passing them on) of the last octet
        # that arrived, and end within a second of its message.
        if case.action == "stall":
            assert STALL_FRAME.startswith(run.octets) and len(run.octets) + 128 < len(STALL_FRAME)
            assert got.gave_up < 0.5, "the write message, after the last octet"
            assert got.ended < 1, "the end, after the write message"
        speeds = [traced_speed(line) for line in got.settings] or [0]
        if case.action == "settings" and case.speed >= self.machine.slowest:
            assert 0.98 < speeds[-1] / case.speed < 1.02, f"the driver set {speeds}"
        return run

    def read(self, end, seconds, unread=False, pace=0):
        # The console up to the line end; the octets that came meanwhile (the port is left
        # unread, to stall a UART, until the program has ended; or read an octet every pace
        # seconds) and the settings traced; how long after the last octet (or the start)
        # came a write message, and how long after that (or the start) the program ended.
        got = SimpleNamespace(console="", octets=b"", settings=[], gave_up=1, ended=1)
        started = got.last = time.monotonic()
        while time.monotonic() < started + seconds:
            streams = [self.console, self.qemu.stderr] + [self.port] * (not unread and not pace)
            ready = select.select(streams, [], [], pace or 1)[0]
            if not unread:
                self.drain(got, pace)
            *traced, self.trace = (self.trace + (self.qemu.stderr.read() or b"").decode(
                "latin-1")).split("\n")
            got.settings += [line for line in traced if self.machine.trace in line]
            if self.console not in ready:
                continue
            data = self.console.recv(4096)
            assert data, "the guest has gone"
            self.log.write(data)
            *lines, self.text = (self.text + data.decode("latin-1")).replace("\r\n", "\n") \
                .split("\n")  # a terminal's CR LF
            for line in lines:
                if line == end:
                    self.drain(got)  # what it sent is all here by now
                    return got
                if self.machine.trace in line:  # the guest's own trace
                    got.settings.append(line)
                    continue
                if line.startswith("Unable to write"):
                    got.gave_up, started = time.monotonic() - got.last, time.monotonic()
                if line.startswith("@@ exit "):  # ended: what it left queued may come
                    got.ended, unread = time.monotonic() - started, False
                got.console += line + "\n"
        raise TimeoutError(f"no '{end}' from the guest")

    def drain(self, got, pace=0):
        # All that has come; pacing a line, its next octet once its time has come.
        with contextlib.suppress(BlockingIOError):
            while time.monotonic() >= got.last + pace and (data := self.port.recv(
                    1 if pace else 65536)):
                got.octets, got.last = got.octets + data, time.monotonic()

    def prepare(self, program):
        # The kernel, and an initramfs with busybox, the program, the modules and the
        # shell that runs what comes on the console.
        arch, root = self.machine.arch, self.work / "initramfs"
        packages = BUILD / "vm" / arch / self.machine.kernel
        if not (packages / "bin/busybox").exists():  # fetched once, busybox last
            for package in (self.machine.kernel, "busybox-static"):
                fetch(package, arch, packages)
        shutil.rmtree(root, ignore_errors=True)
        (root / "bin").mkdir(parents=True)
        for file in [packages / "bin/busybox", program]:
            shutil.copy(file, root / "bin")
        modules = load_order(self.machine.modules, packages)
        for module in modules:
            shutil.copy(module, root)
        for name, content in FILES.items():
            (root / name).write_bytes(content)
        console, traced = "/dev/" + self.machine.console, self.machine.guest_trace
        # What the guest traced since the last run, once its tracer has it.
        show_trace = f"sleep 0.2; grep '{self.machine.trace}' {traced}; : >{traced}" \
            if traced else ":"
        (root / "init").write_text("\n".join([
            "#!/bin/busybox sh", "/bin/busybox --install -s /bin",
            "mkdir -p /dev /proc /sys && mount -t devtmpfs dev /dev",
            "mount -t proc proc /proc && mount -t sysfs sys /sys",
            *(f"insmod /{module.name}" for module in modules),
            *(f"while [ ! -e {d} ]; do sleep 0.1; done" for d in (console, self.machine.port)),
            f"exec <{console} >{console} 2>&1", "stty -echo; dmesg -n 1; echo",
            *self.machine.reach,
            f'run() {{ timeout 10 uipacer "$@"; echo "@@ exit $?"; {show_trace}; }}',
            "echo '@@ ready'", 'while read -r line; do eval "$line"; done', ""]))
        (root / "init").chmod(0o755)
        with open(self.work / "initramfs.cpio", "wb") as archive:
            subprocess.run("find . | cpio -o -H newc --quiet", shell=True, cwd=root,
                           stdout=archive, check=True)
        return next(packages.glob("boot/vmlinuz-*"))


RUNNERS = {"linux": Linux, "tcp": Tcp, "no-termios2": NoTermios2, "direwolf": DireWolf,
           "windows": Windows, "winsock": Winsock, **dict.fromkeys(MACHINES, Guest)}


@pytest.fixture(scope="session", params=RUNNERS)
def runner(request, tmp_path_factory):
    made = RUNNERS[request.param](request.param, tmp_path_factory.mktemp(request.param))
    yield made
    made.close()


@pytest.mark.parametrize("case", CASES, ids=[case.name for case in CASES])
def test_port(runner, case):
    reason = runner.skip_reason(case)
    if reason:
        pytest.skip(reason)
    runner.check(case)


def test_kissmon_on_linux_with_its_output_closed(tmp_path):  # "linux": the stage's -k runs it
    # Its pseudo-terminal must not take the standard output it came without, or the sender
    # would read back every line it shows.
    link = tmp_path / "tnc"
    monitor = subprocess.Popen([BUILD / "kissmon", "-l", link], stderr=subprocess.DEVNULL,
                               preexec_fn=lambda: os.close(1))
    while not link.exists() and monitor.poll() is None:
        time.sleep(0.05)
    sender = os.open(link, os.O_RDWR | os.O_NOCTTY)  # raw already: kissmon made it so
    os.write(sender, ONE_FRAME)
    time.sleep(0.5)  # shown by now
    said = select.select([sender], [], [], 0)[0] and os.read(sender, 4096)
    monitor.terminate()
    os.close(sender)
    assert monitor.wait(5) == 0 and not said, said
