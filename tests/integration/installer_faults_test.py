"""The real installer against servers, disks and per-user config.toml files that misbehave.

Every case checks that the installer neither crashes nor hangs, that the user sees the right box (or none), that no
partial setup program is left behind or started, and that config.toml ends up as it must. The table of what was
tried and seen is written to VELMOR_FAULTS_TABLE (the build folder's faults.md; scripts/faults-table copies it to
docs/faults.md).
"""

import contextlib
import os
import random
import shutil
import subprocess
import time
import unittest

from installer_harness import (DOWNLOAD_FAILED_TEXT, PORT, RUN, SAVE_NAME, TOOLS_DIR, HttpsTestServer, Installer,
                               profile_dir, serve, wine_env, winpath)

CONFIG_FOLDER = os.path.join(profile_dir(), ".velmor")
CONFIG_FILE = os.path.join(CONFIG_FOLDER, "config.toml")
OTHER_PRODUCT = b'[[software]]\r\nname = "Other"\r\nproduct_id = "12"\r\ndistributor_id = "4"\r\n'
STALL_SECONDS = 40  # past WinHTTP's 30-second receive timeout

RESULTS = []


# -- config.toml's rules, written out independently of the installer, to know what it must write ---------------

def read_entries(data):
    data = data.split(b"\x1a", 1)[0]
    parts = data.split(b"\n")
    lines = [part[:-1] if part.endswith(b"\r") else part for part in parts[:-1]] + ([parts[-1]] if parts[-1] else [])
    entries, pending = [], [b"", b"", b""]
    for line in lines:
        field = None
        if b"[[software]]" in line:
            if pending[1]:
                entries.append(tuple(pending))
            pending = [b"", b"", b""]
        elif b"name" in line:
            field = 0
        elif b"product_id" in line:
            field = 1
        elif b"distributor_id" in line:
            field = 2
        if field is not None and b"=" in line:
            pending[field] = line.split(b"=", 1)[1].replace(b'"', b"").lstrip(b" \t")
    if pending[1]:
        entries.append(tuple(pending))
    return entries


def registered(data):
    """What config.toml holds after this installer has registered itself in one that held data."""
    entries = [list(entry) for entry in read_entries(data)]
    for entry in entries:
        if entry[1] == b"7":
            entry[2] = b"1"
            break
    else:
        entries.append(["velmor录屏大师".encode(), b"7", b"1"])
    text = b"".join(b'[[software]]\nname = "%s"\nproduct_id = "%s"\ndistributor_id = "%s"\n' % tuple(entry)
                    for entry in entries)
    return text.replace(b"\n", b"\r\n")


# -- setting the stage ---------------------------------------------------------------------------------------

def server(cert="localhost"):
    if cert is None:
        return HttpsTestServer(None, None, port=PORT)
    return HttpsTestServer(*RUN.certificate(cert), port=PORT)


def reset_config(content=OTHER_PRODUCT):
    if os.path.islink(CONFIG_FILE):
        os.unlink(CONFIG_FILE)
    unlock_config()
    if os.path.isdir(CONFIG_FILE):
        shutil.rmtree(CONFIG_FILE)
    os.makedirs(CONFIG_FOLDER, exist_ok=True)
    with open(CONFIG_FILE, "wb") as config:
        config.write(content)


def unlock_config():
    if os.path.exists(CONFIG_FILE):
        os.chmod(CONFIG_FILE, 0o644)


def config_state():
    if os.path.isdir(CONFIG_FILE):
        return "folder"
    with open(CONFIG_FILE, "rb") as config:
        return config.read()


def leftover_temporary_files():
    return [name for name in os.listdir(CONFIG_FOLDER) if name != "config.toml"]


@contextlib.contextmanager
def unwritable(directory):
    """Makes a folder refuse new files, also to root: immutable if the file system allows it, else read-only."""
    if subprocess.run(["chattr", "+i", directory], capture_output=True).returncode == 0:
        try:
            yield
        finally:
            subprocess.run(["chattr", "-i", directory], check=True)
        return
    subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", directory], check=True)
    try:
        yield
    finally:
        subprocess.run(["umount", directory], check=True)


def link_config_file():
    """Another program of the user turns the file into a link to one outside the profile (with the same content)."""
    target = os.path.join(RUN.run_dir, "linked-config.toml")
    with open(target, "wb") as linked:
        linked.write(OTHER_PRODUCT)
    os.unlink(CONFIG_FILE)
    os.symlink(target, CONFIG_FILE)


@contextlib.contextmanager
def held_open(path):
    """Another program holds the file open without sharing it."""
    holder = subprocess.Popen(["wine", os.path.join(TOOLS_DIR, "hold_file.exe"), winpath(path), "120000"],
                              env=wine_env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL)
    try:
        line = holder.stdout.readline().decode().strip()
        if line != "held":
            raise AssertionError("hold_file: %s" % line)
        yield
    finally:
        holder.kill()
        holder.wait(10)


# -- the cases -----------------------------------------------------------------------------------------------

class Faults(unittest.TestCase):
    @classmethod
    def tearDownClass(cls):
        unlock_config()
        write_table(os.environ.get("VELMOR_FAULTS_TABLE"))

    def record(self, group, fault, saw, setup, config, installer):
        seconds = "%.1f" % (installer.ended - installer.started)
        RESULTS.append((group, fault, saw, setup, config, seconds))

    def run_failing_download(self, group, fault, cert="localhost", route="/bytes/100000", box_timeout=30,
                             directory=None, trouble=None, setup="none left, none started", requests=None):
        """Starts the installer against a server with the given certificate (None: plain HTTP) and expects the
        download-failure box, an open window, no setup program, config.toml updated as usual and a clean exit
        through the close glyph. trouble, if given, is a context that lasts while the installer runs; requests, if
        given, is how many requests the server must have seen."""
        reset_config()
        with server(cert) as test_server, trouble or contextlib.nullcontext():
            test_server.files["setup"] = self.setup_program
            serve(test_server, route)
            installer = Installer(self, directory=directory)
            visible, text = installer.answer_box("cancel", timeout=box_timeout)
            still_running = installer.wait(1.0) is None
            installer.release_at(538, 26)
            code = installer.wait(10)
            seen = test_server.take_requests()
        self.assertEqual(text, DOWNLOAD_FAILED_TEXT)
        if requests is not None:
            self.assertEqual(len(seen), requests, seen)
        self.assertTrue(visible and still_running, "the window should stay open after a failed download")
        self.assertEqual(code, 0, "the installer did not close cleanly")
        self.assertFalse(os.path.isfile(installer.save_path), "a partial setup program was left behind")
        self.assertFalse(os.path.exists(installer.save_path + ".part"), "a partial download was left behind")
        self.assertEqual(installer.setup_record(), {}, "a setup program was started")
        self.assertEqual(config_state(), registered(OTHER_PRODUCT))
        self.record(group, fault, "download-failure box; window stayed open; closed with exit code 0", setup,
                    "updated normally", installer)

    def run_good_download(self, expected_config, trouble=None):
        """The download and the setup program work; only config.toml is in trouble (trouble, if given, is a
        context that lasts while the installer runs)."""
        with server() as test_server, trouble or contextlib.nullcontext():
            test_server.files["setup"] = self.setup_program
            serve(test_server, "/file/setup")
            installer = Installer(self)
            code = installer.wait(60)
        self.assertEqual(code, 0)
        self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
        self.assertFalse(os.path.exists(installer.save_path))
        self.assertEqual(config_state(), expected_config)
        self.assertEqual(leftover_temporary_files(), [])
        return installer

    @classmethod
    def setUpClass(cls):
        with open(os.path.join(TOOLS_DIR, "fake_setup.exe"), "rb") as program:
            cls.setup_program = program.read()

    # network

    def test_network(self):
        cases = [
            ("connection reset mid-body", "localhost", "/reset/400000/150000"),
            ("body shorter than its Content-Length", "localhost", "/truncated/400000/150000"),
            ("chunked body cut off before its last chunk", "localhost", "/chunkedfile/setup/150000"),
            ("server stalls mid-body for %d s" % STALL_SECONDS, "localhost",
             "/stall-body/400000/150000/%d" % STALL_SECONDS),
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
                self.run_failing_download("network", fault, cert, route, box_timeout=STALL_SECONDS + 30,
                                          requests=(requests or [None])[0])

    # disk

    def test_current_directory_not_writable(self):
        directory = self.make_directory()
        self.run_failing_download("disk", "current directory the installer may not write to", directory=directory,
                                  trouble=unwritable(directory), setup="none written")
        self.assertEqual(os.listdir(directory), [])

    def test_save_name_is_a_folder(self):
        directory = self.make_directory()
        os.mkdir(os.path.join(directory, SAVE_NAME))
        self.run_failing_download("disk", "save name is a folder", directory=directory, setup="folder left as it was")
        self.assertEqual(os.listdir(os.path.join(directory, SAVE_NAME)), [])

    def test_config_toml_in_trouble(self):
        cases = [
            ("config.toml is read-only", lambda: os.chmod(CONFIG_FILE, 0o444), None, OTHER_PRODUCT),
            ("config.toml held open without sharing", None, lambda: held_open(CONFIG_FILE), OTHER_PRODUCT),
            ('a folder named "config.toml"', lambda: (os.unlink(CONFIG_FILE), os.mkdir(CONFIG_FILE)), None,
             "folder"),
            ('"config.toml" is a link to a file outside the profile', link_config_file, None, OTHER_PRODUCT),
        ]
        for fault, prepare, trouble, expected in cases:
            with self.subTest(fault=fault):
                reset_config()
                if prepare:
                    prepare()
                installer = self.run_good_download(expected, trouble and trouble())
                if prepare == link_config_file:
                    self.assertTrue(os.path.islink(CONFIG_FILE), "the link was replaced")
                    os.unlink(CONFIG_FILE)
                self.record("disk", fault, "no box; setup program ran; exit code 0", "ran and deleted",
                            "left exactly as it was" if expected == OTHER_PRODUCT else "folder left as it was",
                            installer)
        unlock_config()

    # input

    def test_config_toml_content(self):
        rng = random.Random(1234)
        cases = [
            ("random bytes (64 KiB)", bytes(rng.getrandbits(8) for _ in range(65536))),
            ("10 MB file", OTHER_PRODUCT + b"# filler line to make the file large\r\n" * 262144),
            ("1 MB line", OTHER_PRODUCT + b"name = \"" + b"x" * (1 << 20) + b"\"\r\n"),
            ("NUL bytes", b'[[software]]\r\nname = "a\x00b"\r\nproduct_id = "12\x00"\r\ndistributor_id = "\x00"\r\n'
                          b"\x00\x00\x00\r\n[[software]]\r\nproduct_id = \"7\"\r\n"),
        ]
        for fault, content in cases:
            with self.subTest(fault=fault):
                reset_config(content)
                installer = self.run_good_download(registered(content))
                self.record("input", "config.toml: " + fault, "no box; setup program ran; exit code 0",
                            "ran and deleted", "rewritten in its fixed form with this product registered", installer)

    def make_directory(self):
        directory = os.path.realpath(os.path.join(RUN.run_dir, "fault-cwd-%d" % len(RESULTS)))
        shutil.rmtree(directory, ignore_errors=True)
        os.makedirs(directory)
        self.addCleanup(shutil.rmtree, directory, True)
        return directory


def write_table(path):
    if not path or not RESULTS:
        return
    lines = ["# Faults tried against the installer", "",
             "Written by `tests/integration/installer_faults_test.py` (%s). Each row passed its checks: no crash, "
             "no hang, the right box, no partial setup program left or started, and config.toml as it must be."
             % time.strftime("%Y-%m-%d"), "",
             "| Kind | Fault | What the user saw | Setup program | config.toml | Seconds from start to exit |",
             "|---|---|---|---|---|---|"]
    order = {"network": 0, "disk": 1, "input": 2}
    lines += ["| %s | %s | %s | %s | %s | %s |" % row for row in sorted(RESULTS, key=lambda row: order[row[0]])]
    with open(path, "w", encoding="utf-8") as table:
        table.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    unittest.main()
