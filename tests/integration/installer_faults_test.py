# The real installer against servers and per-user config.toml files that misbehave. Every case checks that it neither
# crashes nor hangs, shows the right box (or none), leaves no partial setup program behind and starts none, and leaves
# config.toml as it must be. How the downloader meets each fault of the network and the disk is its own test; here
# the installer's answer to a failed download, and to a config.toml it cannot use. The table of what was tried and
# seen goes to VELMOR_FAULTS_TABLE (the build folder's faults.md; scripts/faults-table copies it to docs/faults.md),
# with the faults that the downloader's test (tests/windows/download_test.cpp) tried before in the same run, whose
# rows it recorded in VELMOR_FAULT_ROWS.

import os
import shutil
import time
import unittest

from installer_harness import CONFIG, DOWNLOAD_URL, OURS, PRODUCT, RUN, Installer, make_server

STALL_SECONDS = 40  # past WinHTTP's 30-second receive timeout
FAILED = ("download-failure box; window stayed open; closed with exit code 0", "none left, none started")
RAN = ("no box; setup program ran; exit code 0", "ran and deleted")
ROWS = []
TABLE_HEAD = """# Faults tried against the installer

Written by `tests/integration/installer_faults_test.py` (%s) with the rows that `tests/windows/download_test.cpp`
recorded in the same run. Each row passed its checks. The installer's ran the whole installer: no crash, no hang, the
right box, no partial setup program left or started, and config.toml as it must be. The downloader's ran DownloadFile
alone: it ended as shown, the files are as shown, and no partial file was left unless a link held its name; the
installer meets every failed download with the download-failure box of its rows.

| Kind | Fault | Tried by | What came of it | Files after it | Seconds from start to end |
|---|---|---|---|---|---|
"""


def toml(*entries):
    return b"".join(b'[[software]]\r\nname = "%s"\r\nproduct_id = "%s"\r\ndistributor_id = "%s"\r\n' % entry
                    for entry in entries)


OTHER, OURS = (b"Other", b"12", b"4"), OURS + (b"1",)


def make_link():
    # Another program of the user turns the file into a link to one outside the profile, with the same content.
    os.replace(CONFIG, os.path.join(RUN.run_dir, "linked-config.toml"))
    os.symlink(os.path.join(RUN.run_dir, "linked-config.toml"), CONFIG)


def reset_config(content):
    if os.path.isdir(CONFIG) and not os.path.islink(CONFIG):
        shutil.rmtree(CONFIG)
    elif os.path.lexists(CONFIG):
        os.unlink(CONFIG)
    os.makedirs(os.path.dirname(CONFIG), exist_ok=True)
    with open(CONFIG, "wb") as config:
        config.write(content)


def downloader_rows():
    # The rows download_test.cpp recorded: kind, fault, its test, outcome, files, seconds, tab-separated.
    with open(os.environ["VELMOR_FAULT_ROWS"], encoding="utf-8") as record:
        fields = [line.split("\t") for line in record.read().splitlines()]
    return [(kind, fault, "download_test.cpp: " + test, outcome, files, float(seconds))
            for kind, fault, test, outcome, files, seconds in fields]


class Faults(unittest.TestCase):
    @classmethod
    def tearDownClass(cls):
        reset_config(b"")
        try:
            rows, missing = ROWS + downloader_rows(), ""
        except (KeyError, OSError):
            rows, missing = ROWS, "\nThe downloader's rows are missing: its test (`download`) did not run before.\n"
        with open(os.environ.get("VELMOR_FAULTS_TABLE", os.devnull), "w", encoding="utf-8") as table:
            body = "".join("| %s | %s | %s | %s | %s | %.1f |\n" % row for row in sorted(rows, key=lambda r: r[0]))
            table.write(TABLE_HEAD % time.strftime("%Y-%m-%d") + body + missing)

    def launch(self, kind, fault, outcome, route="/file/setup", config=toml(OTHER), prepare=None,
               expect=toml(OTHER, OURS), requests=None):
        # One installer against a server answering route, with config.toml holding config and then changed by
        # prepare. outcome: FAILED (Installer.fail_and_close checks it) or RAN,
        # and what became of config.toml, which must then hold expect.
        reset_config(config)
        if prepare:
            prepare()
        with make_server(route=route) as server:
            installer = Installer(self)
            if outcome[:2] == FAILED:
                installer.fail_and_close(self, timeout=STALL_SECONDS + 30)
                self.assertEqual(installer.opened_urls(1), [DOWNLOAD_URL])
            else:
                self.assertEqual(installer.wait(60), 0)
                self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
                self.assertEqual(os.listdir(os.path.dirname(CONFIG)), [PRODUCT["config_file"]], "a temporary file is left")
        if requests:
            self.assertEqual(len(server.requests), requests, server.requests)
        self.assertEqual(installer.left_behind(), [], "a partial download was left behind")
        self.assertEqual("folder" if os.path.isdir(CONFIG) else open(CONFIG, "rb").read(), expect)
        ROWS.append((kind, fault, "installer_faults_test.py: " + self._testMethodName, outcome[0],
                     "setup program: %s; config.toml: %s" % outcome[1:], installer.ended - installer.started))

    def test_network(self):
        # How the downloader meets certificates that do not hold is its own test, whose rows join the table.
        cases = [  # fault, route, requests seen
            ("connection reset mid-body", "/reset/400000/150000"),
            ("chunked body cut off before its last chunk", "/chunkedfile/setup/150000"),
            ("server stalls mid-body for %d s" % STALL_SECONDS, "/truncated/400000/150000/%d" % STALL_SECONDS),
            ("403 Forbidden", "/status/403"),
            ("a third redirect (303)", "/redirect/303/3/file/setup", 3),
        ]
        for fault, route, *requests in cases:
            with self.subTest(fault=fault):
                self.launch("network", fault, FAILED + ("updated normally",), route,
                            requests=(requests or [None])[0])

    def test_config_toml(self):
        nul = (b'[[software]]\r\nname = "a\x00b"\r\nproduct_id = "12\x00"\r\ndistributor_id = "\x00"\r\n'
               b'\x00\x00\x00\r\n[[software]]\r\nproduct_id = "7"\r\n')
        fixed = "rewritten in its fixed form with this product registered"
        cases = [  # kind, fault, content, what is done to it then, what it must hold after the run
            ("disk", 'a folder named "config.toml"', toml(OTHER), lambda: (os.unlink(CONFIG), os.mkdir(CONFIG)),
             "folder"),
            ("disk", '"config.toml" is a link to a file outside the profile', toml(OTHER), make_link, toml(OTHER)),
            ("input", "config.toml: 10 MB file", toml(OTHER) + b"# filler line to make the file large\r\n" * 262144,
             None, toml(OTHER, OURS)),
            ("input", "config.toml: 1 MB line", toml(OTHER) + b'name = "' + b"x" * (1 << 20) + b'"\r\n', None,
             toml((b"x" * (1 << 20),) + OTHER[1:], OURS)),
            ("input", "config.toml: NUL bytes", nul, None, toml((b"a\x00b", b"12\x00", b"\x00"), (b"", b"7", b"1"))),
        ]
        for kind, fault, content, prepare, expect in cases:
            with self.subTest(fault=fault):
                kept = {"folder": "folder left as it was", toml(OTHER): "left exactly as it was"}.get(expect, fixed)
                self.launch(kind, fault, RAN + (kept,), config=content, prepare=prepare, expect=expect)
                self.assertEqual(os.path.islink(CONFIG), prepare is make_link, "the link was replaced")
