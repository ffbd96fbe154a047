#pragma once

// Host names (with an optional ":port") compiled into each executable from the build's VELMOR_DOWNLOAD_HOST and
// VELMOR_SUPPORT_HOST settings.
extern const char kDownloadHost[];
extern const char kSupportHost[];
// The paths of the download host's two addresses: the ordinary release, and the build that brings its own web view.
extern const char kReleasePath[];
extern const char kWebViewPath[];

// The publisher pinned for the downloaded setup program, from VELMOR_PAYLOAD_SIGNER (the signer certificate's
// subject common name) and VELMOR_PAYLOAD_KEY_SHA256 (comma-separated lower-case hex SHA-256 digests of its DER
// SubjectPublicKeyInfo). Each is empty when the build does not pin it.
extern const wchar_t kPayloadSigner[];
extern const char kPayloadKeySha256[];
// How many attempts the download makes (1 to 10), from the build's VELMOR_DOWNLOAD_ATTEMPTS setting.
extern const int kDownloadAttempts;
// The installer's version (VELMOR_VERSION), for the diagnostics log.
extern const char kInstallerVersion[];
// Whether the download uses the user's Internet Options proxy (VELMOR_PROXY=system) instead of WinHTTP's own setting.
extern const bool kProxyFromSystem;
// Whether the installer writes its diagnostics log (VELMOR_LOG).
extern const bool kLogEnabled;
