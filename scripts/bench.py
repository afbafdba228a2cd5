#!/usr/bin/env python3
"""Caldervine benchmarks: figures, not tests.

Measures, under the same Wine, how fast the real program streams a file compared with the least
a Win32 program can do (tools/baseline_sender.exe and tools/baseline_receiver.exe), what the
link itself carries (netcat), how much CPU the program burns while a connection sits idle and
while it sends, and whether its memory stays flat with the size of the file it serves.

Runs in two network namespaces of its own (cvA<suffix>/cvB<suffix>, made by the end-to-end
harness), so it does not disturb end-to-end tests that use cvA/cvB. Prints everything and writes
bench/results.txt. Throughputs are in MB/s with 1 MB = 10^6 bytes.

    python3 scripts/bench.py [--size-mib 1024] [--small-mib 64] [--idle-seconds 10]
"""
import argparse
import contextlib
import os
import re
import resource
import shutil
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402
from peer_protocol import RECORD_SIZE, request_record  # noqa: E402
from program import answer_box, connect, cpu_seconds, wait_entry  # noqa: E402

PEER_PORT = harness.PEER_PORT
BASELINE_PORT = 21121
NC_PORT = 21122
RECV_BLOCK = 1 << 20
TICK = os.sysconf("SC_CLK_TCK")
TOOLS_DIR = os.path.join(harness.WIN_BUILD, "tools")
SENDER_EXE = os.path.join(TOOLS_DIR, "baseline_sender.exe")
RECEIVER_EXE = os.path.join(TOOLS_DIR, "baseline_receiver.exe")


# -- reporting ---------------------------------------------------------------------------------
class Report:
    def __init__(self):
        self.lines = []

    def __call__(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def text(self):
        return "\n".join(self.lines) + "\n"


def mbps(nbytes, seconds):
    return nbytes / seconds / 1e6 if seconds > 0 else float("inf")


def median_of(results):
    """The (seconds, ...) entry of median seconds (the lower middle one of an even count)."""
    ordered = sorted(results, key=lambda x: x[0])
    return ordered[(len(ordered) - 1) // 2]


def rates(size, results):
    return ", ".join(f"{mbps(size, x[0]):.1f}" for x in results)


def pct(a, b):
    return f"{100.0 * a / b:.0f}%" if a and b else "n/a"


# -- processes ---------------------------------------------------------------------------------
def netns_inode(host):
    return os.stat(f"/var/run/netns/{host.name}").st_ino


def pids_in(host, comm_prefix):
    """Pids of processes in `host`'s namespace whose comm starts with `comm_prefix`."""
    want = netns_inode(host)
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                comm = f.read().strip()
            if not comm.startswith(comm_prefix):
                continue
            if os.stat(f"/proc/{entry}/ns/net").st_ino != want:
                continue
        except OSError:
            continue
        found.append(int(entry))
    return found


def wait_pid(host, comm_prefix, timeout=30):
    return harness.wait_until(lambda: (pids_in(host, comm_prefix) or [None])[0], timeout,
                              what=f"process {comm_prefix} in {host.name}")


def status_kib(pid, key):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


class CpuWatch:
    """CPU seconds used by a set of named pids between start() and stop()."""

    def __init__(self, pids):
        self.pids = {name: pid for name, pid in pids.items() if pid}
        self.before = {}
        self.used = {}

    def start(self):
        self.before = {name: cpu_seconds(pid) for name, pid in self.pids.items()}
        self.t0 = time.monotonic()
        return self

    def stop(self):
        self.wall = time.monotonic() - self.t0
        for name, pid in self.pids.items():
            after = cpu_seconds(pid)
            before = self.before.get(name)
            self.used[name] = None if after is None or before is None else after - before
        return self

    def per_gib(self, nbytes, *names):
        """CPU seconds of `names` together per GiB moved."""
        used = [self.used.get(name) for name in names]
        if any(u is None for u in used):
            return None
        return sum(used) * (1 << 30) / nbytes

    def describe(self):
        parts = []
        for name, used in self.used.items():
            parts.append(f"{name} {used:.2f} s" if used is not None else f"{name} n/a")
        return ", ".join(parts) + f" (wall {self.wall:.2f} s)"


# -- the native client -------------------------------------------------------------------------
def read_listing(sock, quiet=0.5, first_wait=10.0):
    """Reads the listing records the program sends on accept, until it goes quiet."""
    records = []
    pending = b""
    sock.settimeout(first_wait)
    while True:
        try:
            data = sock.recv(65536)
        except socket.timeout:
            break
        if not data:
            break
        pending += data
        while len(pending) >= RECORD_SIZE:
            records.append(pending[:RECORD_SIZE])
            pending = pending[RECORD_SIZE:]
        sock.settimeout(quiet)
    if pending:
        raise RuntimeError(f"listing ended with {len(pending)} stray bytes")
    return [r.split(b"\0", 1)[0].decode("latin-1") for r in records]


def receive(sock, expected=None, timeout=60.0):
    """Receives into a 1 MiB buffer and drops the data: until `expected` bytes, or the peer closes.
    Returns (bytes, seconds from the first call to the last byte)."""
    buf = bytearray(RECV_BLOCK)
    view = memoryview(buf)
    sock.settimeout(timeout)
    total = 0
    t0 = time.perf_counter()
    while expected is None or total < expected:
        want = RECV_BLOCK if expected is None else min(RECV_BLOCK, expected - total)
        n = sock.recv_into(view, want)
        if n == 0:
            break
        total += n
    return total, time.perf_counter() - t0


def fetch_from_program(host, address, name, size):
    """One connection to Caldervine: listing, one request, the whole file. Returns seconds."""
    with contextlib.closing(harness.connect_to(host, address, PEER_PORT)) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        listing = read_listing(s)
        if not any(re.search(r"\s" + re.escape(name) + r"\s", line) for line in listing):
            raise RuntimeError(f"{name} not in the listing: {listing}")
        t0 = time.perf_counter()
        s.sendall(request_record(name))
        got, _ = receive(s, size)
        seconds = time.perf_counter() - t0
    if got != size:
        raise RuntimeError(f"got {got} of {size} bytes from the program")
    return seconds


def start_windows_tool(host, args, cwd):
    """Runs a Windows console tool on `host`. Its output goes to files, not pipes: the first
    Windows program of a prefix also starts Wine's services, which inherit its standard handles
    and would keep a pipe open long after the tool has ended."""
    out = tempfile.TemporaryFile(mode="w+")
    err = tempfile.TemporaryFile(mode="w+")
    p = host.popen([harness.WINE, *args], cwd=cwd, stdout=out, stderr=err)
    p.output_files = (out, err)
    return p


def finish(p, timeout=60):
    """Waits for a tool started by start_windows_tool; returns its standard output."""
    p.wait(timeout=timeout)
    texts = []
    for f in p.output_files:
        f.seek(0)
        texts.append(f.read())
        f.close()
    if p.returncode != 0:
        raise RuntimeError(f"exit {p.returncode}: {texts[0].strip()} {texts[1].strip()[-500:]}")
    return texts[0]


def start_baseline_sender(host, folder, name, port=BASELINE_PORT, extra=()):
    p = start_windows_tool(host, [SENDER_EXE, name, str(port), *extra], folder)
    host.wait_listening(timeout=60, port=port)
    return p


def fetch_from_baseline(client_host, sender_host, address, folder, name, size, extra=()):
    """baseline_sender.exe on `sender_host`; the native client on `client_host`.
    Returns (seconds, CpuWatch of the sender and its wineserver)."""
    p = start_baseline_sender(sender_host, folder, name, extra=extra)
    sender_pid = wait_pid(sender_host, "baseline_sende")
    watch = CpuWatch({"baseline_sender": sender_pid,
                      "wineserver": (pids_in(sender_host, "wineserver") or [None])[0]})
    with contextlib.closing(harness.connect_to(client_host, address, BASELINE_PORT)) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        watch.start()
        got, seconds = receive(s)
        watch.stop()
    finish(p)
    if got != size:
        raise RuntimeError(f"got {got} of {size} bytes from baseline_sender")
    return seconds, watch


# -- data ----------------------------------------------------------------------------------------
def make_file(path, mib):
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def machine_lines(win_dir):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run([harness.WINE, "--version"], capture_output=True, text=True).stdout.strip()
    date = subprocess.run(["date", "-u"], capture_output=True, text=True).stdout.strip()
    return [
        f"date:    {date}",
        f"machine: {os.cpu_count()} CPUs (nproc {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()}), "
        f"{cpu}, kernel {os.uname().release}",
        f"wine:    {wine} ({harness.WINE})",
        f"build:   {os.path.basename(win_dir)} ({os.path.relpath(harness.CALDERVINE_EXE, ROOT)})",
    ]


# -- the parts ------------------------------------------------------------------------------
def part_loopback(r, net, tmp, workdir, big, size, small, small_size, runs):
    b = net.b
    r("a. Sharing side over loopback (program and native client both in "
      f"{b.name}, 127.0.0.1), {size / 2**20:.0f} MiB file")
    cv = wait_pid(b, "caldervine.exe")
    ws = (pids_in(b, "wineserver") or [None])[0]

    # d. memory, first half: the small file.
    small_s = fetch_from_program(b, "127.0.0.1", small, small_size)
    hwm_small = status_kib(cv, "VmHWM")
    rss_small = status_kib(cv, "VmRSS")

    # The program and the baseline take turns, so that a change in the machine's load hits both.
    cv_results, base_results = [], []
    for _ in range(runs):
        watch = CpuWatch({"caldervine.exe": cv, "wineserver": ws, "Xvfb": b.xvfb.pid}).start()
        seconds = fetch_from_program(b, "127.0.0.1", big, size)
        cv_results.append((seconds, watch.stop()))
        base_results.append(fetch_from_baseline(b, b, "127.0.0.1", tmp, big, size))
    # Medians: one round slowed by other work on the machine moves neither figure.
    cv_s, cv_watch = median_of(cv_results)
    base_s, base_watch = median_of(base_results)
    hwm_big = status_kib(cv, "VmHWM")
    rss_big = status_kib(cv, "VmRSS")

    cv_rate, base_rate = mbps(size, cv_s), mbps(size, base_s)
    r(f"   caldervine.exe -> native client : {cv_rate:8.1f} MB/s  ({cv_s:.2f} s, median of {runs}; "
      f"rounds {rates(size, cv_results)})")
    r(f"   baseline_sender -> native client: {base_rate:8.1f} MB/s  ({base_s:.2f} s, median of {runs}; "
      f"rounds {rates(size, base_results)})")
    r("     (both send on a socket they accepted; they took turns)")
    r(f"   program / baseline              : {pct(cv_rate, base_rate)}  (target >= 90%)")
    r(f"   CPU during the program's send   : {cv_watch.describe()}")
    r(f"   CPU during the baseline's send  : {base_watch.describe()}")
    cv_cpu = cv_watch.per_gib(size, "caldervine.exe", "wineserver")
    base_cpu = base_watch.per_gib(size, "baseline_sender", "wineserver")
    if cv_cpu and base_cpu:
        r(f"   CPU per GiB (sender + its wineserver): program {cv_cpu:.1f} s, baseline {base_cpu:.1f} s;"
          f" baseline / program = {pct(base_cpu, cv_cpu)}")
        r("     (CPU per byte moved: far less sensitive than MB/s to other work on this machine)")
    r(f"   (warm-up: {small_size / 2**20:.0f} MiB from the program at {mbps(small_size, small_s):.1f} MB/s)")
    r()
    return {"cv": cv_rate, "base": base_rate, "hwm": (hwm_small, rss_small, hwm_big, rss_big)}


def part_idle(r, net, seconds):
    b = net.b
    r(f"c. CPU while idle with a connection open ({seconds:.0f} s after the listing was read)")
    cv = wait_pid(b, "caldervine.exe")
    ws = (pids_in(b, "wineserver") or [None])[0]
    with contextlib.closing(harness.connect_to(b, "127.0.0.1", PEER_PORT)) as s:
        listing = read_listing(s)
        time.sleep(1.0)  # let the listing worker end
        watch = CpuWatch({"caldervine.exe": cv, "wineserver": ws, "Xvfb": b.xvfb.pid}).start()
        time.sleep(seconds)
        watch.stop()
    for name, used in watch.used.items():
        r(f"   {name:15s}: {used:.2f} s CPU / {watch.wall:.1f} s  = {100 * used / watch.wall:.2f}% of a core"
          f"  (clock tick {1 / TICK * 1000:.0f} ms)")
    r(f"   (listing had {len(listing)} records)")
    r()
    return watch.used


def part_two_hosts_client(net, tmp, big, size, runs):
    """(i) Caldervine on B, then baseline_sender on B, in turns, to the native client on A.
    Returns the median seconds of each and every round's seconds."""
    cv, base = [], []
    for _ in range(runs):
        cv.append((fetch_from_program(net.a, harness.ADDRESS_B, big, size),))
        base.append(fetch_from_baseline(net.a, net.b, harness.ADDRESS_B, tmp, big, size))
    return median_of(cv)[0], median_of(base)[0], cv, base


def part_baseline_pair(net, tmp, big, size, receiver_extra=()):
    """(iii) baseline_sender on B, baseline_receiver on A. Returns (MB/s, CpuWatch)."""
    out_dir = tempfile.mkdtemp(prefix="recv-", dir=tmp)
    try:
        p = start_baseline_sender(net.b, tmp, big)
        sender_pid = wait_pid(net.b, "baseline_sende")
        watch = CpuWatch({"sender": sender_pid,
                          "B wineserver": (pids_in(net.b, "wineserver") or [None])[0],
                          "A wineserver": (pids_in(net.a, "wineserver") or [None])[0]}).start()
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        q = start_windows_tool(net.a, [RECEIVER_EXE, harness.ADDRESS_B, str(BASELINE_PORT), "out.bin",
                                       *receiver_extra], out_dir)
        out = finish(q, timeout=900)
        watch.stop()
        # The receiver is this script's child (ip netns exec and the wine loader exec in place),
        # so its CPU is what the reaped children gained.
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        watch.used["receiver"] = (after.ru_utime - children.ru_utime) + (after.ru_stime - children.ru_stime)
        finish(p)
        m = re.search(r"received (\d+) bytes in ([\d.]+) s", out)
        if not m or int(m.group(1)) != size:
            raise RuntimeError(f"baseline_receiver: {out.strip()}")
        return mbps(size, float(m.group(2))), watch
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)


def part_netcat(net, path, size):
    """(iv) nc on B sends the file, nc on A discards it: what the link carries."""
    with open(path, "rb") as f:
        server = net.b.popen(["nc", "-l", "-N", "-p", str(NC_PORT)], stdin=f,
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    net.b.wait_listening(timeout=20, port=NC_PORT)
    t0 = time.perf_counter()
    client = net.a.popen(["sh", "-c", f"nc -d {harness.ADDRESS_B} {NC_PORT} | wc -c"],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    out, _ = client.communicate(timeout=600)
    seconds = time.perf_counter() - t0
    server.wait(timeout=30)
    if int(out.strip() or 0) != size:
        raise RuntimeError(f"nc carried {out.strip()} of {size} bytes")
    return mbps(size, seconds)


def two_copies_end_to_end(net, workdir_a, name, size, idle_seconds):
    """(ii) A's caldervine.exe downloads `name` from B's caldervine.exe into A's Incoming, driven
    by the test driver the way a user would: File > Connect, B's address, O.K, then Enter on the
    file in the remote list. Timed from the Enter to the last byte on A's disk.

    Returns (MB/s, CpuWatch of the transfer, CpuWatch of A idle afterwards with the connection
    still open, the text of the message box that ends the download)."""
    if not os.path.exists(harness.DRIVER_EXE):
        raise RuntimeError(f"not measured: {os.path.relpath(harness.DRIVER_EXE, ROOT)} is not built")
    net.a.start_caldervine(workdir_a)
    d = net.a.driver()
    try:
        d.find_main()
        connect(d, harness.ADDRESS_B)
        index = wait_entry(d, name, size)
        incoming = os.path.join(workdir_a, "Incoming", name)
        cv_a = wait_pid(net.a, "caldervine.exe")
        cv_b = wait_pid(net.b, "caldervine.exe")
        watch = CpuWatch({"A caldervine.exe": cv_a, "B caldervine.exe": cv_b,
                          "A wineserver": (pids_in(net.a, "wineserver") or [None])[0],
                          "B wineserver": (pids_in(net.b, "wineserver") or [None])[0]})
        d.select("remote", index)
        watch.start()
        t0 = time.perf_counter()
        d.key("remote", "enter")
        harness.wait_until(lambda: os.path.exists(incoming) and os.path.getsize(incoming) >= size, 1800,
                           interval=0.02, what="the download on A")
        seconds = time.perf_counter() - t0
        watch.stop()
        box = answer_box(d, "ok", 10000)
        if os.path.getsize(incoming) != size:
            raise RuntimeError(f"A's copy has {os.path.getsize(incoming)} of {size} bytes")
        time.sleep(1.0)
        idle = CpuWatch({"A caldervine.exe": cv_a, "A wineserver": (pids_in(net.a, "wineserver") or [None])[0]})
        idle.start()
        time.sleep(idle_seconds)
        idle.stop()
        return mbps(size, seconds), watch, idle, (box or {}).get("text", "")
    finally:
        d.close()
        with contextlib.suppress(OSError):
            os.remove(os.path.join(workdir_a, "Incoming", name))


def part_two_hosts(r, net, tmp, workdir_a, big, size, runs, idle_seconds):
    r(f"b. Between two namespaces (B={harness.ADDRESS_B} shares, A={harness.ADDRESS_A} receives), "
      f"{size / 2**20:.0f} MiB over veth")
    cv_s, base_s, cv_rounds, base_rounds = part_two_hosts_client(net, tmp, big, size, runs)
    i, i_base = mbps(size, cv_s), mbps(size, base_s)
    r(f"   (i)   caldervine.exe on B -> native client on A   : {i:8.1f} MB/s  (median of {runs}; "
      f"rounds {rates(size, cv_rounds)})")
    r(f"         baseline_sender on B -> native client on A  : {i_base:8.1f} MB/s  (median of {runs}; "
      f"rounds {rates(size, base_rounds)})")
    r(f"         (both accepted their peer; in turns)           program / baseline {pct(i, i_base)}")
    try:
        ii, ii_watch, idle, box = two_copies_end_to_end(net, workdir_a, big, size, idle_seconds)
        r(f"   (ii)  caldervine.exe on A <- caldervine.exe on B  : {ii:8.1f} MB/s  (one run; end box: {box!r})")
        r(f"         CPU: {ii_watch.describe()}")
        r(f"         A idle afterwards, connection open: {idle.describe()}")
    except Exception as e:  # keep the other figures
        ii = None
        r(f"   (ii)  caldervine.exe on A <- caldervine.exe on B  : failed ({type(e).__name__}: {e})")
    results = [part_baseline_pair(net, tmp, big, size) for _ in range(runs)]
    iii, watch = max(results, key=lambda x: x[0])
    r(f"   (iii) baseline_sender B -> baseline_receiver A    : {iii:8.1f} MB/s  (best of {runs})")
    r("         sender accepts, receiver connects: sockets set up as the two copies set up theirs")
    r(f"         CPU: {watch.describe()}")
    iv = max(part_netcat(net, os.path.join(tmp, big), size) for _ in range(runs))
    r(f"   (iv)  nc B -> nc A (the link's limit)             : {iv:8.1f} MB/s  (best of {runs})")
    if ii:
        r(f"   two copies / Win32 baseline pair                  : {pct(ii, iii)}  (target >= 80%)")
        for label, a_cpu, b_cpu in (
                ("two copies", ii_watch.per_gib(size, "A caldervine.exe", "A wineserver"),
                 ii_watch.per_gib(size, "B caldervine.exe", "B wineserver")),
                ("baseline pair", watch.per_gib(size, "receiver", "A wineserver"),
                 watch.per_gib(size, "sender", "B wineserver"))):
            if a_cpu is not None and b_cpu is not None:
                r(f"   CPU per GiB, {label:13s}: receiving side (process + wineserver) {a_cpu:5.1f} s,"
                  f" sending side {b_cpu:5.1f} s")
    r(f"   Win32 baseline pair / nc                          : {pct(iii, iv)}  (what Wine itself costs)")
    r()
    return {"i": i, "i_base": i_base, "ii": ii, "iii": iii, "iv": iv}


def part_diagnostics(r, net, tmp, name, size, rounds):
    """The baseline tools with one of the program's habits added, each beside the plain tool, on
    the small file: whether that habit costs throughput or CPU under this Wine."""
    r(f"e. Diagnostics: the baseline tools with one habit of the program added ({size / 2**20:.0f} MiB, "
      f"best of {rounds}, taking turns)")
    b = net.b
    loop = {(): [], ("--notify",): []}
    pair = {(): [], ("--select",): []}
    for _ in range(rounds):
        for extra in loop:
            loop[extra].append(fetch_from_baseline(b, b, "127.0.0.1", tmp, name, size, extra=extra))
        for extra in pair:
            pair[extra].append(part_baseline_pair(net, tmp, name, size, receiver_extra=extra))
    for extra, label in (((), "baseline_sender           "),
                         (("--notify",), "baseline_sender --notify  ")):
        seconds, watch = min(loop[extra], key=lambda x: x[0])
        cpu = min(w.per_gib(size, "baseline_sender", "wineserver") for _, w in loop[extra])
        r(f"   loopback, {label}: {mbps(size, seconds):8.1f} MB/s, sender + wineserver {cpu:5.1f} s CPU per GiB")
    r("     (--notify: the sockets report to a window through WSAAsyncSelect, as the program's do)")
    for extra, label in (((), "baseline_receiver        "),
                         (("--select",), "baseline_receiver --select")):
        rate = max(x[0] for x in pair[extra])
        cpu = min(w.per_gib(size, "receiver", "A wineserver") for _, w in pair[extra])
        r(f"   B -> A,   {label}: {rate:8.1f} MB/s, receiver + A wineserver {cpu:5.1f} s CPU per GiB")
    r("     (--select: select() with a 250 ms time-out before every 4096-byte recv, as the program's")
    r("      receiving thread does)")
    r()


def part_memory(r, hwm, small_size, size):
    hwm_small, rss_small, hwm_big, rss_big = hwm
    r("d. Memory of caldervine.exe (from /proc/<pid>/status)")
    r(f"   after serving {small_size / 2**20:5.0f} MiB: VmHWM {hwm_small / 1024:7.1f} MiB, VmRSS {rss_small / 1024:7.1f} MiB")
    r(f"   after serving {size / 2**20:5.0f} MiB: VmHWM {hwm_big / 1024:7.1f} MiB, VmRSS {rss_big / 1024:7.1f} MiB")
    r(f"   peak growth: {(hwm_big - hwm_small) / 1024:+.1f} MiB  (flat = about 0)")
    r()


# -- main -----------------------------------------------------------------------------------------
def namespaces_in_use(names):
    listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return [n for n in names if re.search(rf"^{re.escape(n)}(\s|$)", listed, re.M)]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mib", type=int, default=1024, help="size of the big file (default 1024)")
    ap.add_argument("--small-mib", type=int, default=64, help="size of the small file for memory (default 64)")
    ap.add_argument("--idle-seconds", type=float, default=10.0)
    ap.add_argument("--runs", type=int, default=0, help="runs per throughput (default: 2 below 512 MiB, else 1)")
    ap.add_argument("--loopback-runs", type=int, default=3,
                    help="turns of program and baseline over loopback, medians kept (default 3)")
    ap.add_argument("--diagnostic-rounds", type=int, default=2,
                    help="rounds of the diagnostics on the small file (0: skip; default 2)")
    ap.add_argument("--loopback-only", action="store_true",
                    help="only the idle, loopback and memory figures (the serving ratio, quickly)")
    ap.add_argument("--suffix", default="bench", help="namespace suffix (default: bench -> cvAbench/cvBbench)")
    ap.add_argument("--tmp", default="/tmp", help="where the test files go (removed at the end)")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results.txt"))
    args = ap.parse_args()
    runs = args.runs or (2 if args.size_mib < 512 else 1)
    size, small_size = args.size_mib << 20, args.small_mib << 20

    for exe in (harness.CALDERVINE_EXE, SENDER_EXE, RECEIVER_EXE):
        if not os.path.exists(exe):
            sys.exit(f"missing {exe}: run scripts/bench.sh (it builds first)")
    mine = ["cvA" + harness.HOST_TAG + args.suffix, "cvB" + harness.HOST_TAG + args.suffix]
    while namespaces_in_use(mine):
        print(f"namespaces {namespaces_in_use(mine)} exist: another benchmark run? waiting 20 s", flush=True)
        time.sleep(20)

    r = Report()
    r("Caldervine benchmarks")
    for line in machine_lines(harness.WIN_BUILD):
        r(line)
    r(f"sizes:   big file {args.size_mib} MiB, small file {args.small_mib} MiB, random bytes, in the page cache")
    r(f"load:    {load_average()} (1/5/15 min) at the start; other work on this machine shares its CPUs")
    r("units:   MB/s = 10^6 bytes per second; CPU = utime+stime from /proc/<pid>/stat")
    # Under Wine a connected socket sends about a fifth faster than an accepted one, so each
    # baseline sets its socket up as the side of the program it stands beside.
    r("sockets: baseline_sender listens and sends on the socket it accepts, as the program's sharing")
    r("         side does; baseline_receiver connects, as its fetching side does. Neither shares code")
    r("         with the program (tools/).")
    r()

    tmp = tempfile.mkdtemp(prefix="cv-bench-", dir=args.tmp)
    started = time.monotonic()
    try:
        big, small = "big.bin", "small.bin"
        print(f"creating {args.size_mib} MiB + {args.small_mib} MiB of random bytes in {tmp} ...", flush=True)
        make_file(os.path.join(tmp, big), args.size_mib)
        make_file(os.path.join(tmp, small), args.small_mib)
        workdir_b = harness.make_workdir(base=tmp)
        workdir_a = harness.make_workdir(base=tmp)
        for name in (big, small):
            os.link(os.path.join(tmp, name), os.path.join(workdir_b, "Share", name))

        print(f"starting namespaces {mine[0]}/{mine[1]} ...", flush=True)
        with harness.Network(suffix=args.suffix) as net:
            net.b.start_caldervine(workdir_b)
            time.sleep(1.0)
            idle = part_idle(r, net, args.idle_seconds)
            loop = part_loopback(r, net, tmp, workdir_b, big, size, small, small_size,
                                 max(runs, args.loopback_runs))
            two = None
            if not args.loopback_only:
                two = part_two_hosts(r, net, tmp, workdir_a, big, size, runs, args.idle_seconds)
            part_memory(r, loop["hwm"], small_size, size)
            if args.diagnostic_rounds and not args.loopback_only:
                part_diagnostics(r, net, tmp, small, small_size, args.diagnostic_rounds)
        r("Summary")
        r(f"   loopback: program {loop['cv']:.1f} MB/s vs baseline {loop['base']:.1f} MB/s = "
          f"{pct(loop['cv'], loop['base'])} (target >= 90%)")
        if two:
            r(f"   B -> A:   program {two['i']:.1f} MB/s vs baseline_sender {two['i_base']:.1f} MB/s = "
              f"{pct(two['i'], two['i_base'])}; two copies "
              + (f"{two['ii']:.1f} MB/s vs Win32 baseline pair {two['iii']:.1f} MB/s = {pct(two['ii'], two['iii'])}"
                 if two["ii"] else "not measured")
              + " (target >= 80%)")
        r(f"   idle CPU of caldervine.exe: {idle.get('caldervine.exe', 0):.2f} s per {args.idle_seconds:.0f} s")
        hwm = loop["hwm"]
        r(f"   peak memory: {hwm[0] / 1024:.1f} MiB after {args.small_mib} MiB, {hwm[2] / 1024:.1f} MiB after "
          f"{args.size_mib} MiB")
        r(f"   load average at the end: {load_average()}")
        r(f"   total run time: {time.monotonic() - started:.0f} s")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(r.text())
    print(f"written: {os.path.relpath(args.out, ROOT)}")


if __name__ == "__main__":
    main()
