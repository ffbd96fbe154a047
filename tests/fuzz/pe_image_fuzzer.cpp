// libFuzzer target for the whole-program check, which judges bytes a server sent. The input is the file. Every read
// must lie within it: a header that points elsewhere is refused without reading outside what was read. A read that
// fails, wherever it comes, refuses the file, and nothing more is read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/pe_image.h"

namespace {

void Check(bool property) {
    if (!property)
        __builtin_trap();
}

// Judges the input, failing its failAt-th read (1 for the first; 0: none). reads counts the reads asked for.
bool Judge(const uint8_t* data, size_t size, int failAt, int& reads) {
    reads = 0;
    return IsWholeWindowsProgram(size, [&](std::uint64_t offset, std::uint64_t count, std::vector<unsigned char>& out) {
        Check(offset <= size && count <= size - offset);
        if (++reads == failAt)
            return false;
        out.assign(data + offset, data + offset + count);
        return true;
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int reads = 0;
    Judge(data, size, 0, reads);
    for (int failAt = 1; failAt <= reads; ++failAt) {
        int readsThen = 0;
        Check(!Judge(data, size, failAt, readsThen) && readsThen == failAt);
    }
    return 0;
}
