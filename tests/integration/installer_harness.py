"""Drives the test build of the installer under Wine: the run's prefix and display, the local HTTPS server it
downloads from, its window (through xdotool) and its message boxes (through box_tool.exe inside the prefix).

The test build fetches https://localhost:<VELMOR_TEST_PORT>/velmor-cap/... and offers https://support.localhost:...
as its customer-service page. The prefix's https handler is url_recorder.exe, which logs what the installer opens.
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "harness"))

from https_server import HttpsTestServer  # noqa: E402

RUN_DIR = os.environ["VELMOR_RUN_DIR"]
TOOLS_DIR = os.environ["VELMOR_TOOLS_DIR"]
INSTALLER = os.environ["VELMOR_INSTALLER"]
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


def _read_env_file():
    values = {}
    with open(os.path.join(RUN_DIR, "env")) as env_file:
        for line in env_file:
            name, _, value = line.strip().partition("=")
            values[name] = value
    return values


RUN_ENV = _read_env_file()
WINEPREFIX = RUN_ENV["WINEPREFIX"]


def winpath(path):
    """The Windows name of a Unix path inside the prefix (drive Z: is the Unix root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_env(**extra):
    env = dict(os.environ, DISPLAY=RUN_ENV["DISPLAY"], WINEPREFIX=WINEPREFIX, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")
    env.update({name: str(value) for name, value in extra.items()})
    return env


def wine(*args, timeout=60, **extra_env):
    return subprocess.run(["wine", *args], env=wine_env(**extra_env), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout)


def import_registry(lines):
    """Applies a REGEDIT4 script in one Wine call. A line "[-KEY]" deletes KEY with everything under it."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False, encoding="utf-8") as script:
        script.write("REGEDIT4\n\n" + "\n".join(lines) + "\n")
    try:
        result = wine("regedit", "/S", winpath(script.name))
        if result.returncode != 0:
            raise RuntimeError("regedit failed: %r" % result)
    finally:
        os.unlink(script.name)


def reg_string(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def profile_dir():
    return os.path.join(WINEPREFIX, "drive_c", "users", os.environ.get("USER") or "root")


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
    found = xdotool("search", "--onlyvisible", "--name", "^%s$" % WINDOW_TITLE, check=False)
    return found.split()[0] if found else None


def serve(server, route, paths=(RELEASE_PATH, WEBVIEW_PATH)):
    """Answers the installer's download paths on server with one of its routes."""
    for path in paths:
        server.aliases[path] = route


class Installer:
    """One run of the installer under test, in its own current directory (a new one unless given). What it opens in
    the browser and what the setup program records go to files in a folder of their own."""

    def __init__(self, test, directory=None, program=INSTALLER, **env):
        self.directory = directory or tempfile.mkdtemp(prefix="velmor-installer-")
        logs = tempfile.mkdtemp(prefix="velmor-logs-")
        test.addCleanup(self.kill)
        self.url_log = os.path.join(logs, "opened-urls.txt")
        self.setup_log = os.path.join(logs, "setup-log.txt")
        env.setdefault("VELMOR_URL_LOG", winpath(self.url_log))
        env.setdefault("VELMOR_SETUP_LOG", winpath(self.setup_log))
        self.started = time.monotonic()
        self.ended = None  # when the exit was first seen
        self.process = subprocess.Popen(["wine", program], cwd=self.directory, env=wine_env(**env),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

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

    def opened_urls(self):
        if not os.path.exists(self.url_log):
            return []
        with open(self.url_log, encoding="utf-8") as log:
            return log.read().splitlines()

    def setup_record(self):
        if not os.path.exists(self.setup_log):
            return {}
        with open(self.setup_log, encoding="utf-8") as log:
            return dict(line.split("=", 1) for line in log.read().splitlines() if "=" in line)

    def answer_box(self, answer, timeout=30):
        """Waits for the failure box, answers it (ok, cancel, esc or none) and returns (window visible, text)."""
        result = subprocess.run(["wine", os.path.join(TOOLS_DIR, "box_tool.exe"), BOX_CAPTION,
                                 str(int(timeout * 1000)), answer],
                                env=wine_env(), stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=timeout + 20)
        if result.returncode != 0:
            raise AssertionError("no message box %r appeared (box_tool exit %d)" % (BOX_CAPTION, result.returncode))
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
        pki = os.path.join(RUN_DIR, "pki")
        cls.server = HttpsTestServer(os.path.join(pki, "localhost.pem"), os.path.join(pki, "localhost.key"),
                                     port=PORT).start()
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
