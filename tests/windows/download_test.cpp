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

    // Runs one download that records its progress reports, the attempts it made and how long it took.
    bool Fetch(const std::string& url, int attempts = 1) {
        reports_.clear();
        error_.clear();
        attemptsMade_ = 0;
        auto report = [this](std::uint64_t received, std::uint64_t total) { reports_.push_back({received, total}); };
        DownloadOptions options;
        options.attempts = attempts;
        options.onTry = [this](const TryReport& tried) { attemptsMade_ = tried.attempt; };
        const ULONGLONG start = GetTickCount64();
        const bool done = DownloadFile(url, savePath_, error_, report, options);
        seconds_ = (GetTickCount64() - start) / 1000.0;
        return done;
    }

    // How the last Fetch ended, for the fault table.
    std::string Outcome() const {
        const std::string attempt = "in attempt " + std::to_string(attemptsMade_);
        return error_.empty() ? "whole file " + attempt : "failed " + attempt + ": " + error_;
    }

    // Adds a fault this test tried to the fault table (docs/faults.md, which installer_faults_test.py writes, taking
    // these rows from the file VELMOR_FAULT_ROWS names; each run of this program makes it anew). Nothing once a check
    // of the test has failed.
    void RecordFault(const char* kind, const std::string& fault, const std::string& outcome, const char* files) {
        const char* rows = std::getenv("VELMOR_FAULT_ROWS");
        if (!rows || HasFailure())
            return;
        static std::ofstream record(fs::path("Z:" + std::string(rows)), std::ios::binary);
        record << kind << '\t' << fault << '\t' << testing::UnitTest::GetInstance()->current_test_info()->name() << '\t'
               << outcome << '\t' << files << '\t' << seconds_ << std::endl;
    }

    const fs::path dir_ = fs::temp_directory_path() / ("velmor-download-" + std::to_string(GetCurrentProcessId()));
    std::string savePath_ = (dir_ / "setup.exe").string(), error_;
    std::vector<Report> reports_;
    int attemptsMade_ = 0;
    double seconds_ = 0;
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
    const std::string cut = "connection cut after 30000 of 100000 bytes; ";
    const struct {
        std::string path, body;
        std::uint64_t total;
        int attempts = 1;
        std::uint64_t restartAfter = 0;  // the progress reported before it starts again
        std::string fault = "";          // one met on the way, for the fault table
    } cases[] = {
        {"/bytes/1", Pattern(1), 1},
        {"/bytes/1048579", Pattern(1048579), 1048579},
        {"/chunkedfile/setup", program, 0},
        {"/redirect/303/2/bytes/5000", Pattern(5000), 5000},
        {"/redirect/308/2/bytes/5000", Pattern(5000), 5000},
        {"/redirect/302/3/bytes/100", Pattern(100), 100},
        {"/empty", "", 0},
        {"/flaky/range/30000/bytes/100000", Pattern(100000), 100000, 3, 0, cut + "ranges and a strong ETag offered"},
        {"/flaky/chunked/30000/bytes/100000", Pattern(100000), 100000, 3, 0, cut + "the rest comes as a chunked 206"},
        {"/flaky/norange/30000/bytes/100000", Pattern(100000), 100000, 3, 30000, cut + "then Range ignored"},
        {"/flaky/newtag/30000/bytes/100000", Pattern(100000), 100000, 3, 30000, cut + "the ETag changes each time"},
        {"/flaky/unsatisfiable/30000/bytes/100000", Pattern(100000), 100000, 3, 30000,
         cut + "the rest answered with 416"},
        {"/flaky/otherpart/30000/bytes/100000", Pattern(100000), 100000, 3, 30000,
         cut + "the rest answered with another range"},
        {"/flaky/splice/30000/bytes/100000", std::string(backwards.rbegin(), backwards.rend()), 100000, 3, 30000,
         cut + "another body as long in the same second"}};
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
        if (!c.fault.empty())
            RecordFault("network", c.fault,
                        Outcome() + (c.restartAfter ? ", started over from byte 0" : ", continued from byte 30000"),
                        "the body whole in the file");
    }
}

// A failure leaves the file that was there and no partial file: before the 200, and after it when the body is
// shorter than its Content-Length, or without one cut off between chunks or not a whole program. So does a save
// file that cannot be written (this program cannot make files larger than 3 MiB: installer_harness.py), made (its
// folder is missing) or put in place (a folder has its name), where nothing was before. A link at the partial file's
// name, symbolic or hard (the run's set-up makes both), is neither written through nor removed.
TEST_F(Download, FailuresLeaveTheFileAsItWas) {
    const std::string usual = savePath_, taken = (dir_ / "taken").string();
    const char* const kept = "the earlier file kept, no partial file";
    fs::create_directory(taken);
    const struct {
        const char *kind, *fault;
        std::string url;
        const char* error;
        std::string savePath = "";  // another one, with no file before
        int attempts = 1;
    } cases[] = {
        {"network", "a third redirect (303)", Url("/redirect/303/3/bytes/5000"), "Too many redirects"},
        {"network", "a third redirect (308)", Url("/redirect/308/3/bytes/5000"), "Too many redirects"},
        {"network", "a redirect to plain http://", Url("/redirect-to-http"), "URL parse failed"},
        // The parser has its own tests.
        {"input", "an address with an empty port", "https://localhost:/bytes/1", "URL parse failed"},
        {"network", "404 Not Found", Url("/status/404"), "HTTP status not OK: 404"},
        {"network", "204 No Content", Url("/status/204"), "HTTP status not OK: 204"},
        {"network", "206 to a request without Range", Url("/status/206"), "HTTP status not OK: 206"},
        {"network", "308 without Location", Url("/status/308"), "HTTP status not OK: 308"},
        {"network", "connection closed mid-body", Url("/truncated/100000/30000"), "download incomplete"},
        {"network", "connection reset mid-body", Url("/reset/100000/30000"), "download incomplete"},
        {"network", "chunked program cut off between chunks", Url("/chunkedfile/setup/150000"), "download incomplete"},
        {"network", "chunked body, whole, that is no program", Url("/chunked/100000"), "download incomplete"},
        // Each continuation holds half of what is left, as its Content-Length says: never the whole body.
        {"network", "connection cut mid-body; each 206 then holds half the rest",
         Url("/flaky/short/30000/bytes/100000"), "download incomplete", "", 3},
        {"network", "no response for 2 s, then the connection closed", Url("/never/2"),
         "WinHttpReceiveResponse failed"},
        {"network", "self-signed certificate", Url("/bytes/100", "VELMOR_UNTRUSTED_PORT"), "WinHttpSendRequest failed"},
        {"network", "certificate for another host name", Url("/bytes/100", "VELMOR_OTHERHOST_PORT"),
         "WinHttpSendRequest failed"},
        {"network", "expired certificate", Url("/bytes/100", "VELMOR_EXPIRED_PORT"), "WinHttpSendRequest failed"},
        {"network", "plain HTTP on the https port", Url("/bytes/100", "VELMOR_PLAIN_PORT"),
         "WinHttpSendRequest failed"},
        // TLS 1.2 is offered also where the system would offer older versions only (Windows 7); older ones never
        // are, though Wine offers them by default.
        {"network", "a server that speaks TLS 1.0 and 1.1 only", Url("/bytes/100000", "VELMOR_TLS_10_11_PORT"),
         "WinHttpSendRequest failed"},
        {"disk", "disk full mid-body (writes fail past 3 MiB)", Url("/bytes/4000000"), "failed to write save file"},
        {"disk", "the save file's folder is missing", Url("/bytes/100"), "failed to create save file",
         (dir_ / "missing" / "setup.exe").string()},
        {"disk", "a folder has the save file's name", Url("/bytes/1000"), "failed to rename save file", taken},
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
        RecordFault(c.kind, c.fault, Outcome(), c.savePath.empty() ? kept : "none, and no partial file");
    }
    const fs::path links = fs::path("Z:" + std::string(std::getenv("VELMOR_RUN_DIR"))) / "links";
    for (const char* link : {"symbolic", "hard"}) {
        SCOPED_TRACE(link);
        savePath_ = (links / (std::string(link) + ".exe")).string();
        EXPECT_FALSE(Fetch(Url("/bytes/1000")));
        EXPECT_EQ(error_, "failed to create save file");
        EXPECT_EQ(FileBytes(links / "victim"), "victim\n");
        EXPECT_TRUE(fs::exists(savePath_ + ".part"));
        RecordFault("disk", std::string("a ") + link + " link at the partial file's name", Outcome(),
                    "the link and its target untouched");
    }
    // A callable that throws, with the temporary file still open as the exception passes.
    savePath_ = usual;
    const ULONGLONG start = GetTickCount64();
    EXPECT_THROW(DownloadFile(Url("/bytes/100000"), savePath_, error_,
                              [](std::uint64_t received, std::uint64_t) {
                                  if (received > 16384)
                                      throw std::runtime_error("progress");
                              }),
                 std::runtime_error);
    seconds_ = (GetTickCount64() - start) / 1000.0;
    EXPECT_EQ(FileBytes(savePath_), "previous content");
    EXPECT_FALSE(fs::exists(savePath_ + ".part"));
    RecordFault("caller", "the progress callback throws mid-body", "the exception passed on to the caller", kept);
    // A certificate failure is not retried.
    EXPECT_FALSE(Fetch(Url("/bytes/100", "VELMOR_UNTRUSTED_PORT"), 3));
    EXPECT_EQ(attemptsMade_, 1) << "a certificate failure was retried";
    RecordFault("network", "self-signed certificate, 3 attempts allowed", Outcome(), kept);
}

}  // namespace
