// Streaming SHA-256 (FIPS 180-4), the digest of a firmware image.
//
// A computation is sha256_init, any number of sha256_update calls with the
// message in pieces of any size, and one sha256_final that writes the
// 32-byte digest (the eight hash words, each big-endian). The result does
// not depend on how the message was split.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t SHA256_BLOCK_SIZE = 64;
constexpr std::size_t SHA256_DIGEST_SIZE = 32;

struct sha256_context {
    unsigned char block[SHA256_BLOCK_SIZE];  // bytes of the block being filled
    std::uint32_t block_length;              // count of bytes in `block`
    std::uint64_t bit_length;                // message length so far, in bits
    std::uint32_t state[8];                  // hash words H0..H7
};

void sha256_init(sha256_context* context);
// A null context, or null bytes with a non-zero count, are ignored.
void sha256_update(sha256_context* context, const unsigned char* bytes, std::size_t count);
// Pads the message, writes the digest and leaves the context initialised
// for a new message.
void sha256_final(sha256_context* context, unsigned char digest[SHA256_DIGEST_SIZE]);

// Whole blocks go through the processor's SHA extensions where it has them.
// With false, the portable rounds are used (tests compare the two); returns
// whether the extensions are in use afterwards.
bool sha256_use_hardware(bool enabled);
