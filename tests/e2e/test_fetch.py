"""End-to-end tests of the fetching side.

Host A runs the real caldervine.exe under Wine and Xvfb, worked through the test driver as a user
would; host B runs a scripted sharing peer (scripted_peer.py) on port 21120 that sends listings
and file bytes exactly as each test says, and collects the requests the program sends.

A connection grays File > Connect while it is open, and each test that connects starts from a
fresh run of the program (about four seconds) unless it shares a class's run, with entries of its
own.
"""
import os
import random
import time
import unittest

import harness
import program
from peer_protocol import listing_record
from program import (ADDRESS_MESSAGE, ALREADY, BUSY, CAPTION_PLAIN, CAPTION_WITH_DOTS, CLOSED, CONNECTED,
                     DISCONNECTED, DOWNLOADED, INCOMING_UNUSABLE_START, NOT_CONNECTED, OK_BUTTON, PLAIN_TITLE, REFUSED,
                     entry_text, not_a_plain_name, resume_offset, title)
from fetch_case import FetchCase, content, sha


class ConnectTests(FetchCase):
    """File > Connect: addresses refused at once, a failed attempt, and the connection."""

    def refuse(self, address):
        if self.driver is None or self.run_connected:
            self.start_run()
        self.ask_connect(address)
        self.expect_box(ADDRESS_MESSAGE, CAPTION_WITH_DOTS)
        self.assertFalse(self.driver.dialog_state()["visible"])
        self.assertFalse(self.peer.pending(0.5), "a connection reached the peer")
        self.assertEqual(self.driver.title(), PLAIN_TITLE)
        self.assertTrue(self.connect_offered())

    def test_empty_address_is_refused(self):
        self.refuse("")

    def test_letters_are_refused(self):
        self.refuse("abc")

    def test_three_numbers_are_refused(self):
        self.refuse("1.2.3")

    def test_too_long_address_is_refused(self):
        self.refuse("192.168.100.1001")

    def test_nobody_listening_then_retry_connects(self):
        self.start_run()
        self.assertEqual(self.driver.title(), PLAIN_TITLE)
        self.peer.stop_listening()
        try:
            self.ask_connect(harness.ADDRESS_B)
            self.expect_box(ADDRESS_MESSAGE, CAPTION_WITH_DOTS)
            self.assertEqual(self.driver.title(), title(NOT_CONNECTED, NOT_CONNECTED))
            self.assertTrue(self.connect_offered())
        finally:
            self.peer.listen()
        self.ask_connect(harness.ADDRESS_B)
        self.peer.accept(timeout=10)
        type(self).run_connected = True
        self.driver.wait_title(title(NOT_CONNECTED, CONNECTED))
        self.assertIsNone(self.driver.msgbox(1000))
        self.assertFalse(self.connect_offered())
        self.peer.send_listing([("after.retry", 1)])
        self.assertEqual(self.driver.wait_list("remote", 1)["items"], [entry_text("after.retry", 1)])


class ListingTests(FetchCase):
    """The peer's listing records in the remote list."""

    ENTRIES = [("notes.txt", 1234), ("Report.doc", 4294967295), ("pics", 0), ("a.b", 7)]

    def test_listing_in_one_burst(self):
        self.connected_run(self.ENTRIES)
        self.assertEqual(sorted(self.driver.list_entries("remote")),
                         sorted(entry_text(n, s) for n, s in self.ENTRIES))
        self.assertEqual(self.driver.list_entries("requested"), [])

    def test_records_in_pieces_wait_until_whole(self):
        self.connected_run([("first.txt", 1)])
        data = b"".join(listing_record(n, s) for n, s in self.ENTRIES[:3])
        for cut, whole in ((100, 0), (200, 1), (300, 2)):  # 100, 300 and 600 bytes sent in all
            self.peer.send(data[:cut])
            data = data[cut:]
            time.sleep(0.6)
            self.assertEqual(self.driver.list_state("remote")["count"] - 1, whole,
                             "entries shown after %d of 765 bytes" % (765 - len(data)))
        self.peer.send(data)
        self.driver.wait_list("remote", 4)
        self.assertEqual(sorted(self.driver.list_entries("remote")),
                         sorted(entry_text(n, s) for n, s in [("first.txt", 1)] + self.ENTRIES[:3]))

    def test_entries_sorted_case_insensitively(self):
        entries = [("delta.txt", 4), ("Alpha.txt", 1), ("charl.txt", 3), ("BRAVO.txt", 2), ("zz.txt", 5)]
        self.connected_run(entries)
        texts = [entry_text(n, s) for n, s in entries]
        # Whole texts: the short name, right-aligned behind more spaces, comes first.
        self.assertEqual(self.driver.list_entries("remote"), sorted(texts, key=str.lower))


    def test_thousands_of_entries_in_shuffled_order_arrive_whole_and_sorted(self):
        rng = random.Random(26)
        entries = [("f%05d%s.bin" % (i, rng.choice("abcXYZ")), rng.randrange(1 << 31)) for i in range(3000)]
        rng.shuffle(entries)
        data = content(70000, "last")
        entries[-1] = (entries[-1][0], len(data))  # the last to arrive is the one downloaded
        self.connected_run(entries, serve={entries[-1][0]: data}, wait=120)
        self.assertEqual(self.driver.list_entries("remote"), sorted((entry_text(n, s) for n, s in entries), key=str.lower))
        name = entries[-1][0]
        self.choose(name, len(data))
        self.assertRequest(self.peer.next_request(), name, 0)
        self.expect_confirmed(name, len(data))
        self.assertEqual(sha(self.local(name)), sha(data))


class ChoosingTests(FetchCase):
    """Choosing an entry: the four ways, refusals and the choices that need no request.
    One connected run for the class; each test has entries of its own."""

    FILES = {name: content(size, name) for name, size in (
        ("dbl.txt", 3000), ("enter.txt", 5000), ("menu.txt", 7000), ("button.txt", 9000), ("again.bin", 500),
        ("slow.bin", 40000), ("other.bin", 10), ("have.txt", 2000), ("big.txt", 100), ("empty.txt", 0))}
    EXTRA = [(".", 0), ("..", 0), ("folder", 0), ("AGAIN.BIN", 500)]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        serve = {n: d for n, d in cls.FILES.items() if n != "slow.bin"}
        cls.connected_run([(n, len(d)) for n, d in cls.FILES.items()] + cls.EXTRA, serve=serve)

    def tearDown(self):
        self.close_stray_boxes()

    def download_by(self, how, name):
        data = self.FILES[name]
        self.choose(name, len(data), how)
        self.assertRequest(self.peer.next_request(), name, 0)
        self.expect_confirmed(name, len(data))
        self.assertEqual(sha(self.local(name)), sha(data))
        self.assertIn(entry_text(name, len(data)), self.driver.list_entries("requested"))

    def test_double_click_downloads(self):
        self.download_by("dblclick", "dbl.txt")

    def test_enter_downloads(self):
        self.download_by("enter", "enter.txt")

    def test_view_download_menu_downloads(self):
        self.download_by("menu", "menu.txt")

    def test_ok_button_downloads(self):
        self.download_by("button", "button.txt")

    def test_repeated_choice_is_ignored(self):
        self.download_by("enter", "again.bin")
        for name in ("again.bin", "AGAIN.BIN"):
            self.choose(name, 500, "enter")
            self.driver.no_msgbox(1000)
            self.peer.assert_no_request(0.5)
        self.assertEqual(self.driver.list_entries("requested").count(entry_text("again.bin", 500)), 1)

    def test_nothing_selected_is_refused(self):
        self.driver.select("remote", -1)
        self.driver.key("remote", "enter")
        self.expect_box(REFUSED, CAPTION_PLAIN)
        self.driver.click("main", OK_BUTTON)
        self.expect_box(REFUSED, CAPTION_PLAIN)
        self.peer.assert_no_request()

    def test_dot_entries_are_refused(self):
        for name in (".", ".."):
            with self.subTest(name=name):
                self.choose(name, 0, "enter")
                self.expect_box(REFUSED, CAPTION_PLAIN)
        self.peer.assert_no_request()

    def test_choice_while_downloading_is_refused_as_busy(self):
        data = self.FILES["slow.bin"]
        self.choose("slow.bin", len(data), "enter")
        self.assertRequest(self.peer.next_request(), "slow.bin", 0)
        self.peer.files["slow.bin"] = data  # for the request that confirms the end
        self.peer.send(data[:10000])
        harness.wait_until(lambda: os.path.getsize(self.local_path("slow.bin")) == 10000, 5,
                           what="the first part on disk")
        self.assertEqual(self.driver.progress("download"), 25)
        for how in ("enter", "dblclick", "menu", "button"):
            with self.subTest(how=how):
                self.choose("other.bin", 10, how)
                self.expect_box(BUSY, CAPTION_WITH_DOTS)
        self.driver.char("remote", ord("o"))
        self.expect_box(BUSY, CAPTION_WITH_DOTS)
        self.peer.assert_no_request(0.5)
        self.peer.send(data[10000:])
        self.expect_confirmed("slow.bin", len(data))
        self.assertEqual(sha(self.local("slow.bin")), sha(data))
        self.assertFalse(os.path.exists(self.local_path("other.bin")))

    def test_complete_local_copy_is_compared_before_it_is_called_complete(self):
        data = self.FILES["have.txt"]
        with open(self.local_path("have.txt"), "wb") as f:
            f.write(data)
        self.choose("have.txt", len(data), "enter")
        self.assertRequest(self.peer.next_request(), "have.txt", 0)  # its last bytes, all 2000 here
        self.expect_box(ALREADY, CAPTION_PLAIN)
        self.assertEqual(self.local("have.txt"), data)

    def test_larger_local_copy_is_not_requested(self):
        mine = content(150, "mine")
        with open(self.local_path("big.txt"), "wb") as f:
            f.write(mine)
        self.choose("big.txt", 100, "enter")
        box = self.take_box()
        self.assertEqual(box["caption"], CAPTION_PLAIN)
        self.assertIn('"big.txt"', box["text"])
        self.assertIn("larger", box["text"])
        self.peer.assert_no_request()
        self.assertEqual(self.local("big.txt"), mine)

    def test_size_zero_entries_end_at_once_with_an_empty_file(self):
        for name in ("folder", "empty.txt"):
            with self.subTest(name=name):
                self.choose(name, 0, "enter")
                self.expect_box(ALREADY, CAPTION_PLAIN)
                self.assertEqual(self.local(name), b"")
        self.peer.assert_no_request()


class DownloadTests(FetchCase):
    """What the stream carries goes where the download state says. One connected run for the
    tests that need nothing else; the others make runs of their own."""

    LONG = ["n" * 17 + ".txt", "L" * 56 + ".dat", "x" * 116 + ".bin", "two words.txt", "a  b c.dat"]
    HOSTILE = ["..\\x", "C:\\x", "a/b", "a:b", "x.", "NUL"]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.files = {"large.bin": content(3 * 1024 * 1024 + 17, "large"), "part.bin": content(150000, "part"),
                     "tagged.txt": listing_record("ghost.txt", 7) * 3 + b"tail",
                     "more.bin": content(4000, "more"), "junk.bin": content(3000, "junk")}
        cls.files.update({name: content(100 + i, name) for i, name in enumerate(cls.LONG)})
        cls.connected_run([(n, len(d)) for n, d in cls.files.items()] + [(n, 5) for n in cls.HOSTILE],
                          serve=cls.files, local={"part.bin": cls.files["part.bin"][:100000]})

    def tearDown(self):
        self.close_stray_boxes()

    def download(self, name, offset=0):
        data = self.files[name]
        self.choose(name, len(data))
        self.assertRequest(self.peer.next_request(), name, offset)
        self.expect_confirmed(name, len(data))
        self.assertEqual(sha(self.local(name)), sha(data))

    def test_download_from_offset_zero(self):
        self.download("large.bin")

    def test_resumed_from_partial_local_copy(self):
        self.download("part.bin", offset=resume_offset(100000))

    def test_file_data_that_looks_like_listing_records_is_written(self):
        before = self.driver.list_entries("remote")
        self.download("tagged.txt")
        self.assertEqual(self.driver.list_entries("remote"), before)

    def test_bytes_beyond_listed_size_are_dropped_listing_records_and_all(self):
        before = self.driver.list_entries("remote")
        self.peer.serve(self.files, extra_after={"more.bin": b"<surplus bytes>" + listing_record("late.txt", 9)})
        try:
            self.download("more.bin")
        finally:
            self.peer.serve(self.files)
        time.sleep(0.5)
        self.assertEqual(self.driver.list_entries("remote"), before)
        self.assertEqual(os.path.getsize(self.local_path("more.bin")), 4000)

    def test_junk_before_a_request_is_dropped(self):
        before = self.driver.list_entries("remote")
        self.peer.send(b"junk that is no record <<>> " * 40)
        time.sleep(0.5)
        self.download("junk.bin")
        self.assertEqual(self.driver.list_entries("remote"), before)

    def test_long_names_and_names_with_spaces_are_listed_requested_and_saved_whole(self):
        for name in self.LONG:  # 21, 60 and 120 characters, inner spaces
            with self.subTest(name=name):
                self.download(name)
                self.assertIn(entry_text(name, len(self.files[name])), self.driver.list_entries("requested"))

    def test_hostile_names_are_not_saved(self):
        drive_c = set(os.listdir(os.path.join(self.net.a.prefix, "drive_c")))
        incoming = set(os.listdir(os.path.join(self.workdir, "Incoming")))
        for name in self.HOSTILE:
            with self.subTest(name=name):
                self.choose(name, 5)
                self.expect_box(not_a_plain_name(name), CAPTION_PLAIN)
        self.peer.assert_no_request()
        self.assertEqual(set(os.listdir(os.path.join(self.workdir, "Incoming"))), incoming)
        self.assertEqual(sorted(os.listdir(self.workdir)), ["Incoming", "Share"])
        self.assertFalse(os.path.exists(os.path.join(os.path.dirname(self.workdir), "x")))
        self.assertEqual(set(os.listdir(os.path.join(self.net.a.prefix, "drive_c"))), drive_c)
        for name in self.HOSTILE:
            self.assertNotIn(entry_text(name, 5), self.driver.list_entries("requested"))


class DownloadsInRunsOfTheirOwn(FetchCase):
    """Downloads that need a run of their own: the peer leaving midway, no Incoming folder, and
    junk that could leave a run waiting for ever."""

    def test_junk_ending_in_a_cut_record_before_a_request_is_dropped(self):
        data = content(3000, "cut")
        self.connected_run([("after.bin", len(data))], serve={"after.bin": data})
        # Cut inside its text: the answer's first bytes end the record's shape at once. (A record
        # whose text has all come waits for its filler, which any bytes may be.)
        self.peer.send(b"#" * 50 + listing_record("cut.txt", 5)[:40])
        time.sleep(0.5)
        self.choose("after.bin", len(data))
        self.assertRequest(self.peer.next_request(), "after.bin", 0)
        self.expect_confirmed("after.bin", len(data))
        self.assertEqual(sha(self.local("after.bin")), sha(data))
        self.assertEqual(self.driver.list_entries("remote"), [entry_text("after.bin", len(data))])

    def test_peer_closing_mid_download_then_resumed_after_connecting_again(self):
        data = content(200000, "resume")
        self.connected_run([("resume.bin", len(data))])
        self.choose("resume.bin", len(data))
        self.assertRequest(self.peer.next_request(), "resume.bin", 0)
        self.peer.send(data[:80000])
        harness.wait_until(lambda: os.path.getsize(self.local_path("resume.bin")) == 80000, 5,
                           what="the first part on disk")
        harness.wait_until(lambda: self.driver.progress("download") == 40, 5, what="the bar at 40")
        self.peer.disconnect()
        self.driver.wait_title(title(NOT_CONNECTED, DISCONNECTED))
        harness.wait_until(lambda: self.driver.progress("download") == 0, 5, what="the download bar at 0")
        self.assertIsNone(self.driver.msgbox(500))
        self.assertEqual(self.local("resume.bin"), data[:80000])
        self.assertTrue(self.connect_offered(within=5), "File > Connect is not offered after the peer left")
        self.choose("resume.bin", len(data))  # not silently ignored: there is no connection to ask on
        self.expect_box(CLOSED, CAPTION_PLAIN)

        self.connect_again([("resume.bin", len(data))], serve={"resume.bin": data})
        self.choose("resume.bin", len(data))
        self.assertRequest(self.peer.next_request(), "resume.bin", resume_offset(80000))
        self.expect_confirmed("resume.bin", len(data))
        self.assertEqual(sha(self.local("resume.bin")), sha(data))

    def test_peer_closing_while_the_success_box_shows_is_told_at_once(self):
        """While a file streams in, the receiver alone watches for the close; it reads nothing while
        its box shows, so the window watches again before the box appears."""
        data = content(90000, "boxed")
        self.connected_run([("boxed.bin", len(data))], serve={"boxed.bin": data})
        self.choose("boxed.bin", len(data))
        self.assertRequest(self.peer.next_request(), "boxed.bin", 0)
        self.assertRequest(self.peer.next_request(), "boxed.bin", len(data) - program.OVERLAP)
        box = self.driver.msgbox(15000)
        self.assertEqual(box and box["text"], DOWNLOADED)
        self.peer.disconnect()
        self.driver.wait_title(title(NOT_CONNECTED, DISCONNECTED))
        self.assertIsNotNone(self.driver.msgbox(0), "the close was told only once the box had gone")
        self.driver.answer("ok")
        self.assertEqual(sha(self.local("boxed.bin")), sha(data))

    def test_choice_after_the_peer_has_left_is_not_left_waiting(self):
        self.connected_run([("gone.bin", 3000), ("left.bin", 3000)])
        self.peer.disconnect()
        self.driver.wait_title(title(NOT_CONNECTED, DISCONNECTED))
        boxes = []
        for name in ("gone.bin", "left.bin"):
            self.choose(name, 3000)
            boxes.append(self.driver.msgbox(3000))
            self.close_stray_boxes()
        self.assertNotEqual(boxes[1] and boxes[1]["text"], BUSY,
                            "the run waits for ever for a download that cannot come")
        self.assertIsNotNone(boxes[0], "choosing after the peer has left tells nothing")
        self.assertEqual(boxes[0]["caption"], CAPTION_PLAIN)
        self.assertIn("connection", boxes[0]["text"])

    def test_missing_incoming_folder_is_reported(self):
        data = content(999, "noinc")
        self.connected_run([("noinc.txt", len(data))], serve={"noinc.txt": data}, incoming=False)
        self.choose("noinc.txt", len(data))
        box = self.take_box()
        lines = box["text"].split("\r\n")
        self.assertEqual(box["caption"], CAPTION_PLAIN)
        self.assertEqual(lines[0], INCOMING_UNUSABLE_START)
        self.assertTrue(lines[1].endswith("\\" + os.path.basename(self.workdir) + "\\Incoming"), lines[1])
        self.peer.assert_no_request()
        self.assertEqual(self.driver.list_entries("requested"), [])
        self.assertEqual(os.listdir(self.workdir), ["Share"])

        os.mkdir(os.path.join(self.workdir, "Incoming"))
        self.choose("noinc.txt", len(data))
        self.assertRequest(self.peer.next_request(), "noinc.txt", 0)
        self.expect_confirmed("noinc.txt", len(data))
        self.assertEqual(self.local("noinc.txt"), data)


if __name__ == "__main__":
    unittest.main()
