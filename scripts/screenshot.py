#!/usr/bin/env python3
"""Takes PNG screenshots of Caldervine's windows under Xvfb, during a real transfer between two
copies on two test hosts: docs/main-window.png (the fetching copy: its download bar moving, the
peer's listing and the requested entry), docs/sharing-window.png (the sharing copy: its upload bar
moving) and docs/connect-dialog.png (the connect dialog with an address typed in).

Run as root: python3 scripts/screenshot.py [output folder]
"""
import os
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402
from program import IDD_CONNECT_OK, Copy, answer_box, choose, fill_connect  # noqa: E402


def crop(host, driver, which, path):
    shot = path + ".full.png"
    host.screenshot(shot)
    left, top, right, bottom = driver.rect(which)["window"]
    subprocess.run(["convert", shot, "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage", path],
                   check=True)
    os.remove(shot)
    print("wrote", path)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "docs")
    os.makedirs(out, exist_ok=True)
    big = 768 * 1024 * 1024
    with harness.Network(suffix="shot") as net:
        share_b = harness.make_workdir({"holiday photos.zip": b"", "notes.txt": b"Meeting at ten.\n" * 40,
                                        "report-2026.pdf": os.urandom(150000)})
        with open(os.path.join(share_b, "Share", "holiday photos.zip"), "wb") as f:
            f.truncate(big)  # sparse: costs the sharing host no disk
        share_a = harness.make_workdir({"readme.txt": b"Hello from A\n"})
        sharing, fetching = Copy(net.b, share_b), Copy(net.a, share_a)
        try:
            sharing.start()
            fetching.start()
            a, b = fetching.driver, sharing.driver
            fill_connect(a, harness.ADDRESS_B)
            time.sleep(0.5)
            crop(net.a, a, "dialog", os.path.join(out, "connect-dialog.png"))
            a.click("dialog", IDD_CONNECT_OK)
            a.wait_list("remote", 5, 10000)
            choose(a, "holiday photos.zip", big)
            harness.wait_until(lambda: a.progress("download") >= 20, 60, what="download under way")
            crop(net.a, a, "main", os.path.join(out, "main-window.png"))
            crop(net.b, b, "main", os.path.join(out, "sharing-window.png"))
            answer_box(a, "ok", 120000)
        finally:
            fetching.kill()
            sharing.kill()
            for folder in (share_a, share_b):
                subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    main()
