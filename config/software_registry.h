#pragma once

#include <filesystem>
#include <istream>
#include <string>
#include <vector>

// One installed product in the per-user software registry file: raw bytes as they stand in the file.
struct SoftwareEntry {
    std::string name;
    std::string product_id;
    std::string distributor_id;
    friend bool operator==(const SoftwareEntry&, const SoftwareEntry&) = default;
};

// Reads the [[software]] tables of the registry file, in file order. A forgiving line scanner, not a TOML parser:
// unrecognised lines are skipped, and entries without a product_id are dropped. Missing or unreadable files give an
// empty list; nothing is ever reported or changed on disk.
std::vector<SoftwareEntry> ReadSoftwareEntries(const std::filesystem::path& path);

// The same rules applied to a byte stream, read to its end, its first 0x1A byte or a read error. Lines end at LF; a
// CR directly before an LF belongs to the line end.
std::vector<SoftwareEntry> ParseSoftwareEntries(std::istream& input);

// The file's written form of a list: four lines per entry, every value in double quotes, CR LF line ends, and every
// LF inside a value written as CR LF.
std::string FormatSoftwareEntries(const std::vector<SoftwareEntry>& entries);

// Replaces the registry file with the formatted list. The content goes to a temporary file in the same folder first,
// which then takes the file's place in one step; if any step fails, the old file stays exactly as it was and the
// temporary file is removed. Only when another program holds the file open, so that it cannot be replaced for about
// half a second, is the content written into the file in place, through the sharing that program allows. Returns
// whether the file now holds the list, for the diagnostics log; nothing else is reported.
bool WriteSoftwareEntries(const std::filesystem::path& path, const std::vector<SoftwareEntry>& entries);
