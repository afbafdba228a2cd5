"""End-to-end tests of the fetching side at a user's real timing.

The listing has no end marker and an answer no length on the wire, so the program holds a request
until nothing is owed and the connection has been quiet for a moment after the last byte; it asks
again for a partial copy's last bytes before it appends, and for a finished file's last bytes
before it writes the last one and says so. These tests resume over copies of this version and of
others, choose while a listing still arrives in pieces or pauses, while a grown file's surplus
pauses, while a peer stops answering (once at the real 30 s), for a file that shrank, right after
a long answer was rejected, and at the moment a peer closes or resets the connection; they exit
while a file's end is checked, and offer names that open another file than the one named. Host A
runs the real caldervine.exe, host B the scripted sharing peer, which sends strictly in order (or,
for the last test, a second copy of the program sharing 3,000 entries).
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
from peer_protocol import RECORD_SIZE, listing_record
import program
from fetch_case import FetchCase, content, sha
from program import (ALREADY, BUSY, CAPTION_PLAIN, CAPTION_WITH_DOTS, CLOSED, DISCONNECTED, DOWNLOADED, EXIT_CONFIRMED,
                     EXIT_QUESTION, NOT_CONNECTED, Copy, entry_text, file_sha, given_up, not_confirmed, other_version,
                     resume_offset, title)

# The give-up period for the tests that shorten it; one test waits the real 30 s.
SHORT_TIMEOUT_MS = 4000

# Pauses inside a listing stay well below the program's quiet period (1.5 s).
SHORT_PAUSES = [0.2, 0.5, 0.05, 0.7, 0.3, 0.6, 0.1, 0.4]


class ListingStillArrivingTests(FetchCase):
    """A choice made while the listing still arrives is held until the listing has ended: the file
    is byte-identical and every entry reaches the list. A run for each round: the listing of a
    connection ends with its first request."""

    def tearDown(self):
        self.close_stray_boxes()

    def round(self, tag, wanted_at, pieces, pauses, data):
        """Sends entries of its own in `pieces` parts with `pauses`, the wanted file being entry
        number `wanted_at`; chooses it as soon as it is listed, then answers the request."""
        self.connected_run([("first.txt", 1)])
        names = ["%s-%02d.txt" % (tag, i) for i in range(12)]
        wanted = names[wanted_at]
        entries = [(n, len(data) if n == wanted else 100 + i) for i, n in enumerate(names)]
        listing = b"".join(listing_record(n, s) for n, s in entries)
        before = self.driver.list_state("remote")["count"]
        sent = {}

        def send_listing():
            sent["last"] = self.peer.send_in_pieces(listing, pieces, pauses)

        self.peer.serve({wanted: data})
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
        self.expect_confirmed(wanted, len(data))
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

    def test_file_that_begins_like_a_listing_record_asked_for_first(self):
        """The price of taking the rest of a paused listing off the head of a connection's first
        answer: a file that begins with a record's exact shape shows that record in the list and
        lacks its bytes, so it never reaches its size and is never announced."""
        data = listing_record("ghost.txt", 7) + content(3000, "ghost")
        with mock.patch.dict(os.environ, {"CALDERVINE_ANSWER_TIMEOUT_MS": str(SHORT_TIMEOUT_MS)}):
            self.connected_run([("ghost.bin", len(data))], serve={"ghost.bin": data})
        self.choose("ghost.bin", len(data))
        self.assertRequest(self.peer.next_request(), "ghost.bin", 0)
        box = self.take_box(SHORT_TIMEOUT_MS + 10000, "the message that the download was given up")
        self.assertEqual((box["caption"], box["text"]), (CAPTION_PLAIN, given_up("ghost.bin")))
        self.assertIn(entry_text("ghost.txt", 7), self.driver.list_entries("remote"))
        self.assertEqual(os.path.getsize(self.local_path("ghost.bin")), len(data) - RECORD_SIZE)


class ResumeTests(FetchCase):
    """A choice over a local copy asks again for the copy's last bytes: the rest is appended only
    when they are the peer's, and a copy of the listed size is complete only when they are; a copy
    of another version is left exactly as it was. A rejected answer that still owes more than the
    overlap ends the connection rather than hold the line: the choice right after it is told so."""

    def test_copies_of_this_version_and_of_others(self):
        new, old = content(200000, "v2"), content(120000, "v1")
        flipped = new[:199999] + bytes([new[199999] ^ 1])
        rows = [("same.bin", new[:120000], "resumed"), ("whole.bin", old, "other"), ("tiny.bin", old[:1000], "other"),
                ("lastbyte.bin", new[:119999] + bytes([new[119999] ^ 1]), "other"),
                ("samesize.bin", flipped, "other"), ("have.bin", new, "already")]
        entries = [(n, len(new)) for n, _, _ in rows]
        serve = {n: new for n, _, _ in rows}
        self.connected_run(entries, serve=serve, local={n: copy for n, copy, _ in rows})
        for at, (name, copy, outcome) in enumerate(rows):  # each choice right after the last one's message
            with self.subTest(name=name):
                self.choose(name, len(new))
                self.assertRequest(self.peer.next_request(), name, resume_offset(len(copy)))
                if outcome == "resumed":
                    self.expect_confirmed(name, len(new))
                    self.assertEqual(sha(self.local(name)), sha(new))
                    continue
                self.expect_box(other_version(name) if outcome == "other" else ALREADY, CAPTION_PLAIN)
                self.assertEqual(self.local(name), copy)
                requested = entry_text(name, len(new)) in self.driver.list_entries("requested")
                self.assertEqual(requested, outcome == "already")
                if len(new) - len(copy) <= program.OVERLAP or at + 1 == len(rows):
                    continue
                self.driver.wait_title(title(NOT_CONNECTED, DISCONNECTED), 10000)
                self.choose(rows[at + 1][0], len(new))
                self.expect_box(CLOSED, CAPTION_PLAIN)
                self.connect_again(entries, serve=serve)


class PausedStreamTests(FetchCase):
    """A peer that pauses for 3 s, twice the quiet period, inside its listing or inside a grown
    file's surplus while a choice waits: the request leaves into the pause. The rest of a listing
    goes to the list and the answer after it is exact; the surplus after a grown file is taken for
    the answer of the request that confirms the file's end, which finds it out: the file goes back
    as it was, and choosing again gets the exact file."""

    def test_listing_paused_while_a_choice_waits(self):
        # A file whose last 64 KiB and more are zeros: an answer shifted by records would still
        # end as the file does. The pause cuts a record in the first row and falls between two in
        # the second, over a partial copy.
        data = content(40000, "paused") + bytes(100000)
        for name, have, cut in (("fresh.bin", 0, 100), ("resumed.bin", 70000, 0)):
            with self.subTest(name=name):
                entries = [("p-%02d.txt" % i, 100 + i) for i in range(48)]
                entries[1] = (name, len(data))
                self.connected_run(entries[:3], serve={name: data}, local={name: data[:have]} if have else None)
                rest = b"".join(listing_record(n, size) for n, size in entries[3:])
                self.peer.send(rest[:cut])

                def send_rest():
                    with self.peer.sending:  # the request is answered after the rest of the listing
                        time.sleep(3)
                        self.peer.send(rest[cut:])

                sender = threading.Thread(target=send_rest)
                sender.start()
                try:
                    self.choose(name, len(data))
                    self.assertRequest(self.peer.next_request(), name, resume_offset(have))
                finally:
                    sender.join(30)
                self.expect_confirmed(name, len(data))
                self.assertEqual(sha(self.local(name)), sha(data))
                self.assertEqual(sorted(self.driver.list_entries("remote")),
                                 sorted(entry_text(n, size) for n, size in entries))

    def test_surplus_paused_while_the_next_choice_waits(self):
        first, second, surplus = content(30000, "grown"), content(12000, "next"), content(24000, "surplus")
        self.connected_run([("grown.bin", len(first)), ("next.bin", len(second))], serve={"next.bin": second})
        self.choose("grown.bin", len(first))
        self.assertRequest(self.peer.next_request(), "grown.bin", 0)
        self.peer.files["grown.bin"] = first + surplus  # what the file holds now, for later requests
        sent = {}

        def send_answer():
            with self.peer.sending:  # nothing else leaves before all of it, pauses included
                self.peer.send(first + surplus[:4000])
                time.sleep(3)  # the confirming request leaves into this pause
                sent["last"] = self.peer.send_in_pieces(surplus[4000:], 2, [3])

        sender = threading.Thread(target=send_answer)
        sender.start()
        try:
            self.assertRequest(self.peer.next_request(), "grown.bin", 0)
            self.expect_box(not_confirmed("grown.bin"), CAPTION_PLAIN, timeout_ms=15000)
            self.choose("next.bin", len(second))
        finally:
            sender.join(30)
        request = self.peer.next_request(15)
        self.assertRequest(request, "next.bin", 0)
        self.assertGreater(request.received_at, sent["last"], "the request left while the surplus still arrived")
        self.expect_confirmed("next.bin", len(second))
        self.assertEqual(sha(self.local("next.bin")), sha(second))
        self.assertEqual(self.local("grown.bin"), b"")
        self.choose("grown.bin", len(first))  # surplus back to back this time: dropped, and the end confirmed
        self.assertRequest(self.peer.next_request(), "grown.bin", 0)
        self.expect_confirmed("grown.bin", len(first))
        self.assertEqual(sha(self.local("grown.bin")), sha(first))


class UnansweredRequestTests(FetchCase):
    """A peer that stops answering: after the give-up period the connection is ended, with a
    message naming the file; the partial file stays, File > Connect is offered again, a late rest
    of the answer on the old connection reaches nothing, and after connecting again another entry
    downloads and the entry resumes. The period is shortened through CALDERVINE_ANSWER_TIMEOUT_MS
    except for the first test, which waits the real 30 s. A peer that leaves the check of a file's
    end unanswered while the user exits leaves a copy that the next run resumes and confirms."""

    TIMEOUT_MS = SHORT_TIMEOUT_MS

    def given_up(self, name, timeout_ms):
        box = self.take_box(timeout_ms, "the message that the download was given up")
        self.assertEqual((box["caption"], box["text"]), (CAPTION_PLAIN, given_up(name)))
        self.driver.wait_title(title(NOT_CONNECTED, DISCONNECTED), 10000)
        self.assertEqual(self.driver.progress("download"), 0)
        self.assertTrue(self.connect_offered(within=5), "File > Connect is not offered again")

    def test_given_up_at_the_real_period_then_another_entry_then_resumed(self):
        stalled, other = content(150000, "stalled"), content(7000, "other")
        entries = [("stalled.bin", len(stalled)), ("other.bin", len(other))]
        self.connected_run(entries)
        self.choose("stalled.bin", len(stalled))
        self.assertRequest(self.peer.next_request(), "stalled.bin", 0)
        self.peer.send(stalled[:100000])
        sent_at = time.monotonic()
        harness.wait_until(lambda: os.path.getsize(self.local_path("stalled.bin")) == 100000, 10,
                           what="the first part on disk")
        self.choose("other.bin", len(other))
        self.expect_box(BUSY, "Caldervine...")
        self.given_up("stalled.bin", 60000)
        self.assertGreaterEqual(time.monotonic() - sent_at, 29.5, "given up before 30 s of silence")
        self.assertNotIn(entry_text("stalled.bin", len(stalled)), self.driver.list_entries("requested"))

        old = self.connect_again(entries, serve={"stalled.bin": stalled, "other.bin": other}, keep_old=True)
        try:
            old.sendall(stalled[100000:120000])  # the answer comes back late, as the next choice is made
        except OSError:
            pass
        self.choose("other.bin", len(other))
        self.assertRequest(self.peer.next_request(), "other.bin", 0)
        self.expect_confirmed("other.bin", len(other))
        old.close()
        self.assertEqual(sha(self.local("other.bin")), sha(other))
        self.assertEqual(self.local("stalled.bin"), stalled[:100000])
        self.choose("stalled.bin", len(stalled))
        self.assertRequest(self.peer.next_request(), "stalled.bin", resume_offset(100000))
        self.expect_confirmed("stalled.bin", len(stalled))
        self.assertEqual(sha(self.local("stalled.bin")), sha(stalled))

    def test_file_that_shrank_before_its_request(self):
        listed, now = content(50000, "shrank"), content(50000, "shrank")[:30000]
        with mock.patch.dict(os.environ, {"CALDERVINE_ANSWER_TIMEOUT_MS": str(self.TIMEOUT_MS)}):
            self.connected_run([("shrank.bin", len(listed))], serve={"shrank.bin": now})
        self.choose("shrank.bin", len(listed))
        self.assertRequest(self.peer.next_request(), "shrank.bin", 0)
        self.given_up("shrank.bin", self.TIMEOUT_MS + 10000)
        self.assertEqual(self.local("shrank.bin"), now)
        # A new connection brings a new listing, with the file's size now: the copy has it, and its
        # end is compared before it is called complete.
        self.connect_again([("shrank.bin", len(now))], serve={"shrank.bin": now})
        self.choose("shrank.bin", len(now))
        self.assertRequest(self.peer.next_request(), "shrank.bin", 0)
        self.expect_box(ALREADY, CAPTION_PLAIN)
        self.assertEqual(self.local("shrank.bin"), now)

    def test_exit_while_the_end_is_checked_then_resumed_and_confirmed(self):
        data = content(150000, "exit")
        self.connected_run([("exit.bin", len(data))])
        self.choose("exit.bin", len(data))
        self.assertRequest(self.peer.next_request(), "exit.bin", 0)
        self.peer.send(data)
        self.assertRequest(self.peer.next_request(), "exit.bin", len(data) - program.OVERLAP)  # left unanswered
        self.assertEqual(os.path.getsize(self.local_path("exit.bin")), len(data) - 1)
        program.ask_exit(self.driver, "menu")
        box = program.take_box(self.driver, "yes", expected="the exit question")
        self.assertEqual((box["caption"], box["text"]), (CAPTION_WITH_DOTS, EXIT_QUESTION))
        self.assertEqual(self.driver.exited(10000), EXIT_CONFIRMED)
        self.assertEqual(self.local("exit.bin"), data[:-1])

        self.start_run(workdir=self.workdir)
        self.connect_again([("exit.bin", len(data))], serve={"exit.bin": data})
        self.choose("exit.bin", len(data))
        self.assertRequest(self.peer.next_request(), "exit.bin", resume_offset(len(data) - 1))
        self.expect_confirmed("exit.bin", len(data))
        self.assertEqual(sha(self.local("exit.bin")), sha(data))

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
        self.expect_confirmed("patient.bin", len(data))
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
                self.assertTrue(self.connect_offered(within=5), "File > Connect is not offered again")


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
        self.expect_confirmed("A.txt", len(self.upper))
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
