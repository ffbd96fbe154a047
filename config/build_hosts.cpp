#include "config/build_hosts.h"

constexpr char kDownloadHost[] = VELMOR_DOWNLOAD_HOST;
constexpr char kSupportHost[] = VELMOR_SUPPORT_HOST;
constexpr int kDownloadAttempts = VELMOR_DOWNLOAD_ATTEMPTS;
