"""The installer's window: where it closes, and that closing works while a download is under way."""

import time
import unittest

from installer_harness import InstallerTestCase


class CloseArea(InstallerTestCase):
    def start_downloading(self):
        # A download that takes minutes keeps the window on screen with the worker busy.
        return self.start_showing_window("/slowfile/setup/2000")

    def test_releases_on_the_close_area_close_the_window(self):
        # The corners of the 29 x 29 area, and a press elsewhere released on it.
        for release, press in (((524, 12), None), ((552, 40), None), ((538, 26), (100, 150))):
            with self.subTest(release=release, press=press):
                installer = self.start_downloading()
                installer.release_at(*release, press_at=press)
                began = time.monotonic()
                self.assertEqual(installer.wait(10), 0)
                # Closing in the middle of a download ends the process at once; the worker is abandoned.
                self.assertLess(time.monotonic() - began, 2.0)

    def test_releases_elsewhere_do_nothing(self):
        installer = self.start_downloading()
        for release, press in (((523, 20), None), ((553, 20), None), ((530, 11), None), ((530, 41), None),
                               ((300, 150), (538, 26)), ((20, 20), None)):
            with self.subTest(release=release, press=press):
                installer.release_at(*release, press_at=press)
                self.assertIsNone(installer.wait(1.0), "the window closed")
                self.assertTrue(installer.window_visible())


if __name__ == "__main__":
    unittest.main()
