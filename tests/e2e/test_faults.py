"""Faults around transfers between two real copies of Caldervine, and peers that are no copies.

Copy B shares a 256 MiB random file from host B; copy A fetches it on host A. A transfer is cut
by killing a copy (every Wine process of its host ends at once, as in a crash) or by taking the
link between the hosts down; then the user starts what died again, connects again (from the same
run of A, or a new one) and chooses the entry again, and the download must go on from the partial
copy in Incoming and end byte-identical. The last group puts clients that are no copies of Caldervine against B: one that
sends junk, one that never reads, and a burst of short connections.
"""
import fcntl
import os
import random
import shutil
import socket
import struct
import tempfile
import termios
import threading
import time
import unittest

import harness
from peer_protocol import (LISTING_TAG, RECORD_SIZE, REQUEST_TAG, listing_record, recv_until_quiet, request_record,
                           split_records, wait_closed)
from program import (CAPTION_WITH_DOTS, DISCONNECTED, DOWNLOADED, MIB, Copy, cancel_connect, client_field, file_sha,
                     open_connect, resume_offset, server_field, settled, size_of, write_random)

BIG = 256 * MIB
NET = None
BASE = None
SHARED = None  # B's work folder, the same for every test
SHARED_FILES = {"after.bin": os.urandom(MIB), "note.txt": b"shared by B\r\n"}
ENTRIES = 2 + len(SHARED_FILES) + 1  # ".", "..", the files above and big.bin


def setUpModule():
    global NET, BASE, SHARED
    NET = harness.Network(suffix="ft")
    NET.__enter__()
    unittest.addModuleCleanup(NET.__exit__, None, None, None)
    BASE = tempfile.mkdtemp(prefix="cv-ft-")
    unittest.addModuleCleanup(shutil.rmtree, BASE, ignore_errors=True)
    SHARED = harness.make_workdir(SHARED_FILES, base=BASE)
    write_random(os.path.join(SHARED, "Share", "big.bin"), BIG)


def expected_listing():
    names = [(".", 0), ("..", 0), ("big.bin", BIG)] + [(n, len(c)) for n, c in SHARED_FILES.items()]
    return sorted(listing_record(name, size) for name, size in names)


def big_bytes(length):
    with open(os.path.join(SHARED, "Share", "big.bin"), "rb") as f:
        return f.read(length)


class FaultCase(unittest.TestCase):
    def assertResponsive(self, copy):
        """The copy's window answers at once and its menu and dialog still work."""
        started = time.monotonic()
        copy.driver.title()
        self.assertLess(time.monotonic() - started, 1.0, "the window took a second or more to answer")
        self.assertIsNone(copy.driver.exited(0), "the program has ended")
        open_connect(copy.driver, 5000)
        cancel_connect(copy.driver, 5000)

    def assertSameAsShared(self, copy, name):
        path, shared = copy.incoming(name), os.path.join(SHARED, "Share", name)
        self.assertEqual(size_of(path), os.path.getsize(shared), f"size of {name}")
        self.assertEqual(file_sha(path), file_sha(shared), f"SHA-256 of {name}")


class InterruptedTransferTest(FaultCase):
    """Each test: B started in the shared folder, A in a fresh one and connected to B."""

    def setUp(self):
        self.b = Copy(NET.b, SHARED)
        self.a = Copy(NET.a, harness.make_workdir({}, base=BASE))
        self.addCleanup(shutil.rmtree, self.a.workdir, ignore_errors=True)
        self.addCleanup(self.b.kill)
        self.addCleanup(self.a.kill)
        self.b.start()
        self.a.start()
        self.a.connect(harness.ADDRESS_B, ENTRIES)

    def restart_a(self):
        """A new run of A, connected to B."""
        self.a.kill()
        self.a.start()
        self.a.connect(harness.ADDRESS_B, ENTRIES)

    def choose_resumed(self, partial):
        """Chooses big.bin again over a partial local copy of `partial` bytes: B's upload bar must
        start where the copy's last checked bytes begin, and the local copy never be shorter than it was."""
        self.a.choose("big.bin", BIG)
        deadline = time.monotonic() + 30
        while True:
            self.assertGreaterEqual(size_of(self.a.incoming("big.bin")), partial, "the partial copy shrank")
            position = self.b.driver.progress("upload")
            if position:
                break
            self.assertLess(time.monotonic() - deadline, 0, "B's upload bar never moved")
            time.sleep(0.02)
        # The answer starts with the copy's last bytes again, which must be the peer's.
        self.assertGreaterEqual(position, resume_offset(partial) * 100 // BIG,
                                "B did not stream from the partial copy's end")

    def finish(self):
        self.assertEqual(self.a.wait_box("big.bin"), (CAPTION_WITH_DOTS, DOWNLOADED))
        self.assertSameAsShared(self.a, "big.bin")

    def partial_after_peer_ended(self):
        """The size of A's partial copy once A has seen its connection end; A shows no box."""
        self.a.driver.wait_title(client_field(DISCONNECTED), 30000)
        partial = settled(lambda: size_of(self.a.incoming("big.bin")), 1.0, 30)
        self.assertEqual(self.a.driver.progress("download"), 0, "the download bar was not reset")
        self.assertIsNone(self.a.driver.msgbox(0), "a message box came for an incomplete download")
        return partial

    def test_sharing_copy_killed_at_three_points_then_resumed(self):
        """After the second kill, A connects again in the same run: File > Connect comes back once
        the peer has gone."""
        partial = 0
        for fraction in (0.2, 0.5, 0.8):
            if partial:
                self.choose_resumed(partial)
            else:
                self.a.choose("big.bin", BIG)
            self.a.wait_size("big.bin", int(BIG * fraction))
            self.b.kill()
            size = self.partial_after_peer_ended()
            self.assertGreaterEqual(size, int(BIG * fraction))
            self.assertLess(size, BIG, "the download was complete before the kill")
            partial = size
            self.b.start()
            if fraction == 0.5:
                self.a.connect(harness.ADDRESS_B, ENTRIES)
            else:
                self.restart_a()
        self.choose_resumed(partial)
        self.finish()

    def test_fetching_copy_killed_then_resumed(self):
        self.a.choose("big.bin", BIG)
        self.a.wait_size("big.bin", BIG // 2)
        self.a.kill()
        partial = size_of(self.a.incoming("big.bin"))
        self.assertLess(partial, BIG, "the download was complete before the kill")
        self.b.driver.wait_title(server_field(DISCONNECTED), 30000)
        self.restart_a()
        self.choose_resumed(partial)
        self.finish()

    def test_link_cut_mid_transfer(self):
        self.a.choose("big.bin", BIG)
        self.a.wait_size("big.bin", BIG * 3 // 10)
        NET.set_link(False)
        cut = time.monotonic()
        try:
            # What was already on its way is written, then nothing more comes.
            held = settled(lambda: size_of(self.a.incoming("big.bin")), 2.0, 15)
            self.assertLess(held, BIG)
            time.sleep(max(0.0, cut + 4 - time.monotonic()))
        finally:
            NET.set_link(True)
        try:
            # A connection that outlived the cut carries the transfer to its end.
            outcome = self.a.wait_box("big.bin", stall=30)
        except AssertionError:
            # It stalled: end both copies, start them again and resume.
            self.b.kill()
            self.a.kill()
            partial = size_of(self.a.incoming("big.bin"))
            self.b.start()
            self.restart_a()
            self.choose_resumed(partial)
            outcome = self.a.wait_box("big.bin")
        self.assertEqual(outcome, (CAPTION_WITH_DOTS, DOWNLOADED))
        self.assertSameAsShared(self.a, "big.bin")


class ForeignPeersTest(FaultCase):
    """Clients that are no copies of Caldervine against one run of B; then a real copy. The tests
    run in the order of their numbers, against the same run."""

    @classmethod
    def setUpClass(cls):
        cls.b = Copy(NET.b, SHARED)
        cls.addClassCleanup(cls.b.kill)
        cls.b.start()

    def client(self):
        sock = harness.connect_to(NET.a, harness.ADDRESS_B)
        self.addCleanup(sock.close)
        return sock

    def assertListingOnly(self, data, what):
        """`data` is exactly one listing of B's share: whole records, each beginning "File: "."""
        self.assertEqual(len(data), ENTRIES * RECORD_SIZE, f"{what}: {len(data)} bytes instead of the listing")
        records = split_records(data)
        self.assertTrue(all(r.startswith(LISTING_TAG) for r in records), f"{what}: a record without its tag")
        self.assertEqual(sorted(records), expected_listing(), what)

    def test_1_junk_sender_receives_only_the_listing(self):
        junk = random.Random(1).randbytes(MIB)
        self.assertNotIn(REQUEST_TAG, junk)
        sock = self.client()
        sender = sock.dup()
        self.addCleanup(sender.close)
        sender.settimeout(60)
        thread = threading.Thread(target=sender.sendall, args=(junk,), daemon=True)
        thread.start()
        got = recv_until_quiet(sock, 3.0)
        thread.join(60)
        self.assertFalse(thread.is_alive(), "B did not take the junk")
        got += recv_until_quiet(sock, 2.0)
        self.assertListingOnly(got, "the junk sender")
        self.client()  # the next peer replaces this one, whose connection B closes
        closed, more = wait_closed(sock, 10)
        self.assertTrue(closed, "B kept the replaced connection open")
        self.assertEqual(more, b"", "the junk sender received more than the listing")
        self.assertResponsive(self.b)

    def test_2_fifty_connections_in_a_row(self):
        for i in range(50):
            sock = harness.connect_to(NET.a, harness.ADDRESS_B)
            if i % 2:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))  # ends with a reset
            elif i % 5 == 0:
                sock.recv(100)
            sock.close()
        self.assertResponsive(self.b)
        self.b.driver.wait_title(server_field(DISCONNECTED), 10000)
        sock = self.client()
        self.assertListingOnly(recv_until_quiet(sock, 2.0), "a client after the burst")

    def test_3_silent_peer_is_replaced_by_a_real_copy(self):
        silent = self.client()
        silent.sendall(request_record("big.bin"))

        def waiting():
            return struct.unpack("i", fcntl.ioctl(silent.fileno(), termios.FIONREAD, b"\0\0\0\0"))[0]

        # B sends the listing, then the file until the silent peer's buffers are full.
        harness.wait_until(lambda: waiting() > ENTRIES * RECORD_SIZE, 20, what="file bytes for the silent peer")
        held = settled(waiting, 2.0, 30)
        self.assertLess(held, BIG)
        self.assertLess(self.b.driver.progress("upload"), 100)
        self.assertResponsive(self.b)

        a = Copy(NET.a, harness.make_workdir({}, base=BASE))
        self.addCleanup(shutil.rmtree, a.workdir, ignore_errors=True)
        self.addCleanup(a.kill)
        a.start()
        a.connect(harness.ADDRESS_B, ENTRIES)
        closed, data = wait_closed(silent, 15)
        self.assertTrue(closed, "the replaced peer's connection stayed open")
        listing, rest = data[:ENTRIES * RECORD_SIZE], data[ENTRIES * RECORD_SIZE:]
        self.assertListingOnly(listing, "the silent peer")
        self.assertTrue(rest == big_bytes(len(rest)), "the silent peer received bytes other than big.bin's")

        a.choose("after.bin", MIB)
        self.assertEqual(a.wait_box("after.bin"), (CAPTION_WITH_DOTS, DOWNLOADED))
        self.assertSameAsShared(a, "after.bin")
        self.assertResponsive(self.b)


if __name__ == "__main__":
    unittest.main()
