# scripts/release, run from a copy of the source in another folder and signed with the run's test publisher: what it
# writes, that it is byte for byte the test build's own VelmorInstaller.exe, that Windows accepts the signature, and
# that a setting it cannot build stops it before anything is written.

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

from installer_harness import RUN, TOOLS_DIR, winpath

SOURCE_DIR = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
SHIPPED = os.environ["VELMOR_SHIPPED_INSTALLER"]
VERSION = os.environ["VELMOR_VERSION"]
PKI = RUN.pki


def release(source, out, *options):
    """Runs scripts/release in source with the test build's hosts and channel; returns the completed process."""
    args = [os.path.join(source, "scripts", "release"), "--arch", os.environ["VELMOR_RELEASE_ARCH"], "--out", out,
            "--version", VERSION,
            "--download-host", os.environ["VELMOR_DOWNLOAD_HOST"], "--support-host", os.environ["VELMOR_SUPPORT_HOST"],
            "--distributor", os.environ["VELMOR_DISTRIBUTOR_ID"], *options]
    return subprocess.run(args, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, SOURCE_DATE_EPOCH="1700000000"))  # Nov 14 22:13:20 2023 GMT


def verify_trust(path):
    result = RUN.wine(os.path.join(TOOLS_DIR, "verify_trust.exe"), winpath(path))
    return dict(line.split("=", 1) for line in result.stdout.decode("utf-8").splitlines() if "=" in line)


def run(*command, **options):
    return subprocess.run(command, capture_output=True, check=True, **options).stdout


class SignedRelease(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="velmor-release-")
        cls.addClassCleanup(shutil.rmtree, cls.work, True)
        cls.source = os.path.join(cls.work, "another", "copy-of-the-source")
        shutil.copytree(SOURCE_DIR, cls.source, symlinks=True,
                        ignore=lambda folder, _: ["build", ".git", "__pycache__"] if folder == SOURCE_DIR else [])
        cls.out = os.path.join(cls.work, "out")
        cls.result = release(cls.source, cls.out, "--cert", os.path.join(PKI, "codesign.pem"), "--key",
                             os.path.join(PKI, "codesign.key"), "--ca-file", os.path.join(PKI, "ca.pem"))
        cls.installer = os.path.join(cls.out, "VelmorInstaller.exe")

    def setUp(self):
        self.assertEqual(self.result.returncode, 0, self.result.stdout + self.result.stderr)

    def test_writes_the_installer_and_its_hash(self):
        self.assertEqual(sorted(os.listdir(self.out)), ["SHA256SUMS", "VelmorInstaller.exe"])
        run("sha256sum", "--check", "--strict", "SHA256SUMS", cwd=self.out)
        with open(os.path.join(self.out, "SHA256SUMS")) as sums:
            self.assertIn(sums.read().split()[0], self.result.stdout)

    def test_is_the_test_builds_installer_signed_at_the_source_date(self):
        unsigned = os.path.join(self.work, "unsigned.exe")
        run("osslsigncode", "remove-signature", "-in", self.installer, "-out", unsigned)
        with open(unsigned, "rb") as built_here, open(SHIPPED, "rb") as built_there:
            self.assertTrue(built_here.read() == built_there.read(), "two builds of the same source differ")
        verified = run("osslsigncode", "verify", "-CAfile", os.path.join(PKI, "ca.pem"), "-in", self.installer,
                       text=True)
        self.assertIn("Signing time: Nov 14 22:13:20 2023 GMT", verified)
        self.assertIn("Text description: Velmor Installer", verified)

    def test_windows_trusts_the_signature_and_names_the_publisher(self):
        spki = run("openssl x509 -in codesign.pem -pubkey -noout | openssl pkey -pubin -outform der | sha256sum",
                   shell=True, cwd=PKI, text=True)
        self.assertEqual(verify_trust(self.installer), {"hresult": "0x00000000", "subject_cn": "Velmor Test Publisher",
                                                        "spki_sha256": spki.split()[0]})
        tampered = os.path.join(self.work, "tampered.exe")
        with open(self.installer, "rb") as signed, open(tampered, "wb") as copy:
            data = bytearray(signed.read())
            data[len(data) // 2] ^= 1
            copy.write(data)
        self.assertEqual(verify_trust(tampered)["hresult"], "0x80096010")  # TRUST_E_BAD_DIGEST
        self.assertEqual(verify_trust(SHIPPED)["hresult"], "0x800b0100")  # TRUST_E_NOSIGNATURE

    def test_carries_the_version_and_names(self):
        resource = run("wrestool", "-x", "--raw", "--type=16", self.installer)
        # Every StringFileInfo key is followed by at most one padding character before its value.
        strings = dict(re.findall(r"(\w+)\x00\x00?([^\x00]+)\x00", resource.decode("utf-16-le", errors="replace")))
        most, least = struct.unpack_from("<II", resource, resource.find(struct.pack("<I", 0xFEEF04BD)) + 8)
        self.assertEqual((most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF),
                         tuple(int(part) for part in VERSION.split(".")) + (0,))
        self.assertEqual(
            {key: strings.get(key) for key in ("FileVersion", "ProductVersion", "FileDescription", "ProductName",
                                                "InternalName", "OriginalFilename", "CompanyName")},
            {"FileVersion": VERSION, "ProductVersion": VERSION, "FileDescription": "Velmor Installer",
             "ProductName": "velmor录屏大师", "InternalName": "VelmorInstaller.exe",
             "OriginalFilename": "VelmorInstaller.exe", "CompanyName": "Velmor"})

    def test_a_setting_the_installer_cannot_carry_stops_at_configure(self):
        cases = (("--distributor", 'a"b', "VELMOR_DISTRIBUTOR_ID='a\"b' must be 1 to 32 printable ASCII"),
                 ("--distributor", "", "VELMOR_DISTRIBUTOR_ID='' must be 1 to 32 printable ASCII"),
                 ("--distributor", "x" * 33, "VELMOR_DISTRIBUTOR_ID='%s' must be 1 to 32" % ("x" * 33)),
                 ("--version", "1.2", "VELMOR_VERSION='1.2' is not a version X.Y.Z"),
                 ("--download-host", "a/b", "VELMOR_DOWNLOAD_HOST='a/b' is not a host name"),
                 ("--attempts", "11", "VELMOR_DOWNLOAD_ATTEMPTS='11' is not a whole number from 1 to 10"),
                 ("--payload-keys", "abc", "VELMOR_PAYLOAD_KEY_SHA256='abc' is not a comma-separated list"))
        for option, value, message in cases:
            with self.subTest(option=option, value=value):
                out = os.path.join(self.work, "refused")
                refused = release(self.source, out, option, value)
                self.assertNotEqual(refused.returncode, 0)
                self.assertIn(message, " ".join(refused.stderr.split()))
                self.assertFalse(os.path.exists(out))

