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

IDM_CONNECT, IDC_ADDRESS, IDD_CONNECT_OK = 40000, 53, 50


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
        net.b.start_caldervine(share_b)
        net.a.start_caldervine(share_a)
        a, b = net.a.driver(), net.b.driver()
        try:
            a.find_main()
            b.find_main()
            a.menu(IDM_CONNECT)
            a.wait_dialog(True)
            a.set_text("dialog", IDC_ADDRESS, harness.ADDRESS_B)
            time.sleep(0.5)
            crop(net.a, a, "dialog", os.path.join(out, "connect-dialog.png"))
            a.click("dialog", IDD_CONNECT_OK)
            listing = a.wait_list("remote", 5, 10000)
            index = next(i for i, e in enumerate(listing["items"]) if "holiday photos.zip" in e)
            a.select("remote", index)
            a.dblclick("remote", index)
            harness.wait_until(lambda: a.progress("download") >= 20, 60, what="download under way")
            crop(net.a, a, "main", os.path.join(out, "main-window.png"))
            crop(net.b, b, "main", os.path.join(out, "sharing-window.png"))
            box = a.msgbox(120000)
            if box:
                a.answer("ok")
        finally:
            a.close()
            b.close()
            for folder in (share_a, share_b):
                subprocess.run(["rm", "-rf", folder])


if __name__ == "__main__":
    main()
