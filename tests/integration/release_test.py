# scripts/release, run from a copy of the source in another folder and signed with the run's test publisher: what it
# writes, that it is byte for byte the test build's own installer once the signature is removed, that the
# signatures verify against the test CA (and not once a byte changed), that one signature gives every channel's file,
# and that a wrong option or a setting it cannot build stops it before anything is written. Then scripts/check-release
# on the pinned test build, signed and time-stamped as a release, against the test server.

import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import unittest

from signing import certificate, saved, sign_setup, signed_as_released, stamp_channel

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "wine"))
from https_server import HttpsTestServer  # noqa: E402
from wine_env import PRODUCT  # noqa: E402

CA = certificate("ca")[0]
SHIPPED = os.environ["VELMOR_SHIPPED_INSTALLER"]
VERSION = os.environ["VELMOR_VERSION"]
PORT = int(os.environ["VELMOR_TEST_PORT"])
PATHS = (PRODUCT["release_path"], PRODUCT["webview_path"])  # what the installer fetches
PROGRAM = PRODUCT["program_name"]
VERIFY = ["osslsigncode", "verify", "-CAfile", CA, "-in"]


def release(source, out, *options, allow_placeholders=True, **env):
    """Runs scripts/release in source with the test build's hosts and channel; returns the completed process."""
    args = [os.path.join(source, "scripts", "release"), "--arch", os.environ["VELMOR_RELEASE_ARCH"], "--out", out,
            "--download-host", os.environ["VELMOR_DOWNLOAD_HOST"], "--support-host", os.environ["VELMOR_SUPPORT_HOST"],
            "--distributor", os.environ["VELMOR_DISTRIBUTOR_ID"]] + ["--allow-placeholder-hosts"] * allow_placeholders
    if "--version" not in options:
        args += ["--version", VERSION]
    return subprocess.run(args + list(options), capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000", **env))  # Nov 14 22:13:20 2023 GMT


def run(*command, **options):
    return subprocess.run(command, capture_output=True, check=True, text=True, **options).stdout


def read(path):
    with open(path, "rb") as file:
        return file.read()


def versions(program):
    """The version of the fixed part of the version resource, its FileVersion and ProductVersion strings (each key
    followed by at most one padding character before its value) and the manifest's."""
    resource = subprocess.run(["wrestool", "-x", "--raw", "--type=16", program], capture_output=True).stdout
    most, least = struct.unpack_from("<II", resource, resource.find(struct.pack("<I", 0xFEEF04BD)) + 8)
    strings = dict(re.findall(r"(\w+)\x00\x00?([^\x00]+)\x00", resource.decode("utf-16-le", errors="replace")))
    manifest = subprocess.run(["wrestool", "-x", "--raw", "--type=24", program], capture_output=True, text=True).stdout
    return ("%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF), strings.get("FileVersion"),
            strings.get("ProductVersion"), re.search(r'<assemblyIdentity[^>]*\sversion="([^"]*)"', manifest)[1])


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmor-release-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.source = os.path.join(cls.work, "another", "copy-of-the-source")
        shutil.copytree(SOURCE_DIR, cls.source, symlinks=True,
                        ignore=lambda folder, _: ["build", ".git", "__pycache__"] if folder == SOURCE_DIR else [])

    def test_signed_release_is_the_test_builds_installer(self):
        # The key file is encrypted; its password comes from the file --pass-file names.
        key, password = os.path.join(self.work, "key.pem"), os.path.join(self.work, "password")
        run("openssl", "pkcs8", "-topk8", "-in", certificate("codesign")[1], "-passout", "pass:key password", "-out", key)
        with open(password, "w") as file:
            file.write("key password\n")
        out = os.path.join(self.work, "out")
        result = release(self.source, out, "--cert", certificate("codesign")[0], "--key", key, "--pass-file", password,
                         "--ca-file", CA)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        installer, unsigned = os.path.join(out, PROGRAM + ".exe"), os.path.join(self.work, "unsigned.exe")
        self.assertEqual(sorted(os.listdir(out)), sorted(["SHA256SUMS", PROGRAM + ".exe", "build-record.txt"]))
        run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=out)
        with open(os.path.join(out, "SHA256SUMS")) as sums:
            self.assertIn(sums.read().split()[0], result.stdout)
        self.assertIn("VELMOR_DOWNLOAD_HOST=%s is a placeholder" % os.environ["VELMOR_DOWNLOAD_HOST"], result.stderr)
        run("osslsigncode", "remove-signature", "-in", installer, "-out", unsigned)
        self.assertTrue(read(unsigned) == read(SHIPPED), "two builds of the same source differ")
        # The record names what a rebuild needs, and the unsigned file it must give.
        with open(os.path.join(out, "build-record.txt")) as record:
            lines = record.read().splitlines()
        for line in ("unsigned " + hashlib.sha256(read(SHIPPED)).hexdigest(), "arch " + os.environ["VELMOR_RELEASE_ARCH"],
                     "setting VELMOR_VERSION=" + VERSION, "setting VELMOR_LOG=OFF", "signing time 1700000000"):
            self.assertIn(line, lines)
        for start in ("commit ", "command scripts/release --arch", "package osslsigncode ", "package cmake "):
            self.assertTrue(any(line.startswith(start) for line in lines), (start, lines))
        verified = run(*VERIFY, installer)
        # A SHA-1 signature (Windows 7 without its SHA-2 update checks only that one) and a SHA-256 one nested in it.
        for line in ("Signing time: Nov 14 22:13:20 2023 GMT", "Text description: " + PRODUCT["description"],
                     "CN=Velmor Test Publisher", "Message digest algorithm  : SHA1",
                     "Message digest algorithm  : SHA256", "Number of verified signatures: 2"):
            self.assertIn(line, verified)
        self.assertIn("no --timestamp", result.stderr)
        # One channel slot, which nothing has stamped.
        self.assertEqual((len(stamp_channel.slots(read(installer))), stamp_channel.stamped_channel(read(installer))),
                         (1, None))
        tampered = bytearray(read(installer))
        tampered[len(tampered) // 2] ^= 1
        with open(unsigned, "wb") as copy:
            copy.write(tampered)
        self.assertNotEqual(subprocess.run(VERIFY + [unsigned], capture_output=True).returncode, 0)
        self.assertEqual(versions(installer), (VERSION + ".0", VERSION, VERSION, VERSION + ".0"))

    def test_one_signature_for_every_channel(self):
        # Another version than the test build's, signed with a PKCS#12 file whose password is in the environment.
        pfx, password = os.path.join(self.work, "publisher.p12"), "pfx password"
        run("openssl", "pkcs12", "-export", "-in", certificate("codesign")[0], "-inkey", certificate("codesign")[1],
            "-passout", "pass:" + password, "-out", pfx)
        out = os.path.join(self.work, "channels")
        result = release(self.source, out, "--version", "1.2.3", "--channels", "1,42,77", "--pfx", pfx,
                         "--pass-env", "VELMOR_TEST_PFX_PASSWORD", "--ca-file", CA, VELMOR_TEST_PFX_PASSWORD=password)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        names = ["%s-%s.exe" % (PROGRAM, channel) for channel in ("1", "42", "77")]
        self.assertEqual(sorted(os.listdir(out)), sorted(["SHA256SUMS", "build-record.txt"] + names))
        self.assertEqual(run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=out).split(),
                         [word for name in names for word in (name + ":", "OK")])
        record = read(os.path.join(out, "build-record.txt")).decode()
        self.assertIn("channels 1 42 77\n", record)
        self.assertNotIn(password, record)
        files = [read(os.path.join(out, name)) for name in names]
        digests = set()
        for name, data, channel in zip(names, files, ("1", "42", "77")):
            with self.subTest(name=name):
                self.assertEqual(stamp_channel.stamped_channel(data), channel)
                verified = run(*VERIFY, os.path.join(out, name))
                self.assertIn("Number of verified signatures: 2", verified)
                self.assertEqual(re.findall(r"Current message digest *: (\w+)", verified),
                                 re.findall(r"Calculated message digest *: (\w+)", verified))
                digests.add(tuple(re.findall(r"Calculated message digest *: (\w+)", verified)))
                # Nothing after the signature: the table is exactly the PKCS#7 data, rounded up to 8 bytes.
                offset, size = stamp_channel.certificate_table(data)
                self.assertEqual(data[offset + 8:offset + 10], b"\x30\x82")
                self.assertEqual(size, (8 + 4 + int.from_bytes(data[offset + 10:offset + 12], "big") + 7) // 8 * 8)
                self.assertNotIn("invalid PE checksum", verified)
                self.assertEqual(versions(os.path.join(out, name)), ("1.2.3.0", "1.2.3", "1.2.3", "1.2.3.0"))
        self.assertEqual(len(digests), 1, "the channels' files do not share one Authenticode digest")
        # They differ in the slot and the checksum only.
        slot = stamp_channel.slots(files[0])[0]
        checksum = stamp_channel.checksum_offset(files[0])
        self.assertEqual({at for at in range(len(files[0])) if files[0][at] != files[1][at]} -
                         set(range(slot, slot + stamp_channel.SLOT_SIZE)) - set(range(checksum, checksum + 4)), set())

    def test_stamp_channel_refuses_what_it_cannot_stamp(self):
        tool = os.path.join(SOURCE_DIR, "scripts", "stamp-channel")
        signed = saved(signed_as_released(SHIPPED))
        cases = ((SHIPPED, "42", 1, "not signed"), (saved(signed_as_released(SHIPPED, 2)), "42", 1, "2 channel slots"),
                 (saved(stamp_channel.stamp(read(signed), "7")), "42", 0, ""),
                 (signed, "4a", 2, "not 1 to 9"), (signed, "1234567890", 2, "not 1 to 9"), (signed, "", 2, "not 1 to 9"),
                 (signed, "123456789", 0, ""))
        for source, channel, code, error in cases:
            with self.subTest(channel=channel, source=source):
                out = os.path.join(tempfile.mkdtemp(dir=self.work), "out.exe")
                result = subprocess.run([tool, source, out, channel], capture_output=True, text=True)
                self.assertEqual((result.returncode, os.path.exists(out)), (code, code == 0), result.stderr)
                self.assertIn(error, result.stderr)
                if code == 0:
                    self.assertEqual(stamp_channel.stamped_channel(read(out)), channel)
                    self.assertEqual(subprocess.run(VERIFY + [out], capture_output=True).returncode, 0)

    def test_wrong_options_stop_before_anything_is_written(self):
        # CMake checks the settings (cmake/Product.cmake, cmake/Hosts.cmake); the script names the option that gave
        # a setting CMake refused, as it names its own.
        cases = ((("--log", "maybe"), "--log: VELMOR_LOG='maybe'"), (("--version", "1.2"), "--version: VELMOR_VERSION="),
                 (("--distributor", 'a"b'), "--distributor: VELMOR_DISTRIBUTOR_ID="),
                 (("--payload-signer", "Velmor"), "--payload-signer: VELMOR_PAYLOAD_SIGNER="),
                 (("--arch", "arm"), "--arch arm"), (("--bogus", "1"), "unknown option --bogus"),
                 (("--log",), "--log needs a value"), (("--channels", "1,x"), "--channels 1,x"),
                 (("--channels", "42"), "need a signature"), (("--pfx", "/no/such.p12"), "--pfx /no/such.p12"),
                 (("--pfx", CA, "--pass-env", "VELMOR_NOT_SET"), "--pass-env VELMOR_NOT_SET"),
                 (("--cert", CA), "--cert and --key go together"))
        for options, error in cases:
            with self.subTest(options=options):
                out = os.path.join(self.work, "refused")
                refused = release(self.source, out, *options)
                self.assertEqual(refused.returncode, 2, refused.stderr)
                self.assertIn(error, refused.stderr)
                self.assertFalse(os.path.exists(out))
        # Placeholder hosts, the README's among them, stop a release unless it allows them.
        for host in ("download.example.com", os.environ["VELMOR_DOWNLOAD_HOST"]):
            with self.subTest(host=host):
                refused = release(self.source, out, "--download-host", host, allow_placeholders=False)
                self.assertEqual(refused.returncode, 2, refused.stderr)
                self.assertIn("--download-host %s is a placeholder" % host, refused.stderr)
                self.assertFalse(os.path.exists(out))

    def test_scripts_answer_help_without_starting_their_work(self):
        for script in ("release", "test", "bench", "faults-table", "check-release", "stamp-channel", "bootstrap"):
            with self.subTest(script=script):
                process = subprocess.Popen([os.path.join(self.source, "scripts", script), "--help"], text=True,
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
                try:
                    stdout, stderr = process.communicate(timeout=20)
                finally:
                    if process.poll() is None:
                        os.killpg(process.pid, signal.SIGKILL)
                        process.wait()
                self.assertEqual(process.returncode, 0, stderr)
                self.assertIn("scripts/" + script, stdout)


class CheckRelease(unittest.TestCase):
    # The pinned test build, whose download host is the test server, signed as a release with time stamps from a test
    # time-stamping authority and stamped for channel 42.
    @classmethod
    def setUpClass(cls):
        work = tempfile.mkdtemp(prefix="velmor-check-")
        cls.addClassCleanup(shutil.rmtree, work, True)
        tsa, tsa_key, extensions = (os.path.join(work, name) for name in ("tsa.pem", "tsa.key", "tsa.ext"))
        with open(extensions, "w") as ext:
            ext.write("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                      "extendedKeyUsage=critical,timeStamping\n")
        request = run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", tsa_key, "-subj", "/CN=Test TSA")
        run("openssl", "x509", "-req", "-CA", CA, "-CAkey", certificate("ca")[1], "-set_serial", "7", "-days", "7",
            "-extfile", extensions, "-out", tsa, input=request)
        pinned = os.path.join(os.environ["VELMOR_TEST_BUILD"], "VelmorInstallerPinned.exe")
        stamped = signed_as_released(pinned, 1, "-TSA-certs", tsa, "-TSA-key", tsa_key)
        cls.release = saved(stamp_channel.stamp(stamped, "42"))
        # 8 bytes after the signature, inside the certificate table: osslsigncode verifies it all the same.
        table, size = stamp_channel.certificate_table(stamped)
        padded = bytearray(stamped + bytes(8))
        struct.pack_into("<I", padded, stamp_channel.headers(stamped)[1] + 8 * 4 + 4, size + 8)
        struct.pack_into("<I", padded, table, size + 8)
        cls.padded = saved(bytes(padded))
        cls.untimed = saved(signed_as_released(pinned))
        cls.unsigned = os.path.join(os.environ["VELMOR_TEST_BUILD"], "VelmorInstallerUnderTest.exe")
        cls.server = HttpsTestServer(*certificate("localhost"), port=PORT).start()
        cls.addClassCleanup(cls.server.stop)
        publishers = sign_setup("Velmor Test Publisher", "publisher")
        cls.server.files.update(publishers=publishers, cut=publishers[:-8], setup=read(os.environ["VELMOR_TOOLS_DIR"] +
                                "/fake_setup.exe"), impostors=sign_setup("Velmor Test Publisher", "impostor"))

    def check(self, program, release_route, webview_route):
        """The exit code and {check: (passed, detail)} of scripts/check-release on program while the test server
        answers the two addresses with those routes."""
        self.server.aliases.update(zip(PATHS, (release_route, webview_route)))
        result = subprocess.run([os.path.join(SOURCE_DIR, "scripts", "check-release"), program, "--ca-file", CA],
                                capture_output=True, text=True, timeout=120, env=dict(os.environ, SSL_CERT_FILE=CA))
        lines = re.findall(r"^(ok|FAIL)  +\S+\.exe: (.+?): (.*)$", result.stdout, re.M)
        self.assertEqual(len(lines), len(result.stdout.splitlines()), result.stdout + result.stderr)
        return result.returncode, {check: (verdict == "ok", detail) for verdict, check, detail in lines}

    def test_a_release_passes_and_each_fault_fails_its_own_check(self):
        release, webview = ("https://localhost:%d%s" % (PORT, path) for path in PATHS)
        code, checks = self.check(self.release, "/file/publishers", "/file/publishers")
        self.assertEqual(code, 0, checks)
        self.assertEqual(len(checks), 9)
        for check, detail in (("signature SHA-1", "signer /CN=Velmor Test Publisher, chain to /CN=Velmor Test CA"),
                              ("signature SHA-256", "signer /CN=Velmor Test Publisher, chain to /CN=Velmor Test CA"),
                              ("channel", "42, stamped"), ("version", "%s.0, manifest %s.0" % (VERSION, VERSION)),
                              ("architecture", {"x86": "x86, manifest x86", "x64": "x64, manifest amd64"}[
                                  os.environ["VELMOR_RELEASE_ARCH"]]),
                              (release, "status 200, a whole Windows program"), (webview, "status 200")):
            self.assertTrue(checks[check][0] and checks[check][1].startswith(detail), (check, checks[check]))
        self.assertIn("time-stamped", checks["signature SHA-256"][1])
        # Each fault fails the checks named, and only those.
        cases = ((self.release, "/file/publishers", "/status/404", {webview: "status 404"}),
                 (self.release, "/file/impostors", "/file/publishers", {release: "the pin refuses"}),
                 (self.release, "/file/publishers", "/file/setup", {webview: "not signed, which the pin refuses"}),
                 (self.release, "/file/cut", "/file/publishers", {release: "no whole Windows program"}),
                 (self.padded, "/file/publishers", "/file/publishers", {"certificate table": "rounded up to 8"}),
                 (self.untimed, "/file/publishers", "/file/publishers",
                  {"signature SHA-1": "not time-stamped", "signature SHA-256": "not time-stamped"}),
                 (self.unsigned, "/status/404", "/file/setup", {"signature SHA-1": "missing",
                                                               "signature SHA-256": "missing",
                                                               "certificate table": "the file is not signed",
                                                               release: "status 404"}))
        for program, release_route, webview_route, failures in cases:
            with self.subTest(program=program, routes=(release_route, webview_route)):
                code, checks = self.check(program, release_route, webview_route)
                self.assertEqual(code, 1)
                self.assertEqual({check for check, (passed, _) in checks.items() if not passed}, set(failures), checks)
                for check, detail in failures.items():
                    self.assertIn(detail, checks[check][1])
        # The unsigned build records its built-in channel, and pins no publisher.
        self.assertEqual(checks["channel"], (True, "1, built in (no slot for a stamp)"))
        self.assertTrue(checks[webview][1].endswith("no publisher pinned"), checks[webview])
