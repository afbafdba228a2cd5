#!/usr/bin/env python3
"""Caldervine benchmarks: figures, not tests (bench/README.md says what each one is).

Measures the build this machine ships (the 32-bit build where 32-bit code runs, otherwise the
64-bit one), each side against a baseline of the same design, in turns with it under the same
Wine: tools/baseline_sender.exe (accepts, takes a request, sends 4096-byte chunks with one
overlapped send in flight) and tools/baseline_receiver.exe (connects, receives 4096 bytes at a
time into a file). Serving, fetching and two copies are each the median of the turns' ratios;
beside them, the CPU of a copy that idles with a connection open.

Host B (10.211.0.2) shares, host A (10.211.0.1) fetches; each is a network namespace of its own
with its own Wine prefix (cvA<tag><suffix>/cvB<tag><suffix>). Prints everything and writes
bench/results.txt. MB/s = 10^6 bytes per second; CPU = utime + stime from /proc/<pid>/stat of the
process and of its host's wineserver, which does each Wine system call's work.

    python3 scripts/bench.py [--size-mib 256] [--rounds 3] [--most-rounds 11] [--parts serving,two,fetch]
"""
import argparse
import contextlib
import filecmp
import os
import queue
import random
import re
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))

import harness  # noqa: E402
from harness import status_field, wait_pid, wineserver  # noqa: E402
from peer_protocol import RECORD_SIZE, listing_record, parse_record, recv_exactly, request_record  # noqa: E402
from program import IDD_CONNECT_OK, DOWNLOADED, answer_box, connect, cpu_seconds, fill_connect, wait_entry  # noqa: E402

PEER_PORT = harness.PEER_PORT
BASELINE_PORT = 21121
MIB = 1 << 20
GIB = 1 << 30
TICK = os.sysconf("SC_CLK_TCK")
# The speed goals, as a share of the baseline's speed. How far a goal sits below 1.0 is its
# margin: rounds that differ by more than that are taken again, up to --most-rounds.
SPEED_GOAL = 0.95
PAIR_GOAL = 0.90
CPU_GOAL = 1.05  # the most CPU per GiB a side may use, as a share of its baseline's
# A large folder's listing, on each side: its time, the slowest answer of the fetching copy's
# window while its list fills, and what the two copies' memory grows by.
LIST_ENTRIES = 50000
FETCH_LIST_GOAL_S = 5.0
SHARE_LIST_GOAL_S = 2.0
ANSWER_GOAL_MS = 250
LIST_MEMORY_GOAL_MIB = 32
SPEED_MARGIN = 1 - SPEED_GOAL
PAIR_MARGIN = 1 - PAIR_GOAL
TOOLS_DIR = os.path.join(harness.WIN_BUILD, "tools")
SENDER_EXE = os.path.join(TOOLS_DIR, "baseline_sender.exe")
RECEIVER_EXE = os.path.join(TOOLS_DIR, "baseline_receiver.exe")
POLL = 0.002  # how often a file's size on disk is looked at while a transfer is timed


# -- reporting ---------------------------------------------------------------------------------
class Report:
    def __init__(self):
        self.lines = []
        self.goals = []  # (figure, value text, goal text, met)

    def __call__(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def goal(self, figure, value, goal, met):
        """Ratios are given to three places: one just under its goal must not read as the goal."""
        self.goals.append((figure, value, goal, met))

    def text(self):
        return "\n".join(self.lines) + "\n"


def mbps(nbytes, seconds):
    return nbytes / seconds / 1e6 if seconds > 0 else float("inf")


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# -- processes ---------------------------------------------------------------------------------
def cpu_of(pids):
    """Summed CPU seconds of `pids`; every one must still be running."""
    total = 0.0
    for pid in pids:
        used = cpu_seconds(pid)
        if used is None:
            raise RuntimeError(f"process {pid} ended before its CPU time was read")
        total += used
    return total


def start_windows_tool(host, args, cwd):
    """Runs a Windows console tool on `host` with its standard input on a pipe (the tools' --hold
    waits for it to end). Output goes to files, not pipes: the first Windows program of a prefix
    also starts Wine's services, which inherit its standard handles and would keep a pipe open."""
    out = tempfile.TemporaryFile(mode="w+")
    err = tempfile.TemporaryFile(mode="w+")
    p = host.popen([harness.WINE, *args], cwd=cwd, stdin=subprocess.PIPE, stdout=out, stderr=err)
    p.output_files = (out, err)
    return p


def finish(p, timeout=120):
    """Lets a tool of start_windows_tool end and returns its standard output."""
    with contextlib.suppress(OSError):
        p.stdin.close()
    p.wait(timeout=timeout)
    texts = []
    for f in p.output_files:
        f.seek(0)
        texts.append(f.read())
        f.close()
    if p.returncode != 0:
        raise RuntimeError(f"exit {p.returncode}: {texts[0].strip()} {texts[1].strip()[-500:]}")
    return texts[0]


# The program writes a file's last byte only once the file's end is confirmed, after the transfer:
# its transfer is over when all but that byte is on disk.
HELD_BACK = 1


def wait_size(path, size, timeout=900):
    """Waits until the file at `path` holds `size` bytes; returns the moment it did."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            if os.path.getsize(path) >= size:
                return time.perf_counter()
        except OSError:
            pass
        if time.monotonic() > deadline:
            raise RuntimeError(f"{path} did not reach {size} bytes in {timeout} s")
        time.sleep(POLL)


# -- taking turns ------------------------------------------------------------------------------
class Rounds:
    """Rounds of the program and of its baseline, taken in turns so that a change in the machine's
    load hits both, the one that goes first changing every turn. Each round is (seconds, CPU
    seconds or None). Medians are kept; while rounds of one side differ by more than `margin`, the
    margin of the figure's goal, up to `most` rounds are taken."""

    def __init__(self, program, baseline, size, least, most, margin):
        self.program, self.baseline, self.size = [], [], size
        series = [(program, self.program), (baseline, self.baseline)]
        while len(self.program) < most:
            first = len(self.program) % 2
            for run, rounds in series[first:] + series[:first]:
                rounds.append(run())
            if len(self.program) >= least and self.spread() <= margin:
                break

    def spread(self):
        return max(max(r) / min(r) - 1 for r in (self.rates(self.program), self.rates(self.baseline)))

    def turn_ratios(self):
        """Program / baseline within each turn: the two rounds of a turn meet the most alike load."""
        return [b[0] / p[0] for p, b in zip(self.program, self.baseline)]

    def rates(self, rounds):
        return [mbps(self.size, s) for s, _ in rounds]

    def cpu_per_gib(self, rounds):
        values = [cpu * GIB / self.size for _, cpu in rounds if cpu is not None]
        return statistics.median(values) if values else None

    def describe(self, r, label, base_label, cpu_what):
        rp, rb = self.rate_line(r, label, self.program), self.rate_line(r, base_label, self.baseline)
        turns = self.turn_ratios()
        ratio = statistics.median(turns)
        r(f"   program / baseline                : {ratio:.2f}  (median of the {len(turns)} turns' ratios: "
          f"{', '.join(f'{x:.2f}' for x in turns)}; ratio of the medians {rp / rb:.2f})")
        cp, cb = self.cpu_per_gib(self.program), self.cpu_per_gib(self.baseline)
        cpu_ratio = None
        if cp is not None and cb is not None:
            cpu_ratio = statistics.median(p[1] / b[1] for p, b in zip(self.program, self.baseline))
            r(f"   CPU s per GiB ({cpu_what}): program {cp:.1f}, baseline {cb:.1f} (medians);"
              f" program / baseline {cpu_ratio:.2f} (median of the turns' ratios)")
            for label, rounds in (("program", self.program), ("baseline", self.baseline)):
                r(f"     {label} rounds: " + ", ".join(f"{cpu * GIB / self.size:.1f}" for _, cpu in rounds))
        return ratio, cpu_ratio

    def rate_line(self, r, label, rounds):
        """Prints the rates of `rounds`; returns their median."""
        rates = self.rates(rounds)
        median = statistics.median(rates)
        r(f"   {label:34s}: {median:7.1f} MB/s  (median; rounds {', '.join(f'{x:.1f}' for x in rates)})")
        return median


# -- native peers ------------------------------------------------------------------------------
def drain(sock, count, timeout=60.0):
    """Receives and drops `count` bytes; returns how many came."""
    buf = bytearray(4 * MIB)
    view = memoryview(buf)
    have = 0
    sock.settimeout(timeout)
    while have < count:
        n = sock.recv_into(view, min(count - have, len(buf)))
        if n == 0:
            break
        have += n
    return have


def read_listing_count(host):
    """Connects once to the copy on B and counts the records of its listing (until 1 s of quiet)."""
    with contextlib.closing(harness.connect_to(host, harness.ADDRESS_B, PEER_PORT)) as s:
        data = b""
        s.settimeout(10)
        with contextlib.suppress(socket.timeout):
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
                s.settimeout(1.0)
    if not data or len(data) % RECORD_SIZE:
        raise RuntimeError(f"listing of {len(data)} bytes")
    return len(data) // RECORD_SIZE


class NativeSharer:
    """Stands in for a sharing copy on B in native code, so that the fetching side is measured
    against a sender its own speed cannot slow: on PEER_PORT the listing of `entries` ({name:
    (path, size)}) and then every request served from its offset with sendfile; on BASELINE_PORT
    `raw` whole to whoever connects. After arm(), the next transfer waits for go() before its
    first byte, so that the CPU clocks are read before it starts."""

    def __init__(self, host, entries, raw):
        self.entries, self.raw = entries, raw
        self.started = queue.Queue()
        self._go = threading.Event()
        self._armed = False
        self._lock = threading.Lock()
        self._listeners = [harness.listen_on(host, PEER_PORT), harness.listen_on(host, BASELINE_PORT)]
        threading.Thread(target=self._accept, args=(self._listeners[0], self._serve_peer), daemon=True).start()
        threading.Thread(target=self._accept, args=(self._listeners[1], self._serve_raw), daemon=True).start()

    def arm(self):
        with self._lock:
            self._armed = True
            self._go.clear()

    def go(self):
        self._go.set()

    def close(self):
        for s in self._listeners:
            # Closing alone leaves a socket that a thread still waits in accept() on listening,
            # port and all; shutting it down first wakes the thread.
            with contextlib.suppress(OSError):
                s.shutdown(socket.SHUT_RDWR)
            with contextlib.suppress(OSError):
                s.close()

    def _hold(self, what):
        with self._lock:
            armed, self._armed = self._armed, False
        if armed:
            self.started.put(what)
            self._go.wait(120)

    def _accept(self, listener, serve):
        while True:
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            threading.Thread(target=serve, args=(conn,), daemon=True).start()

    @staticmethod
    def _send_file(conn, path, offset, count):
        with open(path, "rb") as f:
            conn.sendfile(f, offset, count)

    def _serve_peer(self, conn):
        with contextlib.closing(conn):
            conn.sendall(b"".join(listing_record(n, size) for n, (_, size) in sorted(self.entries.items())))
            while True:
                record = recv_exactly(conn, RECORD_SIZE, timeout=3600)
                if len(record) < RECORD_SIZE:
                    return
                _, name, offset = parse_record(record)
                path, size = self.entries[name.decode("latin-1")]
                self._hold(name)
                if offset < size:
                    self._send_file(conn, path, offset, size - offset)

    def _serve_raw(self, conn):
        with contextlib.closing(conn):
            self._hold("raw")
            self._send_file(conn, self.raw[0], 0, self.raw[1])
            conn.shutdown(socket.SHUT_WR)
            conn.settimeout(60)
            with contextlib.suppress(OSError):
                while conn.recv(65536):
                    pass


# -- the parts ---------------------------------------------------------------------------------
def part_idle(r, host, label, pids, seconds):
    """CPU of `pids` ({name: pid}) over `seconds` of idling."""
    before = {name: cpu_seconds(pid) for name, pid in pids.items()}
    time.sleep(seconds)
    used = {name: cpu_seconds(pid) - before[name] for name, pid in pids.items()}
    parts = ", ".join(f"{name} {u:.2f} s ({100 * u / seconds:.2f}% of a core)" for name, u in used.items())
    r(f"   {label}: {parts} in {seconds:.0f} s (clock tick {1000 / TICK:.0f} ms)")
    return used


def part_serving(r, net, tmp, listing, big, size, rounds, most):
    """B's copy, then baseline_sender on B, in turns, each to a native client on A. The baseline
    does what any sharer of this protocol must before the file: it sends as many records as the
    copy lists and takes a request, so that the client is the same in both rounds."""
    r(f"Serving: B -> a native client on A over the link, {size // MIB} MiB, in turns (load {load_average()})")
    cv, ws = wait_pid(net.b, "caldervine.exe"), wineserver(net.b)

    def read_listing(s):
        if len(recv_exactly(s, listing * RECORD_SIZE, 30)) != listing * RECORD_SIZE:
            raise RuntimeError("the listing did not come whole")

    def program_round():
        with contextlib.closing(harness.connect_to(net.a, harness.ADDRESS_B, PEER_PORT)) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * MIB)
            read_listing(s)
            c0 = cpu_of([cv, ws])
            t0 = time.perf_counter()
            s.sendall(request_record(big))
            got = drain(s, size)
            t1 = time.perf_counter()
            c1 = cpu_of([cv, ws])
        if got != size:
            raise RuntimeError(f"the program served {got} of {size} bytes")
        return t1 - t0, c1 - c0

    def baseline_round():
        p = start_windows_tool(net.b, [SENDER_EXE, big, str(BASELINE_PORT), "--hold", "--exchange", str(listing)], tmp)
        try:
            net.b.wait_listening(timeout=60, port=BASELINE_PORT)
            sender = wait_pid(net.b, "baseline_sende")
            with contextlib.closing(harness.connect_to(net.a, harness.ADDRESS_B, BASELINE_PORT)) as s:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * MIB)
                read_listing(s)
                c0 = cpu_of([sender, ws])
                t0 = time.perf_counter()
                s.sendall(request_record(big))
                got = drain(s, size)
                t1 = time.perf_counter()
                c1 = cpu_of([sender, ws])
        finally:
            out = finish(p)
        if got != size or f"sent {size} bytes" not in out:
            raise RuntimeError(f"baseline_sender: {got} bytes received; {out.strip()}")
        return t1 - t0, c1 - c0

    turns = Rounds(program_round, baseline_round, size, rounds, most, SPEED_MARGIN)
    ratio, cpu_ratio = turns.describe(r, "caldervine.exe on B", "baseline_sender --exchange on B",
                                      "sender + B's wineserver")
    r()
    r.goal("serving: program / minimal accepting sender of the exchange (MB/s)", f"{ratio:.3f}", f">= {SPEED_GOAL:.2f}",
           ratio >= SPEED_GOAL)
    if cpu_ratio is not None:
        r.goal("serving: CPU s per GiB, program / baseline", f"{cpu_ratio:.3f}", f"<= {CPU_GOAL:.2f}", cpu_ratio <= CPU_GOAL)


def part_two_copies(r, net, tmp, workdir_a, names, size, rounds, most, idle_seconds):
    """A's copy fetching from B's copy, in turns with baseline_receiver on A fetching from
    baseline_sender on B. Both timed from the first byte on A's disk to the last."""
    r(f"Two copies: A's copy fetches from B's copy, {size // MIB} MiB, in turns with the baseline pair"
      f" (load {load_average()})")
    net.a.start_caldervine(workdir_a)
    d = net.a.driver()
    try:
        d.find_main()
        connect(d, harness.ADDRESS_B)
        for name in names:
            wait_entry(d, name, size)
        pids = [wait_pid(net.a, "caldervine.exe"), wineserver(net.a), wait_pid(net.b, "caldervine.exe"),
                wineserver(net.b)]
        left = list(names)

        def timed(path, started_pids, whole):
            harness.wait_until(lambda: os.path.exists(path) and os.path.getsize(path) > 0, 120, interval=POLL,
                               what=f"the first byte of {path}")
            all_pids = started_pids()
            c0 = cpu_of(all_pids)
            t0 = time.perf_counter()
            t1 = wait_size(path, whole)
            return t1 - t0, cpu_of(all_pids) - c0

        def program_round():
            name = left.pop(0)
            path = os.path.join(workdir_a, "Incoming", name)
            d.select("remote", wait_entry(d, name, size))
            d.key("remote", "enter")
            result = timed(path, lambda: pids, size - HELD_BACK)
            box = answer_box(d, "ok", 30000)
            if (box or {}).get("text") != DOWNLOADED or not filecmp.cmp(path, os.path.join(tmp, "big.bin"), False):
                raise RuntimeError(f"two copies: box {box!r}, or {name} differs from the file served")
            os.remove(path)
            return result

        def baseline_round():
            out_dir = tempfile.mkdtemp(prefix="pair-", dir=tmp)
            sender = start_windows_tool(net.b, [SENDER_EXE, "big.bin", str(BASELINE_PORT), "--hold"], tmp)
            receiver = None
            try:
                net.b.wait_listening(timeout=60, port=BASELINE_PORT)
                receiver = start_windows_tool(net.a, [RECEIVER_EXE, harness.ADDRESS_B, str(BASELINE_PORT), "out.bin",
                                                      "--hold"], out_dir)
                result = timed(os.path.join(out_dir, "out.bin"),
                               lambda: [wait_pid(net.a, "baseline_recei"), pids[1], wait_pid(net.b, "baseline_sende"),
                                        pids[3]], size)
                # The sender's end of the stream lets the receiver end.
                finish(sender)
                finish(receiver)
                receiver = None
                return result
            finally:
                if receiver is not None:
                    with contextlib.suppress(Exception):
                        finish(receiver, 10)
                with contextlib.suppress(Exception):
                    finish(sender, 10)
                shutil.rmtree(out_dir, ignore_errors=True)

        turns = Rounds(program_round, baseline_round, size, rounds, min(most, len(names)), PAIR_MARGIN)
        ratio, _ = turns.describe(r, "caldervine.exe A <- caldervine.exe B", "baseline_receiver A <- sender B",
                                  "both processes + both wineservers")
        r.goal("two copies / baseline pair (MB/s)", f"{ratio:.3f}", f">= {PAIR_GOAL:.2f}", ratio >= PAIR_GOAL)
        r()
        r("Idle with a connection open")
        time.sleep(1.0)
        used = part_idle(r, net.a, "fetching copy A", {"caldervine.exe": pids[0], "wineserver": pids[1]}, idle_seconds)
        return used
    finally:
        d.close()
        net.a.kill_wine()


def part_fetching(r, net, tmp, workdir_a, sizes, rounds, most):
    """A's copy fetching from a native sharer on B, in turns with baseline_receiver on A fetching
    from the same sharer; both timed from the sharer's first byte to the file's full size on A's
    disk. B's copy is stopped first: the native sharer takes its port."""
    net.b.kill_wine()
    entries, sources = {}, {}
    for size, count in sizes:
        source = os.path.join(tmp, f"fetch-{size // MIB}.bin")
        sources[size] = source
        make_file(source, size)
        for i in range(1, count + 1):
            entries[f"f{size // MIB}-{i}.bin"] = (source, size)
    sharer = NativeSharer(net.b, entries, None)
    net.a.start_caldervine(workdir_a)
    d = net.a.driver()
    try:
        d.find_main()
        connect(d, harness.ADDRESS_B)
        cv, ws = wait_pid(net.a, "caldervine.exe"), wineserver(net.a)
        figures = {}
        for size, count in sizes:
            r(f"Fetching: A <- a native sharer on B, {size // MIB} MiB, in turns (load {load_average()})")
            sharer.raw = (sources[size], size)
            left = [n for n in sorted(entries) if n.startswith(f"f{size // MIB}-")]
            for name in left:
                wait_entry(d, name, size)

            def timed(path, clocks, whole):
                harness.wait_until(lambda: not sharer.started.empty(), 120, interval=0.01, what="the transfer's start")
                sharer.started.get()
                pids = clocks()
                c0, t0 = cpu_of(pids), time.perf_counter()
                sharer.go()
                t1 = wait_size(path, whole)
                return t1 - t0, cpu_of(pids) - c0

            def program_round():
                name = left.pop(0)
                path = os.path.join(workdir_a, "Incoming", name)
                sharer.arm()
                d.select("remote", wait_entry(d, name, size))
                d.key("remote", "enter")
                result = timed(path, lambda: [cv, ws], size - HELD_BACK)
                box = answer_box(d, "ok", 30000)
                if (box or {}).get("text") != DOWNLOADED or not filecmp.cmp(path, sources[size], False):
                    raise RuntimeError(f"fetching: box {box!r}, or {name} differs from the file served")
                os.remove(path)
                return result

            def baseline_round():
                out_dir = tempfile.mkdtemp(prefix="recv-", dir=tmp)
                sharer.arm()
                p = start_windows_tool(net.a, [RECEIVER_EXE, harness.ADDRESS_B, str(BASELINE_PORT), "out.bin",
                                               "--hold"], out_dir)
                try:
                    result = timed(os.path.join(out_dir, "out.bin"), lambda: [wait_pid(net.a, "baseline_recei"), ws], size)
                    out = finish(p)
                    if f"received {size} bytes" not in out:
                        raise RuntimeError(f"baseline_receiver: {out.strip()}")
                    return result
                finally:
                    with contextlib.suppress(Exception):
                        finish(p, 10)
                    shutil.rmtree(out_dir, ignore_errors=True)

            turns = Rounds(program_round, baseline_round, size, rounds, count, SPEED_MARGIN)
            ratio, cpu_ratio = turns.describe(r, "caldervine.exe on A", "baseline_receiver on A",
                                              "receiver + A's wineserver")
            figures[size] = (ratio, cpu_ratio)
            r.goal(f"fetching {size // MIB} MiB: program / minimal connecting receiver (MB/s)", f"{ratio:.3f}",
                   f">= {SPEED_GOAL:.2f}", ratio >= SPEED_GOAL)
            r()
        # A short download pays the fixed costs of a download (its bar's hundred repaints among
        # them) over fewer bytes, so its CPU per GiB is a figure of its own.
        for size, _ in sizes:
            if figures[size][1] is not None:
                r.goal(f"fetching: CPU s per GiB, program / baseline ({size // MIB} MiB)", f"{figures[size][1]:.3f}",
                       f"<= {CPU_GOAL:.2f}", figures[size][1] <= CPU_GOAL)
    finally:
        d.close()
        net.a.kill_wine()
        sharer.close()


def archive_names(count, seed):
    """Names of a photo archive's files, in a shuffled order, as a folder yields them."""
    rng = random.Random(seed)
    names = [f"IMG_{i:05d}_{rng.randrange(10 ** 6):06d}.jpg" for i in range(count)]
    rng.shuffle(names)
    return names


def part_lists(r, net, tmp, workdir_a, entries):
    """A folder of `entries` files listed on each side: B's copy sharing it to a native client on
    A, timed from the connection to the last record; A's copy fetching such a listing from a
    native sharer that sends it back to back, timed from OK in the connect dialog to the last
    entry in the list, while the list's window is asked for its count every 5 ms."""
    r(f"Listings of {entries} entries (load {load_average()})")
    net.b.kill_wine()
    shared = harness.make_workdir(base=tmp)
    for name in archive_names(entries, 1):
        open(os.path.join(shared, "Share", name), "wb").close()
    net.b.start_caldervine(shared)
    copy_b = wait_pid(net.b, "caldervine.exe")
    rss_b = status_field(copy_b, "VmRSS")
    records = (entries + 2) * RECORD_SIZE
    with contextlib.closing(harness.connect_to(net.a, harness.ADDRESS_B, PEER_PORT)) as s:
        t0 = time.perf_counter()
        got = drain(s, records)
        sharing = time.perf_counter() - t0
    if got != records:
        raise RuntimeError(f"the sharing copy sent {got} of {records} bytes of its listing")
    grown_b = (status_field(copy_b, "VmRSS") - rss_b) / 1024
    r(f"   sharing: B's copy -> a native client on A, {entries} files + . and ..: {sharing:.2f} s from the"
      f" connection to the last record; VmRSS {rss_b / 1024:.1f} MiB before, +{grown_b:.1f} MiB after")
    net.b.kill_wine()

    rng = random.Random(2)
    listing = b"".join(listing_record(name, rng.randrange(1 << 31)) for name in archive_names(entries, 2))
    listener = harness.listen_on(net.b)
    done = threading.Event()

    def share_listing():
        conn, _ = listener.accept()
        with contextlib.closing(conn):
            conn.sendall(listing)
            done.wait(300)

    sender = threading.Thread(target=share_listing, daemon=True)
    sender.start()
    net.a.start_caldervine(workdir_a)
    d = net.a.driver()
    try:
        d.find_main()
        copy_a = wait_pid(net.a, "caldervine.exe")
        rss_a = status_field(copy_a, "VmRSS")
        fill_connect(d, harness.ADDRESS_B)
        t0 = time.perf_counter()
        d.click("dialog", IDD_CONNECT_OK)
        watched = d.watch_list("remote", entries, 120000)
        fetching = time.perf_counter() - t0
        if watched["count"] != entries:
            raise RuntimeError(f"the list holds {watched['count']} of {entries} entries")
        grown_a = (status_field(copy_a, "VmRSS") - rss_a) / 1024
    finally:
        done.set()
        d.close()
        net.a.kill_wine()
        listener.close()
    r(f"   fetching: a native sharer on B -> A's copy, {entries} entries back to back in shuffled order:"
      f" {fetching:.2f} s from OK to the last entry in the list; the window's slowest answer meanwhile"
      f" {watched['slowest']} ms (of {watched['answers']}); VmRSS {rss_a / 1024:.1f} MiB before,"
      f" +{grown_a:.1f} MiB after")
    r()
    r.goal(f"fetching a listing of {entries}: OK to the last entry", f"{fetching:.2f} s", f"<= {FETCH_LIST_GOAL_S:.0f} s",
           fetching <= FETCH_LIST_GOAL_S)
    r.goal("fetching a listing: slowest answer of the window", f"{watched['slowest']} ms", f"<= {ANSWER_GOAL_MS} ms",
           watched["slowest"] <= ANSWER_GOAL_MS)
    r.goal(f"sharing a folder of {entries}: connection to the last record", f"{sharing:.2f} s",
           f"<= {SHARE_LIST_GOAL_S:.0f} s", sharing <= SHARE_LIST_GOAL_S)
    r.goal("memory after both listings, both copies", f"+{grown_a + grown_b:.1f} MiB", f"+ <= {LIST_MEMORY_GOAL_MIB} MiB",
           grown_a + grown_b <= LIST_MEMORY_GOAL_MIB)


# -- main ------------------------------------------------------------------------------------------
def make_file(path, size):
    with open(path, "wb") as f:
        for start in range(0, size, 4 * MIB):
            f.write(os.urandom(min(4 * MIB, size - start)))


def machine_lines():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    wine = subprocess.run([harness.WINE, "--version"], capture_output=True, text=True).stdout.strip()
    shipped = "the shipped 32-bit build" if harness.WINE.endswith("/wine") else \
        "the 64-bit build (this machine cannot run 32-bit code)"
    return [
        f"date:    {time.strftime('%Y-%m-%d %H:%M:%S UTC', time.gmtime())}",
        f"machine: {os.cpu_count()} CPUs, {cpu}, kernel {os.uname().release}",
        f"wine:    {wine} ({harness.WINE})",
        f"build:   {os.path.relpath(harness.CALDERVINE_EXE, ROOT)}: {shipped}",
    ]


def namespaces_in_use(names):
    listed = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    return [n for n in names if re.search(rf"^{re.escape(n)}(\s|$)", listed, re.M)]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mib", type=int, default=256, help="the big file (default 256)")
    ap.add_argument("--small-mib", type=int, default=32, help="the small fetch (default 32)")
    ap.add_argument("--rounds", type=int, default=3, help="least rounds per side (default 3)")
    ap.add_argument("--most-rounds", type=int, default=11, help="most rounds per side while rounds differ (default 11)")
    ap.add_argument("--idle-seconds", type=float, default=10.0)
    ap.add_argument("--parts", default="serving,two,fetch,lists",
                    help="which parts to run (default all: serving,two,fetch,lists)")
    ap.add_argument("--entries", type=int, default=LIST_ENTRIES, help=f"entries of the listings (default {LIST_ENTRIES})")
    ap.add_argument("--suffix", default="bench", help="namespace suffix (default: bench -> cvA<tag>bench)")
    ap.add_argument("--tmp", default="/tmp", help="where the test files go (removed at the end)")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results.txt"))
    args = ap.parse_args()
    size, small = args.size_mib * MIB, args.small_mib * MIB
    rounds, most = args.rounds, max(args.rounds, args.most_rounds)

    for exe in (harness.CALDERVINE_EXE, harness.DRIVER_EXE, SENDER_EXE, RECEIVER_EXE):
        if not os.path.exists(exe):
            sys.exit(f"missing {exe}: run scripts/bench.sh (it builds first)")
    mine = ["cvA" + harness.HOST_TAG + args.suffix, "cvB" + harness.HOST_TAG + args.suffix]
    while namespaces_in_use(mine):
        print(f"namespaces {namespaces_in_use(mine)} exist: another benchmark run? waiting 20 s", flush=True)
        time.sleep(20)

    r = Report()
    r("Caldervine benchmarks")
    for line in machine_lines():
        r(line)
    r(f"load:    {load_average()} (1/5/15 min) at the start; other work on this machine shares its CPUs")
    r(f"sizes:   {args.size_mib} MiB and {args.small_mib} MiB files of random bytes, in the page cache; "
      f"at least {rounds} rounds a side, up to {most} while they differ by more than the goal's margin"
      f" ({SPEED_MARGIN:.0%}; two copies {PAIR_MARGIN:.0%})")
    r("timing:  serving, from the request to the last byte at the client; fetching, from the sender's first")
    r("         byte until the file is on A's disk (the program's, all but the last byte, which it writes once")
    r("         the file's end is confirmed: that check and its message come after); two copies, from the")
    r("         first byte on A's disk to the last (all but one for the program)")
    r()

    tmp = tempfile.mkdtemp(prefix="cv-bench-", dir=args.tmp)
    started = time.monotonic()
    try:
        print(f"creating the files in {tmp} ...", flush=True)
        big = os.path.join(tmp, "big.bin")
        make_file(big, size)
        workdir_b = harness.make_workdir(base=tmp)
        workdir_a = harness.make_workdir(base=tmp)
        pair_names = [f"big-{i}.bin" for i in range(1, most + 1)]
        for name in ["big.bin"] + pair_names:
            os.link(big, os.path.join(workdir_b, "Share", name))

        print(f"starting namespaces {mine[0]}/{mine[1]} ...", flush=True)
        with harness.Network(suffix=args.suffix) as net:
            net.b.start_caldervine(workdir_b)
            listing = read_listing_count(net.a)
            r("Idle with a connection open")
            with contextlib.closing(harness.connect_to(net.a, harness.ADDRESS_B, PEER_PORT)) as s:
                recv_exactly(s, listing * RECORD_SIZE, 30)
                time.sleep(1.0)
                idle_b = part_idle(r, net.b, "sharing copy B",
                                   {"caldervine.exe": wait_pid(net.b, "caldervine.exe"), "wineserver": wineserver(net.b)},
                                   args.idle_seconds)
            r()
            parts = args.parts.split(",")
            if "serving" in parts:
                part_serving(r, net, tmp, listing, "big.bin", size, rounds, most)
            idle = [idle_b["caldervine.exe"]]
            if "two" in parts:
                idle.append(part_two_copies(r, net, tmp, workdir_a, pair_names, size, rounds, most,
                                            args.idle_seconds)["caldervine.exe"])
                r()
            worst = max(idle) / args.idle_seconds * 100
            r.goal("CPU with a connection open and idle (each copy)", f"{worst:.2f}% of a core", "<= 0.5%",
                   worst <= 0.5)
            if "fetch" in parts:
                # A short transfer meets the machine's other work by chance, so it gets more turns.
                part_fetching(r, net, tmp, workdir_a, [(size, most), (small, 3 * most)], rounds, most)
            if "lists" in parts:
                part_lists(r, net, tmp, workdir_a, args.entries)
        r("Summary")
        width = max(len(g[0]) for g in r.goals)
        for figure, value, goal, met in r.goals:
            r(f"   {figure:{width}s}  {value:>12s}  goal {goal:14s} {'met' if met else 'MISSED'}")
        r(f"   load average at the end: {load_average()} (1/5/15 min)")
        r(f"   total run time: {time.monotonic() - started:.0f} s")
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(r.text())
    print(f"written: {os.path.relpath(args.out, ROOT)}")


if __name__ == "__main__":
    main()
