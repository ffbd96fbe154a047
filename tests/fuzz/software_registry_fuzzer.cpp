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

Entries RoundTrip(const Entries& entries) {
    std::istringstream input(FormatSoftwareEntries(entries));
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

// Whether the scanner reads a written entry back unchanged: readable, and no table header or marker of a key that
// is checked before the value's own.
bool Survives(const SoftwareEntry& e) {
    const auto has = [](const std::string& value, const char* text) { return value.find(text) != std::string::npos; };
    return Readable(e) && !has(e.name, "[[software]]") && !has(e.product_id, "[[software]]") &&
           !has(e.distributor_id, "[[software]]") && !has(e.product_id, "name") && !has(e.distributor_id, "name") &&
           !has(e.distributor_id, "product_id");
}

bool AllSurvive(const Entries& entries) {
    return std::all_of(entries.begin(), entries.end(), Survives);
}

// What the scanner read from any bytes survives a round trip once it has made one, and at once when nothing in it
// is changed.
void CheckNormalisation(const Entries& read) {
    for (const SoftwareEntry& e : read)
        Check(Readable(e));
    const Entries once = RoundTrip(read);
    Check(once.size() <= read.size() && AllSurvive(once) && (!AllSurvive(read) || once == read));
    Check(RoundTrip(once) == once);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::istringstream input(bytes);
    CheckNormalisation(ParseSoftwareEntries(input));

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
    const Entries read = RoundTrip(list);
    Check(!AllSurvive(list) || read == list);
    CheckNormalisation(read);
    return 0;
}
