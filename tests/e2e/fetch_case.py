"""What the tests of the fetching side share: FetchCase, one network and one scripted sharing
peer (scripted_peer.py) on host B for a class, with runs of the program on host A as the tests
need them, and what a user does and sees there.
"""
import hashlib
import os
import shutil
import time
import unittest

import harness
import program
from driver import DriverError
from program import DOWNLOADED, CAPTION_WITH_DOTS, CONNECTED, IDM_CONNECT, NOT_CONNECTED, title
from scripted_peer import ScriptedPeer


def content(size, seed):
    """Reproducible bytes of every value, different for each seed."""
    out = bytearray()
    block = seed.encode()
    while len(out) < size:
        block = hashlib.sha256(block).digest()
        out += block
    return bytes(out[:size])


def sha(data):
    return hashlib.sha256(data).hexdigest()


class FetchCase(unittest.TestCase):
    """One network and one scripted peer for the class; program runs as the tests need them."""

    @classmethod
    def setUpClass(cls):
        cls.driver, cls.workdir, cls.run_connected, cls.folders = None, None, False, []
        cls.net = harness.Network()
        cls.net.__enter__()
        cls.addClassCleanup(cls.net.__exit__, None, None, None)  # also when setUpClass fails
        cls.peer = ScriptedPeer(cls.net.b)
        cls.addClassCleanup(cls.peer.close)
        cls.addClassCleanup(cls.end_run)
        cls.addClassCleanup(lambda: [shutil.rmtree(f, ignore_errors=True) for f in cls.folders])

    @classmethod
    def end_run(cls):
        if cls.driver is not None:
            cls.driver.close()
            cls.driver = None
        cls.net.a.kill_wine()
        cls.peer.disconnect()

    @classmethod
    def start_run(cls, incoming=True, local=None, workdir=None):
        """A fresh run of the program in a new work folder (or `workdir` again); `local` holds
        files already in Incoming."""
        cls.end_run()
        if workdir is None:
            workdir = harness.make_workdir({}, incoming=incoming)
            cls.folders.append(workdir)
        for name, data in (local or {}).items():
            with open(os.path.join(workdir, "Incoming", name), "wb") as f:
                f.write(data)
        cls.workdir = workdir
        cls.run_connected = False
        cls.net.a.start_caldervine(workdir)
        cls.driver = cls.net.a.driver()
        cls.driver.find_main()
        return workdir

    @classmethod
    def ask_connect(cls, address):
        program.connect(cls.driver, address, 5000)

    @classmethod
    def connected_run(cls, entries, serve=None, wait=10, **run):
        """A fresh run connected to the peer, whose listing (`entries`: [(name, size)]) is shown
        within `wait` seconds."""
        cls.start_run(**run)
        cls.connect_again(entries, serve, wait=wait)

    @classmethod
    def connect_again(cls, entries, serve=None, keep_old=False, wait=10):
        """File > Connect to the peer, which sends the listing of `entries`: the remote list shows
        that listing alone. With keep_old the peer's previous connection stays open; it is returned."""
        old = cls.peer.conn
        if keep_old:
            cls.peer.conn = None
        cls.ask_connect(harness.ADDRESS_B)
        cls.peer.accept(timeout=10)
        cls.run_connected = True
        cls.driver.wait_title(title(NOT_CONNECTED, CONNECTED))
        cls.peer.serve(serve or {})
        cls.peer.send_listing(entries)
        expected = sorted(program.entry_text(n, s) for n, s in entries)
        harness.wait_until(lambda: sorted(cls.driver.list_entries("remote")) == expected, wait,
                           what="the new listing alone")
        return old

    # -- what the user does and sees ------------------------------------------------------------
    def choose(self, name, size, how="enter"):
        """Chooses the entry (name, size) of the remote list: double-click, Enter, View >
        Download or the O.K button after selecting it."""
        program.choose(self.driver, name, size, how)

    def take_box(self, timeout_ms=5000, expected="a message box"):
        """The message box shown now (answered with OK), as the driver describes it."""
        return program.take_box(self.driver, "ok", timeout_ms, expected)

    def expect_box(self, text, caption, timeout_ms=5000):
        box = self.take_box(timeout_ms, text)
        self.assertEqual((box["caption"], box["text"], box["icon"]), (caption, text, "information"))

    def expect_downloaded(self):
        self.expect_box(DOWNLOADED, CAPTION_WITH_DOTS, timeout_ms=15000)
        harness.wait_until(lambda: self.driver.progress("download") == 0, 5, what="the download bar at 0")

    def expect_confirmed(self, name, size):
        """The request that asks for the file's last bytes again, then the success message."""
        self.assertRequest(self.peer.next_request(), name, max(0, size - program.OVERLAP))
        self.expect_downloaded()

    def connect_offered(self, within=0.0):
        """Whether File > Connect can be chosen, waiting up to `within` seconds for it to be: read
        from the menu where the driver can, else tried from the keyboard (F10, Down, C) as a user
        would: a grayed item does nothing."""
        deadline = time.monotonic() + within
        while True:
            try:
                enabled = self.driver.menu_state(IDM_CONNECT)["enabled"]
            except DriverError as error:
                if "unreadable" not in str(error):
                    raise
                return self.connect_by_keyboard()
            if enabled or time.monotonic() >= deadline:
                return enabled
            time.sleep(0.1)

    def connect_by_keyboard(self):
        self.driver.key("main", "f10", "down", "c")
        try:
            harness.wait_until(lambda: self.driver.dialog_state()["visible"], 2, what="the connect dialog")
        except AssertionError:
            self.driver.key("main", "escape", "escape")
            return False
        program.cancel_connect(self.driver, 3000)
        return True

    def local_path(self, name):
        return os.path.join(self.workdir, "Incoming", name)

    def local(self, name):
        with open(self.local_path(name), "rb") as f:
            return f.read()

    def assertRequest(self, request, name, offset):
        self.assertEqual((request.name, request.offset), (name, offset))
        self.assertTrue(request.well_formed(), "malformed request record %r" % request.raw)

    def close_stray_boxes(self):
        for _ in range(3):
            if self.driver is None or self.driver.msgbox(0) is None:
                return
            self.driver.answer("ok")


