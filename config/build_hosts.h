#pragma once

// Host names (with an optional ":port") compiled into each executable from the build's VELMOR_DOWNLOAD_HOST and
// VELMOR_SUPPORT_HOST settings.
extern const char kDownloadHost[];
extern const char kSupportHost[];

// The publisher pinned for the downloaded setup program, from VELMOR_PAYLOAD_SIGNER (the signer certificate's
// subject common name) and VELMOR_PAYLOAD_KEY_SHA256 (comma-separated lower-case hex SHA-256 digests of its DER
// SubjectPublicKeyInfo). Each is empty when the build does not pin it.
extern const wchar_t kPayloadSigner[];
extern const char kPayloadKeySha256[];
// How many attempts the download makes (1 to 10), from the build's VELMOR_DOWNLOAD_ATTEMPTS setting.
extern const int kDownloadAttempts;
