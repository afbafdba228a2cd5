"""The shipped 32-bit program itself, on a host whose kernel cannot execute 32-bit code.

The other end-to-end tests run the 64-bit build of the same sources there. This one runs the
PE32 build under 32-bit Wine, with qemu's user-mode emulator registered for i386 programs just
for the length of the test, and checks the essentials: it starts, listens, lists its Share,
serves a file byte for byte and shows its status in the title. Emulation is slow, so the test
is short. Where 32-bit code runs natively, every other test already uses this build.
"""
import contextlib
import os
import shutil
import subprocess
import unittest

os.environ["CALDERVINE_WIN_ARCH"] = "win32"
import harness  # noqa: E402
import peer_protocol  # noqa: E402

BINFMT = "/proc/sys/fs/binfmt_misc"
PREFIX = "/var/cache/caldervine-e2e/prefix-pe32"
QEMU = shutil.which("qemu-i386")
# i386 ELF executables and shared objects, as qemu's own binfmt rules describe them.
I386_RULE = (r":caldervine-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
             r":\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
             f":{QEMU}:POCF")


def runs_32bit_natively():
    probe = ["/lib/ld-linux.so.2", "--version"]
    try:
        return subprocess.run(probe, capture_output=True, timeout=20).returncode == 0
    except OSError:
        return False


@contextlib.contextmanager
def i386_emulation():
    if not os.path.exists(os.path.join(BINFMT, "register")):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT], check=True)
    entry = os.path.join(BINFMT, "caldervine-i386")
    if not os.path.exists(entry):
        with open(os.path.join(BINFMT, "register"), "w") as f:
            f.write(I386_RULE)
    try:
        yield
    finally:
        with contextlib.suppress(OSError), open(entry, "w") as f:
            f.write("-1")


@unittest.skipIf(runs_32bit_natively(), "32-bit code runs here: every other test uses the 32-bit build")
@unittest.skipIf(QEMU is None, "qemu-i386 is not installed")
class ShippedBuildTest(unittest.TestCase):
    def test_serves_its_share_and_shows_the_peer_in_its_title(self):
        self.assertTrue(harness.CALDERVINE_EXE.endswith(os.path.join("win32", "caldervine.exe")))
        with subprocess.Popen(["i686-w64-mingw32-objdump", "-f", harness.CALDERVINE_EXE],
                              stdout=subprocess.PIPE, text=True) as dump:
            self.assertIn("pei-i386", dump.stdout.read())
        content = bytes(range(256)) * 50 + b"tail"
        workdir = harness.make_workdir({"sample.bin": content})
        host = harness.Host("cvPE32" + harness.HOST_TAG, harness.ADDRESS_A)
        # Setting up a Wine prefix under emulation takes minutes, so this one is kept for the
        # machine rather than for the checkout: later runs, in any clone, start in seconds.
        host.prefix = PREFIX
        try:
            with i386_emulation():
                harness.sh("ip", "netns", "del", host.name, check=False)
                harness.sh("ip", "netns", "add", host.name)
                harness.sh("ip", "netns", "exec", host.name, "ip", "link", "set", "lo", "up")
                host.start()
                host.start_caldervine(workdir, timeout=300)
                peer = harness.connect_to(host, "127.0.0.1", timeout=60)
                listing = peer_protocol.recv_exactly(peer, 3 * peer_protocol.RECORD_SIZE, timeout=60)
                names = sorted(peer_protocol.parse_record(r)[1] for r in peer_protocol.split_records(listing))
                self.assertEqual(names, [b".", b"..", b"sample.bin"])
                peer.sendall(peer_protocol.request_record("sample.bin", 0))
                self.assertEqual(peer_protocol.recv_exactly(peer, len(content), timeout=60), content)
                driver = host.driver()
                try:
                    driver.find_main(120000)
                    self.assertEqual(driver.title(),
                                     "Up/Caldervine...      Server:    Connected           Client: No Connected")
                finally:
                    driver.close()
                peer.close()
        finally:
            host.stop()
            harness.sh("ip", "netns", "del", host.name, check=False)
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    unittest.main()
