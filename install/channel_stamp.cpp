#include "install/channel_stamp.h"

#include <string_view>

std::string StampedChannel(const std::vector<unsigned char>& table) {
    const std::string_view bytes(reinterpret_cast<const char*>(table.data()), table.size());
    const std::string_view marker(kChannelStampMarker);
    const std::size_t at = bytes.find(marker);
    if (at == std::string_view::npos || bytes.find(marker, at + 1) != std::string_view::npos)
        return {};
    const std::string_view value = bytes.substr(at + marker.size());
    const std::size_t digits = value.find_first_not_of("0123456789");
    // Digits up to the table's end (npos) are too many; a value cut short there is not the one stamped.
    if (digits == 0 || digits > kMaxChannelDigits || value[digits] != '\0')
        return {};
    return std::string(value.substr(0, digits));
}
