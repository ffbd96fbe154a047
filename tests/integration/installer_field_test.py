# What installers meet in the field: the user's own proxy settings (the build with VELMOR_PROXY=system, against a
# real proxy, tinyproxy), the diagnostics log (VELMOR_LOG=ON) and a virus scanner that holds the new file.

import os
import socket
import struct
import subprocess
import tempfile

from installer_harness import DOWNLOAD_URL, HELPER, INSTALLER, PORT, PRODUCT, RELEASE_PATH, RUN, SETUP_NAME, \
    HttpsTestServer, Installer, InstallerTestCase, built, wait_until, winpath
from signing import saved, signed_as_released, stamp_channel

FIELD_INSTALLER = built("VelmorInstallerField")  # the user's proxy settings, the log, three attempts
CONNECTIONS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections"
LOG = os.path.join(RUN.profile_dir(), "Temp", PRODUCT["log_name"])
PROGRAM = PRODUCT["program_name"]
DIRECT, FIXED_PROXY, PAC_ADDRESS = 1, 2, 4  # flags of DefaultConnectionSettings
RUNTIME_KEY = r"HKCU\Software\Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def set_connection(flags, proxy="", bypass="", pac=""):
    # The per-user Internet Options that WinHttpGetIEProxyConfigForCurrentUser reads: a version (0x46), a counter,
    # the flags, then the proxy, the bypass list and the PAC address, each a length and its ASCII bytes.
    value = struct.pack("<III", 0x46, 0, flags) + b"".join(struct.pack("<I", len(text)) + text.encode()
                                                          for text in (proxy, bypass, pac))
    added = RUN.wine("reg", "add", CONNECTIONS, "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d",
                     value.hex(), "/f")
    if added.returncode != 0:
        raise RuntimeError("reg add failed: %s" % added.stderr.decode())


def log_lines():
    with open(LOG, encoding="utf-8") as log:
        return [line.split(" ", 2)[2] for line in log.read().splitlines()]  # without the date and time


class Tinyproxy:
    # A real HTTP proxy on a port of its own that may CONNECT to the test server only; connects() lists the
    # addresses it was asked to CONNECT to. It is named 127.0.0.1, not localhost: Wine's WinHTTP sends no CONNECT to
    # a proxy of the same name as the server, and starts TLS with the proxy itself.
    def __init__(self, test):
        folder = tempfile.mkdtemp(prefix="velmor-proxy-")
        self.port, self.log = free_port(), os.path.join(folder, "tinyproxy.log")
        self.address = "127.0.0.1:%d" % self.port
        with open(os.path.join(folder, "tinyproxy.conf"), "w") as conf:
            conf.write("Port %d\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 20\nConnectPort %d\n"
                       'LogFile "%s"\nLogLevel Info\n' % (self.port, PORT, self.log))
        self.process = subprocess.Popen(["tinyproxy", "-d", "-c", conf.name], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        test.addCleanup(lambda: (self.process.kill(), self.process.wait()))
        if not wait_until(self.listening, 10):
            raise RuntimeError("tinyproxy did not listen on port %d" % self.port)

    def listening(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def connects(self):
        with open(self.log, errors="replace") as log:
            return [line.split("CONNECT ")[2].split()[0] for line in log if "): CONNECT " in line]


class UserProxy(InstallerTestCase):
    def setUp(self):
        super().setUp()
        self.addCleanup(RUN.wine, "reg", "delete", CONNECTIONS, "/v", "DefaultConnectionSettings", "/f")
        self.serve("/file/setup")

    def install(self, program=FIELD_INSTALLER, requests=1):
        installer = Installer(self, program=program)
        self.assertEqual(installer.wait(60), 0)
        self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
        self.assertEqual(len(self.downloads()), requests)

    def test_fixed_proxy_with_its_bypass_list_and_the_log_of_the_run(self):
        proxy = Tinyproxy(self)
        set_connection(FIXED_PROXY, proxy.address, "*.corp.example")
        self.install()
        self.assertEqual(proxy.connects(), ["localhost:%d" % PORT])
        lines = log_lines()
        for expected in ("%s 1.0.0, channel 1, x" % PROGRAM, "Windows 10.",
                         "address %s (no WebView2 Runtime registered)" % DOWNLOAD_URL,
                         "attempt 1 via proxy %s: done, status 200, error 0, %d bytes"
                         % (proxy.address, len(self.server.files["setup"])),
                         "publisher: not checked (none pinned)", "setup program started",
                         "setup program ended with exit code 0", "staging folder removed",
                         "log created as the desktop user", "staging folders of earlier runs removed: ",
                         "registration: %s written, as the desktop user" % PRODUCT["config_file"]):
            self.assertTrue(any(line.startswith(expected) for line in lines), (expected, lines))
        # A host on the bypass list goes direct, and so does every build without VELMOR_PROXY=system; builds without
        # VELMOR_LOG write no log.
        set_connection(FIXED_PROXY, proxy.address, "<local>")
        self.install()
        os.unlink(LOG)
        self.install(INSTALLER)
        self.assertEqual(proxy.connects(), ["localhost:%d" % PORT])
        self.assertFalse(os.path.exists(LOG), "a build without the log wrote one")

    def test_proxy_auto_configuration_script(self):
        proxy = Tinyproxy(self)
        dead = free_port()
        with HttpsTestServer(None, None) as scripts:  # plain HTTP, as PAC scripts are served
            for name, proxies in (("good.pac", "PROXY %s; DIRECT" % proxy.address),
                                  ("dead.pac", "PROXY 127.0.0.1:%d; DIRECT" % dead)):
                scripts.files[name] = b'function FindProxyForURL(url, host) { return "%s"; }' % proxies.encode()
            set_connection(PAC_ADDRESS, pac="http://localhost:%d/file/good.pac" % scripts.port)
            self.install()
            self.assertEqual(proxy.connects(), ["localhost:%d" % PORT])
            # A proxy that cannot be reached is passed over for a direct connection.
            set_connection(PAC_ADDRESS, pac="http://localhost:%d/file/dead.pac" % scripts.port)
            self.install()
            self.assertEqual(proxy.connects(), ["localhost:%d" % PORT])
            lines = log_lines()
            self.assertTrue(any(line.startswith("attempt 1 via proxy 127.0.0.1:%d: WinHttp" % dead) for line in lines),
                            lines)
            self.assertTrue(any(line.startswith("attempt 1 via direct: done, status 200") for line in lines), lines)

    def test_a_script_that_answers_late_or_asks_for_credentials(self):
        # A script whose answer comes after the question was given up: the first attempt goes direct and meets a busy
        # server, the next one takes the answer that came meanwhile. A script's server that asks for credentials
        # gets none (Wine never offers any there) and the install goes direct.
        proxy = Tinyproxy(self)
        with HttpsTestServer(None, None) as scripts:
            scripts.files["late.pac"] = b'function FindProxyForURL(url, host) { return "PROXY %s"; }' % \
                proxy.address.encode()
            set_connection(PAC_ADDRESS, pac="http://localhost:%d/late/2.5/late.pac" % scripts.port)
            self.serve("/flaky/busy/1/file/setup")
            self.install(requests=2)
            self.assertEqual(proxy.connects(), ["localhost:%d" % PORT])
            lines = log_lines()
            for expected in ("attempt 1 via direct: HTTP status not OK: 503", "attempt 2 via proxy %s: done" % proxy.address):
                self.assertTrue(any(line.startswith(expected) for line in lines), (expected, lines))
            set_connection(PAC_ADDRESS, pac="http://localhost:%d/auth" % scripts.port)
            self.serve("/file/setup")
            self.install()
            self.assertEqual([entry[1:] for entry in scripts.log], [("/late/2.5/late.pac", None, None, None),
                                                                   ("/auth", None, None, None)])


class FailureLog(InstallerTestCase):
    # The runtime's version comes from the user's registry: a line break in it stays in its line of the log. The
    # channel logged is the one stamped into the installer's signature.
    def test_a_failed_download_is_in_the_log(self):
        self.addCleanup(RUN.wine, "reg", "delete", CONNECTIONS, "/v", "DefaultConnectionSettings", "/f")
        self.addCleanup(RUN.wine, "reg", "delete", RUNTIME_KEY, "/f")
        set_connection(DIRECT)
        RUN.wine("reg", "add", RUNTIME_KEY, "/v", "pv", "/t", "REG_SZ", "/d", "1.2.3.4\r\nforged line", "/f")
        self.serve("/status/404")
        stamped = saved(stamp_channel.stamp(signed_as_released(FIELD_INSTALLER), "42"))
        Installer(self, program=stamped).fail_and_close(self)
        lines = log_lines()
        for expected in ("%s 1.0.0, channel 42, x" % PROGRAM,
                         "address https://localhost:%d%s (WebView2 Runtime 1.2.3.4\\r\\nforged line)" % (PORT, RELEASE_PATH),
                         "attempt 1 via direct: HTTP status not OK: 404, status 404, error 0, 0 bytes",
                         "download failed: HTTP status not OK: 404"):
            self.assertTrue(any(line.startswith(expected) for line in lines), (expected, lines))


class ScannerHold(InstallerTestCase):
    # A scanner opens the new file without delete sharing as soon as it can, and holds it: for a second the install
    # waits and goes on with the program served; for ten seconds it fails as designed, and leaves nothing behind.
    def test_the_install_waits_out_a_short_hold_only(self):
        for hold, runs in ((1000, True), (10000, False)):
            with self.subTest(hold=hold):
                self.serve("/file/setup")
                scanner = RUN.popen([HELPER, "hold", str(hold)], RUN.run_dir, stdout=subprocess.PIPE)
                self.addCleanup(lambda process=scanner: (process.kill(), process.wait(), process.stdout.close()))
                copy = os.path.join(tempfile.mkdtemp(prefix="velmor-ran-"), "ran.exe")
                installer = Installer(self, VELMOR_SETUP_COPY=winpath(copy))
                if runs:
                    self.assertEqual(installer.wait(60), 0)
                    with open(copy, "rb") as ran:
                        self.assertTrue(ran.read() == self.server.files["setup"], "not what was served ran")
                    self.assertEqual(scanner.wait(60), 0)
                else:
                    # The box comes while the file is still held; it is answered once the hold has ended.
                    self.assertEqual(scanner.wait(60), 0)
                    installer.fail_and_close(self)
                self.assertIn(("held=" + SETUP_NAME).encode(), scanner.stdout.read())
