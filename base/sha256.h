#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

using Sha256Digest = std::array<std::uint8_t, 32>;

// SHA-256 through BCrypt, fed in pieces. A hasher that failed to start, or any failed step, makes Finish return
// false; callers treat that as a mismatch.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void Update(const void* bytes, std::size_t size);
    // The digest of everything passed to Update; false when any step failed. Call once.
    bool Finish(Sha256Digest& digest);

private:
    void* algorithm_ = nullptr;  // BCRYPT_ALG_HANDLE
    void* hash_ = nullptr;       // BCRYPT_HASH_HANDLE
    bool failed_ = false;
};
