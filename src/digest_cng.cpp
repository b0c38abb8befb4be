// SHA-256 with the system's CNG (BCrypt), which Windows keeps current.
#include "digest.h"

#include <windows.h>

#include <bcrypt.h>

struct sha256_state {
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
};

void sha256_closer::operator()(sha256_state* state) const
{
    if (state->hash)
        ::BCryptDestroyHash(state->hash);
    if (state->algorithm)
        ::BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
}

sha256_ptr new_sha256()
{
    sha256_ptr state(new sha256_state{nullptr, nullptr});
    if (!BCRYPT_SUCCESS(::BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
        !BCRYPT_SUCCESS(::BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0)))
        return nullptr;
    return state;
}

bool sha256_update(sha256_state& state, const void* data, std::size_t size)
{
    // BCryptHashData takes at most 4 GiB less one byte at a time.
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ULONG part = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(::BCryptHashData(state.hash, const_cast<PUCHAR>(bytes), part, 0)))
            return false;
        bytes += part;
        size -= part;
    }
    return true;
}

bool sha256_finish(sha256_state& state, std::string& hex)
{
    unsigned char digest[32];
    if (!BCRYPT_SUCCESS(::BCryptFinishHash(state.hash, digest, sizeof digest, 0)))
        return false;
    hex = hex_digits(digest, sizeof digest);
    return true;
}
