#pragma once

#include <string>
#include <vector>

// A signed installer carries a slot for its distribution channel in the unauthenticated part of its signature, which
// scripts/release reserves and scripts/stamp-channel fills: this marker, 1 to 9 decimal digits, then zero bytes.
inline constexpr char kChannelStampMarker[] = "installer-channel:";
inline constexpr std::size_t kMaxChannelDigits = 9;

// The channel stamped into a certificate table's bytes: the digits that follow its only marker, up to a zero byte.
// Empty when the table holds no marker or more than one, or when no such number follows it. The signature does not
// cover the stamp and anyone can change it: the value is fit only to be recorded as the distributor identifier.
std::string StampedChannel(const std::vector<unsigned char>& table);
