"""What the end-to-end tests, the benchmark and the screenshot script do to a copy of Caldervine,
and what they expect it to show.

- the program's ids, read from services/ids.h when this module is imported;
- its titles, message box captions and texts, and the entries of its remote list;
- a user's actions through the test driver (driver.py): File > Connect with an address, choosing
  an entry of the remote list, asking to exit, waiting for a message box and answering it;
- Copy: one copy of the program on a test host, worked through its own driver;
- small tools for the files and processes the copies leave behind.
"""
import hashlib
import os
import re
import time

from driver import DriverError
from peer_protocol import listing_record

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MIB = 1 << 20


# -- ids ------------------------------------------------------------------------------------------

def read_ids(path=os.path.join(ROOT, "services", "ids.h")):
    """{name: value} of every "#define NAME number" line of a header."""
    ids = {}
    with open(path) as f:
        for line in f:
            match = re.match(r"\s*#define\s+([A-Z][A-Z0-9_]*)\s+(0x[0-9A-Fa-f]+|\d+)\b", line)
            if match:
                ids[match.group(1)] = int(match.group(2), 0)
    return ids


IDS = read_ids()
# How many bytes a resume asks for again, and a finished download confirms, from core/overlap.h.
with open(os.path.join(ROOT, "core", "overlap.h")) as _header:
    OVERLAP = int(re.search(r"OVERLAP_SIZE = (\d+);", _header.read()).group(1))
# The ids the tests use, named once here: a name changed in the header fails at import.
IDM_CONNECT = IDS["IDM_CONNECT"]
IDM_EXIT = IDS["IDM_EXIT"]
IDM_ABOUT = IDS["IDM_ABOUT"]
IDM_DOWNLOAD = IDS["IDM_DOWNLOAD"]
OK_BUTTON = IDM_DOWNLOAD  # the O.K button below the lists sends View > Download's command
IDD_CONNECT_OK = IDS["IDD_CONNECT_OK"]
IDD_CONNECT_CANCEL = IDS["IDD_CONNECT_CANCEL"]
IDC_SITE = IDS["IDC_SITE"]
IDC_ADDRESS = IDS["IDC_ADDRESS"]
IDC_PORT = IDS["IDC_PORT"]
EXIT_CONFIRMED = IDS["EXIT_CONFIRMED"]
EXIT_PORT_TAKEN = IDS["EXIT_PORT_TAKEN"]
EXIT_PATH_TOO_LONG = IDS["EXIT_PATH_TOO_LONG"]


# -- what the program shows -----------------------------------------------------------------------

PLAIN_TITLE = "Caldervine"  # until the first connection either way
# The states of the title's two fields, each right-aligned in 13 columns.
CONNECTED, DISCONNECTED, NOT_CONNECTED = "    Connected", " DisConnected", " No Connected"


def title(server, client):
    """The title once a peer has connected or a connection was asked for."""
    return "Up/Caldervine...      %s           %s" % (server_field(server), client_field(client))


def server_field(state):
    """The sharing side's field of the title, e.g. "Server:    Connected"."""
    return "Server:%13s" % state


def client_field(state):
    """The fetching side's field of the title, e.g. "Client: DisConnected"."""
    return "Client:%13s" % state


CAPTION_WITH_DOTS = "Caldervine..."  # questions, warnings and the transfer messages
CAPTION_PLAIN = "Caldervine"         # refusals and the reports about files and folders
ABOUT_CAPTION = "About Caldervine"

EXIT_QUESTION = "Do you want to exit ?"
ADDRESS_MESSAGE = ("Please enter an I.P with a correct format i.e. (xxx.xxx.xxx.xxx) !\r\n"
                   "Or all simply there is Nobody at other side.")
DOWNLOADED = "Your file is downloaded!"
ALREADY = "You have already downloaded this file...!"
BUSY = "You already have a Thread in run...\r\n          Please Wait!!!"
REFUSED = ("You did choose a Directory instead of File!\r\nOr you have selected nothing!\r\n"
           "Please, Re-make your choice!")
CLOSED = ("The request could not be sent: the connection to the peer is closed.\r\n"
          "Choose File > Connect to connect again.")
PATH_TOO_LONG_START = "The folder Caldervine was started in has a path too long"
INCOMING_UNUSABLE_START = "Caldervine cannot open or create a file in the folder"


def not_a_plain_name(name):
    """The refusal of an entry whose name the program will not save."""
    return 'The peer offers "%s", which is not a plain file name.\r\nCaldervine does not save it.' % name


def other_version(name):
    """A copy whose last bytes are not the peer's at that place: nothing was written to it."""
    return ('Your copy of "%s" in Incoming does not end as the peer\'s file does at that place:\r\n'
            "the peer now has another version of this file. Nothing was written to your copy.\r\n"
            "To keep your copy, move it out of Incoming; then choose the file again to download the peer's "
            "version." % name)


def not_confirmed(name):
    """The file's last bytes, asked for again, differ from those that arrived."""
    return ('The end of "%s" could not be confirmed: the peer\'s last bytes differ from those that arrived.\r\n'
            "Your copy is back to what it was before this download. Choose the file again." % name)


def given_up(name):
    """The answer stopped for the give-up period: the connection was ended."""
    return ('The peer has sent nothing more of "%s" for 30 seconds, so Caldervine has ended the connection.\r\n'
            "What has arrived is kept. To resume, choose File > Connect, connect again and choose the file." % name)


def resume_offset(have):
    """The offset a choice over a partial copy of `have` bytes asks from."""
    return max(0, have - OVERLAP)


def entry_text(name, size):
    """What the remote list shows for a listing record."""
    return listing_record(name, size)[6:].split(b"\0", 1)[0].decode("latin-1")


def listing_of(share_folder):
    """What the remote list of a copy connected to this folder's owner shows, sorted."""
    entries = [entry_text(".", 0), entry_text("..", 0)]
    for name in os.listdir(share_folder):
        path = os.path.join(share_folder, name)
        entries.append(entry_text(name, 0 if os.path.isdir(path) else os.path.getsize(path)))
    return sorted(entries)


# -- what a user does -----------------------------------------------------------------------------

def open_connect(driver, timeout_ms=10000):
    """File > Connect; returns the connect dialog's state once it shows."""
    driver.menu(IDM_CONNECT)
    return driver.wait_dialog(True, timeout_ms)


def fill_connect(driver, address, timeout_ms=10000):
    """File > Connect and the address typed into I.P, the dialog left open."""
    open_connect(driver, timeout_ms)
    driver.set_text("dialog", IDC_ADDRESS, address)


def connect(driver, address, timeout_ms=10000):
    """File > Connect, the address, OK. What follows (a box, the title, the listing) is the
    caller's to wait for."""
    fill_connect(driver, address, timeout_ms)
    driver.click("dialog", IDD_CONNECT_OK)


def cancel_connect(driver, timeout_ms=5000):
    """The connect dialog's Cancel button; returns the dialog's state once it is hidden."""
    driver.click("dialog", IDD_CONNECT_CANCEL)
    return driver.wait_dialog(False, timeout_ms)


EXIT_WAYS = ("menu", "close box", "alt+f4")


def ask_exit(driver, how):
    """Asks the program to end as a user can: File > Exit, the close box, or Alt+F4."""
    if how == "menu":
        driver.menu(IDM_EXIT)
    elif how == "close box":
        driver.close_box("main")
    elif how == "alt+f4":
        driver.alt_f4("main")
    else:
        raise ValueError("no way to exit called %r" % how)


CHOICES = ("dblclick", "enter", "menu", "button")


def entry_index(driver, name, size):
    """The place of the entry (name, size) in the remote list; ValueError when it is not there."""
    return driver.list_entries("remote").index(entry_text(name, size))


def wait_entry(driver, name, size, timeout=30):
    """Waits until the remote list shows the entry (name, size); returns its place."""
    text, deadline = entry_text(name, size), time.monotonic() + timeout
    while True:
        entries = driver.list_entries("remote")
        if text in entries:
            return entries.index(text)
        if time.monotonic() > deadline:
            raise AssertionError(f"the remote list does not show {text.strip()!r} after {timeout} s")
        time.sleep(0.2)


def choose(driver, name, size, how="dblclick"):
    """Chooses the entry (name, size) of the remote list in one of the user's four ways: a
    double-click on it, or Enter, View > Download or the O.K button once it is selected."""
    index = entry_index(driver, name, size)
    if how == "dblclick":
        driver.dblclick("remote", index)
        return
    driver.select("remote", index)
    if how == "enter":
        driver.key("remote", "enter")
    elif how == "menu":
        driver.menu(IDM_DOWNLOAD)
    elif how == "button":
        driver.click("main", OK_BUTTON)
    else:
        raise ValueError("no way to choose called %r" % how)


def answer_box(driver, button="ok", timeout_ms=5000):
    """The message box that shows within timeout_ms, as the driver describes it, answered with
    `button` (ok, yes, no...); None when none came."""
    box = driver.msgbox(timeout_ms)
    if box is not None:
        driver.answer(button)
    return box


def take_box(driver, button="ok", timeout_ms=5000, expected="a message box"):
    """As answer_box, but a box must come: AssertionError otherwise."""
    box = answer_box(driver, button, timeout_ms)
    if box is None:
        raise AssertionError("no message box (expected %r)" % (expected,))
    return box


def no_box(driver):
    """True when no message box shows (asked without reading a box that may be going)."""
    try:
        driver.no_msgbox(0)
        return True
    except DriverError:
        return False


def close_leftovers(driver):
    """Closes what a test that failed half-way may have left open: message boxes (the exit
    question answered No, so that the program stays) and the connect dialog."""
    for _ in range(5):
        if no_box(driver):
            break
        try:
            box = driver.msgbox(0)
            if box is not None:
                driver.answer("no" if box["text"] == EXIT_QUESTION else "ok")
        except DriverError:
            pass  # the box went meanwhile
    if driver.dialog_state()["visible"]:
        try:
            cancel_connect(driver, 2000)
        except DriverError:
            driver.close_box("dialog")
            driver.wait_dialog(False)


# -- files and processes --------------------------------------------------------------------------

def write_random(path, size, chunk=4 * MIB):
    """Writes `size` random bytes to `path`; returns their SHA-256."""
    digest = hashlib.sha256()
    with open(path, "wb") as f:
        left = size
        while left:
            block = os.urandom(min(chunk, left))
            digest.update(block)
            f.write(block)
            left -= len(block)
    return digest.hexdigest()


def file_sha(path):
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(4 * MIB), b""):
            digest.update(block)
    return digest.hexdigest()


def size_of(path):
    """The size of `path`, or -1 while it does not exist."""
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return -1


def cpu_seconds(pid):
    """User plus system time of process `pid`, all its threads, in seconds; None when there is
    no such process (pid None, or ended)."""
    if pid is None:
        return None
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime and stime


# -- one copy of the program ----------------------------------------------------------------------

class Copy:
    """One copy of caldervine.exe on a test host (harness.Host), run in `workdir` and worked
    through the driver."""

    def __init__(self, host, workdir):
        self.host = host
        self.workdir = workdir
        self.driver = None

    def share(self, name):
        return os.path.join(self.workdir, "Share", name)

    def incoming(self, name):
        return os.path.join(self.workdir, "Incoming", name)

    def start(self):
        """Starts the program, waits until it listens, and attaches a driver to its window."""
        self.host.start_caldervine(self.workdir)
        self.driver = self.host.driver()
        self.driver.find_main()
        return self

    def kill(self):
        """Every Wine process of the host ends at once, as in a crash (the driver's too)."""
        self.host.kill_wine()
        if self.driver is not None:
            self.driver.close()
            self.driver = None

    def connect(self, address, entries):
        """File > Connect to `address`, then waits for the peer's listing of `entries` entries."""
        connect(self.driver, address)
        self.driver.wait_title(client_field(CONNECTED), 15000)
        self.driver.wait_list("remote", entries, 20000)

    def choose(self, name, size, how="dblclick"):
        choose(self.driver, name, size, how)

    def wait_size(self, name, at_least, stall=40):
        """Waits until Incoming\\name holds at least `at_least` bytes; fails when it stops growing
        for `stall` seconds first. Returns the size seen."""
        path, last, since = self.incoming(name), -2, time.monotonic()
        while True:
            size = size_of(path)
            if size >= at_least:
                return size
            if size != last:
                last, since = size, time.monotonic()
            elif time.monotonic() - since > stall:
                raise AssertionError(f"{name} stopped growing at {size} bytes (waiting for {at_least})")
            time.sleep(0.02)

    def wait_box(self, name=None, stall=40):
        """Waits for a message box and answers it with OK; returns (caption, text). While it has
        not come, Incoming\\name must keep growing: `stall` seconds without growth fail."""
        path = self.incoming(name) if name else None
        last, since = -2, time.monotonic()
        while True:
            box = answer_box(self.driver, "ok", 500)
            if box is not None:
                return box["caption"], box["text"]
            size = size_of(path) if path else -1
            if size != last:
                last, since = size, time.monotonic()
            elif time.monotonic() - since > stall:
                raise AssertionError(f"no message box, and {name} stopped growing at {size} bytes")


def settled(measure, quiet, timeout):
    """The value of measure() once it has stayed the same for `quiet` seconds."""
    value, since, deadline = measure(), time.monotonic(), time.monotonic() + timeout
    while time.monotonic() - since < quiet:
        if time.monotonic() > deadline:
            raise AssertionError(f"still changing after {timeout} s (last {value})")
        time.sleep(0.1)
        now = measure()
        if now != value:
            value, since = now, time.monotonic()
    return value
