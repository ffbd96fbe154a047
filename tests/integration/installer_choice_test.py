# Which build the installer fetches, by Windows version and by the WebView2 Runtime's registry values.

import os
import tempfile

from installer_harness import RELEASE_PATH, RUN, WEBVIEW_PATH, Installer, InstallerTestCase, winpath

CLIENT = r"Microsoft\EdgeUpdate\Clients\{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}"
MACHINE_KEY = r"HKEY_LOCAL_MACHINE\SOFTWARE\WOW6432Node" + "\\" + CLIENT
USER_KEY = r"HKEY_CURRENT_USER\Software" + "\\" + CLIENT

# Windows version, "pv" under the per-machine key, "pv" under the per-user key (None: no key), the path fetched
CASES = [
    ("win7", "1.2.3.4", "1.2.3.4", WEBVIEW_PATH),    # Windows 7 never asks the registry
    ("win10", "1.2.3.4", None, RELEASE_PATH),
    ("win10", "0.0.0.0", "120.0.2210.91", RELEASE_PATH),  # a placeholder version does not hide the other key
    ("win10", None, "120.0.2210.91", RELEASE_PATH),
    ("win10", "", "", WEBVIEW_PATH),
    ("win10", "0.0.0.0", "0.0.0.0", WEBVIEW_PATH),
    ("win10", None, None, WEBVIEW_PATH),
    ("win10", "1" * 300, None, WEBVIEW_PATH),       # too long for the 256-unit buffer: counts as absent
    ("win8", "1.2.3.4", None, RELEASE_PATH),
]


def set_machine(version, machine_pv, user_pv):
    lines = ["REGEDIT4", "", r"[HKEY_CURRENT_USER\Software\Wine]", '"Version"="%s"' % version, "",
             "[-%s]" % MACHINE_KEY, "[-%s]" % USER_KEY, ""]
    for key, value in ((MACHINE_KEY, machine_pv), (USER_KEY, user_pv)):
        if value is not None:
            lines += ["[%s]" % key, '"pv"="%s"' % value, ""]
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "choice.reg"), "w") as script:
            script.write("\n".join(lines))
        # regedit would write into the 32-bit view where wine32 is installed
        if RUN.wine("reg", "import", winpath(script.name), "/reg:64").returncode != 0:
            raise RuntimeError("reg import failed")


class ChoiceOfBuild(InstallerTestCase):
    def test_fetches_the_build_that_fits_the_machine(self):
        self.addCleanup(set_machine, "win10", None, None)
        self.serve("/file/setup")
        for version, machine_pv, user_pv, expected in CASES:
            with self.subTest(version=version, machine=machine_pv and machine_pv[:20], user=user_pv):
                set_machine(version, machine_pv, user_pv)
                self.assertEqual(Installer(self).wait(60), 0)
                self.assertEqual(self.downloads(), [expected])
