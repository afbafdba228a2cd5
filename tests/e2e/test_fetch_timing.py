"""End-to-end tests of the fetching side at a user's real timing.

The listing has no end marker, so the program holds a request until the connection has been
quiet for a moment after the last byte. These tests choose while a listing still arrives in
pieces, right after a download whose file grew, while a peer never answers, and at the moment a
peer closes or resets the connection; they also offer names that open another file than the one
named. Host A runs the real caldervine.exe, host B the scripted sharing peer (or, for the last
test, a second copy of the program sharing 3,000 entries).
"""
import os
import random
import shutil
import tempfile
import threading
import time
import unittest
from unittest import mock

import harness
from peer_protocol import listing_record
import program
from fetch_case import FetchCase, content, sha
from program import BUSY, DISCONNECTED, DOWNLOADED, NOT_CONNECTED, Copy, entry_text, file_sha, title

CLOSED = "The request could not be sent: the connection to the peer is closed."
# Pauses inside a listing stay well below the program's quiet period (1.5 s).
SHORT_PAUSES = [0.2, 0.5, 0.05, 0.7, 0.3, 0.6, 0.1, 0.4]


class ListingStillArrivingTests(FetchCase):
    """A choice made while the listing still arrives is held until the listing has ended: the file
    is byte-identical and every entry reaches the list. One run: each round sends more entries,
    and the bytes between two downloads are listing to the program."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.connected_run([("first.txt", 1)])

    def tearDown(self):
        self.close_stray_boxes()

    def round(self, tag, wanted_at, pieces, pauses, data):
        """Sends entries of its own in `pieces` parts with `pauses`, the wanted file being entry
        number `wanted_at`; chooses it as soon as it is listed, then answers the request."""
        names = ["%s-%02d.txt" % (tag, i) for i in range(12)]
        wanted = names[wanted_at]
        entries = [(n, len(data) if n == wanted else 100 + i) for i, n in enumerate(names)]
        listing = b"".join(listing_record(n, s) for n, s in entries)
        before = self.driver.list_state("remote")["count"]
        sent = {}

        def send_listing():
            sent["last"] = self.peer.send_in_pieces(listing, pieces, pauses)

        sender = threading.Thread(target=send_listing)
        sender.start()
        try:
            text = entry_text(wanted, len(data))
            harness.wait_until(lambda: text in self.driver.list_entries("remote"), 20, interval=0.02,
                               what="the wanted entry in the list")
            self.choose(wanted, len(data))
            chosen_with = self.driver.list_state("remote")["count"] - before
        finally:
            sender.join(60)
        request = self.peer.next_request(15)
        self.assertRequest(request, wanted, 0)
        self.assertGreater(request.received_at, sent["last"], "the request left while the listing still arrived")
        self.peer.send(data)
        self.expect_downloaded()
        self.assertEqual(sha(self.local(wanted)), sha(data))
        remote = self.driver.list_entries("remote")
        for name, size in entries:
            self.assertIn(entry_text(name, size), remote)
        self.assertEqual(len(remote), before + len(entries))
        self.assertIn(entry_text(wanted, len(data)), self.driver.list_entries("requested"))
        return chosen_with

    def test_choice_after_the_first_entries(self):
        chosen_with = self.round("early", 1, 12, SHORT_PAUSES + SHORT_PAUSES, content(20000, "early"))
        self.assertLess(chosen_with, 12, "the choice came only after the whole listing")

    def test_choice_in_the_middle_with_records_cut_across_pieces(self):
        # 9 pieces of 340 bytes: records are cut, and the pauses fall inside them.
        chosen_with = self.round("cut", 4, 9, list(reversed(SHORT_PAUSES)), content(9000, "cut"))
        self.assertLess(chosen_with, 12, "the choice came only after the whole listing")

    def test_file_that_begins_like_a_listing_record(self):
        # Chosen as soon as the last entry is listed, which is when the listing has just ended.
        data = listing_record("ghost.txt", 7) + content(3000, "ghost")
        self.round("ghost", 11, 3, [0.3, 0.3], data)
        self.assertNotIn(entry_text("ghost.txt", 7), self.driver.list_entries("remote"))


class SurplusTests(FetchCase):
    """A file that grew after it was listed: the bytes beyond its listed size keep arriving while
    the user closes the box and chooses the next entry at once. They go into no file."""

    def test_surplus_then_immediate_second_choice(self):
        first, second = content(30000, "grown"), content(12000, "next")
        self.connected_run([("grown.bin", len(first)), ("next.bin", len(second))])
        self.choose("grown.bin", len(first))
        self.assertRequest(self.peer.next_request(), "grown.bin", 0)
        surplus = content(24000, "surplus")
        sent = {}

        def send_answer():
            self.peer.send(first + surplus[:4000])
            sent["last"] = self.peer.send_in_pieces(surplus[4000:], 8, [0.25] * 8)

        sender = threading.Thread(target=send_answer)
        sender.start()
        try:
            self.expect_downloaded()
            self.choose("next.bin", len(second))
        finally:
            sender.join(30)
        request = self.peer.next_request(15)
        self.assertRequest(request, "next.bin", 0)
        self.assertGreater(request.received_at, sent["last"], "the request left while the surplus still arrived")
        self.peer.send(second)
        self.expect_downloaded()
        self.assertEqual(sha(self.local("grown.bin")), sha(first))
        self.assertEqual(sha(self.local("next.bin")), sha(second))


class UnansweredRequestTests(FetchCase):
    """A peer that stops answering: after the no-answer period (shortened for the test through
    CALDERVINE_ANSWER_TIMEOUT_MS) the download is given up with a message naming the file; the
    partial file stays, another entry downloads, late bytes go nowhere, and the entry resumes."""

    TIMEOUT_MS = 4000

    def test_given_up_then_another_entry_then_resumed(self):
        stalled, other = content(50000, "stalled"), content(7000, "other")
        with mock.patch.dict(os.environ, {"CALDERVINE_ANSWER_TIMEOUT_MS": str(self.TIMEOUT_MS)}):
            self.connected_run([("stalled.bin", len(stalled)), ("other.bin", len(other))])
        self.choose("stalled.bin", len(stalled))
        self.assertRequest(self.peer.next_request(), "stalled.bin", 0)
        self.peer.send(stalled[:10000])
        harness.wait_until(lambda: os.path.getsize(self.local_path("stalled.bin")) == 10000, 10,
                           what="the first part on disk")
        self.choose("other.bin", len(other))
        self.expect_box(BUSY, "Caldervine...")

        box = self.take_box(self.TIMEOUT_MS + 10000, "the message that the download was given up")
        self.assertEqual(box["caption"], "Caldervine")
        self.assertIn('"stalled.bin"', box["text"])
        self.assertEqual(self.driver.progress("download"), 0)
        self.assertNotIn(entry_text("stalled.bin", len(stalled)), self.driver.list_entries("requested"))
        # The rest of the answer comes late, as the user chooses the next entry.
        self.peer.send(stalled[10000:20000])
        self.choose("other.bin", len(other))
        request = self.peer.next_request(15)
        self.assertRequest(request, "other.bin", 0)
        self.peer.send(other)
        self.expect_downloaded()
        self.assertEqual(sha(self.local("other.bin")), sha(other))
        self.assertEqual(self.local("stalled.bin"), stalled[:10000])

        self.choose("stalled.bin", len(stalled))
        self.assertRequest(self.peer.next_request(), "stalled.bin", 10000)
        self.peer.send(stalled[10000:])
        self.expect_downloaded()
        self.assertEqual(sha(self.local("stalled.bin")), sha(stalled))

    def test_request_never_answered(self):
        wanted, after = content(3000, "refused"), content(2000, "after")
        with mock.patch.dict(os.environ, {"CALDERVINE_ANSWER_TIMEOUT_MS": str(self.TIMEOUT_MS)}):
            self.connected_run([("refused.txt", len(wanted)), ("after.txt", len(after))],
                               serve={"after.txt": after})
        self.choose("refused.txt", len(wanted))
        self.assertRequest(self.peer.next_request(), "refused.txt", 0)
        box = self.take_box(self.TIMEOUT_MS + 10000, "the message that the download was given up")
        self.assertIn('"refused.txt"', box["text"])
        self.choose("after.txt", len(after))
        self.assertRequest(self.peer.next_request(), "after.txt", 0)
        self.expect_downloaded()
        self.assertEqual(sha(self.local("after.txt")), sha(after))
        self.assertEqual(self.local("refused.txt"), b"")


    def test_peer_that_never_stops_sending_gets_no_request_and_the_choice_is_given_back(self):
        data = content(4000, "patient")
        with mock.patch.dict(os.environ, {"CALDERVINE_ANSWER_TIMEOUT_MS": str(self.TIMEOUT_MS)}):
            self.connected_run([("patient.bin", len(data))], serve={"patient.bin": data})
        stop = threading.Event()

        def chatter():
            while not stop.is_set():
                self.peer.send(b"no end of listing " * 10)
                stop.wait(0.3)

        sender = threading.Thread(target=chatter)
        sender.start()
        try:
            self.choose("patient.bin", len(data))
            box = self.take_box(self.TIMEOUT_MS + 10000, "the message that the request was not sent")
        finally:
            stop.set()
            sender.join(10)
        self.assertEqual(box["caption"], "Caldervine")
        self.assertIn('"patient.bin"', box["text"])
        self.peer.assert_no_request(0.5)
        self.assertEqual(self.driver.list_entries("requested"), [])
        self.choose("patient.bin", len(data))
        self.assertRequest(self.peer.next_request(), "patient.bin", 0)
        self.expect_downloaded()
        self.assertEqual(sha(self.local("patient.bin")), sha(data))


class EndOfConnectionAtTheChoiceTests(FetchCase):
    """The peer closes or resets the connection at the moment of a choice, earlier or later by a
    little each time. Whatever the order, the program stays up, never stays busy, and a later
    choice gets the closed message."""

    def test_close_and_reset_racing_a_choice(self):
        rng = random.Random(8)
        offsets = [-0.1, 0.0, 0.02, 0.05, 0.1, 0.2, 0.4, 1.0, 1.4, 1.6, 1.8, 2.5]
        cases = [(how, offset) for offset in offsets for how in ("close", "reset")]
        rng.shuffle(cases)
        for how, offset in cases[:14]:
            with self.subTest(how=how, offset=offset):
                data = content(3000, "race")
                self.connected_run([("race.bin", len(data)), ("later.bin", 10)])
                end = getattr(self.peer, "disconnect" if how == "close" else "reset")
                timer = threading.Timer(max(0.0, offset), end)
                if offset < 0:
                    end()
                    time.sleep(-offset)
                else:
                    timer.start()
                self.choose("race.bin", len(data))
                if offset >= 0:
                    timer.join(10)
                box = self.driver.msgbox(3000)
                if box is not None:
                    self.assertEqual((box["caption"], box["text"]), ("Caldervine", CLOSED))
                    self.driver.answer("ok")
                self.driver.wait_title(title(NOT_CONNECTED, DISCONNECTED), 10000)
                self.assertIsNone(self.driver.exited(0), "the program has ended")
                self.choose("later.bin", 10)
                self.expect_box(CLOSED, "Caldervine")
                self.assertEqual(self.driver.progress("download"), 0)
                self.assertFalse(os.path.exists(self.local_path("later.bin")))


class NamesThatOpenAnotherFileTests(FetchCase):
    """Names under which Windows (or Wine) would open a file other than the one named, or a device:
    refused with a message naming them, no request sent, no file changed."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.upper = content(100, "upper")
        cls.secret = b"my own secret, not the peer's\r\n"

    def incoming_state(self):
        folder = os.path.join(self.workdir, "Incoming")
        state = {}
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                state[name] = f.read()
        return state

    def short_name(self, path):
        """Wine's short (8.3) alias of `path`, or None when it gives none."""
        windows = "Z:" + path.replace("/", "\\")
        code, output = self.net.a.run_wine([harness.WINE, "winepath", "-s", windows], timeout=120)
        lines = [line.strip() for line in output.splitlines() if line.strip()]
        if code != 0 or not lines:
            return None
        alias = lines[-1].rsplit("\\", 1)[-1]
        return alias if alias.upper() == alias and "~" in alias else None

    def test_names_that_open_another_file(self):
        workdir = harness.make_workdir({})
        self.folders.append(workdir)
        secret_path = os.path.join(workdir, "Incoming", "secret document.txt")
        with open(secret_path, "wb") as f:
            f.write(self.secret)
        alias = self.short_name(secret_path)
        entries = [("A.txt", len(self.upper)), ("a.txt", 200), ("COM\xb9", 50), ("lpt\xb2.txt", 50)]
        if alias:
            entries.append((alias, 500))
        self.connected_run(entries, serve={"A.txt": self.upper}, workdir=workdir)
        self.choose("A.txt", len(self.upper))
        self.assertRequest(self.peer.next_request(), "A.txt", 0)
        self.expect_downloaded()
        before = self.incoming_state()
        self.assertEqual(before, {"A.txt": self.upper, "secret document.txt": self.secret})

        refused = [("a.txt", 200)] + ([(alias, 500)] if alias else [])
        for name, size in refused:
            with self.subTest(name=name):
                self.choose(name, size)
                box = self.take_box()
                self.assertEqual(box["caption"], "Caldervine")
                self.assertIn('"%s"' % name, box["text"])
                self.assertIn("another name", box["text"])
        for name in ("COM\xb9", "lpt\xb2.txt"):
            with self.subTest(name=name):
                self.choose(name, 50)
                self.expect_box('The peer offers "%s", which is not a plain file name.\r\n'
                                "Caldervine does not save it." % name, "Caldervine")
        self.peer.assert_no_request()
        self.assertEqual(self.incoming_state(), before)
        requested = self.driver.list_entries("requested")
        self.assertEqual(requested, [entry_text("A.txt", len(self.upper))])
        if not alias:
            self.skipTest("Wine gave no short alias for a long name here: the alias case was not run")


class ThreeThousandEntriesTest(unittest.TestCase):
    """Two copies: B shares 3,000 entries; the user on A chooses a wanted file as soon as it
    appears in the list, while the rest of the listing still arrives."""

    ENTRIES = 3000

    def test_choice_as_soon_as_the_wanted_file_is_listed(self):
        net = harness.Network(suffix="tt")
        net.__enter__()
        self.addCleanup(net.__exit__, None, None, None)
        base = tempfile.mkdtemp(prefix="cv-tt-")
        self.addCleanup(shutil.rmtree, base, ignore_errors=True)
        # One-character names sort right after "." and "..", so a user sees them at the top.
        wanted = {str(i): os.urandom(300000 + i) for i in range(6)}
        files = {"entry-%04d.txt" % i: b"x" * (i % 50) for i in range(self.ENTRIES - len(wanted))}
        files.update(wanted)
        b = Copy(net.b, harness.make_workdir(files, base=base))
        a = Copy(net.a, harness.make_workdir({}, base=base))
        self.addCleanup(b.kill)
        self.addCleanup(a.kill)
        b.start()
        a.start()
        total = self.ENTRIES + 2  # and "." and ".."
        d = a.driver
        program.connect(d, harness.ADDRESS_B)
        texts = {entry_text(name, len(data)): name for name, data in wanted.items()}
        chosen = None
        deadline = time.monotonic() + 120
        while chosen is None:
            self.assertLess(time.monotonic(), deadline, "no wanted file was listed")
            for index in range(8):
                item = d.list_item("remote", index)
                if item["text"] in texts:
                    d.select("remote", index)
                    now = d.list_item("remote", index)
                    if now["selected"] == index and now["text"] == item["text"]:
                        d.key("remote", "enter")
                        chosen = (texts[item["text"]], now["count"])
                    break
        name, count_at_choice = chosen
        self.assertEqual(a.wait_box(name, stall=120), ("Caldervine...", DOWNLOADED))
        self.assertEqual(file_sha(a.incoming(name)), file_sha(b.share(name)))
        self.assertEqual(d.wait_list("remote", total, 120000)["count"], total)
        time.sleep(1)
        remote = d.list_entries("remote")
        self.assertEqual(sorted(remote), sorted([entry_text(".", 0), entry_text("..", 0)] +
                                                [entry_text(n, len(c)) for n, c in files.items()]))
        self.assertEqual(d.list_entries("requested"), [entry_text(name, len(wanted[name]))])
        self.assertEqual(os.listdir(os.path.join(a.workdir, "Incoming")), [name])
        # Last, so that a fast listing shows as what it is rather than hiding the outcome above.
        self.assertLess(count_at_choice, total, "the listing had ended before the choice: nothing raced")


if __name__ == "__main__":
    unittest.main()
