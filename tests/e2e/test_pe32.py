"""The shipped 32-bit program, both sides, against the 64-bit build of the same sources.

Host A runs the PE32 build under 32-bit Wine, host B the 64-bit build under wine64, each worked
through its windows by the test driver of its own build. A fetches from B and B from A; each
download is cut by killing the copy that shares the file, then resumed (by a new run of A, and by
B connecting again from its run) and checked byte for byte; at the end A is asked to exit and
answers Yes.

On a host whose kernel cannot execute 32-bit code, A's processes run under qemu's i386 user-mode
emulator, registered with binfmt_misc only for them: in a user namespace of their own where the
kernel allows it (nothing else on the machine sees the rule), otherwise for the whole machine
while this module runs. CALDERVINE_PE32_EMULATE=1 asks for the emulation on a host that runs
32-bit code itself (user namespace only). Emulation is slow, so the files are a few MiB.
"""
import contextlib
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import harness
import program
from program import (CONNECTED, DISCONNECTED, DOWNLOADED, EXIT_CONFIRMED, EXIT_QUESTION, IDM_EXIT, MIB,
                     NOT_CONNECTED, CAPTION_WITH_DOTS, Copy, client_field, entry_text, file_sha, listing_of,
                     settled, size_of, title, write_random)

WIN32 = ("/usr/lib/wine/wine", os.path.join(harness.ROOT, "build", "win32"))
WIN64 = ("/usr/lib/wine/wine64", os.path.join(harness.ROOT, "build", "win64"))
# Making this prefix under emulation takes minutes, but by default it lives in the clone's build
# folder like every other prefix, so a fresh clone makes its own from nothing. Who runs the suite
# often can name a folder kept between clones in CALDERVINE_E2E_CACHE.
PREFIX = os.path.join(os.environ.get("CALDERVINE_E2E_CACHE") or harness.STATE_DIR, "prefix-pe32")

BINFMT = "/proc/sys/fs/binfmt_misc"
QEMU = shutil.which("qemu-i386")
# i386 ELF executables and shared objects, as qemu's own binfmt rules describe them.
RULE_NAME = "caldervine-i386" + harness.HOST_TAG
I386_RULE = (f":{RULE_NAME}:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00"
             r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
             f":{QEMU}:POCF")
# Runs "$@" in a new user and mount namespace whose own binfmt_misc holds the rule ($1).
PRIVATE_RULE = ('rule=$1; shift; mount -t binfmt_misc binfmt_misc ' + BINFMT +
                ' && printf %s "$rule" > ' + BINFMT + '/register && exec "$@"')
PRIVATE_WRAPPER = ["unshare", "--user", "--mount", "--map-root-user", "sh", "-c", PRIVATE_RULE, "sh", I386_RULE]



def private_rules_work():
    """True when this kernel gives a user namespace a binfmt_misc of its own (Linux 6.7 on)."""
    probe = PRIVATE_WRAPPER + ["true"]
    try:
        return subprocess.run(probe, capture_output=True, timeout=20).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


NATIVE = harness.can_run_32bit()
EMULATE = not NATIVE or os.environ.get("CALDERVINE_PE32_EMULATE") == "1"
# Under emulation every 32-bit step is many times slower: more time for each, smaller files.
SLOW = 4 if EMULATE else 1
SIZE = 6 * MIB if EMULATE else 96 * MIB


@contextlib.contextmanager
def machine_wide_rule():
    """The rule registered for every process of the machine, and removed again at the end (with
    binfmt_misc itself unmounted when it was mounted here)."""
    mounted = False
    if not os.path.exists(os.path.join(BINFMT, "register")):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
        mounted = True
    entry = os.path.join(BINFMT, RULE_NAME)
    if not os.path.exists(entry):
        with open(os.path.join(BINFMT, "register"), "w") as f:
            f.write(I386_RULE)
    try:
        yield
    finally:
        with contextlib.suppress(OSError), open(entry, "w") as f:
            f.write("-1")
        if mounted and sorted(os.listdir(BINFMT)) == ["register", "status"]:
            subprocess.run(["umount", BINFMT], check=False)


NET = None
MODE = "native 32-bit"


def setUpModule():
    global NET, MODE
    if not EMULATE:
        wrapper = []
    elif QEMU is None:
        raise unittest.SkipTest("qemu-i386 is not installed")
    elif private_rules_work():
        wrapper, MODE = PRIVATE_WRAPPER, "qemu-i386, rule in a user namespace"
    elif NATIVE:
        # A machine-wide rule would put every other 32-bit program of this machine under qemu.
        raise unittest.SkipTest("32-bit code runs here and this kernel has no per-namespace binfmt_misc")
    else:
        stack = contextlib.ExitStack()
        unittest.addModuleCleanup(stack.close)
        stack.enter_context(machine_wide_rule())
        wrapper, MODE = [], "qemu-i386, rule for the whole machine"
    net = harness.Network(suffix="32")
    net.a = harness.Host(net.a.name, harness.ADDRESS_A, build=WIN32, wrapper=wrapper)
    net.a.prefix = PREFIX
    net.a.boot_timeout = 300 * SLOW
    net.b = harness.Host(net.b.name, harness.ADDRESS_B, build=WIN64)
    started = time.monotonic()
    net.__enter__()
    unittest.addModuleCleanup(net.__exit__, None, None, None)
    print(f"\n  hosts ready in {time.monotonic() - started:.0f} s ({MODE})", flush=True)
    NET = net


class Run(Copy):
    """One run of a copy, with the patience its build needs; keeps its process for the exit code."""

    def __init__(self, host, workdir, slow):
        super().__init__(host, workdir)
        self.slow = slow
        self.process = None

    def start(self):
        self.process = self.host.start_caldervine(self.workdir, timeout=120 * self.slow)
        self.driver = self.host.driver()
        self.driver.find_main(30000 * self.slow)
        return self

    def connect(self, address, entries):
        d = self.driver
        program.connect(d, address, 10000 * self.slow)
        d.wait_title(client_field(CONNECTED), 15000 * self.slow)
        d.wait_list("remote", entries, 20000 * self.slow)

    def choose_by_enter(self, name, size):
        index = self.driver.list_entries("remote").index(entry_text(name, size))
        self.driver.select("remote", index)
        self.driver.key("remote", "enter")


class ShippedBuildTest(unittest.TestCase):
    def setUp(self):
        self.base = tempfile.mkdtemp(prefix="cv-32-")
        self.addCleanup(shutil.rmtree, self.base, ignore_errors=True)

    def run_on(self, host, files, slow):
        copy = Run(host, harness.make_workdir(files, base=self.base), slow)
        self.addCleanup(copy.kill)
        return copy

    def assertSameFile(self, fetched, shared):
        self.assertEqual(size_of(fetched), os.path.getsize(shared), f"size of {fetched}")
        self.assertEqual(file_sha(fetched), file_sha(shared), f"SHA-256 of {fetched}")

    def cut_by_killing_sharer(self, fetcher, sharer, name, bar_owner, bar):
        """Waits until `fetcher` holds 40% of `name` while `bar_owner`'s `bar` shows progress, then
        kills `sharer` (every Wine process of its host). Returns the partial size once `fetcher`
        has seen its connection end; it shows no box for the incomplete file."""
        positions = set()
        path, last, since = fetcher.incoming(name), -2, time.monotonic()
        while size_of(path) < SIZE * 2 // 5:
            positions.add(bar_owner.driver.progress(bar))
            if size_of(path) != last:
                last, since = size_of(path), time.monotonic()
            self.assertLess(time.monotonic() - since, 40 * SLOW, f"{name} stopped growing at {last} bytes")
            time.sleep(0.02)
        sharer.kill()
        self.assertTrue(any(1 <= p <= 99 for p in positions), f"the {bar} bar never moved: {sorted(positions)}")
        fetcher.driver.wait_title(client_field(DISCONNECTED), 30000 * SLOW)
        partial = settled(lambda: size_of(path), 2.0, 30 * SLOW)
        self.assertLess(partial, SIZE, "the download was complete before the kill")
        self.assertEqual(fetcher.driver.progress("download"), 0, "the download bar was not reset")
        self.assertIsNone(fetcher.driver.msgbox(0), "a message box came for an incomplete download")
        return partial

    def resume(self, fetcher, sharer, name, partial):
        """`fetcher` chooses `name` again over its partial copy (with Enter): the sharer's upload
        bar must start where the copy's last checked bytes begin, and the download end identical."""
        fetcher.choose_by_enter(name, SIZE)
        # The request leaves once the listing has been quiet for a moment.
        deadline = time.monotonic() + 30 * SLOW
        while True:
            self.assertGreaterEqual(size_of(fetcher.incoming(name)), partial, "the partial copy shrank")
            position = sharer.driver.progress("upload")
            if position:
                break
            self.assertLess(time.monotonic(), deadline, "the upload bar never moved")
            time.sleep(0.05)
        # The answer starts with the copy's last bytes again, which must be the peer's.
        self.assertGreaterEqual(position, program.resume_offset(partial) * 100 // SIZE,
                                "the upload did not start from the partial copy's end")
        self.assertEqual(fetcher.wait_box(name, stall=40 * SLOW), ("Caldervine...", DOWNLOADED))
        self.assertSameFile(fetcher.incoming(name), sharer.share(name))

    def test_fetches_serves_resumes_and_exits(self):
        """a: the 32-bit copy on host A; b: the 64-bit copy on host B."""
        with subprocess.Popen(["i686-w64-mingw32-objdump", "-f", NET.a.exe], stdout=subprocess.PIPE,
                              text=True) as dump:
            self.assertIn("pei-i386", dump.stdout.read())
        a = self.run_on(NET.a, {"note.txt": b"from the 32-bit copy\r\n"}, SLOW)
        b = self.run_on(NET.b, {}, 1)
        write_random(a.share("to-b.bin"), SIZE)
        write_random(b.share("to-a.bin"), SIZE)
        b.start()
        a.start()
        # Each connects to the other: A fetches over its connection, B over its own.
        a.connect(harness.ADDRESS_B, 3)
        self.assertEqual(sorted(a.driver.list_entries("remote")), listing_of(os.path.join(b.workdir, "Share")))
        b.connect(harness.ADDRESS_A, 4)
        self.assertEqual(sorted(b.driver.list_entries("remote")), listing_of(os.path.join(a.workdir, "Share")))
        a.driver.wait_title(title(CONNECTED, NOT_CONNECTED), 10000 * SLOW)

        # The 32-bit copy fetches (chosen by a double-click); the 64-bit sharer is killed mid-file.
        a.choose("to-a.bin", SIZE)
        to_a = self.cut_by_killing_sharer(a, b, "to-a.bin", a, "download")

        # The 32-bit copy serves a new run of B; it is killed mid-file in its turn.
        b.start()
        b.connect(harness.ADDRESS_A, 4)
        b.choose("to-b.bin", SIZE)
        to_b = self.cut_by_killing_sharer(b, a, "to-b.bin", a, "upload")

        # A new run of A resumes its download from B's current run.
        a.start()
        a.connect(harness.ADDRESS_B, 3)
        self.resume(a, b, "to-a.bin", to_a)

        # B, whose connection ended with A's run, connects again from the same run and resumes.
        b.connect(harness.ADDRESS_A, 4)
        self.resume(b, a, "to-b.bin", to_b)

        a.driver.menu(IDM_EXIT)
        box = a.driver.msgbox(10000 * SLOW)
        self.assertIsNotNone(box, "no exit question")
        self.assertEqual((box["caption"], box["text"]), (CAPTION_WITH_DOTS, EXIT_QUESTION))
        a.driver.answer("yes", 5000 * SLOW)
        self.assertEqual(a.process.wait(timeout=60 * SLOW), EXIT_CONFIRMED)
        harness.wait_until(lambda: not NET.a.listening(), 10 * SLOW, what="A's port to be free")


if __name__ == "__main__":
    unittest.main()
