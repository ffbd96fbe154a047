#include "config/build_hosts.h"

constexpr char kDownloadHost[] = VELMOR_DOWNLOAD_HOST;
constexpr char kSupportHost[] = VELMOR_SUPPORT_HOST;
constexpr char kReleasePath[] = VELMOR_RELEASE_PATH;
constexpr char kWebViewPath[] = VELMOR_WEBVIEW_PATH;
constexpr wchar_t kPayloadSigner[] = VELMOR_PAYLOAD_SIGNER;
constexpr char kPayloadKeySha256[] = VELMOR_PAYLOAD_KEY_SHA256;
constexpr int kDownloadAttempts = VELMOR_DOWNLOAD_ATTEMPTS;
constexpr char kInstallerVersion[] = VELMOR_VERSION_TEXT;
constexpr bool kProxyFromSystem = VELMOR_PROXY_FROM_SYSTEM;
constexpr bool kLogEnabled = VELMOR_LOG;
