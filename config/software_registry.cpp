#include "config/software_registry.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>

#ifdef _WIN32
#include "base/plain_entry.h"
#include "base/unique_handle.h"
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

constexpr std::string_view kTableMarker = "[[software]]";
constexpr char kEndOfText = '\x1A';  // Ctrl-Z ends a text file's input
constexpr int kReplaceAttempts = 5;
constexpr std::chrono::milliseconds kReplaceRetryDelay{100};

// Collects entries line by line. The pending entry exists from the first line on, so key lines before the first
// table header fill it too; it is kept only if it has a product_id.
class EntryCollector {
public:
    void AddLine(std::string_view line) {
        if (line.find(kTableMarker) != std::string_view::npos)
            FinishPending();
        else if (line.find("name") != std::string_view::npos)
            SetFromLine(pending_.name, line);
        else if (line.find("product_id") != std::string_view::npos)
            SetFromLine(pending_.product_id, line);
        else if (line.find("distributor_id") != std::string_view::npos)
            SetFromLine(pending_.distributor_id, line);
    }

    std::vector<SoftwareEntry> Finish() {
        FinishPending();
        return std::move(entries_);
    }

private:
    void FinishPending() {
        if (!pending_.product_id.empty())
            entries_.push_back(pending_);
        pending_ = SoftwareEntry{};
    }

    // The value is everything after the line's first "=", without any double quote and without leading blanks.
    // Nothing is trimmed at the end. A line without "=" leaves the field as it was.
    static void SetFromLine(std::string& field, std::string_view line) {
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos)
            return;
        field.clear();
        for (char c : line.substr(equals + 1)) {
            if (c != '"')
                field.push_back(c);
        }
        field.erase(0, field.find_first_not_of(" \t"));
    }

    SoftwareEntry pending_;
    std::vector<SoftwareEntry> entries_;
};

// A name beside the file's own, so that the replacement stays within one folder and one volume.
std::filesystem::path TemporaryPathFor(const std::filesystem::path& path) {
    std::random_device random;
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".%08x%08x.tmp", random(), random());
    std::filesystem::path temporary = path;
    temporary += suffix;
    return temporary;
}

// Writes content to a file that this call creates; false if it could not be created, written or closed completely.
// Whatever already has that name, a file or a link planted by another program, makes the creation fail: it is never
// opened or followed.
bool WriteNewFile(const std::filesystem::path& path, const std::string& content) {
#ifdef _WIN32
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD written = 0;
    const bool complete =
        file && content.size() <= MAXDWORD &&
        WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
        written == content.size();
    return complete && CloseHandle(file.release());
#else
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file < 0)
        return false;
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t written = write(file, content.data() + done, content.size() - done);
        if (written <= 0)
            break;
        done += static_cast<size_t>(written);
    }
    return close(file) == 0 && done == content.size();
#endif
}

// Writes content over an existing file, in place, through the sharing that other programs allow; false if it could
// not be opened, written or closed completely. Only a plain file is written: the handle it is written through is
// checked to be no link, symbolic or hard (a file with a second name), so another file is never written through it.
bool WriteWholeFile(const std::filesystem::path& path, const std::string& content) {
#ifdef _WIN32
    // Opened without backup semantics, so never a folder.
    UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    DWORD written = 0;
    return file && IsNoLink(file.get()) && SetEndOfFile(file.get()) && content.size() <= MAXDWORD &&
           WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
           written == content.size() && CloseHandle(file.release());
#else
    std::ofstream file(path, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!file)
        return false;
    file.write(content.data(), static_cast<std::streamsize>(content.size()));
    file.close();
    return !file.fail();
#endif
}

// A file marked read-only is not to be overwritten. Replacing it by a rename would ignore that mark on systems where
// only the folder's permissions govern renames, so it is checked here.
bool IsReadOnlyFile(const std::filesystem::path& path) {
    std::error_code error;
    const std::filesystem::file_status status = std::filesystem::status(path, error);
    return !error && std::filesystem::is_regular_file(status) &&
           (status.permissions() & std::filesystem::perms::owner_write) == std::filesystem::perms::none;
}

// A file that another program holds open cannot be replaced, only written through the sharing that program allows.
// The standard library on Windows reports such a refusal as permission denied (ERROR_ACCESS_DENIED, which Wine gives)
// or as an I/O error (ERROR_SHARING_VIOLATION).
bool RefusedAsInUse(const std::filesystem::path& path, const std::error_code& error) {
    std::error_code ignored;
    return (error == std::errc::permission_denied || error == std::errc::io_error) &&
           std::filesystem::is_regular_file(path, ignored);
}

}  // namespace

std::vector<SoftwareEntry> ParseSoftwareEntries(std::istream& input) {
    EntryCollector collector;
    std::string line;
    // Each round reads one line: to an LF (consumed, not stored) or to the end of the input.
    while (std::getline(input, line)) {
        const bool endedByLineFeed = !input.eof();
        const size_t endOfText = line.find(kEndOfText);
        if (endOfText != std::string::npos) {
            // The input ends here, so this piece of line has no line end of its own.
            line.resize(endOfText);
            collector.AddLine(line);
            break;
        }
        if (endedByLineFeed && !line.empty() && line.back() == '\r')
            line.pop_back();
        collector.AddLine(line);
    }
    return collector.Finish();
}

std::vector<SoftwareEntry> ReadSoftwareEntries(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary | std::ios::in);
    if (!file)
        return {};
    return ParseSoftwareEntries(file);
}

std::string FormatSoftwareEntries(const std::vector<SoftwareEntry>& entries) {
    std::string text;
    const auto addLine = [&text](std::string_view key, const std::string& value) {
        text += key;
        text += " = \"";
        text += value;
        text += "\"\n";
    };
    for (const SoftwareEntry& entry : entries) {
        text += kTableMarker;
        text += '\n';
        addLine("name", entry.name);
        addLine("product_id", entry.product_id);
        addLine("distributor_id", entry.distributor_id);
    }
    // Text-file line ends: every LF, also one inside a value, goes out as CR LF.
    std::string written;
    written.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\n')
            written += '\r';
        written += c;
    }
    return written;
}

bool WriteSoftwareEntries(const std::filesystem::path& path, const std::vector<SoftwareEntry>& entries) {
    if (IsReadOnlyFile(path))
        return false;
    const std::string content = FormatSoftwareEntries(entries);
    const std::filesystem::path temporary = TemporaryPathFor(path);
    std::error_code error;
    bool written = false;
    if (WriteNewFile(temporary, content)) {
        for (int attempt = 1;; ++attempt) {
            std::filesystem::rename(temporary, path, error);
            if (!error)
                return true;
            if (attempt == kReplaceAttempts || !RefusedAsInUse(path, error))
                break;
            std::this_thread::sleep_for(kReplaceRetryDelay);
        }
        // Held open for longer than a moment: the content goes in place, as a plain overwrite would, rather than
        // being lost. This write is not one step: a failure part-way leaves the file cut short.
        written = RefusedAsInUse(path, error) && WriteWholeFile(path, content);
    }
    std::filesystem::remove(temporary, error);
    return written;
}
