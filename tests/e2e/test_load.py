"""A sustained load on the sharing side: a thousand peers in a row against one run of B's copy,
from A, the ways a real network makes them. Most read the listing, ask for a file from a random
offset and read it to the end; some leave in the middle of the listing or of an upload; some are
replaced by the next peer while their upload runs; some send junk, or a request for a name that is
not served, before a good one. Every byte each peer reads is compared with the file, and the copy
must stay flat: from a third of the way on, no memory, threads or wineserver descriptors gained.
"""
import contextlib
import os
import random
import shutil
import socket
import tempfile
import time
import unittest

import harness
from peer_protocol import RECORD_SIZE, recv_exactly, request_record

PEERS = 1000


class LoadPeers:
    """Peers in a row against B's copy, from A. Every byte a peer reads is compared with the file
    at the offset it asked for."""

    KINDS = (("whole", 70), ("leave-listing", 7), ("leave-upload", 8), ("replaced", 8), ("malformed", 7))
    BAD_NAMES = ("..\\load-s.bin", "NUL", "C:\\load-s.bin", "nothere.bin", "load-s.bin\\x")

    def __init__(self, net, listing, files, seed=17):
        self.net, self.listing, self.files = net, listing, files  # files: {name: bytes}
        self.random = random.Random(seed)
        self.counts = {kind: 0 for kind, _ in self.KINDS}
        self.bytes_checked = 0
        self.faults = []
        self.cut_uploads = 0  # replaced peers whose upload was really cut short

    def kind(self):
        return self.random.choices([k for k, _ in self.KINDS], [w for _, w in self.KINDS])[0]

    def connect(self, rcvbuf=None):
        s = harness.netns_socket(self.net.a)
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        s.settimeout(30)
        s.connect((harness.ADDRESS_B, harness.PEER_PORT))
        return s

    def read_listing(self, s, index):
        data = recv_exactly(s, self.listing * RECORD_SIZE, 30)
        if len(data) != self.listing * RECORD_SIZE:
            self.faults.append(f"peer {index}: listing of {len(data)} bytes")
            return False
        return True

    def check(self, index, name, offset, got, whole):
        expected = self.files[name][offset:]
        if whole and len(got) != len(expected):
            self.faults.append(f"peer {index}: {len(got)} of {len(expected)} bytes of {name} from {offset}")
        elif got != expected[:len(got)]:
            self.faults.append(f"peer {index}: bytes of {name} from {offset} differ")
        self.bytes_checked += len(got)

    def run(self, index, kind):
        self.counts[kind] += 1
        with contextlib.closing(self.connect(16384 if kind == "replaced" else None)) as s:
            if kind == "leave-listing":
                recv_exactly(s, self.random.randrange(1, self.listing * RECORD_SIZE), 30)
                return
            if not self.read_listing(s, index):
                return
            if kind == "malformed":
                if self.random.random() < 0.5:
                    junk = bytes(self.random.choice(b"abcxyz0123 \r\n\0\xff") for _ in range(self.random.randrange(1, 400)))
                else:
                    junk = request_record(self.random.choice(self.BAD_NAMES), self.random.randrange(1000))
                s.sendall(junk)
            if kind in ("leave-upload", "replaced"):
                name = "load-l.bin"
                offset = self.random.randrange(len(self.files[name]) // 2)
                s.sendall(request_record(name, offset))
                left = len(self.files[name]) - offset
                got = recv_exactly(s, self.random.randrange(1, left // 4), 30)
                if kind == "replaced":
                    # The next peer comes while this one's upload is under way: this one's stream
                    # ends early, and what did come must still be exact.
                    self.run(index + 1, "whole")
                    got += recv_exactly(s, left - len(got), 30)
                    if len(got) < left:
                        self.cut_uploads += 1
                self.check(index, name, offset, got, whole=False)
                return
            name = "load-s.bin"
            offset = self.random.randrange(len(self.files[name]) + 1)
            s.sendall(request_record(name, offset))
            self.check(index, name, offset, recv_exactly(s, len(self.files[name]) - offset, 30), whole=True)


class SustainedLoadTest(unittest.TestCase):
    def setUp(self):
        self.net = harness.Network(suffix="ld")
        self.net.__enter__()
        self.addCleanup(self.net.__exit__, None, None, None)
        base = tempfile.mkdtemp(prefix="cv-ld-")
        self.addCleanup(shutil.rmtree, base, ignore_errors=True)
        self.files = {"load-s.bin": os.urandom(2 << 20), "load-l.bin": os.urandom(16 << 20)}
        self.net.b.start_caldervine(harness.make_workdir(self.files, base=base))

    def test_a_thousand_peers_in_a_row(self):
        copy, server = harness.wait_pid(self.net.b, "caldervine.exe"), harness.wineserver(self.net.b)
        threads_idle = harness.status_field(copy, "Threads")
        load = LoadPeers(self.net, 2 + len(self.files), self.files)

        def sample():
            # Workers end by themselves just after their peer: wait for them before reading.
            with contextlib.suppress(AssertionError):
                harness.wait_until(lambda: harness.status_field(copy, "Threads") <= threads_idle, 20, what="threads")
            time.sleep(0.5)
            return (harness.status_field(copy, "VmRSS"), harness.status_field(copy, "Threads"),
                    len(os.listdir(f"/proc/{server}/fd")))

        marks = [PEERS // 3, 2 * PEERS // 3, PEERS]
        samples = []
        index = 0
        while index < PEERS:
            kind = load.kind()
            load.run(index, kind)
            index += 2 if kind == "replaced" else 1
            while marks and index >= marks[0]:
                marks.pop(0)
                samples.append(sample())
        self.assertEqual(load.faults[:10], [], f"{len(load.faults)} peers read wrong bytes")
        self.assertGreater(load.cut_uploads, 0, "no replaced peer had its upload cut short: the mix did not race")
        first, last = samples[0], samples[-1]
        self.assertLess((last[0] - first[0]) / 1024, 2, f"memory from a third of the way to the end: {samples}")
        self.assertLess(last[2] - first[2], 20, f"wineserver descriptors from a third of the way: {samples}")
        self.assertTrue(all(threads <= threads_idle for _, threads, _ in samples), f"threads left running: {samples}")


if __name__ == "__main__":
    unittest.main()
