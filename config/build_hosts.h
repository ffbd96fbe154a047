#pragma once

// Host names (with an optional ":port") compiled into each executable from the build's VELMOR_DOWNLOAD_HOST and
// VELMOR_SUPPORT_HOST settings.
extern const char kDownloadHost[];
extern const char kSupportHost[];

// How many attempts the download makes (1 to 10), from the build's VELMOR_DOWNLOAD_ATTEMPTS setting.
extern const int kDownloadAttempts;
