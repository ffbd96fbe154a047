# Drives the test build of the installer under Wine: the run's prefix and display, the local HTTPS server it downloads
# from (https://localhost:<VELMOR_TEST_PORT>/velmor-cap/...; https://support.localhost:... is its customer-service
# page), its window (through xdotool) and its message boxes (through "test_helper.exe box" in the prefix). The
# prefix's https handler ("fake_setup.exe url") logs what the installer opens, and which program started it, to
# URL_LOG. Run as a program, it serves the downloader's test (serve_for).

import contextlib
import os
import resource
import signal
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "wine"))

from https_server import HttpsTestServer  # noqa: E402
from wine_env import PRODUCT, WineRun, read_record, winpath  # noqa: E402

RUN = WineRun(os.environ["VELMOR_RUN_DIR"])
TOOL = os.path.join(os.environ["VELMOR_TOOLS_DIR"], "fake_setup.exe")  # the setup program
HELPER = os.path.join(os.environ["VELMOR_TOOLS_DIR"], "test_helper.exe")  # box, tamper, hold
PORT = int(os.environ["VELMOR_TEST_PORT"])
RELEASE_PATH, WEBVIEW_PATH = PRODUCT["release_path"], PRODUCT["webview_path"]
SETUP_NAME, TITLE, CAPTION = PRODUCT["setup_name"], PRODUCT["window_title"], PRODUCT["box_caption"]
CONFIG_FOLDER = os.path.join(RUN.profile_dir(), PRODUCT["config_folder"])  # the per-user folder, and its file
CONFIG = os.path.join(CONFIG_FOLDER, PRODUCT["config_file"])
OURS = (PRODUCT["display_name"].encode(), str(PRODUCT["product_id"]).encode())  # this product's entry, but its channel
DOWNLOAD_URL = "https://localhost:%d%s" % (PORT, WEBVIEW_PATH)
SUPPORT_URL = "https://support.localhost:%d" % PORT
URL_LOG = os.path.join(RUN.run_dir, "opened-urls.txt")
CLOSE_GLYPH = (538, 26)
_CHOICE = "\n\n" + PRODUCT["page_opened"] + "\n\n" + PRODUCT["ask_support"]
DOWNLOAD_FAILED_TEXT = PRODUCT["download_failed"] + _CHOICE
LAUNCH_FAILED_TEXT = PRODUCT["launch_failed"] + _CHOICE
with open(TOOL, "rb") as _program:
    SETUP = _program.read()
# Another setup program as long: one byte of the PE header's time stamp differs.
SETUP2 = bytearray(SETUP)
SETUP2[int.from_bytes(SETUP[0x3C:0x40], "little") + 8] ^= 1


def built(target):
    # A test build of the installer, by its target name (see tests/windows.cmake).
    return os.path.join(os.environ["VELMOR_TEST_BUILD"], target + ".exe")


INSTALLER = built("VelmorInstallerUnderTest")


def xdotool(*args):
    return subprocess.run(["xdotool", *args], env=RUN.env(), capture_output=True, text=True, timeout=20,
                          check=True).stdout.strip()


def wait_until(predicate, timeout):
    deadline = time.monotonic() + timeout
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.1)
    return predicate()


def serve(server, route):
    # The server answers both of the installer's download paths with route.
    server.aliases.update({RELEASE_PATH: route, WEBVIEW_PATH: route})


def make_server(cert="localhost", route="/file/setup", port=PORT, tls=None):
    # A server on the test build's port (or another; 0: a free one) with one of the run's certificates (None: plain
    # HTTP) that answers the installer's paths with route; tls: see HttpsTestServer.
    server = HttpsTestServer(*(RUN.certificate(cert) if cert else (None, None)), port=port, tls=tls)
    # Without "MZ" even Wine with wine32 refuses to start it (it passes a DOS header on to winevdm).
    server.files.update(setup=SETUP, setup2=bytes(SETUP2), **{"not-a-program": b"this is not a program\r\n" * 100})
    serve(server, route)
    return server


class Installer:
    # One run of program in its own current directory (a new one unless given). The setup program records to a
    # file of its own; opened() is what URL_LOG gains from the start on, left_behind() the staging folders that this
    # run made and did not remove.
    def __init__(self, test, directory=None, program=INSTALLER, stderr=subprocess.DEVNULL, **env):
        self.directory = directory or tempfile.mkdtemp(prefix="velmor-installer-")
        self.staged_before = RUN.staging_folders()
        self.setup_log = os.path.join(tempfile.mkdtemp(prefix="velmor-logs-"), "setup-log.txt")
        self.url_log_start = os.path.getsize(URL_LOG) if os.path.exists(URL_LOG) else 0
        self.started = time.monotonic()
        self.process = RUN.popen([program], self.directory, stderr, VELMOR_SETUP_LOG=winpath(self.setup_log), **env)
        test.addCleanup(self.stop)

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)

    # As a context: a case of a table that fails does not leave its installer running into the next case.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def wait(self, timeout):
        # The exit code, or None if the installer still runs after timeout seconds.
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.ended = getattr(self, "ended", time.monotonic())
        return code

    def window(self, timeout=20):
        window = wait_until(lambda: RUN.visible_window(TITLE), timeout)
        if not window:
            raise AssertionError("the installer window did not appear")
        return window

    def opened(self, at_least=0):
        # (address, executable name of the program that started the browser) for each address opened, after
        # waiting up to 10 seconds for at_least of them.
        def read():
            if not os.path.exists(URL_LOG):
                return []
            with open(URL_LOG, "rb") as log:
                log.seek(self.url_log_start)
                return [tuple(line.split("\t", 1)) for line in log.read().decode("utf-8").splitlines()]
        wait_until(lambda: len(read()) >= at_least, 10)
        return read()

    def opened_urls(self, at_least=0):
        return [url for url, _ in self.opened(at_least)]

    def setup_record(self):
        return read_record(self.setup_log)

    def left_behind(self):
        return sorted(RUN.staging_folders() - self.staged_before)

    def answer_box(self, answer, timeout=30, caption=CAPTION):
        # Waits for a box with this caption, answers it (ok, cancel, esc or close) and returns (whether the
        # installer's window was visible, the box's text). The helper is started again when Wine fails to run it
        # (an exit code other than its own 0 and 3), as a CI run once saw at once with exit code 1.
        deadline = time.monotonic() + timeout
        while True:
            left = max(1.0, deadline - time.monotonic())
            result = RUN.wine(HELPER, "box", caption, str(int(left * 1000)), answer, timeout=left + 20,
                              WINEDEBUG="-all,err+all")
            if result.returncode in (0, 3) or time.monotonic() >= deadline:
                break
            sys.stderr.write("box helper exit %d, started again: %s\n" % (result.returncode, result.stderr.decode()))
        if result.returncode != 0:
            raise AssertionError("no message box %r appeared (exit %d): %s" % (caption, result.returncode,
                                                                              result.stderr.decode()))
        first, _, text = result.stdout.decode("utf-8").partition("\n")
        return first == "installer_visible=1", text

    def fail_and_close(self, test, answer="cancel", timeout=30):
        # After a failed download: the box says so over the window, which stays open after the answer until its
        # close glyph is used; then the installer exits with 0 having started nothing.
        test.assertEqual(self.answer_box(answer, timeout), (True, DOWNLOAD_FAILED_TEXT))
        test.assertIsNone(self.wait(1.0), "the installer must stay open after a failed download")
        self.release_at(*CLOSE_GLYPH)
        test.assertEqual(self.wait(10), 0, "the installer did not close cleanly")
        test.assertEqual(self.setup_record(), {}, "a setup program was started")
        test.assertEqual(self.left_behind(), [], "a partial setup program was left behind")

    def release_at(self, x, y, press_at=None):
        # Presses the left button (at press_at, or at x, y) and releases it at x, y, in window coordinates.
        window = self.window()
        xdotool("mousemove", "--window", window, *map(str, press_at or (x, y)))
        xdotool("mousedown", "1")
        xdotool("mousemove", "--window", window, str(x), str(y))
        xdotool("mouseup", "1")


class InstallerTestCase(unittest.TestCase):
    # One test server for the whole class; each test maps the installer's paths anew with serve().
    @classmethod
    def setUpClass(cls):
        cls.server = make_server().start()
        cls.addClassCleanup(cls.server.stop)

    def setUp(self):
        self.server.take_requests()

    def serve(self, route):
        serve(self.server, route)

    def downloads(self):
        return [path for path in self.server.take_requests() if path in (RELEASE_PATH, WEBVIEW_PATH)]


def serve_for(command):
    # Runs command while servers are up and returns its exit code: the test build's server on VELMOR_TEST_PORT, and
    # on the port in VELMOR_<KIND>_PORT of its environment one with a certificate that nothing trusts (UNTRUSTED), for
    # another name (OTHERHOST), expired (EXPIRED), one that accepts only TLS 1.0 and 1.1 (TLS_10_11) and one that
    # speaks plain HTTP (PLAIN). The command cannot make a file larger than FILE_SIZE_LIMIT: a longer write fails, as
    # on a full disk.
    kinds = {"UNTRUSTED": ("selfsigned", None), "OTHERHOST": ("otherhost", None), "EXPIRED": ("expired", None),
             "TLS_10_11": ("localhost", (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1)), "PLAIN": (None, None)}
    with contextlib.ExitStack() as stack:
        stack.enter_context(make_server())
        env = dict(os.environ, **{"VELMOR_%s_PORT" % kind: str(stack.enter_context(make_server(cert, port=0, tls=tls)).port)
                                  for kind, (cert, tls) in kinds.items()})
        return subprocess.call(command, env=env, preexec_fn=limit_file_size)


FILE_SIZE_LIMIT = 3 << 20


def limit_file_size():
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # the write fails instead of ending the process
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, FILE_SIZE_LIMIT))


if __name__ == "__main__":
    # installer_harness.py -- <command> [arguments...]: see serve_for.
    sys.exit(serve_for(sys.argv[sys.argv.index("--") + 1:]))
