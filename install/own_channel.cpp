#include "install/own_channel.h"

#include <windows.h>

#include <vector>

#include "base/unique_handle.h"
#include "config/product.h"
#include "install/channel_stamp.h"
#include "net/pe_image.h"

namespace {

// Two signatures with their certificate chains and time stamps take some 20 KB; a larger table is not one of ours.
constexpr std::uint64_t kMaxCertificateTable = 1 << 20;

// The channel stamped into this process's own program file; empty when there is none or it cannot be read.
std::string ReadOwnStamp() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size())
        return {};
    const UniqueFileHandle file(CreateFileW(path.data(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
        return {};
    const ReadAtFunction readAt = ReadAtOfFile(file.get());
    FileRange table;
    std::vector<unsigned char> bytes;
    if (!FindCertificateTable(static_cast<std::uint64_t>(size.QuadPart), readAt, table) ||
        table.size > kMaxCertificateTable || !readAt(table.offset, table.size, bytes))
        return {};
    return StampedChannel(bytes);
}

}  // namespace

const std::string& DistributorIdOfThisInstaller() {
    static const std::string id = [] {
        const std::string stamped = ReadOwnStamp();
        return stamped.empty() ? std::string(DistributorId) : stamped;
    }();
    return id;
}
