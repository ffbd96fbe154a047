// Makes a test CA trusted in the Wine prefix it runs in, and in nothing else: adds the DER certificates named on the
// command line to the machine's Root store, after removing certificates that earlier test runs added there.
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

constexpr wchar_t kTestCaMarker[] = L"Velmor Test";

void RemoveEarlierTestCas(HCERTSTORE store) {
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_SUBJECT_STR_W, kTestCaMarker,
                                              nullptr)) != nullptr) {
        CertDeleteCertificateFromStore(cert);  // also frees the context
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store) {
        std::fprintf(stderr, "cannot open the Root store: %lu\n", GetLastError());
        return 1;
    }
    RemoveEarlierTestCas(store);
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(std::filesystem::path(argv[i]), std::ios::binary);
        std::vector<BYTE> der((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (der.empty() ||
            !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                              CERT_STORE_ADD_REPLACE_EXISTING, nullptr)) {
            std::fprintf(stderr, "cannot add %ls: %lu\n", argv[i], GetLastError());
            ++failures;
        }
    }
    CertCloseStore(store, 0);
    return failures == 0 ? 0 : 1;
}
