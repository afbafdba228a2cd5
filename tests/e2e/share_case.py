"""What the tests of the sharing side share: the hosts, the marker file and ShareTestCase, one
program run per class serving a Share of the class's own files to a client on host B.

Most checks ask for the marker file right after the request under test: requests are served one
after the other, so anything that came before the marker's bytes belongs to the request under test,
without having to wait and see whether something else arrives.
"""
import os
import random
import shutil
import stat
import tempfile
import unittest

import harness
from peer_protocol import RECORD_SIZE, recv_exactly, request_record

NET = None

MARKER_NAME = "marker.bin"
MARKER = b"<caldervine marker>" * 4
GIB = 1 << 30
MIB = 1 << 20


def set_up_network():
    """The two hosts for a test module: call it from the module's setUpModule."""
    global NET
    NET = harness.Network()
    NET.__enter__()
    unittest.addModuleCleanup(NET.__exit__, None, None, None)


def data(seed, size):
    return random.Random(seed).randbytes(size)


def snapshot(root):
    """Everything under `root`: relative path -> (is folder, size, modification time)."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            st = os.lstat(path)
            seen[os.path.relpath(path, root)] = (stat.S_ISDIR(st.st_mode), st.st_size, st.st_mtime_ns)
    return seen


class ShareTestCase(unittest.TestCase):
    """One program for the whole class, sharing `cls.files` ({name: bytes, or None for a folder})
    from a work folder inside a private folder `cls.base`."""
    files = {}

    @classmethod
    def setUpClass(cls):
        # A short path: the program serves a name only while its whole path stays below 255
        # characters, and the longest names here need almost all of that.
        base = tempfile.mkdtemp(prefix="cv-share-", dir="/tmp")
        cls.addClassCleanup(shutil.rmtree, base, ignore_errors=True)
        cls.base = cls.work_base(base)
        cls.workdir = harness.make_workdir(cls.files, base=cls.base)
        cls.share = os.path.join(cls.workdir, "Share")
        cls.prepare()
        cls.addClassCleanup(NET.a.kill_wine)
        cls.process = NET.a.start_caldervine(cls.workdir)

    @classmethod
    def work_base(cls, base):
        """The folder, inside the private folder `base`, that the work folder is made in."""
        return base

    @classmethod
    def prepare(cls):
        """Room for more files before the program starts."""

    @classmethod
    def listing_length(cls):
        """Records every connection starts with: "." and "..", then each entry whose name fits a
        record and whose size is below 4 GiB."""
        return 2 + sum(1 for name in os.listdir(cls.share)
                       if len(name) <= 206 and os.stat(os.path.join(cls.share, name)).st_size < 4 * GIB)

    def connect(self):
        sock = harness.connect_to(NET.b, harness.ADDRESS_A)
        self.addCleanup(sock.close)
        return sock

    def session(self):
        """A new connection whose whole listing has been read."""
        sock = self.connect()
        listing = recv_exactly(sock, self.listing_length() * RECORD_SIZE)
        self.assertEqual(len(listing), self.listing_length() * RECORD_SIZE, "listing cut short")
        return sock

    def ask(self, sock, requests, expected_length, timeout=10):
        """Sends `requests` then a request for the marker; returns what arrives in the place of
        `expected_length` bytes and the marker."""
        sock.sendall(requests + request_record(MARKER_NAME))
        return recv_exactly(sock, expected_length + len(MARKER), timeout)

    def assertSameBytes(self, got, want, what="stream"):
        if got == want:
            return
        first = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
        self.fail(f"{what}: got {len(got)} bytes, wanted {len(want)}; first difference at {first}: "
                  f"{got[first:first + 24]!r} instead of {want[first:first + 24]!r}")


