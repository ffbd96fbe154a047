#include "base/sha256.h"

#include <windows.h>

#include <climits>

#include <bcrypt.h>

Sha256::Sha256() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    // No hash object buffer: BCrypt allocates it itself from Windows 7 on.
    failed_ = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0 ||
              BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0;
    algorithm_ = algorithm;
    hash_ = hash;
}

Sha256::~Sha256() {
    // The hash belongs to the algorithm provider and goes first.
    if (hash_)
        BCryptDestroyHash(hash_);
    if (algorithm_)
        BCryptCloseAlgorithmProvider(algorithm_, 0);
}

void Sha256::Update(const void* bytes, std::size_t size) {
    auto* next = static_cast<UCHAR*>(const_cast<void*>(bytes));
    while (!failed_ && size > 0) {
        const ULONG piece = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        failed_ = BCryptHashData(hash_, next, piece, 0) != 0;
        next += piece;
        size -= piece;
    }
}

bool Sha256::Finish(Sha256Digest& digest) {
    if (!failed_)
        failed_ = BCryptFinishHash(hash_, digest.data(), static_cast<ULONG>(digest.size()), 0) != 0;
    return !failed_;
}
