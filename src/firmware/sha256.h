// Streaming SHA-256, the digest of a firmware image.
//
// A computation is sha256_init, any number of sha256_update calls with the
// message in pieces of any size, and one sha256_final that writes the
// 32-byte digest. The result does not depend on how the message was split.
// The digest comes from the system's crypto library (which uses the
// processor's SHA instructions where it has them); its state is opaque here.
#pragma once

#include <cstddef>
#include <memory>

constexpr std::size_t SHA256_DIGEST_SIZE = 32;

struct sha256_state;  // the crypto library's digest state
struct sha256_state_deleter {
    void operator()(sha256_state* state) const noexcept;
};

struct sha256_context {
    std::unique_ptr<sha256_state, sha256_state_deleter> state;
};

// Starts a new message, also on a context that has been used before.
void sha256_init(sha256_context* context);
void sha256_update(sha256_context* context, const unsigned char* bytes, std::size_t count);
// Marks the message as unusable (its source turned out damaged after parts
// of it were hashed): sha256_final then fails as after a failed step.
void sha256_discard(sha256_context* context);
// Writes the digest of the message. Returns 0, or -1 (digest zeroed) when
// any step of the computation failed, such as the state not being
// allocated; sha256_init starts over.
int sha256_final(sha256_context* context, unsigned char digest[SHA256_DIGEST_SIZE]);
