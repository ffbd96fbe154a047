#include "net/pe_image.h"

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

constexpr std::uint64_t kDosHeaderSize = 64;
constexpr std::uint64_t kNewHeaderOffsetField = 0x3C;
constexpr std::uint64_t kPeHeaderSize = 24;  // "PE\0\0" and the file header
constexpr std::uint64_t kSectionHeaderSize = 40;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
constexpr std::uint32_t kCertificateDirectory = 4;

std::uint16_t Le16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t Le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(Le16(bytes)) | static_cast<std::uint32_t>(Le16(bytes + 2)) << 16;
}

// Reads count bytes at offset into out; false unless all of them lie within the file's size bytes.
bool ReadWithin(const ReadAtFunction& readAt,
                std::uint64_t size,
                std::uint64_t offset,
                std::uint64_t count,
                std::vector<unsigned char>& out) {
    return offset <= size && count <= size - offset && readAt(offset, count, out);
}

// What the headers tell the checks below. A certificate table's "address" is a file offset; its size is 0 when the
// program has none.
struct Headers {
    std::uint64_t sectionTable = 0;
    std::uint64_t sectionCount = 0;
    std::uint64_t certificateStart = 0;
    std::uint64_t certificateSize = 0;
};

// The DOS, PE and optional headers; false unless they parse within the file's size bytes.
bool ReadHeaders(const ReadAtFunction& file, std::uint64_t size, Headers& headers) {
    std::vector<unsigned char> dos;
    if (!ReadWithin(file, size, 0, kDosHeaderSize, dos) || dos[0] != 'M' || dos[1] != 'Z')
        return false;
    const std::uint64_t peHeader = Le32(&dos[kNewHeaderOffsetField]);

    std::vector<unsigned char> pe;
    if (!ReadWithin(file, size, peHeader, kPeHeaderSize, pe) || std::memcmp(pe.data(), "PE\0\0", 4) != 0)
        return false;
    const std::uint16_t sectionCount = Le16(&pe[6]);
    const std::uint16_t optionalSize = Le16(&pe[20]);

    // The data directories follow the fixed part of the optional header, whose length depends on its kind.
    std::vector<unsigned char> optional;
    if (optionalSize < 2 || !ReadWithin(file, size, peHeader + kPeHeaderSize, optionalSize, optional))
        return false;
    const std::uint16_t magic = Le16(optional.data());
    const std::uint64_t directories = magic == kPe32Magic ? 96 : magic == kPe32PlusMagic ? 112 : 0;
    if (directories == 0 || optionalSize < directories)
        return false;

    headers.sectionTable = peHeader + kPeHeaderSize + optionalSize;
    headers.sectionCount = sectionCount;
    const std::uint32_t directoryCount = Le32(&optional[directories - 4]);
    const std::uint64_t certificate = directories + 8 * kCertificateDirectory;
    if (directoryCount > kCertificateDirectory && certificate + 8 <= optionalSize) {
        headers.certificateStart = Le32(&optional[certificate]);
        headers.certificateSize = Le32(&optional[certificate + 4]);
    }
    return true;
}

}  // namespace

bool IsWholeWindowsProgram(std::uint64_t size, const ReadAtFunction& file) {
    Headers headers;
    if (!ReadHeaders(file, size, headers))
        return false;

    std::vector<unsigned char> sections;
    if (!ReadWithin(file, size, headers.sectionTable, headers.sectionCount * kSectionHeaderSize, sections))
        return false;
    for (std::uint64_t at = 0; at < sections.size(); at += kSectionHeaderSize) {
        const std::uint64_t rawSize = Le32(&sections[at + 16]);
        const std::uint64_t rawStart = Le32(&sections[at + 20]);
        if (rawSize != 0 && rawStart + rawSize > size)
            return false;
    }

    // A signature is the last thing in a signed program: anything cut from the end of one takes part of it.
    const std::uint64_t tableStart = headers.certificateStart;
    const std::uint64_t tableSize = headers.certificateSize;
    if (tableSize != 0 && tableStart + tableSize != size)
        return false;
    return true;
}

bool FindCertificateTable(std::uint64_t size, const ReadAtFunction& file, FileRange& table) {
    Headers headers;
    if (!ReadHeaders(file, size, headers) || headers.certificateSize == 0 || headers.certificateStart > size ||
        headers.certificateSize > size - headers.certificateStart)
        return false;
    table = {headers.certificateStart, headers.certificateSize};
    return true;
}

#ifdef _WIN32
ReadAtFunction ReadAtOfFile(void* fileHandle) {
    return [fileHandle](std::uint64_t offset, std::uint64_t count, std::vector<unsigned char>& out) {
        out.resize(count);
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return count <= MAXDWORD && ReadFile(fileHandle, out.data(), static_cast<DWORD>(count), &read, &at) &&
               read == count;
    };
}

bool IsWholeWindowsProgramFile(void* fileHandle) {
    LARGE_INTEGER size{};
    return GetFileSizeEx(fileHandle, &size) &&
           IsWholeWindowsProgram(static_cast<std::uint64_t>(size.QuadPart), ReadAtOfFile(fileHandle));
}
#endif
