// SHA-256 with OpenSSL's libcrypto (its EVP interface, which picks the
// processor's SHA instructions where there are any).
#include "digest.h"

#include <openssl/evp.h>

struct sha256_state {
    EVP_MD_CTX* context;
};

void sha256_closer::operator()(sha256_state* state) const
{
    EVP_MD_CTX_free(state->context);
    delete state;
}

sha256_ptr new_sha256()
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context)
        return nullptr;
    sha256_ptr state(new sha256_state{context});
    return EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1 ? std::move(state) : nullptr;
}

bool sha256_update(sha256_state& state, const void* data, std::size_t size)
{
    return EVP_DigestUpdate(state.context, data, size) == 1;
}

bool sha256_finish(sha256_state& state, std::string& hex)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(state.context, digest, &size) != 1)
        return false;
    hex = hex_digits(digest, size);
    return true;
}
