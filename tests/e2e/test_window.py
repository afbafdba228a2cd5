"""Start-up, windows, menu, connect dialog and exit of the real program.

caldervine.exe runs under Wine on host A for most checks, driven through its own windows by the
test driver; host B connects to it as a peer. Runs that end the program (the exit question
answered Yes, a working folder with a path too long) use host B, where nothing else runs.

Where the driver cannot see a window (no main window exists yet), the message box is read from
Wine's own trace of it ("+msgbox" gives the text, "+cursor" the icon it loads right after) and
from the X display (the caption), and answered by the close message taskkill sends.
"""
import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

import harness
from program import (ABOUT_CAPTION, CAPTION_WITH_DOTS, CONNECTED, DISCONNECTED, EXIT_QUESTION, EXIT_WAYS,
                     IDC_ADDRESS, IDC_PORT, IDM_ABOUT, NOT_CONNECTED, OK_BUTTON, PATH_TOO_LONG_START, ask_exit,
                     cancel_connect, close_leftovers, no_box, open_connect, server_field, take_box, title)

NET = None

SCREEN_W, SCREEN_H = 1024, 768
WS_BORDER = 0x00800000
WS_THICKFRAME, WS_MAXIMIZEBOX = 0x00040000, 0x00010000
MAIN_FRAME_BITS = 0x00CA0000  # overlapped, caption, system menu, minimise box
WS_EX_CLIENTEDGE = 0x200

# LoadIcon(NULL, ...) identifiers as Wine's trace writes them.
TRACED_ICONS = {"#7f01": "error", "#7f02": "question", "#7f03": "warning", "#7f04": "information"}


def setUpModule():
    global NET
    NET = harness.Network(suffix="w")
    NET.__enter__()
    unittest.addModuleCleanup(NET.__exit__, None, None, None)


def scratch(case, prefix):
    path = os.path.realpath(tempfile.mkdtemp(prefix=prefix))
    case.addCleanup(shutil.rmtree, path, ignore_errors=True)
    return path


def start_traced(host, workdir, trace_path, channels="+msgbox,+cursor"):
    """Starts caldervine.exe in `workdir` with Wine's trace of `channels` written to trace_path."""
    env = dict(host.env(), WINEDEBUG=channels)
    with open(trace_path, "wb") as trace:
        p = subprocess.Popen(host.argv(harness.WINE, harness.CALDERVINE_EXE), cwd=workdir, env=env,
                             stdout=subprocess.DEVNULL, stderr=trace, start_new_session=True)
    host.processes.append(p)
    return p


def read_trace(path):
    with open(path, "rb") as f:
        return f.read().decode("ascii", "replace").splitlines()


def traced_message_box(lines):
    """(text, icon) of the first message box in a trace once the icon is loaded, else None.
    The box loads its icon right after taking its text, on the same thread."""
    for at, line in enumerate(lines):
        if ":trace:msgbox:MSGBOX_OnInit " in line:
            thread = line.split(":", 1)[0]
            text = line.split(" L\"", 1)[1].rsplit("\"", 1)[0].replace("\\r\\n", "\r\n")
            for later in lines[at + 1:]:
                if later.startswith(thread + ":trace:cursor:LoadIconW "):
                    return text, TRACED_ICONS.get(later.rsplit(", ", 1)[1], "none")
    return None


def x_window_names(host):
    """Names of the display's top-level X windows that belong to caldervine.exe."""
    r = subprocess.run(["xwininfo", "-root", "-tree"], env=host.env(), capture_output=True, text=True, timeout=20)
    names = [line.split('"')[1] for line in r.stdout.splitlines()
             if '("caldervine.exe"' in line and "(has no name)" not in line.split('"')[0]]
    return [name for name in names if name != "Default IME"]


def folder_of_length(base, windows_length):
    """A folder below `base` (made here) whose Windows path, Z: and the Unix path, has
    `windows_length` characters."""
    left = windows_length - 2 - len(base)
    path = base
    while left > 101:
        path, left = path + "/" + "d" * 90, left - 91
    path += "/" + "e" * (left - 1)
    os.makedirs(os.path.join(path, "Share"))
    os.mkdir(os.path.join(path, "Incoming"))
    assert len("Z:" + path) == windows_length, path
    return path


class RunningProgramTests(unittest.TestCase):
    """One program on host A for the whole class; what it showed right after start-up is kept."""

    @classmethod
    def setUpClass(cls):
        cls.base = tempfile.mkdtemp(prefix="cv-window-")
        cls.addClassCleanup(shutil.rmtree, cls.base, ignore_errors=True)
        cls.addClassCleanup(NET.a.kill_wine)
        cls.process = NET.a.start_caldervine(harness.make_workdir(base=cls.base))
        cls.drv = NET.a.driver()
        cls.addClassCleanup(cls.drv.close)
        cls.found = cls.drv.find_main()
        cls.first_title = cls.drv.title()
        cls.first_dialog = cls.drv.dialog_state()

    def setUp(self):
        self.addCleanup(close_leftovers, self.drv)  # a test that failed half-way

    def assertStillRunning(self, title=None):
        self.assertIsNone(self.drv.exited(300), "the program ended")
        self.assertTrue(NET.a.listening(), "the program no longer listens")
        self.assertEqual(self.drv.get_text("main", OK_BUTTON), "O.K")  # the UI thread answers
        if title is not None:
            self.assertEqual(self.drv.title(), title)

    def test_main_window_frame(self):
        self.assertEqual(self.found["count"], 1)
        self.assertEqual(self.first_title, "Caldervine")
        frame = self.drv.rect("main")
        x, y = SCREEN_W // 2 - 350, SCREEN_H // 2 - 250
        self.assertEqual(frame["window"], [x, y, x + 700, y + 500])
        style = int(frame["style"], 16)
        self.assertEqual(style & MAIN_FRAME_BITS, MAIN_FRAME_BITS, frame["style"])
        self.assertEqual(style & (WS_THICKFRAME | WS_MAXIMIZEBOX), 0, frame["style"])
        self.assertTrue(frame["visible"] and frame["enabled"])

    def test_main_window_controls(self):
        list_style = ("0x50a01143", "0x00000200")
        # The bars are made without an extended style and drawn without a visual style; such a
        # bar gives itself a static edge, as it does on Windows for a program without a manifest.
        bar_style = ("0x50000001", "0x00020000")
        expected = [  # class, id, text, (style, exstyle), [x, y, w, h]
            ("ListBox", 0, "", list_style, [20, 80, 660, 110]),
            ("ListBox", 0, "", list_style, [20, 230, 660, 150]),
            ("Button", 55, "O.K", ("0x50000000", "0x00000000"), [300, 400, 100, 25]),
            ("msctls_progress32", 0, "", bar_style, [20, 20, 460, 20]),
            ("msctls_progress32", 0, "", bar_style, [20, 50, 460, 20]),
            ("Static", 0, "Download", ("0x50000001", "0x00020000"), [500, 20, 180, 20]),
            ("Static", 0, "Upload", ("0x50000001", "0x00020000"), [500, 50, 180, 20]),
        ]
        got = [(c["class"], c["id"], c["text"], (c["style"], c["exstyle"]), c["rect"])
               for c in self.drv.controls("main")]
        self.assertEqual(got, expected)

    def test_bars_at_zero_and_lists_empty(self):
        for bar in ("download", "upload"):
            self.assertEqual(self.drv.progress(bar), 0, bar)
        for which in ("requested", "remote"):
            self.assertEqual(self.drv.list_state(which)["count"], 0, which)

    def test_connect_dialog_made_hidden_and_topmost(self):
        self.assertEqual({k: self.first_dialog[k] for k in ("exists", "visible", "topmost")},
                         {"exists": True, "visible": False, "topmost": True})

    def test_connect_dialog_controls(self):
        expected = [  # class, id, text, style given in the resource, enabled
            ("Static", 65535, "Site:", 0x50020002, True),
            ("Static", 52, " ", 0x50020001, True),
            ("Static", 65535, "I.P:", 0x50020002, True),
            ("Edit", IDC_ADDRESS, "", 0x50810000, True),
            ("Static", 65535, "Port:", 0x50020002, True),
            ("Edit", IDC_PORT, "21120", 0x58810000, False),
            ("Button", 50, "&OK", 0x50030000, True),
            ("Button", 51, "&Cancel", 0x50010001, True),
        ]
        got = self.drv.controls("dialog")
        self.assertEqual([(c["class"], c["id"], c["text"], c["enabled"]) for c in got],
                         [(cls, cid, text, enabled) for cls, cid, text, _, enabled in expected])
        for control, (_, cid, _, style, _) in zip(got, expected):
            with self.subTest(id=cid, text=control["text"]):
                shown = int(control["style"], 16)
                if shown != style:  # a dialog may turn the border into a sunken client edge
                    self.assertEqual(shown, style & ~WS_BORDER, control["style"])
                    self.assertTrue(int(control["exstyle"], 16) & WS_EX_CLIENTEDGE, control["exstyle"])

    def test_connect_dialog_shown_and_hidden_in_place(self):
        places = []
        for how in ("cancel button", "close box", "cancel button"):
            with self.subTest(hide_by=how):
                shown = open_connect(self.drv)
                self.assertTrue(shown["topmost"])
                places.append(shown["window"])
                if how == "cancel button":
                    hidden = cancel_connect(self.drv)
                else:
                    self.drv.close_box("dialog")
                    hidden = self.drv.wait_dialog(False)
                self.assertEqual(hidden["window"], shown["window"])
                self.drv.no_msgbox(300)
        self.assertEqual(places, [places[0]] * len(places), "shown again somewhere else")
        left, top, right, bottom = places[0]
        self.assertTrue(0 <= left < right <= SCREEN_W and 0 <= top < bottom <= SCREEN_H, places[0])
        self.assertStillRunning()

    def test_dialog_has_no_keyboard_handling(self):
        open_connect(self.drv)
        inside = {c["hwnd"] for c in self.drv.controls("dialog")}
        # The dialog gives the focus back to the control that had it last (I.P, or a button).
        focused = harness.wait_until(lambda: (self.drv.focus()["focus"] or {}).get("hwnd") in inside
                                     and self.drv.focus()["focus"]["hwnd"], 5, what="focus in the dialog")
        self.drv.key("dialog", "tab", "enter", "escape")
        self.drv.no_msgbox(700)
        self.assertTrue(self.drv.dialog_state()["visible"], "a key closed the dialog")
        self.assertEqual(self.drv.focus()["focus"]["hwnd"], focused, "Tab moved the focus")

    def test_menu_from_keyboard(self):
        # The bar titles have no mnemonics: F10 enters the bar, arrows move, letters choose.
        for keys, opens in ((("f10", "down", "c"), "connect dialog"), (("f10", "down", "x"), "exit question"),
                            (("f10", "right", "right", "down", "enter"), "about box")):
            with self.subTest(keys=" ".join(keys)):
                self.drv.key("main", *keys)
                if opens == "connect dialog":
                    self.drv.wait_dialog(True)
                    cancel_connect(self.drv)
                    continue
                box = take_box(self.drv, "no" if opens == "exit question" else "ok", expected=opens)
                if opens == "exit question":
                    self.assertEqual((box["caption"], box["text"]), (CAPTION_WITH_DOTS, EXIT_QUESTION))
                else:
                    self.assertEqual(box["caption"], ABOUT_CAPTION)
        self.assertStillRunning()

    def test_about_box(self):
        self.drv.menu(IDM_ABOUT)
        box = take_box(self.drv, expected="the About box")
        self.assertEqual((box["caption"], box["owner"], box["count"]), (ABOUT_CAPTION, "main", 1))
        self.assertIn(1, [b["id"] for b in box["buttons"]])
        self.assertIsNone(self.drv.msgbox(300))
        self.assertStillRunning()

    def test_exit_question_not_confirmed_keeps_running(self):
        for ask, answer in [(way, "no") for way in EXIT_WAYS] + [("menu", "escape")]:
            with self.subTest(ask=ask, answer=answer):
                before = self.drv.title()
                ask_exit(self.drv, ask)
                box = self.drv.msgbox()
                self.assertIsNotNone(box, "no exit question")
                self.assertEqual((box["caption"], box["text"], box["icon"], box["owner"]),
                                 (CAPTION_WITH_DOTS, EXIT_QUESTION, "question", "main"))
                self.assertEqual([(b["id"], b["text"].replace("&", "")) for b in box["buttons"]],
                                 [(6, "Yes"), (7, "No")])
                if answer == "escape":
                    self.drv.key("msgbox", "escape")
                    harness.wait_until(lambda: no_box(self.drv), 5, what="the box to go")
                else:
                    self.drv.answer(answer)
                self.assertStillRunning(before)

    def test_peer_connecting_and_leaving(self):
        sock = harness.connect_to(NET.b, harness.ADDRESS_A)
        try:
            self.assertEqual(self.drv.wait_title(server_field(CONNECTED)), title(CONNECTED, NOT_CONNECTED))
        finally:
            sock.close()
        self.assertEqual(self.drv.wait_title(server_field(DISCONNECTED)), title(DISCONNECTED, NOT_CONNECTED))
        self.assertStillRunning(title(DISCONNECTED, NOT_CONNECTED))

    def test_second_copy_ends_at_once(self):
        pid = self.drv.pid()
        trace = os.path.join(self.base, "second-copy.trace")
        second = start_traced(NET.a, harness.make_workdir(base=self.base), trace, "+msgbox")
        try:
            code = second.wait(timeout=30)  # a message box would keep it waiting
        except subprocess.TimeoutExpired:
            self.fail("the second copy is still running")
        self.assertEqual(code, 2)
        self.assertFalse([line for line in read_trace(trace) if "MSGBOX_OnInit" in line],
                         "the second copy showed a message box")
        self.assertEqual(self.drv.pid(), pid)
        self.assertStillRunning()

    def test_screenshot_of_the_display(self):
        folder = scratch(self, "cv-shot-")
        shot, empty = os.path.join(folder, "main.png"), os.path.join(folder, "empty.png")
        NET.a.screenshot(shot)
        NET.b.screenshot(empty)  # nothing shows on host B's display now
        with open(shot, "rb") as f:
            head = f.read(24)
        self.assertEqual(head[:8], b"\x89PNG\r\n\x1a\n")
        self.assertEqual(struct.unpack(">II", head[16:24]), (SCREEN_W, SCREEN_H))
        # The few flat colours of the window pack into some kilobytes; an empty screen into bytes.
        size, empty_size = os.path.getsize(shot), os.path.getsize(empty)
        self.assertGreater(size, max(2048, 4 * empty_size), "the window is missing (empty: %d)" % empty_size)


class EndingTests(unittest.TestCase):
    """Runs on host B that end the program, each started afresh."""

    def test_exit_confirmed_ends_with_code_0(self):
        for way in EXIT_WAYS:
            with self.subTest(ask=way):
                workdir = harness.make_workdir(base=scratch(self, "cv-exit-"))
                self.addCleanup(NET.b.kill_wine)
                p = NET.b.start_caldervine(workdir)
                with NET.b.driver() as drv:
                    drv.find_main()
                    ask_exit(drv, way)
                    box = drv.msgbox()
                    self.assertIsNotNone(box, "no exit question")
                    self.assertEqual((box["caption"], box["text"]), (CAPTION_WITH_DOTS, EXIT_QUESTION))
                    drv.answer("yes")
                    self.assertEqual(p.wait(timeout=30), 0)
                self.assertFalse(NET.b.listening(), "the port is still taken")

    def test_working_folder_at_the_limit_starts(self):
        # "<folder>\Share\*.*" is 254 characters: the longest that fits.
        workdir = folder_of_length(scratch(self, "cv-limit-"), 244)
        self.addCleanup(NET.b.kill_wine)
        p = NET.b.start_caldervine(workdir, wait_listening=False)
        try:
            NET.b.wait_listening(30)
        except RuntimeError:
            self.fail("does not listen (ended: %s)" % p.poll())
        with NET.b.driver() as drv:
            self.assertEqual(drv.find_main()["count"], 1)
            self.assertIsNone(drv.msgbox(500))

    def test_working_folder_past_the_limit_is_refused(self):
        base = scratch(self, "cv-long-")
        workdir = folder_of_length(base, 245)
        trace = os.path.join(base, "long.trace")
        self.addCleanup(NET.b.kill_wine)
        p = start_traced(NET.b, workdir, trace)
        box = harness.wait_until(lambda: traced_message_box(read_trace(trace)), 30, what="a message box")
        text, icon = box
        self.assertTrue(text.startswith(PATH_TOO_LONG_START), text)
        self.assertEqual(icon, "information")
        harness.wait_until(lambda: "Caldervine" in x_window_names(NET.b), 20, what="the box on the display")
        self.assertEqual(x_window_names(NET.b), ["Caldervine"], "a window besides the message box")
        time.sleep(1)
        self.assertIsNone(p.poll(), "ended before the box was answered")
        self.assertFalse(NET.b.listening())
        NET.b.run([harness.WINE, "taskkill", "/IM", "caldervine.exe"], timeout=60)  # closes the box
        self.assertEqual(p.wait(timeout=30), 3)
        self.assertFalse(NET.b.listening())


if __name__ == "__main__":
    unittest.main()
