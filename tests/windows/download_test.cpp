// DownloadFile against the local HTTPS test server (wine/https_server.py), under Wine.
#include "net/download.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "wine/tools/file_bytes.h"

namespace {

namespace fs = std::filesystem;

std::string Url(const std::string& path, const char* portVariable = "VELMOR_TEST_PORT") {
    const char* port = std::getenv(portVariable);
    return std::string("https://localhost:") + (port ? port : "0") + path;
}

// The server's test body: byte i is (i * 31 + (i >> 11)) mod 256.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 31 + (i >> 11)) & 0xFF);
    return bytes;
}

using Report = std::pair<std::uint64_t, std::uint64_t>;

class Download : public testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs one download that records its progress reports.
    bool Fetch(const std::string& url, int attempts = 1) {
        reports_.clear();
        error_.clear();
        auto report = [this](std::uint64_t received, std::uint64_t total) { reports_.push_back({received, total}); };
        DownloadOptions options;
        options.attempts = attempts;
        return DownloadFile(url, savePath_, error_, report, options);
    }

    const fs::path dir_ = fs::temp_directory_path() / ("velmor-download-" + std::to_string(GetCurrentProcessId()));
    std::string savePath_ = (dir_ / "velmor-cap-setup.exe").string(), error_;
    std::vector<Report> reports_;
};

// The file holds the body, and reports in steps of at most 8 KiB up to the whole body with the total the
// response said. Also chunked without a total, over redirects the platform follows (302) or the downloader follows
// (303, 308: at most two), and empty. A later attempt continues a body cut off after 30000 of 100000 bytes only
// under "range" and "chunked" (a 206 without Content-Length: the total is still the whole length); otherwise (ranges
// ignored, another ETag, 416, a 206 for another range) progress starts again from the first block, once. Under
// "splice" the server has a body as long but another by the second request, with a date too young to tell them
// apart: the file is that body whole.
TEST_F(Download, WritesExactlyWhatWasServed) {
    const char* tools = std::getenv("VELMOR_TOOLS_DIR");
    const std::string program = FileBytes(fs::path(tools ? tools : ".") / "fake_setup.exe");  // also /file/setup
    ASSERT_GT(program.size(), 150000u);
    const std::string backwards = Pattern(100000);
    const struct {
        std::string path, body;
        std::uint64_t total;
        int attempts = 1;
        std::uint64_t restartAfter = 0;  // the progress reported before it starts again
    } cases[] = {
        {"/bytes/1", Pattern(1), 1},
        {"/bytes/1048579", Pattern(1048579), 1048579},
        {"/chunkedfile/setup", program, 0},
        {"/redirect/303/2/bytes/5000", Pattern(5000), 5000},
        {"/redirect/308/2/bytes/5000", Pattern(5000), 5000},
        {"/redirect/302/3/bytes/100", Pattern(100), 100},
        {"/empty", "", 0},
        {"/flaky/range/30000/bytes/100000", Pattern(100000), 100000, 3},
        {"/flaky/chunked/30000/bytes/100000", Pattern(100000), 100000, 3},
        {"/flaky/norange/30000/bytes/100000", Pattern(100000), 100000, 3, 30000},
        {"/flaky/newtag/30000/bytes/100000", Pattern(100000), 100000, 3, 30000},
        {"/flaky/unsatisfiable/30000/bytes/100000", Pattern(100000), 100000, 3, 30000},
        {"/flaky/otherpart/30000/bytes/100000", Pattern(100000), 100000, 3, 30000},
        {"/flaky/splice/30000/bytes/100000", std::string(backwards.rbegin(), backwards.rend()), 100000, 3, 30000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(Fetch(Url(c.path), c.attempts)) << error_;
        EXPECT_TRUE(fs::exists(savePath_));
        EXPECT_EQ(FileBytes(savePath_), c.body);
        std::uint64_t previous = 0, restartAfter = 0;
        for (const Report& report : reports_) {
            if (report.first <= previous && !restartAfter)
                restartAfter = std::exchange(previous, 0);
            EXPECT_GT(report.first, previous);
            EXPECT_LE(report.first - previous, 8192u);
            EXPECT_EQ(report.second, c.total);
            previous = report.first;
        }
        EXPECT_EQ(previous, c.body.size());
        EXPECT_EQ(restartAfter, c.restartAfter);
    }
}

// A failure leaves the file that was there and no partial file: before the 200, and after it when the body is
// shorter than its Content-Length, or without one cut off between chunks or not a whole program. So does a save
// file that cannot be written (this program cannot make files larger than 3 MiB: installer_harness.py), made (its
// folder is missing) or put in place (a folder has its name), where nothing was before. A link at the partial file's
// name, symbolic or hard (the run's set-up makes both), is neither written through nor removed.
TEST_F(Download, FailuresLeaveTheFileAsItWas) {
    const std::string usual = savePath_, taken = (dir_ / "taken").string();
    fs::create_directory(taken);
    const struct {
        std::string url;
        const char* error;
        std::string savePath = "";  // another one, with no file before
        int attempts = 1;
    } cases[] = {
        {Url("/redirect/303/3/bytes/5000"), "Too many redirects"},
        {Url("/redirect/308/3/bytes/5000"), "Too many redirects"},
        {Url("/redirect-to-http"), "URL parse failed"},
        {"https://localhost:/bytes/1", "URL parse failed"},  // the parser has its own tests
        {Url("/status/404"), "HTTP status not OK: 404"},
        {Url("/status/204"), "HTTP status not OK: 204"},
        {Url("/status/206"), "HTTP status not OK: 206"},
        {Url("/status/308"), "HTTP status not OK: 308"},  // a redirect without Location
        {Url("/truncated/100000/30000"), "download incomplete"},
        {Url("/reset/100000/30000"), "download incomplete"},
        {Url("/chunkedfile/setup/150000"), "download incomplete"},
        {Url("/chunked/100000"), "download incomplete"},
        // Each continuation holds half of what is left, as its Content-Length says: never the whole body.
        {Url("/flaky/short/30000/bytes/100000"), "download incomplete", "", 3},
        {Url("/never/2"), "WinHttpReceiveResponse failed"},
        // Certificates that do not hold, and a server that speaks no TLS at all.
        {Url("/bytes/100", "VELMOR_UNTRUSTED_PORT"), "WinHttpSendRequest failed"},
        {Url("/bytes/100", "VELMOR_OTHERHOST_PORT"), "WinHttpSendRequest failed"},
        {Url("/bytes/100", "VELMOR_EXPIRED_PORT"), "WinHttpSendRequest failed"},
        {Url("/bytes/100", "VELMOR_PLAIN_PORT"), "WinHttpSendRequest failed"},
        // TLS 1.2 is offered also where the system would offer older versions only (Windows 7); older ones never
        // are, though Wine offers them by default.
        {Url("/bytes/100000", "VELMOR_TLS_10_11_PORT"), "WinHttpSendRequest failed"},
        {Url("/bytes/4000000"), "failed to write save file"},
        {Url("/bytes/100"), "failed to create save file", (dir_ / "missing" / "setup.exe").string()},
        {Url("/bytes/1000"), "failed to rename save file", taken},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        savePath_ = c.savePath.empty() ? usual : c.savePath;
        if (c.savePath.empty())
            std::ofstream(savePath_, std::ios::binary) << "previous content";
        EXPECT_FALSE(Fetch(c.url, c.attempts));
        EXPECT_EQ(error_, c.error);
        EXPECT_TRUE(c.savePath.empty() ? FileBytes(savePath_) == "previous content" : !fs::is_regular_file(savePath_));
        EXPECT_FALSE(fs::exists(savePath_ + ".part"));
    }
    const fs::path links = fs::path("Z:" + std::string(std::getenv("VELMOR_RUN_DIR"))) / "links";
    for (const char* link : {"symbolic.exe", "hard.exe"}) {
        SCOPED_TRACE(link);
        savePath_ = (links / link).string();
        EXPECT_FALSE(Fetch(Url("/bytes/1000")));
        EXPECT_EQ(error_, "failed to create save file");
        EXPECT_EQ(FileBytes(links / "victim"), "victim\n");
        EXPECT_TRUE(fs::exists(savePath_ + ".part"));
    }
    // A callable that throws, with the temporary file still open as the exception passes.
    savePath_ = usual;
    EXPECT_THROW(DownloadFile(Url("/bytes/100000"), savePath_, error_,
                              [](std::uint64_t received, std::uint64_t) {
                                  if (received > 16384)
                                      throw std::runtime_error("progress");
                              }),
                 std::runtime_error);
    EXPECT_EQ(FileBytes(savePath_), "previous content");
    EXPECT_FALSE(fs::exists(savePath_ + ".part"));
    // A certificate failure is not retried.
    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(Fetch(Url("/bytes/100", "VELMOR_UNTRUSTED_PORT"), 3));
    EXPECT_LT(GetTickCount64() - start, 1000u) << "a certificate failure was retried";
}

}  // namespace
