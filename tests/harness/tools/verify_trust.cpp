// Asks Windows whether a file's Authenticode signature is good, as a download check would: WinVerifyTrust with the
// generic verify action, no UI, no revocation check. Prints, one per line:
//   hresult=0x........           the answer (0 = trusted)
//   subject_cn=...               the signer certificate's common name, UTF-8 (when there is a signer)
//   spki_sha256=...              SHA-256 of the signer certificate's DER SubjectPublicKeyInfo, lower-case hex
// Exits 0 when the answer is 0, 1 otherwise, 2 on a usage error.
//   verify_trust.exe <file>
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <string>

#include <softpub.h>
#include <wintrust.h>

namespace {

// The certificate that signed the file, owned by the verification state; null when there is none.
PCCERT_CONTEXT SignerCertificate(HANDLE state) {
    CRYPT_PROVIDER_DATA* provider = state ? WTHelperProvDataFromStateData(state) : nullptr;
    if (!provider)
        return nullptr;
    CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
    if (!signer)
        return nullptr;
    CRYPT_PROVIDER_CERT* cert = WTHelperGetProvCertFromChain(signer, 0);
    return cert ? cert->pCert : nullptr;
}

void PrintSigner(PCCERT_CONTEXT cert) {
    wchar_t name[256] = {};
    CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME), name, 256);
    char utf8[1024] = {};
    WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8, sizeof(utf8), nullptr, nullptr);
    std::printf("subject_cn=%s\n", utf8);

    BYTE hash[32] = {};
    DWORD hashSize = sizeof(hash);
    if (!CryptHashPublicKeyInfo(0, CALG_SHA_256, 0, X509_ASN_ENCODING, &cert->pCertInfo->SubjectPublicKeyInfo, hash,
                                &hashSize)) {
        std::printf("spki_sha256=error %lu\n", GetLastError());
        return;
    }
    std::string hex;
    for (DWORD i = 0; i < hashSize; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof(digits), "%02x", hash[i]);
        hex += digits;
    }
    std::printf("spki_sha256=%s\n", hex.c_str());
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: verify_trust.exe <file>\n");
        return 2;
    }
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = argv[1];

    WINTRUST_DATA data{};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    const LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    std::printf("hresult=0x%08lx\n", static_cast<unsigned long>(result));
    if (PCCERT_CONTEXT cert = SignerCertificate(data.hWVTStateData))
        PrintSigner(cert);

    // The state holds the signer certificate printed above; it is released only after that.
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return result == 0 ? 0 : 1;
}
