// SHA-256, computed by a maintained library of the system, one per platform
// and chosen by the build: OpenSSL's libcrypto on POSIX systems, the
// system's CNG on Windows.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct sha256_state;
struct sha256_closer {
    void operator()(sha256_state* state) const;
};
using sha256_ptr = std::unique_ptr<sha256_state, sha256_closer>;

// A fresh digest; null when the library can't provide one.
[[nodiscard]] sha256_ptr new_sha256();

// Adds data; false when the library failed.
[[nodiscard]] bool sha256_update(sha256_state& state, const void* data, std::size_t size);

// The digest of everything added, as 64 lower-case hexadecimal digits;
// false when the library failed.
[[nodiscard]] bool sha256_finish(sha256_state& state, std::string& hex);

// Bytes as lower-case hexadecimal digits, two to a byte.
inline std::string hex_digits(const void* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}
