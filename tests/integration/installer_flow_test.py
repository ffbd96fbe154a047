"""The installer from start to exit: a good download, a failed download and a setup program that cannot start."""

import os
import unittest

from installer_harness import (DOWNLOAD_FAILED_TEXT, DOWNLOAD_ORIGIN, INSTALLER, INSTALLER_WITHOUT_BACKGROUND,
                               LAUNCH_FAILED_TEXT, SUPPORT_URL, WEBVIEW_PATH, Installer, InstallerTestCase, profile_dir,
                               wait_until, winpath)

CONFIG_TOML = (b"[[software]]\r\nname = \"velmor\xe5\xbd\x95\xe5\xb1\x8f\xe5\xa4\xa7\xe5\xb8\x88\"\r\n"
               b"product_id = \"7\"\r\ndistributor_id = \"%s\"\r\n")


class HappyPath(InstallerTestCase):
    def test_runs_the_setup_program_hidden_then_deletes_it_and_exits(self):
        self.serve("/file/setup")
        installer = Installer(self, VELMOR_SETUP_SLEEP_MS=1500)
        self.assertEqual(installer.wait(60), 0)

        record = installer.setup_record()
        self.assertEqual(record.get("cwd", "").rstrip("\\").lower(), winpath(installer.directory).lower())
        self.assertEqual(record.get("window_found"), "1")
        self.assertEqual(record.get("window_visible"), "0")
        self.assertEqual(record.get("ended"), "1", "the installer did not wait for the setup program")
        self.assertFalse(os.path.exists(installer.save_path), "the setup program was not deleted")
        self.assertEqual(installer.opened_urls(), [])
        self.assertEqual(len(self.downloads()), 1)

    def test_records_the_product_and_its_channel_in_a_hidden_per_user_folder(self):
        folder = os.path.join(profile_dir(), ".velmor")
        config_file = os.path.join(folder, "config.toml")
        self.serve("/file/setup")
        # The test build as shipped, then one built with VELMOR_DISTRIBUTOR_ID 42.
        for program, channel in ((INSTALLER, b"1"), (os.environ["VELMOR_INSTALLER_CHANNEL_42"], b"42")):
            with self.subTest(channel=channel):
                if os.path.exists(config_file):
                    os.unlink(config_file)
                installer = Installer(self, program=program)
                self.assertEqual(installer.wait(60), 0)

                with open(config_file, "rb") as written:
                    self.assertEqual(written.read(), CONFIG_TOML % channel)
                self.assertTrue(dos_attributes(folder) & FILE_ATTRIBUTE_HIDDEN, "the .velmor folder is not hidden")


FILE_ATTRIBUTE_HIDDEN = 0x2


def dos_attributes(path):
    """The attributes that Windows programs set on a file, which Wine keeps in the user.DOSATTRIB attribute."""
    try:
        return int(os.getxattr(path, "user.DOSATTRIB").rstrip(b"\0"), 16)
    except OSError:
        return 0


class FailedDownload(InstallerTestCase):
    def start_failing(self):
        return self.start_showing_window("/status/404")

    def test_opens_the_download_page_then_offers_customer_service(self):
        installer = self.start_failing()
        visible, text = installer.answer_box("ok")
        self.assertEqual(text, DOWNLOAD_FAILED_TEXT)
        self.assertTrue(visible, "the window should stay visible after a failed download")
        download_url = DOWNLOAD_ORIGIN + WEBVIEW_PATH
        # The download page was opened before the box appeared; OK then opens the customer-service page.
        self.assertTrue(wait_until(lambda: len(installer.opened_urls()) == 2, 10), installer.opened_urls())
        # The desktop shell starts the browser, which so does not inherit the installer's administrator rights.
        self.assertEqual([(url, program.lower()) for url, program in installer.opened()],
                         [(download_url, "explorer.exe"), (SUPPORT_URL, "explorer.exe")])

        # The window stays open until its close glyph is used.
        self.assertIsNone(installer.wait(2))
        self.assertTrue(installer.window_visible())
        installer.release_at(538, 26)
        self.assertEqual(installer.wait(10), 0)

    def test_cancel_escape_and_close_button_open_nothing_more(self):
        for answer in ("cancel", "esc", "close"):
            with self.subTest(answer=answer):
                installer = self.start_failing()
                _, text = installer.answer_box(answer)
                self.assertEqual(text, DOWNLOAD_FAILED_TEXT)
                self.assertIsNone(installer.wait(2), "the installer must stay open after a failed download")
                self.assertEqual(installer.opened_urls(), [DOWNLOAD_ORIGIN + WEBVIEW_PATH])
                installer.release_at(538, 26)
                self.assertEqual(installer.wait(10), 0)


class FailedStart(InstallerTestCase):
    def test_hides_the_window_shows_the_launch_text_and_keeps_the_file(self):
        download_url = DOWNLOAD_ORIGIN + WEBVIEW_PATH
        for answer, pages in (("cancel", [download_url]), ("esc", [download_url]),
                              ("ok", [download_url, SUPPORT_URL])):
            with self.subTest(answer=answer):
                self.serve("/file/not-a-program")
                installer = Installer(self)
                visible, text = installer.answer_box(answer)
                self.assertFalse(visible, "the window should be hidden before the setup program is started")
                self.assertEqual(text, LAUNCH_FAILED_TEXT)
                self.assertEqual(installer.wait(10), 0, "the installer should close once the box is answered")
                wait_until(lambda: len(installer.opened_urls()) >= len(pages), 10)
                self.assertEqual(installer.opened_urls(), pages)
                with open(installer.save_path, "rb") as kept:
                    self.assertEqual(kept.read(), self.server.files["not-a-program"])


class MissingBackground(InstallerTestCase):
    def test_two_error_boxes_before_the_window_then_the_installer_runs(self):
        self.serve("/file/setup")
        installer = Installer(self, program=INSTALLER_WITHOUT_BACKGROUND)
        # One box from the entry point, one from window creation; the window is not shown before both are answered.
        for _ in range(2):
            visible, text = installer.answer_box("ok", caption="错误")
            self.assertEqual(text, "背景图加载失败！")
            self.assertFalse(visible)
        self.assertEqual(installer.wait(60), 0)
        self.assertEqual(installer.setup_record().get("ended"), "1", "the setup program did not run")


if __name__ == "__main__":
    unittest.main()
