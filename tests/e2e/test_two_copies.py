"""Two real copies of Caldervine exchanging files.

Copy A runs on host A and copy B on host B, each under Wine and Xvfb in a network namespace and a
work folder of its own, and each is worked through its windows by the test driver as a user would:
File > Connect, the address, the listing in the lower list, a double-click on an entry, and the
message box at the end. What arrives in Incoming is compared with the sharing copy's Share folder
by SHA-256.
"""
import os
import shutil
import tempfile
import time
import unittest

import harness
from program import (ALREADY, CAPTION_PLAIN, CAPTION_WITH_DOTS, DOWNLOADED, MIB, Copy, entry_text, file_sha,
                     listing_of, size_of, write_random)

BIG = 256 * MIB

NET = None


def setUpModule():
    global NET
    NET = harness.Network(suffix="2c")
    NET.__enter__()
    unittest.addModuleCleanup(NET.__exit__, None, None, None)


class TwoCopiesCase(unittest.TestCase):
    """Work folders under a private temporary folder, removed with the copies at the end."""

    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="cv-2c-")
        cls.addClassCleanup(shutil.rmtree, cls.base, ignore_errors=True)
        cls.copies = []
        cls.addClassCleanup(lambda: [copy.kill() for copy in cls.copies])

    @classmethod
    def folder(cls, files):
        return harness.make_workdir(files, base=cls.base)

    @classmethod
    def copy(cls, host, files):
        """A copy on `host` (not started yet) sharing `files` from a new work folder."""
        cls.copies.append(Copy(host, cls.folder(files)))
        return cls.copies[-1]

    def assertSameFile(self, fetched, shared):
        self.assertTrue(os.path.exists(fetched), f"{fetched} was not created")
        self.assertEqual(os.path.getsize(fetched), os.path.getsize(shared), f"size of {fetched}")
        self.assertEqual(file_sha(fetched), file_sha(shared), f"SHA-256 of {fetched}")


class DownloadTest(TwoCopiesCase):
    """A connects to B once and fetches B's files one after another in the same run."""

    SIZES = [1, 4095, 4096, 4097, 10000]
    NAMES = ["my file.txt", "twenty-characters.xy", "twenty-one-characters", "sixty-" + "x" * 50 + ".bin"]

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        files = {f"size-{n}.bin": os.urandom(n) for n in [0] + cls.SIZES}
        files.update({name: os.urandom(3000 + i) for i, name in enumerate(cls.NAMES)})
        files["folder"] = None
        cls.b = cls.copy(NET.b, files)
        write_random(cls.b.share("big.bin"), BIG)
        cls.a = cls.copy(NET.a, {})
        cls.b.start()
        cls.a.start()
        cls.a.connect(harness.ADDRESS_B, len(files) + 3)

    def fetch(self, name):
        size = os.path.getsize(self.b.share(name))
        self.a.choose(name, size)
        self.assertEqual(self.a.wait_box(name), (CAPTION_WITH_DOTS, DOWNLOADED))
        self.assertIn(entry_text(name, size), self.a.driver.list_entries("requested"))
        self.assertSameFile(self.a.incoming(name), self.b.share(name))

    def test_listing_shows_every_entry_of_the_share(self):
        self.assertEqual(sorted(self.a.driver.list_entries("remote")), listing_of(os.path.join(self.b.workdir, "Share")))

    def test_files_of_edge_sizes_arrive_identical(self):
        for n in self.SIZES:
            with self.subTest(size=n):
                self.fetch(f"size-{n}.bin")

    def test_empty_file_is_complete_at_once(self):
        self.a.choose("size-0.bin", 0)
        self.assertEqual(self.a.wait_box(), (CAPTION_PLAIN, ALREADY))
        self.assertEqual(size_of(self.a.incoming("size-0.bin")), 0)

    def test_names_with_spaces_and_long_names_arrive_identical(self):
        for name in self.NAMES:
            with self.subTest(name=name, length=len(name)):
                self.fetch(name)

    def test_random_file_of_256_mib_arrives_identical(self):
        self.fetch("big.bin")


class BothDirectionsTest(TwoCopiesCase):
    """Each copy connects to the other, then each fetches the other's big file at the same time."""

    def test_both_directions_at_once(self):
        a = self.copy(NET.a, {})
        b = self.copy(NET.b, {})
        write_random(a.share("from-a.bin"), BIG)
        write_random(b.share("from-b.bin"), BIG)
        a.start()
        b.start()
        a.connect(harness.ADDRESS_B, 3)
        b.connect(harness.ADDRESS_A, 3)
        a.choose("from-b.bin", BIG)
        b.choose("from-a.bin", BIG)

        seen = {key: set() for key in ("A download", "A upload", "B download", "B upload")}
        boxes = {}
        last, since = None, time.monotonic()
        while len(boxes) < 2:
            for copy, label in ((a, "A"), (b, "B")):
                seen[label + " download"].add(copy.driver.progress("download"))
                seen[label + " upload"].add(copy.driver.progress("upload"))
            sizes = (size_of(a.incoming("from-b.bin")), size_of(b.incoming("from-a.bin")))
            for copy, label, size in ((a, "A", sizes[0]), (b, "B", sizes[1])):
                if size == BIG and label not in boxes:
                    boxes[label] = copy.wait_box()
            if sizes != last:
                last, since = sizes, time.monotonic()
            self.assertLess(time.monotonic() - since, 40, f"transfers stopped at {sizes} bytes")
            time.sleep(0.05)

        self.assertEqual(boxes, {"A": (CAPTION_WITH_DOTS, DOWNLOADED), "B": (CAPTION_WITH_DOTS, DOWNLOADED)})
        for bar, values in seen.items():
            self.assertTrue(any(1 <= v <= 99 for v in values), f"{bar} bar never moved: {sorted(values)}")
        self.assertSameFile(a.incoming("from-b.bin"), b.share("from-b.bin"))
        self.assertSameFile(b.incoming("from-a.bin"), a.share("from-a.bin"))


if __name__ == "__main__":
    unittest.main()
