# The installer from start to exit: a good download, a failed download, a setup program that cannot start and a
# missing background picture.

import os
import re

from installer_harness import CLOSE_GLYPH, CONFIG, CONFIG_FOLDER, DOWNLOAD_URL, INSTALLER, \
    LAUNCH_FAILED_TEXT, OURS, PRODUCT, SETUP_NAME, SUPPORT_URL, RUN, Installer, InstallerTestCase, built, wait_until
from signing import in_slots, saved, signed_as_released, stamp_channel



def config_toml(channel):
    # The registry file with this product's entry alone, for the channel.
    return b'[[software]]\r\nname = "%s"\r\nproduct_id = "%s"\r\ndistributor_id = "%d"\r\n' % (*OURS, channel)


def plant_links(folder):
    # Links at the names the setup program once had beside the installer, to two files that nothing may change;
    # returns their paths.
    victims = [os.path.join(folder, "victim-%d" % number) for number in (1, 2)]
    for victim in victims:
        with open(victim, "wb") as file:
            file.write(b"victim")
    os.symlink(victims[0], os.path.join(folder, SETUP_NAME + ".part"))
    os.link(victims[1], os.path.join(folder, SETUP_NAME))
    return victims


class HappyPath(InstallerTestCase):
    # The setup program runs from a new folder of %SystemRoot%\Temp, which is gone afterwards, not from the
    # installer's own folder, where links at the names it once had there lead nowhere.
    def test_runs_the_setup_program_hidden_deletes_it_and_records_the_product_hidden_per_user(self):
        # The channel-42 build was built with VELMOR_DISTRIBUTOR_ID 42.
        for program, channel in ((INSTALLER, 1), (built("VelmorInstallerChannel42"), 42)):
            with self.subTest(channel=channel):
                if os.path.exists(CONFIG):
                    os.unlink(CONFIG)
                self.serve("/file/setup")
                installer = Installer(self, program=program, VELMOR_SETUP_SLEEP_MS=1500)
                victims = plant_links(installer.directory)
                self.assertEqual(installer.wait(60), 0)
                with open(CONFIG, "rb") as written:
                    self.assertEqual(written.read(), config_toml(channel))
                # Wine keeps the attributes that Windows programs set in user.DOSATTRIB; 2 is FILE_ATTRIBUTE_HIDDEN.
                self.assertTrue(int(os.getxattr(CONFIG_FOLDER, "user.DOSATTRIB").rstrip(b"\0"), 16) & 2, "not hidden")
                record = installer.setup_record()
                self.assertRegex(record.get("cwd", "").lower(),
                                 r"^c:\\windows\\temp\\%s[0-9a-f]{32}\\?$" % re.escape(PRODUCT["staging_prefix"]))
                # Its temporary folder is a new one inside that folder, not the user's.
                self.assertEqual(record.get("temp", "").lower(), record["cwd"].lower().rstrip("\\") + "\\temp\\")
                self.assertEqual((record.get("window_found"), record.get("window_visible")), ("1", "0"))
                self.assertEqual(record.get("ended"), "1", "the installer did not wait for the setup program")
                self.assertFalse(os.path.exists(RUN.unix_path(record["cwd"])), "its folder was not removed")
                self.assertEqual(installer.left_behind(), [])
                for victim in victims:
                    self.assertEqual(open(victim, "rb").read(), b"victim")
                self.assertEqual(installer.opened_urls(), [])
                self.assertEqual(len(self.downloads()), 1)


class StampedChannel(InstallerTestCase):
    # The test installer signed as scripts/release signs records the channel stamped into its signature's slot only
    # when its certificate table holds one marker followed by 1 to 9 digits; otherwise the channel it was built with.
    def test_records_a_well_formed_stamp_else_its_own_channel(self):
        signed, marker = signed_as_released(INSTALLER), stamp_channel.MARKER
        cases = (("stamped", stamp_channel.stamp(signed, "42"), 42), ("empty slot", signed, 1),
                 ("not digits", in_slots(signed, marker + b"4x2"), 1),
                 ("ten digits", in_slots(signed, marker + b"1234567890"), 1),
                 ("two slots", in_slots(signed_as_released(INSTALLER, 2), marker + b"42"), 1))
        for case, program, channel in cases:
            with self.subTest(case=case):
                if os.path.exists(CONFIG):
                    os.unlink(CONFIG)
                self.serve("/file/setup")
                self.assertEqual(Installer(self, program=saved(program)).wait(60), 0)
                with open(CONFIG, "rb") as written:
                    self.assertEqual(written.read(), config_toml(channel))


class FailedDownload(InstallerTestCase):
    # Answers the box and expects the pages opened through the desktop shell (explorer.exe), so that the browser does
    # not inherit the installer's administrator rights: the download page before the box, the support page on OK
    # (Cancel is answered in every failing case of installer_faults_test).
    def test_opens_the_download_page_then_on_ok_customer_service(self):
        for answer, pages in (("ok", [DOWNLOAD_URL, SUPPORT_URL]), ("esc", [DOWNLOAD_URL]), ("close", [DOWNLOAD_URL])):
            with self.subTest(answer=answer):
                self.serve("/status/404")
                installer = Installer(self)
                installer.fail_and_close(self, answer)
                self.assertEqual([(url, name.lower()) for url, name in installer.opened(len(pages))],
                                 [(page, "explorer.exe") for page in pages])


class FailedStart(InstallerTestCase):
    # The file is removed with its folder: only administrators could reach it there, and the browser has the page.
    def test_hides_the_window_shows_the_launch_text_and_removes_the_file(self):
        for answer, pages in (("cancel", [DOWNLOAD_URL]), ("ok", [DOWNLOAD_URL, SUPPORT_URL])):
            with self.subTest(answer=answer):
                self.serve("/file/not-a-program")
                installer = Installer(self)
                self.assertEqual(installer.answer_box(answer), (False, LAUNCH_FAILED_TEXT))
                self.assertEqual(installer.wait(10), 0, "the installer should close once the box is answered")
                self.assertEqual(installer.opened_urls(len(pages)), pages)
                self.assertEqual(installer.left_behind(), [])
                self.assertEqual(len(self.downloads()), 1)


class MissingBackground(InstallerTestCase):
    def test_two_error_boxes_before_the_window_then_the_installer_runs(self):
        self.serve("/file/setup")
        installer = Installer(self, program=built("VelmorInstallerWithoutBackground"))
        # One box from the entry point, one from window creation; the window is not shown before both are answered.
        for _ in range(2):
            self.assertEqual(installer.answer_box("ok", caption=PRODUCT["error_caption"]),
                             (False, PRODUCT["background_missing"]))
        self.assertEqual(installer.wait(60), 0)
        self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")


class ClosedDuringDownload(InstallerTestCase):
    # The window's close ends the installer at once and leaves its staging folder with the partial download in it; the
    # next run removes that folder, and every other that no running installer holds.
    def test_the_next_run_removes_what_a_closed_run_left(self):
        self.serve("/slowfile/setup/20000")
        closed = Installer(self)
        self.assertTrue(wait_until(lambda: any(os.path.exists(os.path.join(RUN.staging_root(), name,
                                                                           SETUP_NAME + ".part"))
                                               for name in closed.left_behind()), 20), "no download began")
        closed.release_at(*CLOSE_GLYPH)
        self.assertEqual(closed.wait(10), 0)
        self.assertEqual(len(closed.left_behind()), 1)
        self.serve("/file/setup")
        self.assertEqual(Installer(self).wait(60), 0)
        self.assertEqual(RUN.staging_folders(), set())
