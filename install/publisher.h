#pragma once

#include <windows.h>

#include <string>

// True when this build pins the publisher of the setup program it downloads (VELMOR_PAYLOAD_SIGNER or
// VELMOR_PAYLOAD_KEY_SHA256 set). Builds that pin none never load the signature libraries.
bool IsPublisherPinned();

// True when the file open as file (named path) carries a valid Authenticode signature whose signer certificate has
// the pinned subject common name (when one is pinned) and one of the pinned public keys (when keys are pinned).
// Revocation is not checked: see the README's section on pinning the publisher.
bool IsSignedByPinnedPublisher(HANDLE file, const std::wstring& path);
