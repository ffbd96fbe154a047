"""The installer built with three download attempts against servers that fail once, always or for good, and the
installer built with one attempt (the default) against a server that fails once."""

import os
import tempfile
import unittest

from installer_harness import (DOWNLOAD_FAILED_TEXT, INSTALLER, RETRY_INSTALLER, Installer, InstallerTestCase,
                               wait_until, winpath)

CUT = 40000  # bytes of the program sent before the first response is cut off


def asked_for_the_rest(test, log):
    test.assertEqual([entry[2:] for entry in log], [(None, None), ("bytes=%d-" % CUT, '"v1"')])


def waited(seconds):
    return lambda test, log: test.assertGreaterEqual(log[1][0] - log[0][0], seconds)


class Retry(InstallerTestCase):
    def test_attempts(self):
        # route, program, requests made, whether the program runs, a check of the request log
        cases = [
            ("/flaky/range/%d/file/setup" % CUT, RETRY_INSTALLER, 2, True, asked_for_the_rest),
            ("/flaky/norange/%d/file/setup" % CUT, RETRY_INSTALLER, 2, True, asked_for_the_rest),
            ("/flaky/newtag/%d/file/setup" % CUT, RETRY_INSTALLER, 2, True, asked_for_the_rest),
            ("/flaky/busy/2/file/setup", RETRY_INSTALLER, 2, True, waited(2.0)),
            ("/status/404", RETRY_INSTALLER, 1, False, None),
            ("/reset/400000/150000", RETRY_INSTALLER, 3, False, waited(1.0)),
            ("/flaky/range/%d/file/setup" % CUT, INSTALLER, 1, False, None),
        ]
        for route, program, requests, runs, check in cases:
            with self.subTest(route=route, program=os.path.basename(program)):
                self.setUp()
                self.serve(route)
                copy = os.path.join(tempfile.mkdtemp(prefix="velmor-ran-"), "ran.exe")
                installer = Installer(self, program=program, VELMOR_SETUP_COPY=winpath(copy))
                if runs:
                    self.assertEqual(installer.wait(60), 0)
                    self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")
                    with open(copy, "rb") as ran:
                        self.assertTrue(ran.read() == self.server.files["setup"], "what ran is not what was served")
                else:
                    visible, text = installer.answer_box("cancel", timeout=40)
                    installer.release_at(538, 26)
                    self.assertEqual(installer.wait(10), 0)
                    self.assertEqual((visible, text), (True, DOWNLOAD_FAILED_TEXT))
                    self.assertEqual(installer.setup_record(), {}, "a setup program was started")
                self.assertFalse(os.path.exists(installer.save_path), "the setup program was left behind")
                log = self.server.log
                self.assertEqual(len(self.downloads()), requests)
                if check:
                    check(self, log)

    def test_closing_the_window_during_a_wait_ends_the_installer(self):
        self.serve("/flaky/busy/30/file/setup")
        installer = Installer(self, program=RETRY_INSTALLER)
        installer.window()
        self.assertTrue(wait_until(lambda: self.server.log, 20), "no request came")
        installer.release_at(538, 26)
        self.assertEqual(installer.wait(5), 0, "the installer did not end at once")
        self.assertEqual(len(self.downloads()), 1)
        self.assertEqual(installer.setup_record(), {})


if __name__ == "__main__":
    unittest.main()
