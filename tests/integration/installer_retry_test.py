# The installer built with three download attempts against servers that fail once, always or for good, and the one
# built with one attempt (the default) against a server that fails once. How each kind of cut-off answer is resumed
# or restarted is the downloader's own test.

import os
import tempfile

from installer_harness import INSTALLER, Installer, InstallerTestCase, built, winpath

RETRY_INSTALLER = built("VelmorInstallerRetryUnderTest")
CUT = 40000  # bytes of the program sent before the first response is cut off


class Retry(InstallerTestCase):
    def test_attempts(self):
        # route, program, (Range, If-Range) of each request, the least seconds between the first two, the file that
        # runs (None: none). A body whose date is too young to tell it from another written in the same second is
        # not continued: the program that runs is the one served whole. One that never comes whole never runs.
        half = CUT + (len(self.server.files["setup"]) - CUT) // 2
        cases = [
            ("/flaky/range/%d/file/setup" % CUT, RETRY_INSTALLER, [(None, None), ("bytes=%d-" % CUT, '"v1"')], 0,
             "setup"),
            ("/flaky/splice/%d/file/setup" % CUT, RETRY_INSTALLER, [(None, None)] * 2, 0, "setup2"),
            ("/flaky/short/%d/file/setup" % CUT, RETRY_INSTALLER,
             [(None, None), ("bytes=%d-" % CUT, '"v1"'), ("bytes=%d-" % half, '"v1"')], 0, None),
            ("/flaky/busy/2/file/setup", RETRY_INSTALLER, [(None, None)] * 2, 2.0, "setup"),
            ("/status/404", RETRY_INSTALLER, [(None, None)], 0, None),
            ("/reset/400000/150000", RETRY_INSTALLER, [(None, None)] * 3, 1.0, None),
            ("/flaky/range/%d/file/setup" % CUT, INSTALLER, [(None, None)], 0, None),
        ]
        for route, program, requests, wait, runs in cases:
            with self.subTest(route=route, program=os.path.basename(program)):
                self.server.take_requests()
                self.serve(route)
                copy = os.path.join(tempfile.mkdtemp(prefix="velmor-ran-"), "ran.exe")
                with Installer(self, program=program, VELMOR_SETUP_COPY=winpath(copy)) as installer:
                    if runs:
                        self.assertEqual(installer.wait(60), 0)
                        with open(copy, "rb") as ran:
                            self.assertTrue(ran.read() == self.server.files[runs], "not what was served ran")
                        self.assertEqual(installer.left_behind(), [], "the setup program was left behind")
                    else:
                        installer.fail_and_close(self, timeout=40)
                log = self.server.log
                self.assertEqual([entry[2:4] for entry in log], requests)
                if wait:
                    self.assertGreaterEqual(log[1][0] - log[0][0], wait)
