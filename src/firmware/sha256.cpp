#include "firmware/sha256.h"

#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define ORNAT_SHA256_X86 1
#endif

namespace {

// First 32 bits of the fractional parts of the cube roots of the first 64
// primes.
constexpr std::uint32_t ROUND_CONSTANTS[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// First 32 bits of the fractional parts of the square roots of the first
// eight primes.
constexpr std::uint32_t INITIAL_STATE[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

constexpr std::uint32_t rotate_right(std::uint32_t value, unsigned count) {
    return (value >> count) | (value << (32 - count));
}

// Processes one 64-byte block into the hash words.
void compress(std::uint32_t state[8], const unsigned char* block) {
    std::uint32_t w[64];
    for (unsigned i = 0; i < 16; ++i) {
        w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 |
               static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(block[4 * i + 2]) << 8 |
               static_cast<std::uint32_t>(block[4 * i + 3]);
    }
    for (unsigned i = 16; i < 64; ++i) {
        std::uint32_t s0 = rotate_right(w[i - 15], 7) ^ rotate_right(w[i - 15], 18) ^ (w[i - 15] >> 3);
        std::uint32_t s1 = rotate_right(w[i - 2], 17) ^ rotate_right(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }

    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (unsigned i = 0; i < 64; ++i) {
        std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
        std::uint32_t choose = (e & f) ^ (~e & g);
        std::uint32_t t1 = h + s1 + choose + ROUND_CONSTANTS[i] + w[i];
        std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
        std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        std::uint32_t t2 = s0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// Processes whole blocks with the portable round function.
void compress_portable(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) compress(state, blocks + i * SHA256_BLOCK_SIZE);
}

#ifdef ORNAT_SHA256_X86
// The same rounds with the processor's SHA extensions: four rounds per
// group, the message schedule kept in four registers of four words each.
// The state is held as ABEF and CDGH, the order the instructions expect.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_extensions(std::uint32_t state[8],
                                                                          const unsigned char* blocks,
                                                                          std::size_t count) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (std::size_t n = 0; n < count; ++n, blocks += SHA256_BLOCK_SIZE) {
        const __m128i abef_saved = abef;
        const __m128i cdgh_saved = cdgh;
        __m128i m[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            if (g < 4) {
                m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * g)), byte_swap);
            }
            __m128i words = _mm_add_epi32(
                m[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&ROUND_CONSTANTS[4 * g])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, words);
            if (g >= 3 && g <= 14) {
                __m128i& next = m[(g + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(m[g % 4], m[(g + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, m[g % 4]);
            }
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(words, 0x0E));
            if (g >= 1 && g <= 12) m[(g + 3) % 4] = _mm_sha256msg1_epu32(m[(g + 3) % 4], m[g % 4]);
        }
        abef = _mm_add_epi32(abef, abef_saved);
        cdgh = _mm_add_epi32(cdgh, cdgh_saved);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool has_sha_extensions() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    return ssse3 && sse41 && (b & (1u << 29)) != 0;
}
#endif

using compress_fn = void (*)(std::uint32_t state[8], const unsigned char* blocks, std::size_t count);

compress_fn choose_compress(bool hardware) {
#ifdef ORNAT_SHA256_X86
    if (hardware && has_sha_extensions()) return compress_sha_extensions;
#endif
    (void)hardware;
    return compress_portable;
}

compress_fn compress_blocks = choose_compress(true);

}  // namespace

bool sha256_use_hardware(bool enabled) {
    compress_blocks = choose_compress(enabled);
    return compress_blocks != compress_portable;
}

void sha256_init(sha256_context* context) {
    if (context == nullptr) return;
    std::memset(context->block, 0, sizeof context->block);
    context->block_length = 0;
    context->bit_length = 0;
    std::memcpy(context->state, INITIAL_STATE, sizeof context->state);
}

void sha256_update(sha256_context* context, const unsigned char* bytes, std::size_t count) {
    if (context == nullptr || (bytes == nullptr && count != 0)) return;
    context->bit_length += static_cast<std::uint64_t>(count) * 8;
    while (count > 0) {
        if (context->block_length == 0 && count >= SHA256_BLOCK_SIZE) {
            // Whole blocks straight from the input.
            std::size_t whole = count / SHA256_BLOCK_SIZE;
            compress_blocks(context->state, bytes, whole);
            bytes += whole * SHA256_BLOCK_SIZE;
            count -= whole * SHA256_BLOCK_SIZE;
            continue;
        }
        std::size_t room = SHA256_BLOCK_SIZE - context->block_length;
        std::size_t take = count < room ? count : room;
        std::memcpy(context->block + context->block_length, bytes, take);
        context->block_length += static_cast<std::uint32_t>(take);
        bytes += take;
        count -= take;
        if (context->block_length == SHA256_BLOCK_SIZE) {
            compress_blocks(context->state, context->block, 1);
            context->block_length = 0;
        }
    }
}

void sha256_final(sha256_context* context, unsigned char digest[SHA256_DIGEST_SIZE]) {
    if (context == nullptr || digest == nullptr) return;
    // Padding: one 1 bit, zero bits up to 56 bytes into a block, then the
    // message length in bits as a big-endian 64-bit number.
    std::uint64_t bit_length = context->bit_length;
    context->block[context->block_length++] = 0x80;
    if (context->block_length > SHA256_BLOCK_SIZE - 8) {
        std::memset(context->block + context->block_length, 0, SHA256_BLOCK_SIZE - context->block_length);
        compress(context->state, context->block);
        context->block_length = 0;
    }
    std::memset(context->block + context->block_length, 0, SHA256_BLOCK_SIZE - 8 - context->block_length);
    for (unsigned i = 0; i < 8; ++i) {
        context->block[SHA256_BLOCK_SIZE - 1 - i] = static_cast<unsigned char>(bit_length >> (8 * i));
    }
    compress(context->state, context->block);

    for (unsigned i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<unsigned char>(context->state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(context->state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(context->state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(context->state[i]);
    }
    sha256_init(context);
}
