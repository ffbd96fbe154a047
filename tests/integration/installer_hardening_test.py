# The installer as the elevated program it is: it loads no DLL from its own folder, nobody can change the program it
# starts while it is held, and the build pinned to a publisher starts only that publisher's programs.

import os
import shutil
import tempfile

from installer_harness import HELPER, INSTALLER, PRODUCT, RUN, SETUP_NAME, TOOL, Installer, InstallerTestCase, built, \
    wait_until, winpath
from signing import sign_setup, stamp_channel

PINNED_INSTALLER = built("VelmorInstallerPinned")
PROGRAM = PRODUCT["program_name"] + ".exe"  # the name users download it by
PLANTED_DLL = os.path.join(os.path.dirname(TOOL), "planted_dll.dll")

# Windows' DLLs that are no KnownDLLs and that the installer, or Windows' DLLs on its behalf, may load by name.
# version.dll and propsys.dll are left out: Wine's own DLLs load them before any program code runs.
PLANTED_NAMES = ("winhttp gdiplus comctl32 oleacc uxtheme dwmapi cryptbase crypt32 bcrypt secur32 ncrypt wintrust winmm "
                 "userenv sspicli rsaenh cryptsp dnsapi iphlpapi").split()


class HardeningTestCase(InstallerTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        files = cls.server.files
        files.update(signed=sign_setup("Velmor Test Publisher", "publisher"),
                     renamed=sign_setup("Velmor Other Publisher", "publisher"),
                     impostor=sign_setup("Velmor Test Publisher", "impostor"),
                     stamped=stamp_channel.stamp(sign_setup("Velmor Test Publisher", "publisher",
                                                            "-addUnauthenticatedBlob"), "42"))
        files["altered"] = bytearray(files["signed"])
        files["altered"][len(files["altered"]) // 2] ^= 0x01


class PlantedDlls(HardeningTestCase):
    # The pinned build starts the publisher's program here; both builds hold the program so that nobody can change
    # it while it runs. Neither the installer nor the setup program it starts (which loads winmm.dll by name) loads a
    # DLL planted in the installer's folder.
    def test_installs_without_loading_a_dll_from_its_own_folder(self):
        self.serve("/file/signed")
        for program in (INSTALLER, PINNED_INSTALLER):
            with self.subTest(program=os.path.basename(program)), tempfile.TemporaryFile() as log:
                folder = tempfile.mkdtemp(prefix="velmor-planted-")
                shutil.copy(program, os.path.join(folder, PROGRAM))
                for name in PLANTED_NAMES:
                    shutil.copy(PLANTED_DLL, os.path.join(folder, name + ".dll"))
                # The setup program runs until the tampering has been tried.
                release = os.path.join(tempfile.mkdtemp(prefix="velmor-release-"), "release")
                installer = Installer(self, folder, program=os.path.join(folder, PROGRAM), stderr=log,
                                      WINEDEBUG="+pid,+loaddll", VELMOR_SETUP_WAIT_FOR=winpath(release),
                                      WINEDLLOVERRIDES="mscoree,mshtml=;%s=n,b" % ",".join(PLANTED_NAMES))
                self.assertTrue(wait_until(lambda: "window_visible" in installer.setup_record(), 60))
                setup = installer.setup_record()["cwd"].rstrip("\\") + "\\" + SETUP_NAME
                tamper = RUN.wine(HELPER, "tamper", setup)
                open(release, "w").close()
                self.assertEqual(tamper.stdout.decode().strip(), "found=1 write=0 rename=0 delete=0")
                self.assertEqual(installer.wait(60), 0)
                self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
                self.assertEqual(installer.left_behind(), [], "the setup program was not deleted")
                log.seek(0)
                # Lines start with the process id of the process that loaded the DLL. Wine doubles backslashes.
                loads = [line.lower() for line in log.read().decode("utf-8", "replace").replace("\\\\", "\\")
                         .splitlines() if "Loaded" in line]
                pids = {name: next(line.split(":")[0] for line in loads if name in line and ".exe\"" in line)
                        for name in (PROGRAM.lower(), SETUP_NAME.lower())}
                for name, dll in ((PROGRAM.lower(), "winhttp"), (SETUP_NAME.lower(), "winmm")):
                    self.assertTrue(any(line.startswith(pids[name] + ":") and "system32\\%s.dll" % dll in line
                                        for line in loads), (name, dll))
                inside = winpath(folder).lower() + "\\"
                self.assertEqual([line for line in loads if inside in line and '.exe"' not in line], [])


class PinnedPublisher(HardeningTestCase):
    def test_starts_only_what_the_pinned_publisher_signed(self):
        # The publisher's key under another name, the name with another key, unsigned, and signed then changed.
        for payload in ("renamed", "impostor", "setup", "altered"):
            with self.subTest(payload=payload):
                self.serve("/file/" + payload)
                installer = Installer(self, program=PINNED_INSTALLER)
                installer.fail_and_close(self)
                self.assertEqual(os.listdir(installer.directory), [])

    # The stamp lies outside what the signature covers: a program signed with a channel slot and stamped passes the
    # signature check and the pin.
    def test_starts_the_pinned_publishers_stamped_program(self):
        self.serve("/file/stamped")
        installer = Installer(self, program=PINNED_INSTALLER)
        self.assertEqual(installer.wait(60), 0)
        self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
