"""The installer as the elevated program it is: it loads no DLL from its own folder, the program it starts is the
program it received and nobody can change that program while it is held, and the build pinned to a publisher starts
only that publisher's programs."""

import os
import shutil
import subprocess
import tempfile
import unittest

from installer_harness import (DOWNLOAD_FAILED_TEXT, INSTALLER, TOOLS_DIR, Installer, InstallerTestCase, wait_until,
                               wine, winpath)

PINNED_INSTALLER = os.environ["VELMOR_PINNED_INSTALLER"]
PUBLISHER_DIR = os.environ["VELMOR_TEST_PUBLISHER_DIR"]

# Windows' DLLs that are no KnownDLLs and that the installer, or Windows' DLLs on its behalf, may load by name.
# version.dll and propsys.dll are left out: Wine's own DLLs load them before any program code runs.
PLANTED_NAMES = ("winhttp gdiplus comctl32 uxtheme dwmapi cryptbase crypt32 bcrypt secur32 ncrypt wintrust winmm "
                 "userenv sspicli rsaenh cryptsp dnsapi iphlpapi").split()


def sign(certificate, key, source):
    """The bytes of source signed with the test publisher material certificate and key."""
    with tempfile.TemporaryDirectory() as folder:
        target = os.path.join(folder, "signed.exe")
        subprocess.run(["osslsigncode", "sign", "-certs", os.path.join(PUBLISHER_DIR, certificate),
                        "-key", os.path.join(PUBLISHER_DIR, key), "-h", "sha256", "-n", "Velmor Cap",
                        "-in", source, "-out", target], check=True, capture_output=True)
        with open(target, "rb") as signed:
            return signed.read()


class HardeningTestCase(InstallerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        setup = os.path.join(TOOLS_DIR, "fake_setup.exe")
        files = cls.server.files
        files["signed"] = sign("publisher.pem", "publisher.key", setup)
        files["renamed"] = sign("renamed.pem", "publisher.key", setup)
        files["impostor"] = sign("impostor.pem", "impostor.key", setup)
        altered = bytearray(files["signed"])
        altered[len(altered) // 2] ^= 0x01
        files["altered"] = bytes(altered)


class PlantedDlls(HardeningTestCase):
    def test_installs_without_loading_a_dll_from_its_own_folder(self):
        for program in (INSTALLER, PINNED_INSTALLER):
            with self.subTest(program=os.path.basename(program)):
                self.serve("/file/signed")
                folder = tempfile.mkdtemp(prefix="velmor-planted-")
                shutil.copy(program, os.path.join(folder, "VelmorInstaller.exe"))
                for name in PLANTED_NAMES:
                    shutil.copy(os.path.join(TOOLS_DIR, "planted_dll.dll"), os.path.join(folder, name + ".dll"))
                with tempfile.TemporaryFile() as log:
                    installer = Installer(self, folder, program=os.path.join(folder, "VelmorInstaller.exe"),
                                          stderr=log, WINEDEBUG="+pid,+loaddll",
                                          WINEDLLOVERRIDES="mscoree,mshtml=;%s=n,b" % ",".join(PLANTED_NAMES))
                    self.assertEqual(installer.wait(90), 0)
                    log.seek(0)
                    text = log.read().decode("utf-8", "replace").replace("\\\\", "\\")  # Wine doubles them
                    loads = [line for line in text.splitlines() if "Loaded" in line]

                self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
                # Lines start with the process id; the installer's is the one that loaded it.
                pid = next(line.split(":")[0] for line in loads if "VelmorInstaller.exe" in line)
                own = [line for line in loads if line.startswith(pid + ":")]
                self.assertTrue(any("system32\\winhttp.dll" in line.lower() for line in own), own)
                folder_name = winpath(folder).lower() + "\\"
                planted = [line for line in own if folder_name in line.lower() and ".exe\"" not in line.lower()]
                self.assertEqual(planted, [])


class HeldProgram(HardeningTestCase):
    def test_nobody_can_change_the_program_while_it_runs(self):
        self.serve("/file/setup")
        installer = Installer(self, VELMOR_SETUP_SLEEP_MS=3000)
        self.assertTrue(wait_until(lambda: "window_visible" in installer.setup_record(), 30), "setup did not start")
        tamper = wine(os.path.join(TOOLS_DIR, "hold_file.exe"), "--tamper", winpath(installer.save_path))
        self.assertEqual(tamper.stdout.decode().strip(), "write=0 rename=0 delete=0")
        self.assertEqual(installer.wait(30), 0)
        self.assertEqual(installer.setup_record().get("ended"), "1")
        self.assertEqual(os.listdir(installer.directory), [], "the setup program was not deleted")


class PinnedPublisher(HardeningTestCase):
    def test_starts_only_what_the_pinned_publisher_signed(self):
        cases = [
            ("signed", True),     # the publisher's name and key
            ("renamed", False),   # the publisher's key under another name
            ("impostor", False),  # the publisher's name with another key
            ("setup", False),     # unsigned
            ("altered", False),   # signed by the publisher, then one byte changed
        ]
        for payload, runs in cases:
            with self.subTest(payload=payload):
                self.serve("/file/" + payload)
                installer = Installer(self, program=PINNED_INSTALLER)
                if runs:
                    self.assertEqual(installer.wait(60), 0)
                    self.assertEqual(installer.setup_record().get("ended"), "1")
                else:
                    visible, text = installer.answer_box("cancel")
                    self.assertEqual(text, DOWNLOAD_FAILED_TEXT)
                    self.assertTrue(visible)
                    self.assertEqual(installer.setup_record(), {}, "a refused program was started")
                    installer.kill()
                self.assertEqual(os.listdir(installer.directory), [])


if __name__ == "__main__":
    unittest.main()
