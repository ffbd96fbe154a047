"""Drives the test build of the installer under Wine: the run's prefix and display, the local HTTPS server it
downloads from, its window (through xdotool) and its message boxes (through box_tool.exe inside the prefix).

The test build fetches https://localhost:<VELMOR_TEST_PORT>/velmor-cap/... and offers https://support.localhost:...
as its customer-service page. The prefix's https handler is url_recorder.exe, which logs what the installer opens,
and which program started it, to the run's URL_LOG.
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))

from https_server import HttpsTestServer  # noqa: E402
from wine_env import WineRun, read_record, winpath  # noqa: E402,F401

RUN = WineRun(os.environ["VELMOR_RUN_DIR"])
TOOLS_DIR = os.environ["VELMOR_TOOLS_DIR"]
INSTALLER = os.environ["VELMOR_INSTALLER"]
INSTALLER_WITHOUT_BACKGROUND = os.environ["VELMOR_INSTALLER_WITHOUT_BACKGROUND"]  # the same without bitmap 102
RETRY_INSTALLER = os.environ["VELMOR_RETRY_INSTALLER"]  # the same, built with three download attempts
PORT = int(os.environ["VELMOR_TEST_PORT"])

RELEASE_PATH = "/velmor-cap/release"
WEBVIEW_PATH = "/velmor-cap/ebwebview"
DOWNLOAD_ORIGIN = "https://localhost:%d" % PORT
SUPPORT_URL = "https://support.localhost:%d" % PORT
SAVE_NAME = "velmor-cap-setup.exe"
WINDOW_TITLE = "Velmor Installer"
BOX_CAPTION = "系统提示"

DOWNLOAD_FAILED_TEXT = ("下载失败，请检查网络连接或联系客服。\n\n已为您打开下载页面，请手动安装。\n\n"
                        "点击\"确定\"联系客服\n点击\"取消\"稍后处理")
LAUNCH_FAILED_TEXT = ("安装程序启动失败，请检查安装包或联系客服。\n\n已为您打开下载页面，请手动安装。\n\n"
                      "点击\"确定\"联系客服\n点击\"取消\"稍后处理")

WEBVIEW2_MACHINE_KEY = (r"HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node\Microsoft\EdgeUpdate\Clients"
                        r"\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}")
WEBVIEW2_USER_KEY = r"HKEY_CURRENT_USER\Software\Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"

wine_env = RUN.env
wine = RUN.wine
profile_dir = RUN.profile_dir
URL_LOG = os.path.join(RUN.run_dir, "opened-urls.txt")


def import_registry(lines):
    """Applies a REGEDIT4 script in one Wine call. A line "[-KEY]" deletes KEY with everything under it."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False, encoding="utf-8") as script:
        script.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    try:
        # Into the registry that 64-bit programs see, the 32-bit view included through its WOW6432Node keys.
        result = wine("reg", "import", winpath(script.name), "/reg:64")
        if result.returncode != 0:
            raise RuntimeError("reg import failed: %r" % result)
    finally:
        os.unlink(script.name)


def reg_string(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def xdotool(*args, check=True):
    result = subprocess.run(["xdotool", *args], env=wine_env(), capture_output=True, text=True, timeout=20)
    if check and result.returncode != 0:
        raise RuntimeError("xdotool %s failed: %s" % (" ".join(args), result.stderr))
    return result.stdout.strip()


def wait_until(predicate, timeout, interval=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


def visible_installer_window():
    """The X window id of a visible installer window, or None."""
    return RUN.visible_window(WINDOW_TITLE)


def serve(server, route, paths=(RELEASE_PATH, WEBVIEW_PATH)):
    """Answers the installer's download paths on server with one of its routes."""
    for path in paths:
        server.aliases[path] = route


class Installer:
    """One run of the installer under test (or of program), in its own current directory (a new one unless given).
    What the setup program records goes to a file in a folder of its own; what is opened in the browser is what the
    run's URL_LOG gains from the start on."""

    def __init__(self, test, directory=None, program=INSTALLER, stderr=subprocess.DEVNULL, **env):
        self.directory = directory or tempfile.mkdtemp(prefix="velmor-installer-")
        logs = tempfile.mkdtemp(prefix="velmor-logs-")
        test.addCleanup(self.kill)
        self.url_log_start = os.path.getsize(URL_LOG) if os.path.exists(URL_LOG) else 0
        self.setup_log = os.path.join(logs, "setup-log.txt")
        env.setdefault("VELMOR_SETUP_LOG", winpath(self.setup_log))
        self.started = time.monotonic()
        self.ended = None  # when the exit was first seen
        self.process = subprocess.Popen(["wine", program], cwd=self.directory, env=wine_env(**env),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=stderr)

    @property
    def save_path(self):
        return os.path.join(self.directory, SAVE_NAME)

    def wait(self, timeout):
        """The exit code, or None if the process is still running after timeout seconds."""
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        if self.ended is None:
            self.ended = time.monotonic()
        return code

    def running(self):
        return self.process.poll() is None

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait(10)

    def window(self, timeout=20):
        """The X window id of the installer's visible window."""
        window = wait_until(visible_installer_window, timeout)
        if not window:
            raise AssertionError("the installer window did not appear")
        return window

    def window_visible(self):
        return visible_installer_window() is not None

    def opened(self):
        """(address, executable name of the program that started the browser) for each address opened."""
        if not os.path.exists(URL_LOG):
            return []
        with open(URL_LOG, "rb") as log:
            log.seek(self.url_log_start)
            return [tuple(line.split("\t", 1)) for line in log.read().decode("utf-8").splitlines()]

    def opened_urls(self):
        return [url for url, _ in self.opened()]

    def setup_record(self):
        return read_record(self.setup_log)

    def answer_box(self, answer, timeout=30, caption=BOX_CAPTION):
        """Waits for the failure box (or another box with the given caption), answers it (ok, cancel, esc, close or
        none) and returns (window visible, text)."""
        result = subprocess.run(["wine", os.path.join(TOOLS_DIR, "box_tool.exe"), caption,
                                 str(int(timeout * 1000)), answer],
                                env=wine_env(), stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=timeout + 20)
        if result.returncode != 0:
            raise AssertionError("no message box %r appeared (box_tool exit %d)" % (caption, result.returncode))
        output = result.stdout.decode("utf-8")
        first, _, text = output.partition("\n")
        return first == "installer_visible=1", text

    def release_at(self, x, y, press_at=None):
        """Presses the left button (at press_at, or at x, y) and releases it at x, y, in window coordinates."""
        window = self.window()
        start = press_at or (x, y)
        xdotool("mousemove", "--window", window, str(start[0]), str(start[1]))
        xdotool("mousedown", "1")
        xdotool("mousemove", "--window", window, str(x), str(y))
        xdotool("mouseup", "1")


class InstallerTestCase(unittest.TestCase):
    """Runs a local HTTPS server on the test build's port for the whole test class."""

    server = None

    @classmethod
    def setUpClass(cls):
        cls.server = HttpsTestServer(*RUN.certificate(), port=PORT).start()
        with open(os.path.join(TOOLS_DIR, "fake_setup.exe"), "rb") as program:
            cls.server.files["setup"] = program.read()
        cls.server.files["not-a-program"] = b"MZ this is not a program\r\n" * 100

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()

    def setUp(self):
        self.server.aliases.clear()
        self.server.take_requests()

    def serve(self, route):
        serve(self.server, route)

    def start_showing_window(self, route):
        """Starts the installer against route and waits until its window is on screen."""
        self.serve(route)
        installer = Installer(self)
        installer.window()
        return installer

    def downloads(self):
        return [path for path in self.server.take_requests() if path.startswith("/velmor-cap/")]
