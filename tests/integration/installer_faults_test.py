# The real installer against servers, disks and per-user config.toml files that misbehave. Every case checks that it
# neither crashes nor hangs, shows the right box (or none), leaves no partial setup program behind and starts none,
# and leaves config.toml as it must be. The table of what was tried and seen goes to VELMOR_FAULTS_TABLE (the build
# folder's faults.md; scripts/faults-table copies it to docs/faults.md).

import contextlib
import os
import random
import shutil
import subprocess
import time
import unittest

from installer_harness import DOWNLOAD_URL, PORT, RUN, SETUP, TOOLS_DIR, HttpsTestServer, Installer, serve, winpath

CONFIG = os.path.join(RUN.profile_dir(), ".velmor", "config.toml")
STALL_SECONDS = 40  # past WinHTTP's 30-second receive timeout
FAILED = "download-failure box; window stayed open; closed with exit code 0"
RAN, KEPT = ("no box; setup program ran; exit code 0", "ran and deleted"), "left exactly as it was"
ROWS = []


def toml(*entries):
    return b"".join(b'[[software]]\r\nname = "%s"\r\nproduct_id = "%s"\r\ndistributor_id = "%s"\r\n' % entry
                    for entry in entries)


OTHER, OURS = (b"Other", b"12", b"4"), ("velmor录屏大师".encode(), b"7", b"1")


@contextlib.contextmanager
def unwritable(directory):
    # Refuses new files also to root: immutable where the file system allows it, else a read-only mount over it.
    immutable = subprocess.run(["chattr", "+i", directory], capture_output=True).returncode == 0
    if not immutable:
        subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", directory], check=True)
    try:
        yield
    finally:
        subprocess.run(["chattr", "-i", directory] if immutable else ["umount", directory], check=True)


@contextlib.contextmanager
def held_open(path):
    # Another program holds the file open without sharing it.
    with subprocess.Popen(["wine", os.path.join(TOOLS_DIR, "hold_file.exe"), winpath(path), "120000"], env=RUN.env(),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL) as holder:
        try:
            assert holder.stdout.readline().strip() == b"held", "hold_file did not hold " + path
            yield
        finally:
            holder.kill()


def make_link():
    # Another program of the user turns the file into a link to one outside the profile, with the same content.
    os.replace(CONFIG, os.path.join(RUN.run_dir, "linked-config.toml"))
    os.symlink(os.path.join(RUN.run_dir, "linked-config.toml"), CONFIG)


def reset_config(content):
    if os.path.islink(CONFIG):
        os.unlink(CONFIG)
    elif os.path.isdir(CONFIG):
        shutil.rmtree(CONFIG)
    elif os.path.exists(CONFIG):
        os.chmod(CONFIG, 0o644)
    os.makedirs(os.path.dirname(CONFIG), exist_ok=True)
    with open(CONFIG, "wb") as config:
        config.write(content)


class Faults(unittest.TestCase):
    @classmethod
    def tearDownClass(cls):
        reset_config(b"")
        order = ["network", "disk", "input"]
        with open(os.environ.get("VELMOR_FAULTS_TABLE", os.devnull), "w", encoding="utf-8") as table:
            table.write("# Faults tried against the installer\n\nWritten by `tests/integration/installer_faults_test.py` "
                        "(%s). Each row passed its checks: no crash, no hang, the right box, no partial setup program "
                        "left or started, and config.toml as it must be.\n\n| Kind | Fault | What the user saw | Setup "
                        "program | config.toml | Seconds from start to exit |\n|---|---|---|---|---|---|\n"
                        % time.strftime("%Y-%m-%d") + "".join("| %s | %s | %s | %s | %s | %.1f |\n" % row for row in
                                                              sorted(ROWS, key=lambda row: order.index(row[0]))))

    def launch(self, kind, fault, row, route="/file/setup", cert="localhost", config=toml(OTHER), prepare=None,
               expect=toml(OTHER, OURS), trouble=None, directory=None, requests=None):
        # One installer against a server with this certificate (None: plain HTTP) answering route, config.toml
        # holding config and then changed by prepare, and trouble (a context) lasting while it runs. row: what the
        # user saw (FAILED: Installer.fail_and_close checks it; RAN), what became of the setup program and of
        # config.toml, which must then hold expect.
        reset_config(config)
        if prepare:
            prepare()
        server = HttpsTestServer(*(RUN.certificate(cert) if cert else (None, None)), port=PORT)
        server.files["setup"] = SETUP
        serve(server, route)
        with server, trouble or contextlib.nullcontext():
            installer = Installer(self, directory=directory)
            if row[0] == FAILED:
                installer.fail_and_close(self, timeout=STALL_SECONDS + 30)
                self.assertEqual(installer.opened_urls(), [DOWNLOAD_URL])
            else:
                self.assertEqual(installer.wait(60), 0)
                self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
                self.assertFalse(os.path.exists(installer.save_path))
                self.assertEqual(os.listdir(os.path.dirname(CONFIG)), ["config.toml"], "a temporary file is left")
        if requests:
            self.assertEqual(len(server.requests), requests, server.requests)
        self.assertFalse(os.path.exists(installer.save_path + ".part"), "a partial download was left behind")
        self.assertEqual("folder" if os.path.isdir(CONFIG) else open(CONFIG, "rb").read(), expect)
        ROWS.append((kind, fault) + row + (installer.ended - installer.started,))

    def test_network(self):
        row = (FAILED, "none left, none started", "updated normally")
        cases = [  # fault, certificate, route, requests seen
            ("connection reset mid-body", "localhost", "/reset/400000/150000"),
            ("body shorter than its Content-Length", "localhost", "/truncated/400000/150000"),
            ("chunked body cut off before its last chunk", "localhost", "/chunkedfile/setup/150000"),
            ("server stalls mid-body for %d s" % STALL_SECONDS, "localhost",
             "/truncated/400000/150000/%d" % STALL_SECONDS),
            ("403 Forbidden", "localhost", "/status/403"),
            ("500 Internal Server Error", "localhost", "/status/500"),
            ("redirect loop of 308s", "localhost", "/loop", 3),
            ("a third redirect (303)", "localhost", "/redirect/303/3/file/setup", 3),
            ("certificate for another host name", "otherhost", "/file/setup"),
            ("expired certificate", "expired", "/file/setup"),
            ("self-signed certificate", "selfsigned", "/file/setup"),
            ("plain HTTP on the https port", None, "/file/setup"),
        ]
        for fault, cert, route, *requests in cases:
            with self.subTest(fault=fault):
                self.launch("network", fault, row, route, cert, requests=(requests or [None])[0])

    def test_disk(self):
        # The current directory: one the installer may not write to, and one where the save name is a folder.
        for inside, setup in (("", "none written"), ("velmor-cap-setup.exe", "folder left as it was")):
            with self.subTest(inside=inside):
                directory = os.path.realpath(os.path.join(RUN.run_dir, "fault-cwd"))
                shutil.rmtree(directory, ignore_errors=True)
                os.makedirs(os.path.join(directory, inside))
                self.launch("disk", "save name is a folder" if inside else "current directory the installer may not "
                            "write to", (FAILED, setup, "updated normally"), directory=directory,
                            trouble=None if inside else unwritable(directory))
                self.assertEqual(os.listdir(os.path.join(directory, inside)), [])

    def test_config_toml_in_trouble(self):
        cases = [
            ("config.toml is read-only", lambda: os.chmod(CONFIG, 0o444), None, KEPT),
            ("config.toml held open without sharing", None, held_open(CONFIG), KEPT),
            ('a folder named "config.toml"', lambda: (os.unlink(CONFIG), os.mkdir(CONFIG)), None, "folder"),
            ('"config.toml" is a link to a file outside the profile', make_link, None, KEPT),
        ]
        for fault, prepare, trouble, kept in cases:
            with self.subTest(fault=fault):
                self.launch("disk", fault, RAN + (kept if kept == KEPT else "folder left as it was",),
                            prepare=prepare, trouble=trouble, expect=kept if kept == "folder" else toml(OTHER))
                self.assertEqual(os.path.islink(CONFIG), prepare is make_link, "the link was replaced")

    def test_config_toml_content(self):
        rng = random.Random(1234)
        row = RAN + ("rewritten in its fixed form with this product registered",)
        nul = (b'[[software]]\r\nname = "a\x00b"\r\nproduct_id = "12\x00"\r\ndistributor_id = "\x00"\r\n'
               b'\x00\x00\x00\r\n[[software]]\r\nproduct_id = "7"\r\n')
        # content, and the entries it holds once this product (7) is registered in it in channel 1
        cases = [
            ("random bytes (64 KiB)", bytes(rng.getrandbits(8) for _ in range(65536)), [OURS]),
            ("10 MB file", toml(OTHER) + b"# filler line to make the file large\r\n" * 262144, [OTHER, OURS]),
            ("1 MB line", toml(OTHER) + b'name = "' + b"x" * (1 << 20) + b'"\r\n',
             [(b"x" * (1 << 20),) + OTHER[1:], OURS]),
            ("NUL bytes", nul, [(b"a\x00b", b"12\x00", b"\x00"), (b"", b"7", b"1")]),
        ]
        for fault, content, entries in cases:
            with self.subTest(fault=fault):
                self.launch("input", "config.toml: " + fault, row, config=content, expect=toml(*entries))

