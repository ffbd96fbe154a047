// libFuzzer target for the registry file's scanner and writer. The input is used twice: as a registry file to read,
// and, split at NUL bytes into name / product_id / distributor_id fields, as a list to write.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
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

// What the scanner never reads: an entry without a product_id, a value with a quote, a line feed or an end-of-file
// byte, or one that starts with a blank.
bool Readable(const SoftwareEntry& e) {
    for (const std::string* value : {&e.name, &e.product_id, &e.distributor_id}) {
        if (value->find_first_of("\"\n\x1A") != std::string::npos || value->starts_with(' ') ||
            value->starts_with('\t'))
            return false;
    }
    return !e.product_id.empty();
}

// Whether the scanner reads the written list back unchanged: nothing unreadable, no table header, and no marker of a
// key that is checked before the value's own.
bool SurvivesRoundTrip(const Entries& entries) {
    const auto has = [](const std::string& value, const char* text) { return value.find(text) != std::string::npos; };
    for (const SoftwareEntry& e : entries) {
        if (!Readable(e) || has(e.name, "[[software]]") || has(e.product_id, "[[software]]") ||
            has(e.distributor_id, "[[software]]") || has(e.product_id, "name") || has(e.distributor_id, "name") ||
            has(e.distributor_id, "product_id"))
            return false;
    }
    return true;
}

// The written form: 63 bytes of keys, quotes and line ends per entry, the values, and a CR before every LF.
std::string FormatChecked(const Entries& entries) {
    const std::string text = FormatSoftwareEntries(entries);
    size_t size = 0, lineFeeds = 0;
    for (const SoftwareEntry& e : entries) {
        const std::string values = e.name + e.product_id + e.distributor_id;
        size += 63 + values.size() + std::count(values.begin(), values.end(), '\n');
    }
    Check(text.size() == size);
    for (size_t i = 0; i < text.size(); ++i)
        lineFeeds += text[i] == '\n' && i > 0 && text[i - 1] == '\r';
    Check(lineFeeds == static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
    return text;
}

// A list read from any bytes survives a round trip once it has made one, and at once when nothing in it is changed.
void CheckNormalisation(const Entries& read) {
    for (const SoftwareEntry& e : read)
        Check(Readable(e));
    const Entries once = Parse(FormatChecked(read));
    Check(once.size() <= read.size() && SurvivesRoundTrip(once));
    if (SurvivesRoundTrip(read))
        Check(once == read);
    Check(Parse(FormatChecked(once)) == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckNormalisation(Parse(bytes));

    std::vector<std::string> fields(1);
    for (char c : bytes) {
        if (c == '\0')
            fields.emplace_back();
        else
            fields.back().push_back(c);
    }
    Entries list;
    for (size_t i = 0; i + 2 < fields.size(); i += 3)
        list.push_back({fields[i], fields[i + 1], fields[i + 2]});
    const Entries read = Parse(FormatChecked(list));
    if (SurvivesRoundTrip(list))
        Check(read == list);
    CheckNormalisation(read);
    return 0;
}
