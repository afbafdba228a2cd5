"""Test hosts for Caldervine's end-to-end tests.

Caldervine always listens on TCP port 21120, so two ends of a test (two copies, or a copy and a
scripted peer that listens) need two hosts. Each host here is a Linux network namespace joined to
the other by a veth pair, with its own Xvfb display and its own Wine prefix whose wineserver is
started inside the namespace (Wine's sockets live where its wineserver runs).

The Windows build under test is the 32-bit one where this machine can execute 32-bit code, and
otherwise the 64-bit build of the same sources under wine64.
"""
import contextlib
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# Appended to every namespace and link name, so that two checkouts can run their tests at once.
HOST_TAG = os.environ.get("CALDERVINE_HOST_TAG", "")
ADDRESS_A = "10.211.0.1"
ADDRESS_B = "10.211.0.2"
PEER_PORT = 21120


def can_run_32bit():
    """True when this machine runs 32-bit Windows programs: the 32-bit Wine loader starts, which
    needs both a kernel that executes 32-bit code and 32-bit Wine. The one check for it: it picks
    the build the tests run, and tells whether the shipped build needs a test under emulation."""
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True, timeout=20).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def windows_build():
    """(wine loader, folder holding caldervine.exe and driver.exe)."""
    forced = os.environ.get("CALDERVINE_WIN_ARCH")
    use32 = forced == "win32" or (forced is None and can_run_32bit())
    if use32:
        return "/usr/lib/wine/wine", os.path.join(ROOT, "build", "win32")
    return "/usr/lib/wine/wine64", os.path.join(ROOT, "build", "win64")


WINE, WIN_BUILD = windows_build()
CALDERVINE_EXE = os.path.join(WIN_BUILD, "caldervine.exe")
DRIVER_EXE = os.path.join(WIN_BUILD, "tests", "driver", "driver.exe")
STATE_DIR = os.path.join(ROOT, "build", "e2e")
MARLETT = "/usr/share/wine/fonts/marlett.ttf"  # package fonts-wine


def sh(*args, check=True, **kw):
    return subprocess.run(list(args), check=check, capture_output=True, text=True, **kw)


def _display_in_use(n):
    """True while an X server holds display :n. A server that was killed leaves its lock and
    socket behind; those are removed so the number can be used again."""
    lock = f"/tmp/.X{n}-lock"
    try:
        with open(lock) as f:
            pid = int(f.read().strip() or 0)
    except FileNotFoundError:
        return os.path.exists(f"/tmp/.X11-unix/X{n}")
    except (OSError, ValueError):
        return True
    if pid > 0 and os.path.exists(f"/proc/{pid}"):
        return True
    for stale in (lock, f"/tmp/.X11-unix/X{n}"):
        with contextlib.suppress(OSError):
            os.remove(stale)
    return False


def _free_display():
    for n in range(60, 400):
        if not _display_in_use(n):
            return n
    raise RuntimeError("no free X display number")


class Host:
    """One network namespace with a display and a Wine prefix of its own.

    `build` is (wine loader, folder holding caldervine.exe and tests/driver/driver.exe); by
    default the build chosen for this machine. `wrapper` is a command that every process of the
    host runs under, inside the namespace (for example one that sets up emulation)."""

    def __init__(self, name, address, build=None, wrapper=()):
        self.name = name
        self.address = address
        self.wine, folder = build or (WINE, WIN_BUILD)
        self.exe = os.path.join(folder, "caldervine.exe")
        self.driver_exe = os.path.join(folder, "tests", "driver", "driver.exe")
        self.wrapper = list(wrapper)
        self.display = None
        self.xvfb = None
        self.prefix = os.path.join(STATE_DIR, "prefix-" + name)
        self.boot_timeout = 300  # for making the prefix
        self.processes = []

    # -- running things inside the namespace ------------------------------------------------
    def env(self):
        env = dict(os.environ)
        env.update(WINEPREFIX=self.prefix, WINEDEBUG="-all", DISPLAY=f":{self.display}",
                   WINEDLLOVERRIDES="mscoree,mshtml=")
        return env

    def argv(self, *args):
        return ["ip", "netns", "exec", self.name, *self.wrapper, *args]

    def popen(self, args, cwd=None, **kw):
        p = subprocess.Popen(self.argv(*args), cwd=cwd, env=self.env(), start_new_session=True, **kw)
        self.processes.append(p)
        return p

    def run(self, args, timeout=60, cwd=None):
        return subprocess.run(self.argv(*args), cwd=cwd, env=self.env(), capture_output=True, text=True,
                              timeout=timeout)

    def run_wine(self, args, timeout=300):
        """A Wine command to its end. Its output goes to a file, not a pipe: the Wine services it
        starts stay running and would hold a pipe open long after the command has ended."""
        with tempfile.TemporaryFile() as log:
            code = subprocess.run(self.argv(*args), env=self.env(), stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=log, timeout=timeout).returncode
            log.seek(0)
            return code, log.read().decode(errors="replace")

    def wine_argv(self):
        """The command prefix that runs a Windows program on this host (for the driver)."""
        return self.argv(self.wine)

    # -- life cycle -----------------------------------------------------------------------------
    def start(self):
        self.display = _free_display()
        self.xvfb = self.popen(["Xvfb", f":{self.display}", "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 20
        while not os.path.exists(f"/tmp/.X11-unix/X{self.display}"):
            if time.time() > deadline:
                raise RuntimeError("Xvfb did not start")
            time.sleep(0.05)
        # A prefix is made from nothing wherever it is asked for, parents included: a fresh clone
        # (or a cache folder named for the first time) has none of them yet.
        os.makedirs(os.path.dirname(self.prefix), exist_ok=True)
        # Written once the prefix is complete: a prefix whose making was cut short (a time-out,
        # a test stopped) already has drive_c but is made again from nothing.
        ready = os.path.join(self.prefix, "caldervine-ready")
        fresh = not os.path.exists(ready)
        # The wineserver of this prefix must start inside this namespace, and stay for the test.
        self.kill_wine()
        if fresh:
            shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(self.argv("/usr/lib/wine/wineserver", "-p"), env=self.env(), timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        if fresh:
            _, output = self.run_wine([self.wine, "wineboot", "-i"], timeout=self.boot_timeout)
            if not os.path.isdir(os.path.join(self.prefix, "drive_c")):
                raise RuntimeError("wineboot failed: " + output[-2000:])
            # Without a window manager, Wine draws the frames itself only for unmanaged windows:
            # this gives screenshots a real caption with the icon, title and buttons.
            code, output = self.run_wine([self.wine, "reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v",
                                          "Managed", "/d", "N", "/f"])
            if code != 0:
                raise RuntimeError("reg add failed: " + output[-2000:])
            open(ready, "w").close()
        # Debian's Wine looks for its own fonts only in the prefix, and puts none there: without
        # Marlett the frame it draws spells its buttons' symbols in another font, as "0 1 r".
        # Prefixes made before this, a cached one too, get it here.
        fonts = os.path.join(self.prefix, "drive_c", "windows", "Fonts")
        if not os.path.exists(os.path.join(fonts, "marlett.ttf")):
            shutil.copy(MARLETT, fonts)

    def kill_wine(self):
        for args in (["-k"], ["-w"]):
            with contextlib.suppress(subprocess.TimeoutExpired):
                subprocess.run(self.argv("/usr/lib/wine/wineserver", *args), env=self.env(), timeout=30,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)

    def stop(self):
        self.kill_wine()
        if self.xvfb is not None and self.xvfb.poll() is None:
            self.xvfb.terminate()  # lets Xvfb remove its lock and socket
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.xvfb.wait(timeout=5)
        for p in reversed(self.processes):
            if p.poll() is None:
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(p.pid, signal.SIGKILL)
                with contextlib.suppress(subprocess.TimeoutExpired):
                    p.wait(timeout=10)
        self.processes = []

    # -- Caldervine on this host -----------------------------------------------------------
    def start_caldervine(self, workdir, wait_listening=True, timeout=120):
        """Starts caldervine.exe in `workdir`; returns its Popen (of the wine loader).

        Wine that is still winding down after kill_wine() can take a new program with it, so a
        program that ends before it listens is started once more."""
        for attempt in (1, 2):
            p = self.popen([self.wine, self.exe], cwd=workdir, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
            if not wait_listening:
                return p
            deadline = time.time() + timeout
            while time.time() < deadline and p.poll() is None:
                if self.listening():
                    return p
                time.sleep(0.1)
            if p.poll() is None or attempt == 2:
                break
            time.sleep(2)
        if self.listening():
            return p
        raise RuntimeError(f"nothing listens on {self.name}:{PEER_PORT} "
                           f"(program {'still running' if p.poll() is None else 'ended with ' + str(p.returncode)})")

    def listening(self, port=PEER_PORT):
        r = self.run(["ss", "-Hltn", f"sport = :{port}"], timeout=10)
        return f":{port}" in r.stdout

    def wait_listening(self, timeout=60, port=PEER_PORT):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if self.listening(port):
                return
            time.sleep(0.1)
        raise RuntimeError(f"nothing listens on {self.name}:{port}")

    def driver(self):
        from driver import Driver
        return Driver(self.wine_argv(), self.env(), self.driver_exe)

    def screenshot(self, path):
        subprocess.run(["import", "-display", f":{self.display}", "-window", "root", path], check=True,
                       env=self.env(), timeout=30)


_libc = None


def netns_socket(host, family=socket.AF_INET, kind=socket.SOCK_STREAM):
    """A socket that lives in `host`'s namespace, made from this process: the calling thread
    enters the namespace just long enough to create it."""
    global _libc
    import ctypes
    if _libc is None:
        _libc = ctypes.CDLL(None, use_errno=True)
    own = os.open("/proc/thread-self/ns/net", os.O_RDONLY)
    target = os.open(f"/var/run/netns/{host.name}", os.O_RDONLY)
    try:
        if _libc.setns(target, 0x40000000) != 0:  # CLONE_NEWNET
            raise OSError(ctypes.get_errno(), "setns failed")
        try:
            return socket.socket(family, kind)
        finally:
            _libc.setns(own, 0x40000000)
    finally:
        os.close(own)
        os.close(target)


def connect_to(host_from, address, port=PEER_PORT, timeout=10):
    """A TCP connection from inside `host_from` to address:port."""
    s = netns_socket(host_from)
    s.settimeout(timeout)
    s.connect((address, port))
    return s


def listen_on(host, port=PEER_PORT):
    """A listening TCP socket inside `host` (a scripted peer)."""
    s = netns_socket(host)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", port))
    s.listen(4)
    return s


class Network:
    """Two hosts, A and B, joined by a veth pair. Use as a context manager."""

    def __init__(self, suffix=""):
        suffix = HOST_TAG + suffix
        self.a = Host("cvA" + suffix, ADDRESS_A)
        self.b = Host("cvB" + suffix, ADDRESS_B)
        self.link_a = "cvA" + suffix + "-e"
        self.link_b = "cvB" + suffix + "-e"

    def __enter__(self):
        self._remove()
        for h in (self.a, self.b):
            sh("ip", "netns", "add", h.name)
            sh("ip", "netns", "exec", h.name, "ip", "link", "set", "lo", "up")
        sh("ip", "link", "add", self.link_a, "type", "veth", "peer", "name", self.link_b)
        for h, link in ((self.a, self.link_a), (self.b, self.link_b)):
            sh("ip", "link", "set", link, "netns", h.name)
            sh("ip", "netns", "exec", h.name, "ip", "addr", "add", h.address + "/24", "dev", link)
            sh("ip", "netns", "exec", h.name, "ip", "link", "set", link, "up")
        try:
            self.a.start()
            self.b.start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for h in (self.a, self.b):
            with contextlib.suppress(Exception):
                h.stop()
        self._remove()

    def _remove(self):
        for h in (self.a, self.b):
            sh("ip", "netns", "del", h.name, check=False)

    def set_link(self, up):
        for h, link in ((self.a, self.link_a), (self.b, self.link_b)):
            sh("ip", "netns", "exec", h.name, "ip", "link", "set", link, "up" if up else "down")


def make_workdir(share_files=None, incoming=True, share=True, base=None):
    """A work folder with Share (holding `share_files`: {name: bytes or None for a sub-folder})
    and Incoming. Returns its path; the caller removes it."""
    root = tempfile.mkdtemp(prefix="cv-work-", dir=base)
    if share:
        os.mkdir(os.path.join(root, "Share"))
        for name, content in (share_files or {}).items():
            path = os.path.join(root, "Share", name)
            if content is None:
                os.mkdir(path)
            else:
                with open(path, "wb") as f:
                    f.write(content)
    if incoming:
        os.mkdir(os.path.join(root, "Incoming"))
    return root


def pids_in(host, comm_prefix):
    """Pids of processes in `host`'s namespace whose comm starts with `comm_prefix`."""
    want = os.stat(f"/var/run/netns/{host.name}").st_ino
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                if not f.read().startswith(comm_prefix):
                    continue
            if os.stat(f"/proc/{entry}/ns/net").st_ino != want:
                continue
        except OSError:
            continue
        found.append(int(entry))
    return found


def wait_pid(host, comm_prefix, timeout=60):
    """The pid of the first process of `host` whose comm starts with `comm_prefix`, once there is one."""
    return wait_until(lambda: (pids_in(host, comm_prefix) or [None])[0], timeout, interval=0.02,
                      what=f"process {comm_prefix} in {host.name}")


def wineserver(host):
    return wait_pid(host, "wineserver")


def status_field(pid, key):
    """A number of /proc/<pid>/status (VmRSS, VmHWM and Threads, say); None when it has none."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return None


def in_namespace(host, func_source):
    """Runs a Python snippet inside `host`'s namespace (for scripted peers and clients)."""
    return host.popen([sys.executable, "-c", func_source], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def wait_until(predicate, timeout, interval=0.1, what="condition"):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    raise AssertionError(f"timed out waiting for {what}")
