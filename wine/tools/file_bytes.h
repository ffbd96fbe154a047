#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

// A file's whole content, byte for byte (no line-end translation); empty when it cannot be opened.
inline std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
