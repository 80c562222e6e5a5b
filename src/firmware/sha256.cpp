#include "firmware/sha256.h"

#include <cstring>
#include <new>

#include "platform/crypto.h"

struct sha256_state {
    crypto_sha256_ptr digest;
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
    context->state->digest = crypto_sha256_new();
    if (!context->state->digest) context->state.reset();
}

void sha256_update(sha256_context* context, const unsigned char* bytes, std::size_t count) {
    if (context->state && count > 0 && !crypto_sha256_update(context->state->digest.get(), bytes, count)) {
        context->state.reset();
    }
}

void sha256_discard(sha256_context* context) { context->state.reset(); }

int sha256_final(sha256_context* context, unsigned char digest[SHA256_DIGEST_SIZE]) {
    static_assert(SHA256_DIGEST_SIZE == CRYPTO_SHA256_SIZE);
    if (context->state && crypto_sha256_final(context->state->digest.get(), digest)) return 0;
    context->state.reset();
    std::memset(digest, 0, SHA256_DIGEST_SIZE);
    return -1;
}
