// The window side of the install workflow, in-process under Wine: progress reports repaint the window, and a worker
// that cannot be started still leads the user to the download page.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "install/progress.h"
#include "install/progress_state.h"
#include "install/worker.h"

namespace {

namespace fs = std::filesystem;

// A plain window that records how the last WM_PAINT was asked for.
struct PaintRecord {
    int paints = 0;
    bool erase = true;
    RECT area{};
};
PaintRecord g_paint;

LRESULT CALLBACK RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT paint{};
        BeginPaint(window, &paint);
        ++g_paint.paints;
        g_paint.erase = paint.fErase != FALSE;
        g_paint.area = paint.rcPaint;
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

class ProgressWindow : public testing::Test {
protected:
    void SetUp() override {
        ResetProgressState();
        WNDCLASSW windowClass{};
        windowClass.lpfnWndProc = RecordingWindowProc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"VelmorProgressTest";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, L"VelmorProgressTest", L"progress", WS_POPUP | WS_VISIBLE, 0, 0, 560, 310, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
        UpdateWindow(window_);
        g_paint = {};
    }
    void TearDown() override {
        DestroyWindow(window_);
        ResetProgressState();
    }

    // Reports from another thread, as the downloader does, then lets this thread paint.
    void ReportAndPaint(std::uint64_t received, std::uint64_t total) {
        std::thread([this, received, total] { OnDownloadProgress(window_, received, total); }).join();
        UpdateWindow(window_);
    }

    HWND window_ = nullptr;
};

TEST_F(ProgressWindow, EveryReportRepaintsTheWholeWindowWithoutErasing) {
    for (int report = 1; report <= 5; ++report) {
        SCOPED_TRACE(report);
        // All five fall within one sampling second; each must still repaint.
        ReportAndPaint(8192u * report, 100000);
        EXPECT_EQ(g_paint.paints, report);
        EXPECT_FALSE(g_paint.erase);
        EXPECT_EQ(g_paint.area.left, 0);
        EXPECT_EQ(g_paint.area.top, 0);
        EXPECT_EQ(g_paint.area.right, 560);
        EXPECT_EQ(g_paint.area.bottom, 310);
        EXPECT_EQ(g_receivedBytes.load(), 8192u * report);
        EXPECT_EQ(g_totalBytes.load(), 100000u);
    }
    EXPECT_EQ(g_bytesPerSecond.load(), 0.0);
}

// When the failure box is up and filled in: reads its text, presses Cancel and returns true.
bool AnswerFailureBox(std::wstring& text) {
    HWND box = FindWindowW(L"#32770", L"系统提示");
    if (!box)
        return false;
    EnumChildWindows(
        box,
        [](HWND child, LPARAM param) -> BOOL {
            wchar_t buffer[2048] = {};
            GetWindowTextW(child, buffer, 2048);
            wchar_t className[32] = {};
            GetClassNameW(child, className, 32);
            if (buffer[0] && lstrcmpiW(className, L"Static") == 0)
                *reinterpret_cast<std::wstring*>(param) = buffer;
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&text));
    if (text.empty())
        return false;  // still being set up
    PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
    return true;
}

const wchar_t kDownloadFailureText[] =
    L"下载失败，请检查网络连接或联系客服。\n\n已为您打开下载页面，请手动安装。\n\n"
    L"点击\"确定\"联系客服\n点击\"取消\"稍后处理";

class FailureDialog : public testing::Test {
protected:
    // The run's browser stand-in appends "<address>\t<program that started it>" lines to one log.
    void SetUp() override {
        const char* runDir = std::getenv("VELMOR_RUN_DIR");
        ASSERT_NE(runDir, nullptr);
        std::string log = std::string("Z:") + runDir + "/opened-urls.txt";
        std::replace(log.begin(), log.end(), '/', '\\');
        urlLog_ = log;
        std::error_code error;
        logStart_ = fs::file_size(urlLog_, error);
        if (error)
            logStart_ = 0;
    }

    // On this prefix (Windows 10, no WebView2 Runtime) the worker picks the build with its own web view.
    void ExpectDownloadPageOpened() {
        std::string opened;
        for (int attempt = 0; attempt < 100 && opened.empty(); ++attempt, Sleep(50)) {
            std::ifstream log(urlLog_, std::ios::binary);
            log.seekg(static_cast<std::streamoff>(logStart_));
            std::getline(log, opened);
        }
        EXPECT_EQ(opened.rfind("https://localhost:", 0), 0u) << opened;
        EXPECT_NE(opened.find("/velmor-cap/ebwebview\t"), std::string::npos) << opened;
    }

    fs::path urlLog_;
    std::uintmax_t logStart_ = 0;
};

TEST_F(FailureDialog, ThreadThatCannotStartShowsTheDownloadFailure) {
    std::wstring boxText;
    std::thread answer([&boxText] {
        for (int attempt = 0; attempt < 200 && !AnswerFailureBox(boxText); ++attempt)
            Sleep(50);
    });
    StartInstallWorker(nullptr, [](HWND) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    answer.join();

    EXPECT_EQ(boxText, kDownloadFailureText);
    ExpectDownloadPageOpened();
}

const wchar_t kLaunchFailureText[] =
    L"安装程序启动失败，请检查安装包或联系客服。\n\n已为您打开下载页面，请手动安装。\n\n"
    L"点击\"确定\"联系客服\n点击\"取消\"稍后处理";

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

// Saves something that is no program, at once.
bool InstantDownload(const std::string&, const std::string& savePath, std::string&, ProgressCallback) {
    std::ofstream(savePath, std::ios::binary) << "MZ not a program";
    return true;
}

// A download done before the entry point shows the window: the worker hides the window only after it was shown, so
// the window is hidden while the setup program runs and is closed afterwards.
TEST_F(FailureDialog, WorkerHidesTheWindowOnlyOnceItWasShown) {
    HWND window = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    std::atomic<bool> finished = false;
    std::thread worker([window, &finished] {
        InstallWorker(window, InstantDownload);
        finished = true;
    });

    PumpMessages(750, [] { return false; });
    EXPECT_EQ(FindWindowW(L"#32770", L"系统提示"), nullptr) << "the worker went on before the window was shown";
    ShowWindow(window, SW_SHOWNORMAL);
    NoteMainWindowShown();

    std::wstring boxText;
    bool visibleWithBox = true;
    PumpMessages(10000, [&] {
        if (boxText.empty() && AnswerFailureBox(boxText))
            visibleWithBox = IsWindowVisible(window) != FALSE;
        return finished && !IsWindow(window);
    });
    ASSERT_TRUE(finished.load()) << "the worker did not end after the box was answered";
    worker.join();
    DeleteFileW(L"velmor-cap-setup.exe");

    EXPECT_EQ(boxText, kLaunchFailureText);
    EXPECT_FALSE(visibleWithBox);
    EXPECT_FALSE(IsWindow(window)) << "the worker did not close the window";
    DestroyWindow(window);
}

bool ThrowingDownload(const std::string&, const std::string&, std::string&, ProgressCallback) {
    throw std::bad_alloc();
}

// The download stands for any step of the worker: every exception ends in the download-failure dialog.
TEST_F(FailureDialog, ExceptionOutOfTheDownloadIsAFailedDownload) {
    HWND window = CreateWindowExW(0, L"STATIC", L"owner", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    ASSERT_NE(window, nullptr);
    std::atomic<bool> finished = false;
    std::thread worker([window, &finished] {
        InstallWorker(window, ThrowingDownload);
        finished = true;
    });

    // The box is owned by a window of this thread, which must keep handling messages until the worker is done.
    std::wstring boxText;
    PumpMessages(10000, [&] {
        if (boxText.empty())
            AnswerFailureBox(boxText);
        return finished.load();
    });
    ASSERT_TRUE(finished.load()) << "the worker did not end after the box was answered";
    worker.join();

    EXPECT_EQ(boxText, kDownloadFailureText);
    ExpectDownloadPageOpened();
    // After a failed download the window stays: not hidden, and no close request from the worker.
    EXPECT_TRUE(IsWindowVisible(window));
    MSG close;
    EXPECT_FALSE(PeekMessageW(&close, window, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    DestroyWindow(window);
}

}  // namespace
