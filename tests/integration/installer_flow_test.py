"""The installer from start to exit: a good download, a failed download and a setup program that cannot start."""

import os
import unittest

from installer_harness import (DOWNLOAD_FAILED_TEXT, DOWNLOAD_ORIGIN, LAUNCH_FAILED_TEXT, SUPPORT_URL, WEBVIEW_PATH,
                               Installer, InstallerTestCase, profile_dir, wait_until, winpath)

REGISTRY_FILE_83_BYTES = (b"[[software]]\r\nname = \"velmor\xe5\xbd\x95\xe5\xb1\x8f\xe5\xa4\xa7\xe5\xb8\x88\"\r\n"
                          b"product_id = \"7\"\r\ndistributor_id = \"1\"\r\n")


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

    def test_records_the_product_in_a_hidden_per_user_folder(self):
        folder = os.path.join(profile_dir(), ".velmor")
        registry_file = os.path.join(folder, "config.toml")
        if os.path.exists(registry_file):
            os.unlink(registry_file)
        self.serve("/file/setup")
        installer = Installer(self)
        self.assertEqual(installer.wait(60), 0)

        with open(registry_file, "rb") as written:
            self.assertEqual(written.read(), REGISTRY_FILE_83_BYTES)
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

    def test_cancel_and_escape_open_nothing_more(self):
        for answer in ("cancel", "esc"):
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
        self.serve("/file/not-a-program")
        installer = Installer(self)
        visible, text = installer.answer_box("cancel")
        self.assertFalse(visible, "the window should be hidden before the setup program is started")
        self.assertEqual(text, LAUNCH_FAILED_TEXT)
        self.assertEqual(installer.wait(10), 0, "the installer should close once the box is answered")
        self.assertEqual(installer.opened_urls(), [DOWNLOAD_ORIGIN + WEBVIEW_PATH])
        with open(installer.save_path, "rb") as kept:
            self.assertEqual(kept.read(), self.server.files["not-a-program"])


if __name__ == "__main__":
    unittest.main()
