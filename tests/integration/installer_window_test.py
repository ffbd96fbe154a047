# The installer's window: where it closes, and that closing works while a download is under way; what a screen reader
# hears of it, and that its close button and the keys close it too. The edges of the close area are a table in the
# unit tests; here the window's own wiring.

import os
import shutil
import subprocess
import time

from installer_harness import HELPER, PRODUCT, RUN, SETUP, SETUP_NAME, Installer, InstallerTestCase, wait_until, \
    xdotool

DESKTOP = r"HKCU\Control Panel\Desktop"


def percentage_pixels(window):
    # The pixels of the window's percentage text (at 96 DPI), as the display shows them.
    return subprocess.run(["import", "-window", window, "-crop", "160x20+40+247", "rgb:-"], env=RUN.env(),
                          capture_output=True, timeout=20, check=True).stdout


class CloseArea(InstallerTestCase):
    def test_only_a_release_on_the_close_area_closes_the_window(self):
        # A download that takes minutes keeps the window on screen with the worker busy.
        self.serve("/slowfile/setup/2000")
        installer = Installer(self)
        place = xdotool("getwindowgeometry", "--shell", installer.window())
        # Releases elsewhere (also after a press on the area) do nothing, and a press and a move do not drag the
        # window; a release on the area after a press elsewhere closes it.
        for release, press in (((523, 20), None), ((530, 41), None), ((300, 150), (538, 26)),
                               ((450, 250), (150, 100))):
            with self.subTest(release=release, press=press):
                installer.release_at(*release, press_at=press)
                self.assertIsNone(installer.wait(1.0), "the window closed")
                self.assertEqual(xdotool("getwindowgeometry", "--shell", installer.window(1)), place, "it moved")
        installer.release_at(552, 40, press_at=(100, 150))
        began = time.monotonic()
        self.assertEqual(installer.wait(10), 0)
        # Closing in the middle of a download ends the process at once; the worker is abandoned, and what it
        # received so far stays in its staging folder and never carries the setup program's name.
        self.assertLess(time.monotonic() - began, 2.0)
        [left] = installer.left_behind()
        folder = os.path.join(RUN.staging_root(), left)
        self.assertEqual(os.listdir(folder), [SETUP_NAME + ".part"])
        shutil.rmtree(folder)



class Scaling(InstallerTestCase):
    # Wine takes the DPI of every process from LogPixels when it starts, and never tells a window of a change.
    def test_the_window_is_laid_out_for_its_screens_dpi(self):
        self.addCleanup(RUN.wine, "reg", "add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "96", "/f")
        RUN.wine("reg", "add", DESKTOP, "/v", "LogPixels", "/t", "REG_DWORD", "/d", "144", "/f")
        self.serve("/slowfile/setup/2000")
        installer = Installer(self)
        geometry = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", installer.window()).split())
        self.assertEqual((geometry["WIDTH"], geometry["HEIGHT"]), ("840", "465"))
        # The close area is where the scaled layout puts it: 44 x 43 from (786, 18); where it lies at 96 DPI nothing.
        for release in ((538, 26), (785, 40), (807, 17), (830, 40)):
            installer.release_at(*release)
            self.assertIsNone(installer.wait(1.0), "closed by a release at %s" % (release,))
        # A screen of 192 DPI: the window takes the size Windows suggests and its layout follows.
        result = RUN.wine(HELPER, "dpi", "192")
        self.assertEqual(result.stdout.decode().strip(), "client=1120x620")
        installer.release_at(1060, 60)
        self.assertEqual(installer.wait(10), 0)
class ScreenReader(InstallerTestCase):
    def read(self):
        # What another process reads through the window's accessible object (see "test_helper accessible").
        result = RUN.wine(HELPER, "accessible", "read")
        self.assertEqual(result.returncode, 0, "no accessible object for the window")
        return dict(line.split("=", 1) for line in result.stdout.decode("utf-8").splitlines())

    def test_hears_the_progress_and_presses_the_close_button(self):
        self.serve("/slowfile/setup/%d" % (len(SETUP) // 20))
        installer = Installer(self)
        place = dict(line.split("=") for line in xdotool("getwindowgeometry", "--shell", installer.window()).split())
        heard = self.read()
        corner = "%d,%d" % (int(place["X"]) + 524, int(place["Y"]) + 12)
        self.assertEqual({name: heard[name] for name in ("role", "name", "children", "close_role", "close_name",
                                                         "close_action", "close_place", "close_hit")},
                         {"role": "48", "name": PRODUCT["display_name"], "children": "1", "close_role": "43",
                          "close_name": PRODUCT["close_name"], "close_action": PRODUCT["press_name"],
                          "close_place": corner + ",29,29", "close_hit": "1"})
        self.assertTrue(int(heard["state"]) & 0x40, "not read-only")
        self.assertRegex(heard["description"], r"^(\d+ KB/s|\d+\.\d\d MB/s)$")
        # The value is the percentage the window shows, and follows the download; so does the window's picture of it.
        values, shot = [heard["value"]], percentage_pixels(place["WINDOW"])
        wait_until(lambda: values.append(self.read()["value"]) or values[-1] != values[0], 15)
        for value in values:
            self.assertRegex(value, r"^\d+%$")
        self.assertNotEqual(values[-1], values[0], "the value did not change as the download went on")
        self.assertTrue(wait_until(lambda: percentage_pixels(place["WINDOW"]) != shot, 5), "the window was not redrawn")
        self.assertEqual(RUN.wine(HELPER, "accessible", "press").returncode, 0)
        began = time.monotonic()
        self.assertEqual(installer.wait(10), 0)
        self.assertLess(time.monotonic() - began, 2.0)

    def test_esc_and_alt_f4_close_the_window(self):
        self.serve("/slowfile/setup/2000")
        for key in ("Escape", "alt+F4"):
            with self.subTest(key=key), Installer(self) as installer:
                # Without a window manager the keyboard follows the pointer: it is put over the window first.
                xdotool("mousemove", "--window", installer.window(), "280", "150")
                xdotool("key", key)
                self.assertEqual(installer.wait(5), 0)
