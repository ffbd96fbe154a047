"""Which build the installer fetches, by Windows version and by the WebView2 Runtime's registry values."""

import unittest

from installer_harness import (RELEASE_PATH, WEBVIEW2_MACHINE_KEY, WEBVIEW2_USER_KEY, WEBVIEW_PATH, Installer,
                               InstallerTestCase, import_registry, reg_string)

# Each case: Windows version, "pv" under the per-machine key, "pv" under the per-user key (None: no key), and the
# path that must be fetched.
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
    lines = ["[HKEY_CURRENT_USER\\Software\\Wine]", '"Version"=%s' % reg_string(version), "",
             "[-%s]" % WEBVIEW2_MACHINE_KEY, "[-%s]" % WEBVIEW2_USER_KEY, ""]
    for key, value in ((WEBVIEW2_MACHINE_KEY, machine_pv), (WEBVIEW2_USER_KEY, user_pv)):
        if value is not None:
            lines += ["[%s]" % key, '"pv"=%s' % reg_string(value), ""]
    import_registry(lines)


class ChoiceOfBuild(InstallerTestCase):
    @classmethod
    def tearDownClass(cls):
        set_machine("win10", None, None)
        super().tearDownClass()

    def test_fetches_the_build_that_fits_the_machine(self):
        self.serve("/file/setup")
        for version, machine_pv, user_pv, expected in CASES:
            with self.subTest(version=version, machine=machine_pv and machine_pv[:20], user=user_pv):
                set_machine(version, machine_pv, user_pv)
                installer = Installer(self)
                self.assertEqual(installer.wait(60), 0)
                self.assertEqual(self.downloads(), [expected])


if __name__ == "__main__":
    unittest.main()
