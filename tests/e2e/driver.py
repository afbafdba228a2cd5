"""Python side of the test driver (tests/driver/, protocol described in driver.cpp there).

One Driver keeps one driver.exe running next to the program under test and sends it one command
per line; each reply is "OK <json>" or "ERR <reason>". How driver.exe is started (namespace,
Wine prefix, display) is the caller's business: it passes the command that runs a Windows
program and the environment for it, for example

    Driver(["ip", "netns", "exec", "hostA", "/usr/lib/wine/wine64"],
           {**os.environ, "WINEPREFIX": prefix, "DISPLAY": ":91", "WINEDEBUG": "-all"},
           os.path.join(checkout, "build", "win64", "tests", "driver", "driver.exe"))

where `checkout` is the root of this clone; harness.Host.driver() does just that for a test host.

The program's ids, and what a user does with these commands, are in program.py.
"""

from __future__ import annotations

import collections
import json
import queue
import subprocess
import threading
import time
from typing import Any, Optional

# Every command the driver sends to the program's windows gives up after this long.
_ANSWER_MS = 3000


class DriverError(Exception):
    """The driver answered ERR, did not answer in time, or is not running."""


def escape_text(text: str) -> str:
    """A <text> argument as the driver reads it: one ASCII line."""
    out = []
    for c in text:
        if c == "\\":
            out.append("\\\\")
        elif c == "\n":
            out.append("\\n")
        elif c == "\r":
            out.append("\\r")
        elif c == "\t":
            out.append("\\t")
        elif " " <= c <= "~":
            out.append(c)
        else:
            units = c.encode("utf-16-le")
            for at in range(0, len(units), 2):
                out.append("\\u%04x" % int.from_bytes(units[at:at + 2], "little"))
    return "".join(out)


class Driver:
    def __init__(self, wine_cmd: list[str], env: dict, driver_exe: str, cwd: Optional[str] = None):
        self._proc = subprocess.Popen(
            list(wine_cmd) + [driver_exe],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=env,
            cwd=cwd,
            text=True,
            encoding="ascii",
            errors="replace",
            bufsize=1,
        )
        self._replies: queue.Queue = queue.Queue()
        self._stderr: collections.deque = collections.deque(maxlen=200)
        threading.Thread(target=self._read_replies, daemon=True).start()
        threading.Thread(target=self._read_stderr, daemon=True).start()
        self._broken: Optional[str] = None

    # -- plumbing -------------------------------------------------------------------------------

    def _read_replies(self) -> None:
        try:
            for line in self._proc.stdout:
                self._replies.put(line.rstrip("\r\n"))
        except (OSError, ValueError):
            pass  # closed by close()
        self._replies.put(None)

    def _read_stderr(self) -> None:
        try:
            for line in self._proc.stderr:
                self._stderr.append(line.rstrip("\r\n"))
        except (OSError, ValueError):
            pass

    def stderr_tail(self) -> list[str]:
        return list(self._stderr)

    def cmd(self, line: str, timeout: float = 10.0) -> str:
        """Sends one command line; returns the payload of its OK reply (raw JSON text)."""
        if self._broken:
            raise DriverError(self._broken)
        try:
            self._proc.stdin.write(line + "\n")
            self._proc.stdin.flush()
        except (BrokenPipeError, OSError) as error:
            self._broken = "driver is not running (%s)" % error
            raise DriverError(self._broken) from None
        try:
            reply = self._replies.get(timeout=timeout)
        except queue.Empty:
            # A late reply would be taken for the next command's: this driver cannot go on.
            self._broken = "no reply to %r within %.1f s" % (line, timeout)
            self._kill()
            raise DriverError(self._broken) from None
        if reply is None:
            self._broken = "driver ended (stderr: %s)" % " | ".join(self.stderr_tail()[-5:])
            raise DriverError(self._broken)
        if reply.startswith("OK"):
            return reply[3:]
        if reply.startswith("ERR"):
            raise DriverError("%s: %s" % (line, reply[4:]))
        self._broken = "unexpected reply %r to %r" % (reply, line)
        raise DriverError(self._broken)

    def json(self, line: str, timeout: float = 10.0) -> Any:
        return json.loads(self.cmd(line, timeout))

    def _waiting(self, line: str, wait_ms: int) -> Any:
        """A command that waits up to wait_ms inside the driver."""
        return self.json(line, timeout=wait_ms / 1000.0 + _ANSWER_MS * 2 / 1000.0 + 5)

    def _kill(self) -> None:
        if self._proc.poll() is None:
            self._proc.kill()
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            pass

    def close(self) -> None:
        if self._proc.poll() is None and not self._broken:
            try:
                self.cmd("quit", timeout=5)
            except DriverError:
                pass
        try:
            self._proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._kill()
        for pipe in (self._proc.stdin, self._proc.stdout, self._proc.stderr):
            try:
                pipe.close()
            except (OSError, ValueError):
                pass  # a reader thread may still be closing its end
        self._broken = self._broken or "driver closed"

    def __enter__(self) -> "Driver":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- the program ----------------------------------------------------------------------------

    def find_main(self, timeout_ms: int = 10000) -> dict:
        return self._waiting("find-main %d" % timeout_ms, timeout_ms)

    def pid(self) -> int:
        return self.json("pid")["pid"]

    def exited(self, timeout_ms: int = 0) -> Optional[int]:
        """The exit code once the program has ended within timeout_ms, else None."""
        state = self._waiting("exited %d" % timeout_ms, timeout_ms)
        return None if state["alive"] else state["code"]

    def title(self) -> str:
        return self.json("title")

    def wait_title(self, text: str, timeout_ms: int = 5000) -> str:
        return self._waiting("wait-title %d %s" % (timeout_ms, escape_text(text)), timeout_ms)

    def rect(self, which: str = "main") -> dict:
        return self.json("rect " + which)

    def dialog_state(self) -> dict:
        return self.json("dialog-state")

    def wait_dialog(self, shown: bool = True, timeout_ms: int = 5000) -> dict:
        return self._waiting("wait-dialog %s %d" % ("shown" if shown else "hidden", timeout_ms), timeout_ms)

    def controls(self, which: str = "main") -> list[dict]:
        return self.json("controls " + which)

    # -- lists ----------------------------------------------------------------------------------

    def list_state(self, which: str) -> dict:
        return self.json("list " + which)

    def list_entries(self, which: str) -> list[str]:
        return self.list_state(which)["items"]

    def wait_list(self, which: str, count: int, timeout_ms: int = 5000) -> dict:
        return self._waiting("wait-list %s %d %d" % (which, count, timeout_ms), timeout_ms)

    def watch_list(self, which: str, count: int, timeout_ms: int = 5000) -> dict:
        """Waits until the list has `count` entries, timing each answer of its window meanwhile:
        {"count", "ms", "slowest", "answers"}."""
        return self._waiting("watch-list %s %d %d" % (which, count, timeout_ms), timeout_ms)

    def list_item(self, which: str, index: int) -> dict:
        """One entry without reading the whole list: {"count", "selected", "text" (None past the end)}."""
        return self.json("item %s %d" % (which, index))

    def select(self, which: str, index: int) -> int:
        return self.json("select %s %d" % (which, index))["selected"]

    def click_item(self, which: str, index: int) -> dict:
        return self.json("click-item %s %d" % (which, index))

    def dblclick(self, which: str, index: int) -> dict:
        return self.json("dblclick %s %d" % (which, index))

    def key(self, target: str, *keys: str) -> None:
        """target: requested, remote, main, dialog or msgbox; keys like "enter", "alt+f", "c"."""
        self.cmd("key %s %s" % (target, " ".join(keys)))

    def char(self, target: str, code: int) -> None:
        self.cmd("char %s %d" % (target, code))

    # -- menus, buttons, fields -----------------------------------------------------------------

    def menu(self, command_id: int) -> None:
        self.cmd("menu %d" % command_id)

    def menu_state(self, command_id: int) -> dict:
        return self.json("menu-state %d" % command_id)

    def click(self, which: str, control_id: int) -> None:
        self.cmd("click %s %d" % (which, control_id))

    def set_text(self, which: str, control_id: int, text: str) -> None:
        self.cmd("settext %s %d %s" % (which, control_id, escape_text(text)))

    def type_text(self, which: str, control_id: int, text: str) -> None:
        self.cmd("type %s %d %s" % (which, control_id, escape_text(text)))

    def get_text(self, which: str, control_id: int) -> str:
        return self.json("gettext %s %d" % (which, control_id))

    def close_box(self, which: str = "main") -> None:
        self.cmd("close-box " + which)

    def alt_f4(self, which: str = "main") -> None:
        self.cmd("alt-f4 " + which)

    # -- message boxes --------------------------------------------------------------------------

    def msgbox(self, timeout_ms: int = 5000) -> Optional[dict]:
        """The current message box, waiting up to timeout_ms for one; None if none came."""
        try:
            return self._waiting("msgbox %d" % timeout_ms, timeout_ms)
        except DriverError as error:
            if "no message box" in str(error) and not self._broken:
                return None
            raise

    def answer(self, button: str = "ok", timeout_ms: int = 5000) -> dict:
        """Clicks a button of the current message box (ok, yes, no, an id or its text) and
        waits until the box has gone."""
        return self._waiting("msgbox-answer %s %d" % (button, timeout_ms), timeout_ms)

    def no_msgbox(self, ms: int) -> None:
        """Raises DriverError when a message box shows up within ms."""
        self._waiting("no-msgbox %d" % ms, ms)

    # -- the rest -------------------------------------------------------------------------------

    def post(self, target: str, message: int, wparam: int = 0, lparam: int = 0) -> None:
        self.cmd("post %s %d %d %d" % (target, message, wparam, lparam))

    def focus(self) -> dict:
        return self.json("focus")

    def progress(self, which: str) -> int:
        return self.json("progress " + which)["pos"]

    def sleep(self, ms: int) -> None:
        self._waiting("sleep %d" % ms, ms)

    def round_trip_ms(self, count: int = 20) -> float:
        """The mean time of a command answered by the driver alone."""
        start = time.monotonic()
        for _ in range(count):
            self.cmd("pid")
        return (time.monotonic() - start) * 1000.0 / count
