#!/usr/bin/env python3
"""uipacer against Linux's own serial driver, in a virtual machine.

    python3 tests/vm/uart_test.py [MACHINE]      (amd64 by default)

Boots one small guest under QEMU (TCG, no KVM needed): a kernel out of
Debian's cloud image package and busybox, both unpacked into build/vm, and a
static uipacer. Its init script runs the cases one after another on the UART
under test, then powers off. The guest's console carries the program's
console and markers that this script follows; the UART under test is joined
to a socket that this script reads, or leaves unread to stall the line.
Ends with "N passed, M failed", and exit status 1 if any case failed.
"""
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]

# What a guest architecture needs. Its QEMU command attaches the two character
# devices that this script provides, "console" and "port"; "settings" names
# QEMU's trace event for the line settings that the driver gives the UART,
# and what the event must say for a speed. An ARM guest would put the console
# on a virtio console (hvc0, after loading virtio_mmio.ko and
# virtio_console.ko) and the port on its PL011 (Com1 with the device family
# /dev/ttyAMA).
MACHINES = {
    "amd64": {
        "qemu": ["qemu-system-x86_64", "-M", "pc",
                 "-serial", "chardev:console", "-serial", "chardev:port"],
        "kernel_package": "linux-image-cloud-amd64",  # with the 8250 driver built in
        "busybox_package": "busybox-static",
        "modules": [],  # under lib/modules/VERSION/, loaded in this order
        "cmake": [],  # for the static build: a toolchain file, the device family
        "console": "ttyS0",
        "port": ("Com2", "/dev/ttyS1"),
        "settings": ("serial_update_parameters", "baudrate={} parity='N' data=8 stop=1"),
    },
}

SPEEDS = ["110", "300", "600", "1200", "2400", "4800", "7200",
          "9600", "14400", "19200", "38400", "57600", "115200"]
FRAMES = [  # a line of the file, and the octets it must put on the line
    (b"N0CALL-9>APRS,WIDE1-1*,WIDE2-2:>hello\n",
     "C0 00 82 A0 A4 A6 40 40 E0 9C 60 86 82 98 98 72 AE 92 88 8A 62 40 E2"
     " AE 92 88 8A 64 40 65 03 F0 3E 68 65 6C 6C 6F 0A C0"),
    (b"A>B:\xc0\xdb\r\n",
     "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 DB DC DB DD 0D 0A C0"),
    (b"A>B:i", "C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0 69 C0"),
]
A_TO_B = bytes.fromhex("C0 00 84 40 40 40 40 40 E0 82 40 40 40 40 40 61 03 F0")
# A line left unread still takes in a few octets beside the driver's queue:
# 6 in QEMU's socket (at the smallest send buffer), one in the UART's shift
# register and up to 16 in its FIFO; 7 or 8 arrive here. With its queue held
# to 128 the program gives up within a first frame of 180 octets, which
# leaves 52 for those; a queue of some 172 or more would reach the second
# frame.
STALL_LINE = b"A>B:" + b"x" * 160 + b"\n"
STALL_FRAME = A_TO_B + STALL_LINE[4:] + b"\xc0"
FILES = {
    "frames.txt": b"".join(line for line, _ in FRAMES),
    "empty.txt": b"",
    "one.txt": b"A>B:i\n",
    "stall.txt": STALL_LINE * 2,
}


def cases(machine):
    """Each case: its commands in the guest (`run` runs the program and
    prints its exit status), whether the line is left unread meanwhile, and
    the console, octets, last line settings and time wanted."""
    com, device = machine["port"]
    number = com[3:]
    version = re.search(r"project\(uipacer VERSION ([0-9.]+)",
                        (SOURCE / "CMakeLists.txt").read_text()).group(1)
    banner = f"\nUipacer version {version} by Tobrin\n\n"

    def sent(*lines):
        return "".join(f"Sending frame:\n {line.decode('latin-1')}\n\n" for line in lines)

    whole_file = sent(*(line for line, _ in FRAMES))
    file_octets = bytes.fromhex(" ".join(octets for _, octets in FRAMES))
    table = []
    # Every speed set and read back, and a whole file sent at a few. QEMU's
    # UART sends at once whatever its speed: at 110 Bd the file takes no
    # longer than its three pauses, where a real line needs 8 s for its 86
    # octets (each frame would fit the 128-octet queue all the same).
    for speed in SPEEDS:
        whole = speed in ("110", "7200", "14400", "115200")
        table.append(dict(
            name=f"{speed} Bd",
            commands=f"run {'frames' if whole else 'empty'}.txt {number} {speed} 1",
            console=banner + (whole_file if whole else "") + "@@ exit 0\n",
            octets=file_octets if whole else b"",
            settings=machine["settings"][1].format(speed)))
    table.append(dict(
        name="stalled line", commands=f"run stall.txt {number} 9600 1", stalled=True,
        console=banner + sent(STALL_LINE) + f"\nUnable to write to serial port {com} ({device}: "
        "no octet taken within 60 ms).\n@@ exit 1\n",
        octets=STALL_FRAME * 2, seconds=1.0))  # no pause taken, no wait in close()
    table.append(dict(
        name="held exclusively",  # a second run refused while the first pauses; then free
        commands=f"run one.txt {number} 9600 3 & sleep 1; run one.txt {number} 9600 1; wait; "
        f"run one.txt {number} 9600 1",
        console=banner + sent(FILES["one.txt"]) + banner + f"\nUnable to open serial port {com} "
        f"({device}: Device or resource busy).\n@@ exit 1\n@@ exit 0\n" + banner +
        sent(FILES["one.txt"]) + "@@ exit 0\n",
        octets=(A_TO_B + b"i\n\xc0") * 2))
    # The device by its path, as a user with a USB adapter gives it.
    table.append(dict(name="device path", commands=f"run frames.txt {device} 115200 1",
                      console=banner + whole_file + "@@ exit 0\n", octets=file_octets,
                      settings=machine["settings"][1].format("115200")))
    return table


def run(*command, **options):
    subprocess.run(command, check=True, **options)


def fetch(package, tree):
    """Unpacks a Debian package into tree without installing it; for a kernel
    meta-package, the kernel package that it depends on."""
    listing = subprocess.run(["apt-cache", "depends", package], capture_output=True).stdout
    if not listing:
        run("apt-get", "update", "-q")  # no package lists yet
        listing = subprocess.run(["apt-cache", "depends", package], capture_output=True).stdout
    concrete = re.findall(rb"Depends: (linux-image-\S+)", listing)
    download = tree.parent / "download"
    shutil.rmtree(download, ignore_errors=True)
    download.mkdir(parents=True)
    run("apt-get", "download", "-q", "-o", "APT::Sandbox::User=root",
        concrete[0].decode() if concrete else package, cwd=download)
    run("dpkg-deb", "-x", next(download.glob("*.deb")), tree)


def prepare(machine, table, work):
    """The kernel, and an initramfs with busybox, the program and the cases."""
    packages = work / "packages"
    if not list(packages.glob("boot/vmlinuz-*")):  # fetched once
        shutil.rmtree(packages, ignore_errors=True)
        fetch(machine["kernel_package"], packages)
        fetch(machine["busybox_package"], packages)
    build = work / "program"
    run("cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
        "-DCMAKE_EXE_LINKER_FLAGS=-static", *machine["cmake"], stdout=subprocess.DEVNULL)
    run("cmake", "--build", build, "--target", "uipacer", stdout=subprocess.DEVNULL)

    root = work / "initramfs"
    shutil.rmtree(root, ignore_errors=True)
    (root / "bin").mkdir(parents=True)
    shutil.copy(packages / "bin/busybox", root / "bin")
    shutil.copy(build / "uipacer", root / "bin")
    for module in machine["modules"]:
        shutil.copy(next(packages.glob(f"lib/modules/*/{module}")), root)
    for name, content in FILES.items():
        (root / name).write_bytes(content)
    (root / "init").write_text(init_script(machine, table))
    (root / "init").chmod(0o755)
    with open(work / "initramfs.cpio", "wb") as archive:
        run("sh", "-c", "find . | cpio -o -H newc --quiet", cwd=root, stdout=archive)
    return next(packages.glob("boot/vmlinuz-*")), work / "initramfs.cpio"


def init_script(machine, table):
    console = "/dev/" + machine["console"]
    lines = [
        "#!/bin/busybox sh",
        "/bin/busybox --install -s /bin",
        "mkdir -p /dev /proc && mount -t devtmpfs dev /dev && mount -t proc proc /proc",
        *(f"insmod /{Path(module).name}" for module in machine["modules"]),
        f"while [ ! -e {console} ]; do sleep 0.1; done",
        f"exec <{console} >{console} 2>&1",
        "stty -echo; dmesg -n 1; echo",  # nothing but the cases from here on
        'run() { timeout 10 uipacer "$@"; echo "@@ exit $?"; }',
        'now() { read -r t _ </proc/uptime; echo "${t%.*}${t#*.}"; }  # centiseconds',
    ]
    for case in table:
        # The test answers each case's marker once it is ready for the case.
        lines += [f"echo '@@ case {case['name']}'; read -r _; start=$(now)", case["commands"],
                  'echo "@@ time $(($(now) - start))"']
        if case.get("stalled"):
            lines.append("sleep 1")  # while what the line still holds goes out
    return "\n".join(lines + ["echo '@@ end'", "poweroff -f", ""])


def boot(machine, kernel, initramfs, stalled, log):
    """Runs the guest; per case, its console, octets, settings and time. The
    console as it came goes to log."""
    console, console_qemu = socket.socketpair()
    port, port_qemu = socket.socketpair()
    # The smallest send buffer there is: QEMU writes an octet at a time, and
    # an unread socket then holds 6 of them rather than some 270.
    port_qemu.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1)
    qemu = subprocess.Popen(
        [*machine["qemu"], "-m", "256", "-nodefaults", "-nographic", "-no-reboot",
         "-kernel", kernel, "-initrd", initramfs,
         "-append", f"console={machine['console']} panic=-1 quiet",
         "-chardev", f"socket,id=console,fd={console_qemu.fileno()}",
         "-chardev", f"socket,id=port,fd={port_qemu.fileno()}",
         "-trace", machine["settings"][0]],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
        pass_fds=(console_qemu.fileno(), port_qemu.fileno()))
    console_qemu.close()
    port_qemu.close()
    port.setblocking(False)
    os.set_blocking(qemu.stderr.fileno(), False)

    results, current, reading = {}, None, True
    console_text, qemu_text, errors = "", "", ""

    def take_octets():
        while True:
            try:
                data = port.recv(65536)
            except BlockingIOError:
                return
            if not data:
                return
            if current is not None:
                current["octets"] += data

    def take_trace():
        nonlocal qemu_text, errors
        qemu_text += (qemu.stderr.read() or b"").decode("latin-1")
        *lines, qemu_text = qemu_text.split("\n")
        for line in lines:
            if not line.startswith(machine["settings"][0] + " "):
                errors += line + "\n"
            elif current is not None:
                current["settings"].append(line)

    deadline = time.monotonic() + 300
    while time.monotonic() < deadline:
        ready = select.select([console, qemu.stderr] + ([port] if reading else []), [], [], 1)[0]
        if port in ready:
            take_octets()
        if qemu.stderr in ready:
            take_trace()
        if console not in ready:
            continue
        data = console.recv(4096)
        if not data:
            break
        log.write(data)
        console_text += data.decode("latin-1").replace("\r", "")
        *lines, console_text = console_text.split("\n")
        for line in lines:
            if line.startswith("@@ case ") or line == "@@ end":
                # What the last case sent and set was written before this
                # marker, so it is all waiting now.
                take_octets()
                take_trace()
                current = None
                if line != "@@ end":
                    current = results[line[8:]] = {"console": "", "octets": b"", "settings": []}
                    reading = line[8:] not in stalled
                    console.sendall(b"\n")
            elif line.startswith("@@ time ") and current is not None:
                current["seconds"] = int(line[8:]) / 100
                reading = True  # the stall is over
            elif current is not None:
                current["console"] += line + "\n"
    else:
        errors += "the guest did not finish within 300 s\n"
    qemu.kill()
    qemu.wait()
    if errors.strip():
        print(errors, file=sys.stderr)
    return results


def problems(case, result):
    if result is None:
        return ["did not run"]
    found = []
    if result["console"] != case["console"].replace("\r", ""):  # as the console's CRs are
        found.append(f"console\n{result['console']!r}\nwanted\n{case['console']!r}")
    arrived = result["octets"]
    if case.get("stalled"):
        if not case["octets"].startswith(arrived):
            found.append(f"what arrived is not the start of what was sent: {arrived.hex(' ')}")
        if len(arrived) + 128 >= len(STALL_FRAME):
            found.append(f"{len(arrived)} octets arrived from a stalled line: no room left in "
                         "the first frame for a queue of 128")
    elif arrived != case["octets"]:
        found.append(f"octets\n{arrived.hex(' ')}\nwanted\n{case['octets'].hex(' ')}")
    if "settings" in case:
        last = result["settings"][-1] if result["settings"] else "none"
        if f" {case['settings']} " not in f" {last} ":
            found.append(f"line settings {last}; wanted {case['settings']}")
    if "seconds" in case and result.get("seconds", 1e9) >= case["seconds"]:
        found.append(f"took {result.get('seconds')} s, not under {case['seconds']} s")
    return found


def main():
    name = sys.argv[1] if len(sys.argv) > 1 else "amd64"
    machine = MACHINES[name]
    work = SOURCE / "build" / "vm" / name
    work.mkdir(parents=True, exist_ok=True)
    started = time.monotonic()
    table = cases(machine)
    with open(work / "console.log", "wb") as log:
        results = boot(machine, *prepare(machine, table, work),
                       {case["name"] for case in table if case.get("stalled")}, log)
    failed = 0
    for case in table:
        result = results.get(case["name"])
        found = problems(case, result)
        failed += bool(found)
        stalled = result and case.get("stalled")
        note = f" ({len(result['octets'])} octets arrived)" if stalled else ""
        print(f"{'FAILED' if found else 'ok'}: {case['name']}{note}")
        for problem in found:
            print("    " + problem.replace("\n", "\n    "))
    print(f"{name} guest, {time.monotonic() - started:.0f} s")
    print(f"uart: {len(table) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
