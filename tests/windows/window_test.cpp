// The window side of the install workflow, in-process under Wine: progress reports repaint the window, and a worker
// that cannot be started still leads the user to the download page.
#include <windows.h>

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

// Finds the failure box on its own thread, records its text and presses Cancel.
std::wstring AnswerFailureBox() {
    for (int attempt = 0; attempt < 200; ++attempt) {
        if (HWND box = FindWindowW(L"#32770", L"系统提示")) {
            std::wstring text;
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
            PostMessageW(box, WM_COMMAND, IDCANCEL, 0);
            return text;
        }
        Sleep(50);
    }
    return L"(no box)";
}

TEST(InstallWorkerStart, ThreadThatCannotStartShowsTheDownloadFailure) {
    const fs::path urlLog = fs::temp_directory_path() / ("velmor-urls-" + std::to_string(GetCurrentProcessId()));
    fs::remove(urlLog);
    SetEnvironmentVariableW(L"VELMOR_URL_LOG", urlLog.wstring().c_str());

    std::wstring boxText;
    std::thread answer([&boxText] { boxText = AnswerFailureBox(); });
    StartInstallWorker(nullptr, [](HWND) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    answer.join();

    EXPECT_EQ(boxText,
              L"下载失败，请检查网络连接或联系客服。\n\n已为您打开下载页面，请手动安装。\n\n"
              L"点击\"确定\"联系客服\n点击\"取消\"稍后处理");
    // The download page was opened for the user (the address of the machine's build, here Windows 10 without the
    // runtime); the recording browser may still be writing.
    std::string opened;
    for (int attempt = 0; attempt < 100 && opened.empty(); ++attempt, Sleep(50))
        std::getline(std::ifstream(urlLog), opened);
    EXPECT_EQ(opened.rfind("https://localhost:", 0), 0u) << opened;
    EXPECT_NE(opened.find("/velmor-cap/ebwebview"), std::string::npos) << opened;
    fs::remove(urlLog);
}

}  // namespace
