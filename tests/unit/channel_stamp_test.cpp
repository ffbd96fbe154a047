// The channel stamp's reading from a certificate table's bytes (install/channel_stamp.h).
#include "install/channel_stamp.h"

#include <gtest/gtest.h>

namespace {

// A table of DER bytes around a slot of what (with zero bytes, as in a slot).
std::vector<unsigned char> Table(const std::string& slot) {
    const std::string table = std::string("\x30\x82\x10\x00\x06\x09", 6) + slot + std::string(16, '\0') + "\x31\x00";
    return {table.begin(), table.end()};
}

TEST(ChannelStamp, OnlyOneMarkerWithOneToNineDigits) {
    const std::string m = kChannelStampMarker;
    const std::string z(1, '\0');
    const struct {
        std::string slot, channel;
    } cases[] = {{m + "42" + z, "42"},
                 {m + "123456789" + z, "123456789"},
                 {m + "007" + z, "007"},
                 {"---BEGIN_BLOB---" + z, ""},  // a slot no one stamped
                 {m + "1234567890" + z, ""},
                 {m + z, ""},
                 {m + "4a2" + z, ""},
                 {m + "-42" + z, ""},
                 {m + " 42" + z, ""},
                 {m + "42 " + z, ""},
                 {m + "42" + z + m + "42" + z, ""},
                 {m + "42" + z + m.substr(0, m.size() - 1), "42"},
                 {m.substr(1) + "42" + z, ""}};
    for (const auto& c : cases)
        EXPECT_EQ(StampedChannel(Table(c.slot)), c.channel) << c.slot;
    // At the table's very end: the digits are not known to be all there.
    for (const std::string& end : {m, m + "42"}) {
        const std::string table = "\x30\x82" + end;
        EXPECT_EQ(StampedChannel({table.begin(), table.end()}), "") << end;
    }
    EXPECT_EQ(StampedChannel({}), "");
}

}  // namespace
