#!/usr/bin/env python3
"""One demonstration run of the installer (see scripts/demo): serves the setup program slowly over HTTPS, runs the
installer under Wine, takes screenshots of its window while it downloads and reports what happened."""

import argparse
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "harness"))

from https_server import HttpsTestServer  # noqa: E402

DOWNLOAD_SECONDS = 8
SAVE_NAME = "velmor-cap-setup.exe"


def read_env(run_dir):
    with open(os.path.join(run_dir, "env")) as env_file:
        return dict(line.strip().split("=", 1) for line in env_file if "=" in line)


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def installer_window(env):
    found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Velmor Installer$"], env=env,
                           capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def main():
    parser = argparse.ArgumentParser()
    for name in ("port", "installer", "tools", "run-dir", "out"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()

    run_env = read_env(args.run_dir)
    env = dict(os.environ, DISPLAY=run_env["DISPLAY"], WINEPREFIX=run_env["WINEPREFIX"], WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    work = os.path.join(args.out, "work")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    for old in os.listdir(args.out):
        if old.startswith("screenshot-") and old.endswith(".png"):
            os.unlink(os.path.join(args.out, old))
    setup_log = os.path.join(work, "setup-log.txt")
    url_log = os.path.join(args.run_dir, "opened-urls.txt")  # see tests/harness/run-setup
    env.update(VELMOR_SETUP_LOG=winpath(setup_log), VELMOR_SETUP_SLEEP_MS="1500")

    pki = os.path.join(args.run_dir, "pki")
    server = HttpsTestServer(os.path.join(pki, "localhost.pem"), os.path.join(pki, "localhost.key"),
                             port=int(args.port))
    with open(os.path.join(args.tools, "fake_setup.exe"), "rb") as program:
        server.files["setup"] = program.read()
    rate = len(server.files["setup"]) // DOWNLOAD_SECONDS
    for path in ("/velmor-cap/release", "/velmor-cap/ebwebview"):
        server.aliases[path] = "/slowfile/setup/%d" % rate

    with server:
        print("demo: serving a %d-byte setup program at about %d KB/s on https://localhost:%s"
              % (len(server.files["setup"]), rate // 1024, args.port))
        started = time.monotonic()
        installer = subprocess.Popen(["wine", os.path.abspath(args.installer)], cwd=work, env=env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shots = []
        while installer.poll() is None and time.monotonic() - started < 120:
            window = installer_window(env)
            if window and len(shots) < 12:
                shot = os.path.join(args.out, "screenshot-%02d.png" % (len(shots) + 1))
                if subprocess.run(["import", "-window", window, shot], env=env, capture_output=True).returncode == 0:
                    shots.append(shot)
            time.sleep(0.7)
        if installer.poll() is None:
            installer.kill()
            print("demo: the installer did not finish within two minutes")
        code = installer.wait()
        elapsed = time.monotonic() - started

    fetched = [path for path in server.requests if path.startswith("/velmor-cap/")]
    record = {}
    if os.path.exists(setup_log):
        with open(setup_log, encoding="utf-8") as log:
            record = dict(line.split("=", 1) for line in log.read().splitlines() if "=" in line)
    print("demo: fetched %s" % ", ".join("https://localhost:%s%s" % (args.port, path) for path in fetched))
    print("demo: the setup program %s in %s with the installer window %s"
          % ("ran" if record.get("ended") == "1" else "did NOT run", record.get("cwd", "?"),
             "hidden" if record.get("window_visible") == "0" else "visible"))
    print("demo: %s was %s" % (SAVE_NAME, "still there" if os.path.exists(os.path.join(work, SAVE_NAME))
                               else "deleted afterwards"))
    if os.path.exists(url_log):
        print("demo: the browser was asked to open: %s" % open(url_log, encoding="utf-8").read().split())
    print("demo: the installer exited with code %d after %.1f s" % (code, elapsed))
    print("demo: %d screenshots in %s" % (len(shots), args.out))
    return 0 if code == 0 and record.get("ended") == "1" and shots else 1


if __name__ == "__main__":
    sys.exit(main())
