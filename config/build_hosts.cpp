#include "config/build_hosts.h"

constexpr char kDownloadHost[] = VELMOR_DOWNLOAD_HOST;
constexpr char kSupportHost[] = VELMOR_SUPPORT_HOST;
constexpr wchar_t kPayloadSigner[] = VELMOR_PAYLOAD_SIGNER;
constexpr char kPayloadKeySha256[] = VELMOR_PAYLOAD_KEY_SHA256;
constexpr int kDownloadAttempts = VELMOR_DOWNLOAD_ATTEMPTS;
