# scripts/release, run from a copy of the source in another folder and signed with the run's test publisher: what it
# writes, that it is byte for byte the test build's own VelmorInstaller.exe, that the signature verifies against the
# test CA (and not once a byte changed), and that a setting it cannot build stops it before anything is written.

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

PKI = os.path.join(os.environ["VELMOR_RUN_DIR"], "pki")  # the run's test certificates (see make-test-pki)

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SHIPPED = os.environ["VELMOR_SHIPPED_INSTALLER"]
VERSION = os.environ["VELMOR_VERSION"]


def release(source, out, *options):
    """Runs scripts/release in source with the test build's hosts and channel; returns the completed process."""
    args = [os.path.join(source, "scripts", "release"), "--arch", os.environ["VELMOR_RELEASE_ARCH"], "--out", out,
            "--version", VERSION, "--download-host", os.environ["VELMOR_DOWNLOAD_HOST"],
            "--support-host", os.environ["VELMOR_SUPPORT_HOST"], "--distributor", os.environ["VELMOR_DISTRIBUTOR_ID"]]
    return subprocess.run(args + list(options), capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))  # Nov 14 22:13:20 2023 GMT


def run(*command, **options):
    return subprocess.run(command, capture_output=True, check=True, text=True, **options).stdout


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmor-release-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.source = os.path.join(cls.work, "another", "copy-of-the-source")
        shutil.copytree(SOURCE_DIR, cls.source, symlinks=True,
                        ignore=lambda folder, _: ["build", ".git", "__pycache__"] if folder == SOURCE_DIR else [])

    def test_signed_release_is_the_test_builds_installer(self):
        out = os.path.join(self.work, "out")
        result = release(self.source, out, "--cert", os.path.join(PKI, "codesign.pem"), "--key",
                         os.path.join(PKI, "codesign.key"), "--ca-file", os.path.join(PKI, "ca.pem"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        installer, unsigned = os.path.join(out, "VelmorInstaller.exe"), os.path.join(self.work, "unsigned.exe")
        self.assertEqual(sorted(os.listdir(out)), ["SHA256SUMS", "VelmorInstaller.exe"])
        run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=out)
        with open(os.path.join(out, "SHA256SUMS")) as sums:
            self.assertIn(sums.read().split()[0], result.stdout)
        run("osslsigncode", "remove-signature", "-in", installer, "-out", unsigned)
        with open(unsigned, "rb") as built_here, open(SHIPPED, "rb") as built_there:
            self.assertTrue(built_here.read() == built_there.read(), "two builds of the same source differ")
        verify = ["osslsigncode", "verify", "-CAfile", os.path.join(PKI, "ca.pem"), "-in"]
        verified = run(*verify, installer)
        # A SHA-1 signature (Windows 7 without its SHA-2 update checks only that one) and a SHA-256 one nested in it.
        for line in ("Signing time: Nov 14 22:13:20 2023 GMT", "Text description: Velmor Installer",
                     "CN=Velmor Test Publisher", "Message digest algorithm  : SHA1",
                     "Message digest algorithm  : SHA256", "Number of verified signatures: 2"):
            self.assertIn(line, verified)
        self.assertIn("no --timestamp", result.stderr)
        tampered = bytearray(open(installer, "rb").read())
        tampered[len(tampered) // 2] ^= 1
        with open(unsigned, "wb") as copy:
            copy.write(tampered)
        self.assertNotEqual(subprocess.run(verify + [unsigned], capture_output=True).returncode, 0)
        # The version stamped into the version resource: its fixed part, and the StringFileInfo keys (each followed
        # by at most one padding character before its value).
        resource = subprocess.run(["wrestool", "-x", "--raw", "--type=16", installer], capture_output=True).stdout
        most, least = struct.unpack_from("<II", resource, resource.find(struct.pack("<I", 0xFEEF04BD)) + 8)
        self.assertEqual("%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF), VERSION + ".0")
        strings = dict(re.findall(r"(\w+)\x00\x00?([^\x00]+)\x00", resource.decode("utf-16-le", errors="replace")))
        self.assertEqual((strings.get("FileVersion"), strings.get("ProductVersion")), (VERSION, VERSION))

    def test_a_setting_the_installer_cannot_carry_stops_at_configure(self):
        # The checks themselves are CMake's (cmake/Product.cmake, cmake/Hosts.cmake); here that they stop a release.
        cases = (("--distributor", 'a"b', "VELMOR_DISTRIBUTOR_ID"), ("--version", "1.2", "VELMOR_VERSION"),
                 ("--payload-signer", "Velmor", "VELMOR_PAYLOAD_SIGNER"))
        for option, value, variable in cases:
            with self.subTest(option=option, value=value):
                out = os.path.join(self.work, "refused")
                refused = release(self.source, out, option, value)
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(variable + "=", refused.stderr)
                self.assertFalse(os.path.exists(out))
