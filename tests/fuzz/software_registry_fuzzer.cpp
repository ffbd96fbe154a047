// libFuzzer target for the registry file's scanner and writer. The input is used twice: as a registry file to read,
// and, split at NUL bytes into name / product_id / distributor_id fields, as a list to write.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "config/software_registry.h"

namespace {

using Entries = std::vector<SoftwareEntry>;

void Check(bool property) {
    if (!property)
        __builtin_trap();
}

Entries Parse(const std::string& bytes) {
    std::istringstream input(bytes);
    return ParseSoftwareEntries(input);
}

bool Contains(const std::string& value, std::string_view text) {
    return value.find(text) != std::string::npos;
}

bool StartsWithBlank(const std::string& value) {
    return !value.empty() && (value.front() == ' ' || value.front() == '\t');
}

// What every list read from any bytes looks like: a product_id in each entry, and no value holding a double quote, a
// line feed, an end-of-file byte or a leading blank (the scanner removes or stops at all of them).
void CheckReadList(const Entries& entries) {
    for (const SoftwareEntry& entry : entries) {
        Check(!entry.product_id.empty());
        for (const std::string* value : {&entry.name, &entry.product_id, &entry.distributor_id}) {
            Check(value->find_first_of("\"\n\x1A") == std::string::npos);
            Check(!StartsWithBlank(*value));
        }
    }
}

// Whether writing and reading must give the list back exactly: nothing in it that the scanner reads differently.
bool SurvivesRoundTrip(const Entries& entries) {
    for (const SoftwareEntry& entry : entries) {
        if (entry.product_id.empty())
            return false;
        for (const std::string* value : {&entry.name, &entry.product_id, &entry.distributor_id}) {
            if (value->find_first_of("\"\n\x1A") != std::string::npos || StartsWithBlank(*value) ||
                Contains(*value, "[[software]]"))
                return false;
        }
        // A marker text of an earlier-checked key would move the line to that key.
        if (Contains(entry.product_id, "name") || Contains(entry.distributor_id, "name") ||
            Contains(entry.distributor_id, "product_id"))
            return false;
    }
    return true;
}

// The written form: four lines of known length per entry, and CR before every LF.
std::string FormatChecked(const Entries& entries) {
    const std::string text = FormatSoftwareEntries(entries);
    size_t expectedSize = 0;
    for (const SoftwareEntry& entry : entries) {
        expectedSize += 63;  // "[[software]]", "name = \"\"", "product_id = \"\"", "distributor_id = \"\"", CR LF each
        for (const std::string* value : {&entry.name, &entry.product_id, &entry.distributor_id}) {
            expectedSize += value->size();
            for (char c : *value)
                expectedSize += c == '\n';  // written as CR LF
        }
    }
    Check(text.size() == expectedSize);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n')
            Check(i > 0 && text[i - 1] == '\r');
    }
    Check(entries.empty() || text.starts_with("[[software]]\r\nname = \""));
    return text;
}

// A list that was read once: one write-and-read cycle gives a list that survives any further cycle unchanged, and the
// same list already if nothing in it is read differently.
void CheckNormalisation(const Entries& read) {
    CheckReadList(read);
    const Entries once = Parse(FormatChecked(read));
    CheckReadList(once);
    Check(once.size() <= read.size());
    if (SurvivesRoundTrip(read))
        Check(once == read);
    Check(SurvivesRoundTrip(once));
    Check(Parse(FormatChecked(once)) == once);
}

// The fields between NUL bytes, three to an entry.
Entries ListFromFields(std::string_view bytes) {
    std::vector<std::string> fields;
    size_t start = 0;
    while (true) {
        const size_t end = bytes.find('\0', start);
        fields.emplace_back(bytes.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
        if (end == std::string_view::npos)
            break;
        start = end + 1;
    }
    Entries entries;
    for (size_t i = 0; i + 2 < fields.size(); i += 3)
        entries.push_back({fields[i], fields[i + 1], fields[i + 2]});
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    // As a file.
    CheckNormalisation(Parse(bytes));

    // As a list of values.
    const Entries list = ListFromFields(bytes);
    const Entries read = Parse(FormatChecked(list));
    if (SurvivesRoundTrip(list))
        Check(read == list);
    CheckNormalisation(read);
    return 0;
}
