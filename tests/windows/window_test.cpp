// The window side of the install workflow, in-process under Wine: progress reports repaint the window, and a worker
// that fails anywhere still leads the user to the download page.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/main_window.h"
#include "base/com.h"
#include "config/product.h"
#include "install/failure_dialog.h"
#include "install/failure_dialog_seams.h"
#include "install/progress.h"
#include "install/progress_seams.h"
#include "install/progress_state.h"
#include "install/worker.h"
#include "install/worker_steps.h"
#include "tests/harness/tools/accessible_reading.h"
#include "wine/tools/file_bytes.h"

namespace {

namespace fs = std::filesystem;

// A visible 560 x 310 popup window at (x, y) of a class of its own with the given procedure.
HWND MakeWindow(const wchar_t* className, WNDPROC procedure, int x, int y) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = className;
    RegisterClassW(&windowClass);
    return CreateWindowExW(0, className, L"", WS_POPUP | WS_VISIBLE, x, y, 560, 310, nullptr, nullptr,
                           windowClass.hInstance, nullptr);
}

// How many value changes of a client area screen readers were told of.
int valueChanges = 0;
void CALLBACK CountValueChange(HWINEVENTHOOK, DWORD, HWND, LONG object, LONG child, DWORD, DWORD) {
    valueChanges += object == OBJID_CLIENT && child == CHILDID_SELF;
}

// Reports from another thread, as the downloader makes them, all within one sampling second: each that changes what the
// window shows (the fill's pixels, the percentage, the speed, whether the size is known) asks for the whole window to
// be painted, without erasing it first (that flickers), unless a picture it asked for is yet to begin, and tells screen
// readers of a new value when the percentage changed; one that changes nothing on the screen asks for nothing. The
// class has no background brush, so an erase that was asked for shows in fErase.
TEST(ProgressWindow, ReportsRepaintWhatChanged) {
    ResetProgressState();
    ForgetShownProgress();
    SetProgressBarWidth(480);
    HWND window = MakeWindow(L"VelmorProgressTest", DefWindowProcW, 0, 0);
    ASSERT_NE(window, nullptr);
    const HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr,
                                               CountValueChange, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
    auto paint = [window] {  // the window's picture; gives whether an erase was asked for
        NoteProgressPictureBegun();
        PAINTSTRUCT paint{};
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return paint.fErase;
    };
    auto deliverEvents = [] {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    };
    paint();  // what showing the window asked for
    const struct {
        const char* what;
        std::uint64_t received, total;
        bool repaint, newValue;
        bool begun = true;  // whether the window then begins a picture, or only takes the paint message
    } reports[] = {
        {"the first", 0, 100000, true, true},
        {"a block that moves nothing on the screen", 100, 100000, false, false},
        {"the fill by a pixel, the same percentage", 209, 100000, true, false},
        {"the percentage", 50000, 100000, true, true, false},
        {"the fill, while the picture asked for is still to come", 50300, 100000, false, false},
        {"the same bytes again (a stall)", 50300, 100000, false, false},
        {"a restart from byte 0", 0, 100000, true, true},
        {"a resume from the bytes kept", 60000, 100000, true, true},
        {"the last report", 100000, 100000, true, true},
        {"a download of unknown size", 8192, 0, true, true},
        {"more of it", 16384, 0, false, false},
    };
    RECT update{};
    const RECT whole{0, 0, 560, 310};
    for (const auto& r : reports) {
        SCOPED_TRACE(r.what);
        valueChanges = 0;
        std::thread([window, &r] { OnDownloadProgress(window, r.received, r.total); }).join();
        EXPECT_EQ(GetUpdateRect(window, &update, FALSE) && EqualRect(&update, &whole), r.repaint);
        if (r.begun)
            EXPECT_FALSE(paint());
        else
            ValidateRect(window, nullptr);  // as the window does when it is too soon for another picture
        deliverEvents();                    // after the paint, which would otherwise be dispatched too
        EXPECT_EQ(valueChanges, r.newValue ? 1 : 0);
        EXPECT_EQ(g_receivedBytes.load(), r.received);
    }
    UnhookWinEvent(hook);
    DestroyWindow(window);
    ResetProgressState();
}

const std::wstring kAskService = L"\n\n" VELMOR_PRODUCT_PAGE_OPENED L"\n\n" VELMOR_PRODUCT_ASK_SUPPORT;
const std::wstring kDownloadFailed = L"" VELMOR_PRODUCT_DOWNLOAD_FAILED + kAskService;
const std::wstring kLaunchFailed = L"" VELMOR_PRODUCT_LAUNCH_FAILED + kAskService;
constexpr wchar_t kCaption[] = L"" VELMOR_PRODUCT_BOX_CAPTION;

// When the failure box is up and filled in: reads its text (the static control 0xFFFF of a message box) into text,
// presses the button (Cancel unless told) and returns true.
bool AnswerFailureBox(std::wstring& text, WPARAM button = IDCANCEL) {
    HWND box = FindWindowW(L"#32770", kCaption);
    wchar_t buffer[2048] = {};
    if (!box || !GetDlgItemTextW(box, 0xFFFF, buffer, 2048))
        return false;
    text = buffer;
    return PostMessageW(box, WM_COMMAND, button, 0);
}

// Handles this thread's messages for about the given time, or until done says so.
template <typename Done>
void PumpMessages(int milliseconds, Done done) {
    for (int waited = 0; waited < milliseconds && !done(); waited += 25) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
        Sleep(25);
    }
}

// Where the worker last had a download saved.
fs::path g_savePath;

// Saves something that is no program, at once; or throws, as any step might.
template <bool throws>
bool InstantDownload(const std::string&, const std::string& savePath, std::string&, ProgressCallback) {
    g_savePath = fs::u8path(savePath);
    if (throws)
        throw std::bad_alloc();
    std::ofstream(g_savePath, std::ios::binary) << "MZ not a program";
    return true;
}

// Each test checks that the download page was opened: the run's browser stand-in appends
// "<address>\t<program that started it>" lines to one log.
class FailureDialog : public testing::Test {
protected:
    void SetUp() override { logStart_ = fs::exists(urlLog_) ? fs::file_size(urlLog_) : 0; }

    // On this prefix (Windows 10, no WebView2 Runtime) the worker picks the build with its own web view.
    void ExpectDownloadPageOpened() {
        std::string opened;
        for (int attempt = 0; attempt < 100 && opened.empty(); ++attempt, Sleep(50)) {
            std::ifstream log(urlLog_, std::ios::binary);
            log.seekg(static_cast<std::streamoff>(logStart_));
            std::getline(log, opened);
        }
        EXPECT_EQ(opened.rfind("https://localhost:", 0), 0u) << opened;
        EXPECT_NE(opened.find(VELMOR_PRODUCT_WEBVIEW_PATH "\t"), std::string::npos) << opened;
        SetUp();  // only the addresses opened from here on
    }

    // Runs the worker with download for window, then meanwhile on this thread, and answers the failure box, noting
    // whether the window was visible then; gives the box's text.
    template <typename Meanwhile>
    std::wstring RunWorker(HWND window, DownloadFunction download, Meanwhile meanwhile) {
        std::atomic<bool> finished = false;
        std::thread worker([&] {
            InstallWorker(window, download);
            finished = true;
        });
        meanwhile();
        // The box is owned by a window of this thread, which must keep handling messages until the worker is done.
        std::wstring text;
        PumpMessages(10000, [&] {
            if (text.empty() && AnswerFailureBox(text))
                visibleWithBox_ = IsWindowVisible(window);
            return finished.load();
        });
        EXPECT_TRUE(finished.load()) << "the worker did not end after the box was answered";
        worker.join();
        return text;
    }

    bool visibleWithBox_ = true;
    const fs::path urlLog_ = fs::path("Z:" + std::string(std::getenv("VELMOR_RUN_DIR"))) / "opened-urls.txt";
    std::uintmax_t logStart_ = 0;
};

TEST_F(FailureDialog, ThreadThatCannotStartShowsTheDownloadFailure) {
    std::wstring text;
    std::thread answer([&text] { PumpMessages(10000, [&] { return AnswerFailureBox(text); }); });
    StartInstallWorker(nullptr, [](HWND) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    answer.join();
    EXPECT_EQ(text, kDownloadFailed);
    ExpectDownloadPageOpened();
}

// Without a desktop shell to open them, no address is opened at all (this process would start the browser with its
// administrator rights): the box gives the download page's address instead, and after OK a second box gives the
// customer-service page's.
TEST_F(FailureDialog, WithoutADesktopShellTheBoxesGiveTheAddresses) {
    const auto shell = g_openThroughDesktopShell;
    g_openThroughDesktopShell = [](const std::wstring&) { return false; };
    const std::wstring page = L"https://localhost:1/setup";
    std::vector<std::wstring> texts;
    std::thread answer([&texts] {
        PumpMessages(10000, [&texts] {
            std::wstring text;
            if (AnswerFailureBox(text, IDOK) && (texts.empty() || texts.back() != text))
                texts.push_back(text);
            return texts.size() == 2;
        });
    });
    ShowInstallFailure(nullptr, L"" VELMOR_PRODUCT_DOWNLOAD_FAILED, page.c_str());
    answer.join();
    g_openThroughDesktopShell = shell;
    const std::wstring support = L"https://support.localhost:" + std::to_wstring(_wtoi(_wgetenv(L"VELMOR_TEST_PORT")));
    EXPECT_EQ(texts, (std::vector<std::wstring>{
                         L"" VELMOR_PRODUCT_DOWNLOAD_FAILED L"\n\n" VELMOR_PRODUCT_OPEN_PAGE_YOURSELF L"\n" + page +
                             L"\n\n" VELMOR_PRODUCT_ASK_SUPPORT,
                         L"" VELMOR_PRODUCT_OPEN_SUPPORT_YOURSELF L"\n" + support}));
    Sleep(1000);
    EXPECT_EQ(fs::exists(urlLog_) ? fs::file_size(urlLog_) : 0, logStart_) << "an address was opened by this process";
}

// A download done before the entry point shows the window: the worker hides the window only after it was shown, so
// the window is hidden while the setup program runs, and closes it afterwards. Every exception of a step (the download
// stands for any) ends in the download-failure dialog: the window stays, and nothing was started. Either way the
// download went into a new folder of the system's temporary folder, which is gone afterwards.
TEST_F(FailureDialog, WorkerShowsTheFailureAndHidesOrKeepsTheWindow) {
    const fs::path setupLog = fs::temp_directory_path() / ("velmor-setup-" + std::to_string(GetCurrentProcessId()));
    fs::remove(setupLog);
    SetEnvironmentVariableW(L"VELMOR_SETUP_LOG", setupLog.wstring().c_str());
    const struct {
        DownloadFunction download;
        const wchar_t* text;
    } cases[] = {{InstantDownload<false>, kLaunchFailed.c_str()}, {InstantDownload<true>, kDownloadFailed.c_str()}};
    wchar_t windows[MAX_PATH] = {};
    GetSystemWindowsDirectoryW(windows, MAX_PATH);
    for (const auto& c : cases) {
        const bool launched = c.download == InstantDownload<false>;  // shows the window after the download
        SCOPED_TRACE(c.text);
        HWND window = CreateWindowExW(0, L"STATIC", L"", launched ? WS_POPUP : WS_POPUP | WS_VISIBLE, 0, 0, 100, 100,
                                      nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(RunWorker(window, c.download,
                            [&] {
                                if (launched) {
                                    PumpMessages(750, [] { return false; });
                                    EXPECT_EQ(FindWindowW(L"#32770", kCaption), nullptr)
                                        << "the worker went on before the window was shown";
                                    ShowWindow(window, SW_SHOWNORMAL);
                                }
                                NoteMainWindowShown();
                            }),
                  c.text);
        ExpectDownloadPageOpened();
        EXPECT_EQ(visibleWithBox_, !launched);
        PumpMessages(launched ? 2000 : 100, [&] { return !IsWindow(window); });
        EXPECT_EQ(bool(IsWindow(window)), !launched) << "closed only after a setup program was started";
        EXPECT_EQ(bool(IsWindowVisible(window)), !launched);
        DestroyWindow(window);
        EXPECT_FALSE(fs::exists(setupLog));
        EXPECT_EQ(g_savePath.parent_path().parent_path(), fs::path(windows) / L"Temp");
        EXPECT_EQ(g_savePath.filename(), L"" VELMOR_PRODUCT_SETUP_NAME);
        EXPECT_FALSE(fs::exists(g_savePath.parent_path())) << "the download's folder was left behind";
    }
    SetEnvironmentVariableW(L"VELMOR_SETUP_LOG", nullptr);
}

// The setup program named by its full path is what starts, also where the path has blanks: read as a command line,
// "...\\a b\\setup.exe" would start "...\\a.exe" instead.
TEST(SetupLaunch, APathWithBlanksStartsThatProgram) {
    const fs::path folder = fs::temp_directory_path() / ("velmor-launch-" + std::to_string(GetCurrentProcessId()));
    const fs::path tools = fs::path("Z:" + std::string(std::getenv("VELMOR_TOOLS_DIR")));
    const fs::path setup = folder / "a b" / "setup.exe", setupLog = folder / "setup-log.txt";
    fs::create_directories(setup.parent_path());
    fs::copy_file(tools / "fake_setup.exe", setup);
    fs::copy_file(tools / "test_helper.exe", folder / "a.exe");  // which would exit with 2 at once
    SetEnvironmentVariableW(L"VELMOR_SETUP_LOG", setupLog.wstring().c_str());
    {
        const UniqueFileHandle program(
            CreateFileW(setup.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_TRUE(RunSetupProgram(program.get(), setup.wstring(), folder.wstring()));
    }
    EXPECT_NE(FileBytes(setupLog).find("ended=1"), std::string::npos) << "the setup program did not run";
    SetEnvironmentVariableW(L"VELMOR_SETUP_LOG", nullptr);
    fs::remove_all(folder);
}

// The icon is stored as a PNG image, which Windows reads from Vista on, and Wine as well: drawn, its middle is the
// tile's blue and its corner transparent.
TEST(Pictures, TheIconIsReadFromItsPng) {
    const HICON icon = static_cast<HICON>(
        LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(kIconId), IMAGE_ICON, 128, 128, LR_DEFAULTCOLOR));
    ASSERT_NE(icon, nullptr);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(info.bmiHeader), 128, -128, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    std::uint32_t* bits = nullptr;
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(dc, &info, DIB_RGB_COLORS, reinterpret_cast<void**>(&bits), nullptr, 0);
    ASSERT_TRUE(bitmap && bits);
    HGDIOBJ previous = SelectObject(dc, bitmap);
    std::fill(bits, bits + 128 * 128, 0x00FFFFFFu);
    EXPECT_TRUE(DrawIconEx(dc, 0, 0, icon, 128, 128, 0, nullptr, DI_NORMAL));
    GdiFlush();
    const std::uint32_t middle = bits[100 * 128 + 20], corner = bits[0];
    EXPECT_LT(middle >> 16 & 0xFF, 100u) << std::hex << middle;  // red low, blue high: the tile
    EXPECT_GT(middle & 0xFF, 120u) << std::hex << middle;
    EXPECT_EQ(corner & 0xFFFFFF, 0xFFFFFFu) << std::hex << corner;
    SelectObject(dc, previous);
    DeleteObject(bitmap);
    DeleteDC(dc);
    DestroyIcon(icon);
}

// The installer's window procedure, but for creation (which would start the install) and painting.
LRESULT CALLBACK WindowWithoutInstall(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE || message == WM_PAINT)
        return DefWindowProcW(window, message, wParam, lParam);
    return MainWindowProc(window, message, wParam, lParam);
}

// The window's object for screen readers, read in this process: the client area reads as the window shows the product's
// name and the progress now, the close button lies where a release closes the window; Esc, Alt+F4 and the button's
// default action each close the window as a release on the glyph does (one WM_CLOSE posted), F4 alone does not. After
// the window is gone, the object that a screen reader still holds answers every call that it is disconnected.
TEST(WindowAccessible, ReadsTheWindowClosesItAndIsDisconnectedAfterIt) {
    const ScopedComApartment com;
    ResetProgressState();
    RecordProgress(0, 100000, 5000);
    RecordProgress(42000, 100000, 6000);  // 42 %, 42000 bytes in the last second
    HWND window = MakeWindow(L"VelmorAccessibleTest", WindowWithoutInstall, 30, 40);
    ComPtr<IAccessible> object;
    ASSERT_EQ(AccessibleObjectFromWindow(window, OBJID_CLIENT, kIidAccessible, PutVoid(object)), S_OK);
    IAccessible* const a = object.get();
    auto heard = [a](LONG child) {
        return std::vector<std::string>{
            Said(a, &IAccessible::get_accRole, child), Said(a, &IAccessible::get_accName, child),
            Said(a, &IAccessible::get_accValue, child), Said(a, &IAccessible::get_accDescription, child),
            Said(a, &IAccessible::get_accDefaultAction, child)};
    };
    EXPECT_EQ(heard(0), (std::vector<std::string>{"48", ProductName, "42%", "41 KB/s", "-"}));
    RecordProgress(87000, 100000, 7000);
    EXPECT_EQ(heard(0), (std::vector<std::string>{"48", ProductName, "87%", "44 KB/s", "-"}));
    EXPECT_EQ(heard(1),
              (std::vector<std::string>{"43", VELMOR_PRODUCT_CLOSE_NAME, "-", "-", VELMOR_PRODUCT_PRESS_NAME}));
    LONG x = 0, y = 0, width = 0, height = 0;
    EXPECT_EQ(a->accLocation(&x, &y, &width, &height, Child(1)), S_OK);
    EXPECT_EQ((std::vector<LONG>{x, y, width, height}), (std::vector<LONG>{30 + 524, 40 + 12, 29, 29}));
    VARIANT onGlyph{}, onBar{};
    a->accHitTest(x + 28, y + 28, &onGlyph);
    a->accHitTest(300, 300, &onBar);
    EXPECT_EQ((std::vector<LONG>{onGlyph.vt, onGlyph.lVal, onBar.vt, onBar.lVal}),
              (std::vector<LONG>{VT_I4, 1, VT_I4, CHILDID_SELF}));

    const struct {
        const char* what;
        std::function<void()> act;
        bool closes;
    } closers[] = {
        {"Esc", [window] { SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1); }, true},
        {"Alt+F4", [window] { SendMessageW(window, WM_SYSKEYDOWN, VK_F4, 1 | 1 << 29); }, true},
        {"F4", [window] { SendMessageW(window, WM_KEYDOWN, VK_F4, 1); }, false},
        {"the button's default action", [a] { EXPECT_EQ(a->accDoDefaultAction(Child(1)), S_OK); }, true},
    };
    for (const auto& closer : closers) {
        SCOPED_TRACE(closer.what);
        closer.act();
        MSG message;
        EXPECT_EQ(PeekMessageW(&message, window, WM_CLOSE, WM_CLOSE, PM_REMOVE), closer.closes);
        EXPECT_FALSE(PeekMessageW(&message, window, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    }

    DestroyWindow(window);
    for (MSG message; PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);) {
    }  // the quit message that the window's end posted
    BSTR text = nullptr;
    VARIANT value{};
    IDispatch* parent = nullptr;
    for (HRESULT result : {a->get_accName(Child(0), &text), a->get_accValue(Child(0), &text),
                           a->get_accRole(Child(1), &value), a->accLocation(&x, &y, &width, &height, Child(0)),
                           a->accHitTest(x, y, &value), a->accDoDefaultAction(Child(1)), a->get_accParent(&parent)})
        EXPECT_TRUE(result == RPC_E_DISCONNECTED || result == CO_E_OBJNOTCONNECTED) << std::hex << result;
    ResetProgressState();
}

// No picture is decoded while GDI+ is not running (the window then paints its fallbacks): GDI+ objects need it.
TEST(Pictures, NoneWithoutGdiplus) {
    ASSERT_EQ(g_gdiplusToken, 0u);
    g_instance = GetModuleHandleW(nullptr);
    EXPECT_FALSE(LoadPngResource(kTrackPngId));
}

}  // namespace
