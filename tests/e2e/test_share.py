"""The sharing side of the real program, seen from the network.

caldervine.exe runs under Wine on host A; a client written here connects from host B and checks
the listing it is sent, the bytes it gets for each request, and that requests which must not be
served get nothing and leave the disk as it was.

Most checks ask for the marker file right after the request under test (see share_case.py).
"""
import os
import time
import unittest

import harness
from peer_protocol import (LISTING_TAG, RECORD_SIZE, compact_request, listing_record, parse_record,
                           recv_exactly, recv_until_quiet, request_record, split_records, wait_closed)
from program import CONNECTED, DISCONNECTED, cpu_seconds, server_field
import share_case
from share_case import GIB, MARKER, MARKER_NAME, MIB, ShareTestCase, data, snapshot



def setUpModule():
    share_case.set_up_network()


class ListingAndLargeOffsetsTest(ShareTestCase):
    files = {
        "sub": None,
        ".hidden": b"hidden file",
        "a": b"1",
        "name-of-exactly-20ch": data(20, 20),
        "name-of-exactly-21chr": data(21, 21),
        "sixty-" + "s" * 54: data(60, 60),
        "my file.txt": b"inner spaces",
        "empty.bin": b"",
        "m" * 206: b"longest name a record holds",
        "n" * 207: b"one character too long for a record",
        MARKER_NAME: MARKER,
    }
    TAIL = data(7, 4096)
    # name -> (size, {offset: bytes written there}); sparse, so they cost no disk.
    SPARSE = {
        "three-gib.bin": (3 * GIB, {3 * GIB - 100: TAIL[:100]}),
        "tail-past-2.5-gib.bin": (5 * GIB // 2 + 4096, {5 * GIB // 2: TAIL}),
        "four-gib-plus-5.bin": (4 * GIB + 5, {4 * GIB: b"12345"}),
    }

    @classmethod
    def prepare(cls):
        cls.sparse = True
        for name, (size, writes) in cls.SPARSE.items():
            path = os.path.join(cls.share, name)
            with open(path, "wb") as f:
                f.truncate(size)
                for offset, content in writes.items():
                    f.seek(offset)
                    f.write(content)
            if os.stat(path).st_blocks * 512 > 16 * MIB:
                cls.sparse = False
        if not cls.sparse:
            for name in cls.SPARSE:
                os.unlink(os.path.join(cls.share, name))

    def test_listing_holds_one_exact_record_per_entry(self):
        expected = [listing_record(".", 0), listing_record("..", 0)]
        for name, content in self.files.items():
            if len(name) <= 206:
                expected.append(listing_record(name, 0 if content is None else len(content)))
        if self.sparse:
            expected.append(listing_record("three-gib.bin", 3221225472))
            expected.append(listing_record("tail-past-2.5-gib.bin", 5 * GIB // 2 + 4096))
        sock = self.connect()
        got = recv_exactly(sock, len(expected) * RECORD_SIZE)
        got += recv_until_quiet(sock, 1.5)  # no end marker, nothing more
        # Whole records, compared byte for byte: the zero filler included.
        self.assertEqual(sorted(split_records(got)), sorted(expected))

    def test_offsets_past_2_gib_and_files_of_4_gib(self):
        if not self.sparse:
            self.skipTest("this file system does not keep sparse files")
        cases = [
            ("offset with the top bit set", "three-gib.bin", 3 * GIB - 100, self.TAIL[:100]),
            ("offset of 2.5 GiB", "tail-past-2.5-gib.bin", 5 * GIB // 2, self.TAIL),
            ("4 GiB and more is not served", "four-gib-plus-5.bin", 0, b""),
        ]
        sock = self.session()
        for label, name, offset, want in cases:
            got = self.ask(sock, request_record(name, offset), len(want))
            with self.subTest(label):
                self.assertSameBytes(got, want + MARKER)
            if got != want + MARKER:
                sock = self.session()


class TransferTest(ShareTestCase):
    SIZES = [0, 1, 4095, 4096, 4097, 10000, 3 * MIB + 17]
    BIG = data(64, 64 * MIB)
    LONG_NAMES = ["name-of-exactly-21chr", "sixty-" + "s" * 54, "m" * 206]
    files = {
        MARKER_NAME: MARKER,
        "sub": None,
        "x": b"Share/x",
        "a": b"Share/a",
        "sample.txt": b"Share/sample.txt",
        "q" * 230: b"a name too long for any record",
        "my file.txt": b"a name with an inner space",
        "readonly.txt": b"read-only but shared",
        "big.bin": BIG,
        **{f"size-{n}.bin": data(n, n) for n in SIZES},
        **{name: name.encode() * 2 for name in LONG_NAMES},
        # A long listing, so that a request can arrive while it is still being sent.
        **{f"filler-{i:03}.txt": b"f" * i for i in range(300)},
    }

    @classmethod
    def prepare(cls):
        # Outside Share, so that a request that escapes it would be seen.
        for folder in (cls.workdir, cls.base):
            with open(os.path.join(folder, "x"), "wb") as f:
                f.write(b"outside Share: " + folder.encode())
        os.chmod(os.path.join(cls.share, "readonly.txt"), 0o444)

    def content(self, name):
        return self.files[name]

    def test_streams_from_any_offset(self):
        sock = self.session()
        for size in self.SIZES:
            name, whole = f"size-{size}.bin", self.content(f"size-{size}.bin")
            for offset in sorted({0, size // 2, size, size + 10}):
                got = self.ask(sock, request_record(name, offset), len(whole[offset:]))
                with self.subTest(size=size, offset=offset):
                    self.assertSameBytes(got, whole[offset:] + MARKER)
                if got != whole[offset:] + MARKER:
                    sock = self.session()  # out of step: start again

    def test_interrupted_download_resumes_from_offset(self):
        name = f"size-{self.SIZES[-1]}.bin"
        whole = self.content(name)
        first = self.session()
        first.sendall(request_record(name))
        head = recv_exactly(first, MIB + 123)
        first.close()
        sock = self.session()
        rest = self.ask(sock, request_record(name, len(head)), len(whole) - len(head))
        self.assertSameBytes(head + rest, whole + MARKER)

    def test_names_are_served_whole(self):
        sock = self.session()
        for name in ["my file.txt"] + self.LONG_NAMES:
            with self.subTest(length=len(name)):
                got = self.ask(sock, request_record(name), len(self.content(name)))
                self.assertSameBytes(got, self.content(name) + MARKER)

    def test_read_only_file_is_served(self):
        got = self.ask(self.session(), request_record("readonly.txt"), len(self.content("readonly.txt")))
        self.assertSameBytes(got, self.content("readonly.txt") + MARKER)

    def test_names_outside_share_or_not_plain_get_nothing(self):
        # No name here ends in a space: in a record the spaces before the number are the
        # separator, so "x " reads as "x" and is rightly served.
        absolute = "Z:" + self.base.replace("/", "\\") + "\\x"
        cases = [
            ("parent, backslash", "..\\x"), ("parent, slash", "../x"), ("two up", "..\\..\\x"),
            ("drive", "C:\\x"), ("absolute", absolute), ("unix absolute", self.base + "/x"),
            ("unc", "\\\\host\\share\\x"), ("dots", "....\\\\x"), ("stream", "a:b"),
            ("trailing dot", "x."), ("trailing dot after extension", "sample.txt."),
            ("trailing space and dot", "x ."), ("dot", "."), ("dot dot", ".."),
            ("NUL", "NUL"), ("CON", "CON"), ("device with extension", "aux.txt"), ("COM1", "COM1"),
            ("device, space before extension", "NUL .txt"),
            # The superscript digits of the code page name devices too (bytes B9, B2, B3).
            ("COM superscript one", "COM\u00b9"), ("LPT superscript two", "lpt\u00b2.txt"),
            ("COM superscript three", "com\u00b3"),
            ("wildcard", "x*"), ("question mark", "x?"), ("empty", ""), ("folder", "sub"),
            ("230 characters", "q" * 230),
        ]
        before = snapshot(self.base)
        sock = self.session()
        for label, name in cases:
            request = compact_request(name) if len(name) > 206 else request_record(name)
            got = self.ask(sock, request, 0)
            with self.subTest(label, name=name):
                self.assertEqual(got, MARKER, "bytes came for a name that must get nothing")
            if got != MARKER:
                sock = self.session()
        self.assertEqual(recv_until_quiet(sock, 1.5), b"")
        self.assertEqual(snapshot(self.base), before, "the work folder or its parent changed")

    def test_missing_name_gets_nothing_and_creates_nothing(self):
        before = snapshot(self.base)
        sock = self.session()
        sock.sendall(request_record("missing.txt"))
        self.assertEqual(recv_until_quiet(sock, 1.5), b"")
        got = self.ask(sock, request_record("sample.txt"), len(self.content("sample.txt")))
        self.assertSameBytes(got, self.content("sample.txt") + MARKER)
        self.assertEqual(snapshot(self.base), before)

    def test_request_in_pieces_is_served_once(self):
        name, whole = "size-10000.bin", self.content("size-10000.bin")
        request = request_record(name, 1234)
        sock = self.session()
        for start, end in ((0, 4), (4, 100), (100, RECORD_SIZE)):
            sock.sendall(request[start:end])
            time.sleep(0.3)
        got = recv_exactly(sock, len(whole) - 1234)
        self.assertSameBytes(got + recv_until_quiet(sock, 1.0), whole[1234:])

    def test_junk_is_dropped_and_requests_after_it_served(self):
        junk = bytes(b for b in data(8, 3000) if b != ord("D"))  # no "Down: " anywhere in it
        sock = self.session()
        sock.sendall(junk)
        self.assertEqual(recv_until_quiet(sock, 1.5), b"", "junk alone")
        for label, prefix in (("after earlier junk", b""), ("junk in the same send", junk)):
            with self.subTest(label):
                got = self.ask(sock, prefix + request_record("sample.txt"), len(self.content("sample.txt")))
                self.assertSameBytes(got, self.content("sample.txt") + MARKER)

    def test_junk_flood_costs_little_and_leaves_program_responsive(self):
        flood = bytes(b for b in data(9, 2 * MIB + 100000) if b != ord("D"))[:2 * MIB]
        sock = self.session()
        cpu_before, started = cpu_seconds(self.process.pid), time.monotonic()
        sock.settimeout(120)
        sock.sendall(flood)
        got = self.ask(sock, request_record("sample.txt"), len(self.content("sample.txt")), timeout=20)
        cpu = cpu_seconds(self.process.pid) - cpu_before
        self.assertSameBytes(got, self.content("sample.txt") + MARKER)
        self.assertLess(cpu, 3.0, f"{cpu:.1f} s of CPU for 2 MiB of junk in {time.monotonic() - started:.1f} s")

    def test_request_during_listing_comes_after_it(self):
        whole = self.content("size-10000.bin")
        sock = self.connect()
        sock.sendall(request_record("size-10000.bin") + request_record(MARKER_NAME))
        length = self.listing_length() * RECORD_SIZE
        got = recv_exactly(sock, length + len(whole) + len(MARKER))
        records = split_records(got[:length])
        self.assertTrue(all(r.startswith(LISTING_TAG) for r in records), "file bytes among the records")
        self.assertEqual(len({parse_record(r)[1] for r in records}), len(records))
        self.assertSameBytes(got[length:], whole + MARKER)

    def test_requests_in_one_send_are_served_in_order(self):
        a, b = self.content("size-4097.bin"), self.content("size-10000.bin")
        got = self.ask(self.session(), request_record("size-4097.bin") + request_record("size-10000.bin"),
                       len(a) + len(b))
        self.assertSameBytes(got, a + b + MARKER)

    def test_new_peer_replaces_previous_one(self):
        for label, busy in (("idle first peer", False), ("first peer in an upload", True)):
            with self.subTest(label):
                first = self.session()
                if busy:
                    first.sendall(request_record("big.bin"))
                    self.assertEqual(len(recv_exactly(first, 65536)), 65536)
                second = self.connect()
                closed, rest = wait_closed(first, 10)
                self.assertTrue(closed, "the first peer's connection stays open")
                if busy:
                    got = 65536 + len(rest)
                    self.assertLess(got, len(self.BIG), "the first peer got the whole file")
                    self.assertSameBytes(rest, self.BIG[65536:got], "first peer's stream")
                else:
                    self.assertEqual(rest, b"")
                listing = recv_exactly(second, self.listing_length() * RECORD_SIZE)
                self.assertTrue(all(r.startswith(LISTING_TAG) for r in split_records(listing)))
                got = self.ask(second, request_record("sample.txt"), len(self.content("sample.txt")))
                self.assertSameBytes(got, self.content("sample.txt") + MARKER)

    def test_title_shows_whether_a_peer_is_connected(self):
        if not os.path.exists(harness.DRIVER_EXE):
            self.skipTest("the window driver is not built")
        driver = share_case.NET.a.driver()
        self.addCleanup(driver.close)
        driver.find_main()

        sock = self.session()
        driver.wait_title(server_field(CONNECTED), 10000)
        sock.close()
        driver.wait_title(server_field(DISCONNECTED), 10000)

    def test_peer_vanishing_mid_upload_leaves_next_peer_served(self):
        gone = self.session()
        gone.sendall(request_record("big.bin"))
        self.assertEqual(len(recv_exactly(gone, 100000)), 100000)
        gone.close()
        got = self.ask(self.session(), request_record("big.bin"), len(self.BIG), timeout=120)
        self.assertSameBytes(got, self.BIG + MARKER)
        self.assertIsNone(self.process.poll(), "the program ended")


if __name__ == "__main__":
    unittest.main()
