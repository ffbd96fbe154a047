#pragma once

// What this installer installs, and through which distribution channel it was handed out.
inline constexpr char ProductName[] =
    "velmor\xE5\xBD\x95\xE5\xB1\x8F\xE5\xA4\xA7\xE5\xB8\x88";  // "velmor录屏大师", UTF-8
inline constexpr int ProductId = 7;
// Compiled into each executable from its build's VELMOR_DISTRIBUTOR_ID (see velmor_add_hosts).
extern const char DistributorId[];
