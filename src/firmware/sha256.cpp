#include "firmware/sha256.h"

#include <cstring>
#include <new>

#include <openssl/evp.h>

namespace {

struct md_context_deleter {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

}  // namespace

struct sha256_state {
    std::unique_ptr<EVP_MD_CTX, md_context_deleter> digest{EVP_MD_CTX_new()};
};

void sha256_state_deleter::operator()(sha256_state* state) const noexcept {
    std::default_delete<sha256_state>()(state);
}

// A step that fails drops the state, so that sha256_final reports it.
void sha256_init(sha256_context* context) {
    if (!context->state) {
        try {
            context->state.reset(std::make_unique<sha256_state>().release());
        } catch (const std::bad_alloc&) {
            return;
        }
    }
    if (context->state &&
        (!context->state->digest || EVP_DigestInit_ex(context->state->digest.get(), EVP_sha256(), nullptr) != 1)) {
        context->state.reset();
    }
}

void sha256_update(sha256_context* context, const unsigned char* bytes, std::size_t count) {
    if (context->state && count > 0 && EVP_DigestUpdate(context->state->digest.get(), bytes, count) != 1) {
        context->state.reset();
    }
}

int sha256_final(sha256_context* context, unsigned char digest[SHA256_DIGEST_SIZE]) {
    unsigned int length = 0;
    if (context->state && EVP_DigestFinal_ex(context->state->digest.get(), digest, &length) == 1 &&
        length == SHA256_DIGEST_SIZE) {
        return 0;
    }
    context->state.reset();
    std::memset(digest, 0, SHA256_DIGEST_SIZE);
    return -1;
}
