"""The sharing side serves exactly what it offers, and nothing crosses between connections.

caldervine.exe runs under Wine on host A; clients written here connect from host B.
- A file that changes while it is being served: the stream is the file as it was when the request
  was taken, never more; a file that shrinks ends the connection after a prefix of the old one.
- A file that changes between the listing and the request: the stream stops at the listed size,
  and a file now smaller than listed ends the connection at once; a name the connection's listing
  did not hold is served at its size when the request is taken.
- A Share holding names that a request cannot get back (a leading space, characters outside the
  ANSI code page, a superscript device name, paths too long for the program's buffers, given a
  deep working folder): none is offered, and every file entry that is offered is served whole.
- Peers replaced in the middle of a listing and of an upload, many times in a row, while the
  program's own outgoing connection is open to host B: each connection carries only its own bytes.
"""
import fcntl
import os
import re
import struct
import termios
import threading
import time
import unittest

import harness
import program
from peer_protocol import (RECORD_SIZE, listing_record, parse_record, recv_exactly,
                           recv_until_quiet, request_record, split_records, wait_closed)
import share_case
from share_case import MARKER, MARKER_NAME, MIB, ShareTestCase, data


def setUpModule():
    share_case.set_up_network()


class ChangingFileTest(ShareTestCase):
    SIZE = 24 * MIB
    files = {
        MARKER_NAME: MARKER,
        "growing.bin": data(1, SIZE),
        "shrinking.bin": data(2, SIZE),
        "after.txt": b"served after the cut",
        "grown.bin": data(3, 100000),
        "shrunk.bin": data(4, 100000),
    }

    def test_growing_file_sends_its_size_at_the_request_then_serves_the_next(self):
        whole = self.files["growing.bin"]
        path = os.path.join(self.share, "growing.bin")
        sock = self.session()
        sock.sendall(request_record("growing.bin") + request_record(MARKER_NAME))
        # The reader stalls, so the upload is under way while the file grows.
        head = recv_exactly(sock, 64 * 1024)
        with open(path, "ab") as f:
            f.write(b"appended after the request" * 40000)
        middle = recv_exactly(sock, self.SIZE // 2 - len(head), 60)
        with open(path, "ab") as f:
            f.write(b"and again" * 40000)
        rest = recv_exactly(sock, self.SIZE - len(head) - len(middle) + len(MARKER), 60)
        self.assertSameBytes(head + middle + rest, whole + MARKER)
        self.assertEqual(recv_until_quiet(sock, 1.5), b"", "bytes after the marker")

    def test_shrinking_file_ends_the_connection_after_a_prefix(self):
        whole = self.files["shrinking.bin"]
        sock = self.session()
        sock.sendall(request_record("shrinking.bin") + request_record(MARKER_NAME))
        head = recv_exactly(sock, 64 * 1024)
        self.assertEqual(len(head), 64 * 1024)
        os.truncate(os.path.join(self.share, "shrinking.bin"), MIB)
        closed, rest = wait_closed(sock, 60)
        got = head + rest
        self.assertTrue(closed, f"the connection stayed open after {len(got)} bytes")
        self.assertLess(len(got), len(whole))
        self.assertSameBytes(got, whole[:len(got)], "stream of the shrunk file")
        if os.path.exists(harness.DRIVER_EXE):
            # The peer still holds its end open; the title tells that the program has ended it.
            driver = share_case.NET.a.driver()
            self.addCleanup(driver.close)
            driver.find_main()
            harness.wait_until(lambda: driver.title()[29:42] == " DisConnected", 10, what="the server field")
        # The program goes on serving the next peer.
        sock = self.session()
        got = self.ask(sock, request_record("after.txt"), len(self.files["after.txt"]))
        self.assertSameBytes(got, self.files["after.txt"] + MARKER)

    def test_a_request_gets_the_file_as_its_connection_listed_it(self):
        late = data(6, 70000)

        def append(path):
            with open(path, "ab") as f:
                f.write(b"grown after the listing" * 3000)

        def create(path):
            self.addCleanup(os.unlink, path)
            with open(path, "wb") as f:
                f.write(late)

        cases = [  # label, name, offset, change after the listing, bytes wanted (None: the end at once)
            ("grown since listed", "grown.bin", 1000, append, self.files["grown.bin"][1000:]),
            ("shrunk since listed", "shrunk.bin", 0, lambda path: os.truncate(path, 50000), None),
            ("not listed", "late.bin", 0, create, late),
        ]
        for label, name, offset, change, want in cases:
            with self.subTest(label):
                sock = self.session()
                change(os.path.join(self.share, name))
                if want is None:
                    sock.sendall(request_record(name, offset) + request_record(MARKER_NAME))
                    # Well within the fetching side's 30 s give-up, even on a loaded machine.
                    closed, rest = wait_closed(sock, 10)
                    self.assertTrue(closed, f"the connection stayed open after {len(rest)} bytes")
                    self.assertEqual(rest, b"", "bytes of a file smaller than listed")
                else:
                    self.assertSameBytes(self.ask(sock, request_record(name, offset), len(want)), want + MARKER)
                    self.assertEqual(recv_until_quiet(sock, 1.5), b"", "bytes after the marker")


def ansi_codec(host):
    """The Python codec of the ANSI code page of `host`'s Wine prefix, or None when it is unknown."""
    try:
        with open(os.path.join(host.prefix, "system.reg"), encoding="utf-8", errors="replace") as f:
            text = f.read()
    except OSError:
        return None
    # Registry key names are compared without regard to case; Wine writes this one "Codepage".
    found = re.search(r'^\[System\\\\CurrentControlSet\\\\Control\\\\Nls\\\\CodePage\][^\[]*?^"ACP"="(\d+)"',
                      text, re.M | re.I)
    if found is None:
        return None
    codec = "utf-8" if found.group(1) == "65001" else "cp" + found.group(1)
    try:
        "a".encode(codec)
    except LookupError:
        return None
    return codec


class OfferedNamesTest(ShareTestCase):
    """A deep working folder: `cls.fit` is the longest name whose path in Share fits 254
    characters."""
    DEPTH = 118  # characters of the working folder as Windows sees it ("Z:\tmp\...")
    ORDINARY = {
        "lead.txt": b"the file named lead.txt",
        "sample.txt": b"an ordinary file",
        "my file.txt": b"inner spaces are fine",
        ".hidden": b"hidden, listed as ever",
        "size-10000.bin": data(3, 10000),
        "empty.bin": b"",
        MARKER_NAME: MARKER,
    }
    # On disk under these names (as Wine reads them, UTF-8), never offered.
    NEVER = {
        " lead.txt": b"leading space: a request for it reads lead.txt",
        "  two.txt": b"two leading spaces",
        "COM\u00b9": b"superscript device name",
        "lpt\u00b2.log": b"superscript device name with an extension",
        "ends-with-dot.": b"Windows would open ends-with-dot",
        "ends-with-space ": b"Windows would open ends-with-space",
    }
    # Offered exactly when the code page holds them: "café" in the Western ones; the name
    # outside every ANSI code page only where UTF-8 serves as one.
    MAYBE = {
        "caf\u00e9.txt": b"cafe with an accent",
        "\u0141\u00f3d\u017a-\U0001F600.txt": b"outside every ANSI code page",
    }
    files = {**ORDINARY, "sub": None}

    @classmethod
    def work_base(cls, base):
        # "Z:" + the folder + "\cv-work-xxxxxxxx" comes to DEPTH characters.
        pad = cls.DEPTH - (2 + len(base) + 1 + len("cv-work-") + 8) - 1
        deep = os.path.join(base, "d" * pad)
        os.mkdir(deep)
        return deep

    @classmethod
    def prepare(cls):
        windows_path = "Z:" + cls.workdir.replace("/", "\\")
        cls.fit = 254 - len(windows_path) - len("\\Share\\")
        assert 60 < cls.fit < 200, (windows_path, cls.fit)
        cls.ORDINARY = dict(cls.ORDINARY)
        cls.ORDINARY["f" * cls.fit] = b"the longest name whose path fits"
        cls.NEVER = dict(cls.NEVER)
        cls.NEVER["g" * (cls.fit + 1)] = b"one character too long for the path"
        cls.NEVER["h" * 206] = b"fits a record, not the path"
        share = os.fsencode(cls.share)
        for name, content in {**cls.ORDINARY, **cls.NEVER, **cls.MAYBE}.items():
            path = os.path.join(share, name.encode("utf-8"))
            if not os.path.exists(path):
                with open(path, "wb") as f:
                    f.write(content)

    def test_only_names_a_request_gets_back_are_offered_and_each_is_served(self):
        codec = ansi_codec(share_case.NET.a)
        self.assertIsNotNone(codec, "the ANSI code page of host A is unknown")
        offered = {".": 0, "..": 0, "sub": 0, **{n: len(c) for n, c in self.ORDINARY.items()}}
        for name, content in self.MAYBE.items():
            try:
                if name.encode(codec).decode(codec) == name:
                    offered[name] = len(content)
            except UnicodeError:
                pass
        sock = self.connect()
        got = recv_until_quiet(sock, 3.0)
        records = split_records(got)
        names = {}
        for record in records:
            tag, name, size = parse_record(record)
            self.assertEqual(record, listing_record(name, size), "a record not in the exact layout")
            names[name.decode(codec, errors="replace")] = size
        self.assertEqual(len(names), len(records), "an entry listed twice")
        self.assertEqual(names, offered)

        all_files = {**self.ORDINARY, **self.MAYBE}
        for name in sorted(names):
            if name in (".", "..", "sub"):
                continue
            want = all_files[name]
            with self.subTest(name=name):
                reply = self.ask(sock, request_record(name.encode(codec)), len(want))
                self.assertSameBytes(reply, want + MARKER)
                if reply != want + MARKER:  # out of step: a new connection, its listing drained
                    sock = self.connect()
                    recv_until_quiet(sock, 3.0)


class ReplacedPeersTest(ShareTestCase):
    """Peers that follow each other at once, with the program's outgoing connection open."""
    BIG = data(5, 32 * MIB)
    FILLERS = 1500  # a listing of some 380 kB: more than a stalled reader's buffers take
    files = {
        MARKER_NAME: MARKER,
        "big.bin": BIG,
        "small.txt": b"served to the last peer",
        **{f"filler-{i:04}.txt": b"f" * (i % 97) for i in range(FILLERS)},
    }

    def expected_records(self):
        return {listing_record(n, len(c)) for n, c in self.files.items()} | {listing_record(".", 0),
                                                                             listing_record("..", 0)}

    def assertOwnStream(self, got, label, uploading):
        """`got` is a prefix of a listing (records in any order, each once), followed, for a peer
        that asked for big.bin, by a prefix of big.bin once the listing is whole."""
        expected = self.expected_records()
        length = len(expected) * RECORD_SIZE
        listing, stream = got[:length], got[length:]
        whole = len(listing) - len(listing) % RECORD_SIZE
        records = split_records(listing[:whole])
        self.assertEqual(len(set(records)), len(records), f"{label}: a record twice")
        strange = [r[:40] for r in records if r not in expected]
        self.assertEqual(strange, [], f"{label}: records that are not this Share's")
        if whole < len(listing):
            part = listing[whole:]
            self.assertTrue(any(r.startswith(part) for r in expected - set(records)),
                            f"{label}: a cut record that begins no record of the listing: {part[:40]!r}")
        if stream:
            self.assertTrue(uploading, f"{label}: {len(stream)} bytes after the listing, none asked for")
            self.assertSameBytes(stream, self.BIG[:len(stream)], f"{label}: stream")

    def test_replaced_mid_listing_and_mid_upload_nothing_crosses(self):
        if not os.path.exists(harness.DRIVER_EXE):
            self.skipTest("the window driver is not built")
        driver = share_case.NET.a.driver()
        self.addCleanup(driver.close)
        driver.find_main()

        outgoing = {"data": b"", "closed": False}

        def take_outgoing(listener):
            listener.settimeout(60)
            try:
                conn, _ = listener.accept()
            except OSError:
                return
            outgoing["conn"] = conn
            conn.settimeout(None)
            while True:
                try:
                    chunk = conn.recv(65536)
                except OSError:
                    break
                if not chunk:
                    break
                outgoing["data"] += chunk
            outgoing["closed"] = True

        def ask_connect():
            program.connect(driver, harness.ADDRESS_B, 5000)

        peers = []  # (label, socket, asked for big.bin, bytes read before the next peer came)
        listing_length = len(self.expected_records()) * RECORD_SIZE

        def queued(sock):
            return struct.unpack("i", fcntl.ioctl(sock.fileno(), termios.FIONREAD, b"\0\0\0\0"))[0]


        def replace(round_):
            """Round `round_`: a peer connects, and the next one replaces it at once in its
            listing (even rounds) or in its upload (odd rounds; every third one stalls, its
            buffers full, so that the program waits in a send when it is replaced)."""
            uploading = round_ % 2 == 1
            sock = self.connect()
            if uploading:
                sock.sendall(request_record("big.bin"))
            if round_ % 6 == 5:
                head = recv_exactly(sock, listing_length, 30)
                waiting = harness.wait_until(lambda: queued(sock), 30, what="file bytes")
                while True:  # until the program can send no more
                    time.sleep(1.0)
                    now = queued(sock)
                    if now == waiting:
                        break
                    waiting = now
            elif uploading:
                head = recv_exactly(sock, listing_length + 64 * 1024 + round_ * 1000, 30)
            else:
                head = recv_exactly(sock, 1 + round_ % 3, 10)
            peers.append((f"peer {round_}", sock, uploading, head))

        for round_ in range(8):
            replace(round_)
        # First an attempt that nobody answers: the program takes a new socket for the next one
        # while the sockets of the peers just replaced are being closed, so a handle value of
        # theirs may well come back as its outgoing connection.
        ask_connect()
        if driver.msgbox(10000) is not None:
            driver.answer("ok")
        # The program's own connection: to a listener on host B that records all it receives.
        listener = harness.listen_on(share_case.NET.b)
        self.addCleanup(listener.close)
        threading.Thread(target=take_outgoing, args=(listener,), daemon=True).start()
        ask_connect()
        harness.wait_until(lambda: "conn" in outgoing, 30, what="the program's connection to host B")
        for round_ in range(8, 24):
            replace(round_)

        last = self.connect()
        for label, sock, uploading, head in peers:
            closed, rest = wait_closed(sock, 30)
            with self.subTest(label):
                self.assertTrue(closed, "a replaced peer's connection stayed open")
                self.assertOwnStream(head + rest, label, uploading)
                if uploading:
                    self.assertLess(len(head + rest), listing_length + len(self.BIG), "not replaced mid-upload")

        listing = recv_exactly(last, len(self.expected_records()) * RECORD_SIZE, 30)
        self.assertEqual(sorted(split_records(listing)), sorted(self.expected_records()), "the last peer's listing")
        got = self.ask(last, request_record("small.txt"), len(self.files["small.txt"]))
        self.assertSameBytes(got, self.files["small.txt"] + MARKER)

        time.sleep(1.0)
        self.assertFalse(outgoing["closed"], "the program's outgoing connection ended")
        self.assertEqual(outgoing["data"], b"", "the outgoing connection received bytes")
        outgoing["conn"].close()


if __name__ == "__main__":
    unittest.main()
