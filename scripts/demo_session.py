#!/usr/bin/env python3
"""One demonstration run of the installer (see scripts/demo): serves the setup program slowly over HTTPS, runs the
installer under Wine, takes screenshots of its window while it downloads and reports what happened. Exits non-zero
unless the installer fetched the setup program, ran it with its own window hidden, deleted it and exited with 0.
Then shows the window as a screen scaled to 150 % (144 DPI) shows it, in one more screenshot, and closes it."""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # nothing of the run goes into the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))

from https_server import HttpsTestServer  # noqa: E402
from wine_env import PRODUCT, WineRun, read_record, winpath  # noqa: E402

DOWNLOAD_SECONDS = 8
PATHS = (PRODUCT["release_path"], PRODUCT["webview_path"])
TITLE = PRODUCT["window_title"]
MAX_SHOTS = 12
DESKTOP = r"HKCU\Control Panel\Desktop"


def scaled_screenshot(run, installer_path, work, shot):
    # Wine takes the DPI from LogPixels when a process starts. The window at 144 DPI, in the middle of a download; its
    # close glyph then ends it (the next run removes what it left).
    run.wine("reg", "add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "144", "/f")
    try:
        installer = run.popen([os.path.abspath(installer_path)], work)
        deadline, window = time.monotonic() + 30, None
        while not window and time.monotonic() < deadline:
            time.sleep(0.5)
            window = run.visible_window(TITLE)
        time.sleep(1.5)  # some of the download, some of the speed
        taken = window and subprocess.run(["import", "-window", window, shot], env=run.env()).returncode == 0
        if window:
            subprocess.run(["xdotool", "mousemove", "--window", window, "807", "39", "click", "1"], env=run.env())
        try:
            installer.wait(10)
        except subprocess.TimeoutExpired:
            installer.kill()
        return taken
    finally:
        run.wine("reg", "add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "96", "/f")


def main():
    parser = argparse.ArgumentParser()
    for name in ("port", "installer", "tools", "run-dir", "out"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()

    run = WineRun(args.run_dir)
    work = os.path.join(args.out, "work")
    shots_dir = os.path.join(args.out, "screenshots")
    for folder in (work, shots_dir):
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
    setup_log = os.path.join(work, "setup-log.txt")
    url_log = os.path.join(args.run_dir, "opened-urls.txt")  # see wine/run-setup

    server = HttpsTestServer(*run.certificate(), port=int(args.port))
    with open(os.path.join(args.tools, "fake_setup.exe"), "rb") as program:
        server.files["setup"] = program.read()
    rate = len(server.files["setup"]) // DOWNLOAD_SECONDS
    for path in PATHS:
        server.aliases[path] = "/slowfile/setup/%d" % rate

    staged_before = run.staging_folders()
    with server:
        print("demo: serving a %d-byte setup program at about %d KB/s on https://localhost:%s"
              % (len(server.files["setup"]), rate // 1024, args.port))
        started = time.monotonic()
        installer = run.popen([os.path.abspath(args.installer)], work, VELMOR_SETUP_LOG=winpath(setup_log),
                              VELMOR_SETUP_SLEEP_MS=1500)
        shots = []
        while installer.poll() is None and time.monotonic() - started < 120:
            window = run.visible_window(TITLE)
            if window and len(shots) < MAX_SHOTS:
                shot = os.path.join(shots_dir, "screenshot-%02d.png" % (len(shots) + 1))
                if subprocess.run(["import", "-window", window, shot], env=run.env(),
                                  capture_output=True).returncode == 0:
                    shots.append(shot)
            time.sleep(0.7)
        if installer.poll() is None:
            installer.kill()
            print("demo: the installer did not finish within two minutes")
        code = installer.wait()
        elapsed = time.monotonic() - started
        fetched = [path for path in server.requests if path in PATHS]
        record = read_record(setup_log)
        deleted_before = run.staging_folders() == staged_before
        scaled = scaled_screenshot(run, args.installer, work, os.path.join(shots_dir, "screenshot-144dpi.png"))

    ran = record.get("ended") == "1"
    hidden = record.get("window_visible") == "0"
    # It runs from a folder of its own that only administrators can write, which goes with it.
    staged = record.get("cwd", "").lower().startswith("c:\\windows\\temp\\" + PRODUCT["staging_prefix"].lower())
    deleted = staged and not os.path.exists(run.unix_path(record["cwd"])) and deleted_before
    print("demo: fetched %s" % (", ".join("https://localhost:%s%s" % (args.port, path) for path in fetched)
                                or "NOTHING"))
    print("demo: the setup program %s in %s with the installer window %s"
          % ("ran" if ran else "did NOT run", record.get("cwd", "?"), "hidden" if hidden else "NOT hidden"))
    print("demo: the setup program and its folder were %s" % ("deleted afterwards" if deleted else "NOT deleted"))
    if os.path.exists(url_log):
        print("demo: the browser was asked to open: %s" % open(url_log, encoding="utf-8").read().split())
    print("demo: the installer exited with code %d after %.1f s" % (code, elapsed))
    print("demo: %d screenshots of the window in %s, and %s at 144 DPI" % (
        len(shots), os.path.abspath(shots_dir), "one" if scaled else "NONE"))
    passed = code == 0 and len(fetched) == 1 and ran and hidden and deleted and shots and scaled
    print("demo: %s" % ("PASSED" if passed else "FAILED"))
    return 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
