#include "install/publisher.h"

#include <wincrypt.h>

#include <vector>

#include <softpub.h>
#include <wintrust.h>

#include "base/ascii.h"
#include "base/sha256.h"
#include "config/build_hosts.h"

namespace {

// The SHA-256 of the certificate's DER SubjectPublicKeyInfo, the value that VELMOR_PAYLOAD_KEY_SHA256 lists.
bool PublicKeyDigest(PCCERT_CONTEXT cert, Sha256Digest& digest) {
    DWORD size = 0;
    CERT_PUBLIC_KEY_INFO* key = &cert->pCertInfo->SubjectPublicKeyInfo;
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, 0, nullptr, nullptr, &size))
        return false;
    std::vector<BYTE> der(size);
    if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, key, 0, nullptr, der.data(), &size))
        return false;
    Sha256 hash;
    hash.Update(der.data(), size);
    return hash.Finish(digest);
}

std::wstring SubjectCommonName(PCCERT_CONTEXT cert) {
    char* oid = const_cast<char*>(szOID_COMMON_NAME);
    const DWORD size = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, nullptr, 0);
    std::wstring name(size, L'\0');
    CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, oid, name.data(), size);
    name.resize(size > 0 ? size - 1 : 0);
    return name;
}

bool MatchesPins(PCCERT_CONTEXT signer) {
    if (kPayloadSigner[0] != L'\0' && SubjectCommonName(signer) != kPayloadSigner)
        return false;
    if (kPayloadKeySha256[0] == '\0')
        return true;
    Sha256Digest key{};
    if (!PublicKeyDigest(signer, key))
        return false;
    const std::string pins = std::string(",") + kPayloadKeySha256 + ",";
    return pins.find("," + ToHex(key) + ",") != std::string::npos;
}

}  // namespace

bool IsPublisherPinned() {
    return kPayloadSigner[0] != L'\0' || kPayloadKeySha256[0] != '\0';
}

bool IsSignedByPinnedPublisher(HANDLE file, const std::wstring& path) {
    // The signature is read through the held handle, from the start of the file.
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
        return false;

    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.c_str();
    fileInfo.hFile = file;
    WINTRUST_DATA trust{};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;

    bool trusted = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust) == ERROR_SUCCESS;
    if (trusted) {
        CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
        CRYPT_PROVIDER_CERT* cert = signer ? WTHelperGetProvCertFromChain(signer, 0) : nullptr;
        trusted = cert && cert->pCert && MatchesPins(cert->pCert);
    }
    // The state that the verify step opened is released by a second call, whatever the verdict.
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &trust);
    return trusted;
}
