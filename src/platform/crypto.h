// The cryptography the firmware packages need, from the system's crypto
// library: OpenSSL's libcrypto on POSIX (crypto_openssl.cpp), Windows CNG
// (BCrypt) on Windows (crypto_bcrypt.cpp). The build compiles one of them.
//
//   SHA-256           the digest of a firmware image
//   PBKDF2-HMAC-SHA1  the WinZip AES key derivation
//   AES (ECB blocks)  the key stream of WinZip AES counter mode
//   HMAC-SHA1         the WinZip AES authentication code, also in pieces
//
// Every call returns false when the library fails or memory runs out.
#pragma once

#include <cstddef>
#include <memory>

constexpr std::size_t CRYPTO_SHA256_SIZE = 32;
constexpr std::size_t CRYPTO_SHA1_SIZE = 20;
constexpr std::size_t CRYPTO_AES_BLOCK = 16;

// A running SHA-256 computation.
struct crypto_sha256;
struct crypto_sha256_deleter {
    void operator()(crypto_sha256* state) const noexcept;
};
using crypto_sha256_ptr = std::unique_ptr<crypto_sha256, crypto_sha256_deleter>;

// A new computation, started; null on failure.
crypto_sha256_ptr crypto_sha256_new();
bool crypto_sha256_update(crypto_sha256* state, const unsigned char* bytes, std::size_t count);
// Writes the digest; the state is used up afterwards.
bool crypto_sha256_final(crypto_sha256* state, unsigned char digest[CRYPTO_SHA256_SIZE]);

// PBKDF2 with HMAC-SHA1 (RFC 8018) into `out_size` bytes of `out`.
bool crypto_pbkdf2_hmac_sha1(const char* password, std::size_t password_size, const unsigned char* salt,
                             std::size_t salt_size, unsigned iterations, unsigned char* out, std::size_t out_size);

// A running HMAC-SHA1 computation, for a message read in pieces.
struct crypto_hmac;
struct crypto_hmac_deleter {
    void operator()(crypto_hmac* state) const noexcept;
};
using crypto_hmac_ptr = std::unique_ptr<crypto_hmac, crypto_hmac_deleter>;

// A new computation under `key`, started; null on failure.
crypto_hmac_ptr crypto_hmac_sha1_new(const unsigned char* key, std::size_t key_size);
bool crypto_hmac_update(crypto_hmac* state, const unsigned char* bytes, std::size_t count);
// Writes the code; the state is used up afterwards.
bool crypto_hmac_final(crypto_hmac* state, unsigned char code[CRYPTO_SHA1_SIZE]);

// HMAC-SHA1 of `count` bytes (none allowed) under `key`.
inline bool crypto_hmac_sha1(const unsigned char* key, std::size_t key_size, const unsigned char* bytes,
                             std::size_t count, unsigned char code[CRYPTO_SHA1_SIZE]) {
    crypto_hmac_ptr state = crypto_hmac_sha1_new(key, key_size);
    return state && crypto_hmac_update(state.get(), bytes, count) && crypto_hmac_final(state.get(), code);
}

// An AES key (16, 24 or 32 bytes) for encrypting single blocks.
struct crypto_aes;
struct crypto_aes_deleter {
    void operator()(crypto_aes* key) const noexcept;
};
using crypto_aes_ptr = std::unique_ptr<crypto_aes, crypto_aes_deleter>;

crypto_aes_ptr crypto_aes_new(const unsigned char* key, std::size_t key_size);
// Encrypts `count` bytes (a multiple of CRYPTO_AES_BLOCK), each block on
// its own (ECB), from `in` to `out`.
bool crypto_aes_encrypt_blocks(crypto_aes* key, const unsigned char* in, unsigned char* out, std::size_t count);

// Overwrites secret bytes in a way the compiler keeps.
void crypto_cleanse(void* bytes, std::size_t count);

// Compares in a time that does not depend on where the bytes differ.
inline bool crypto_equal(const unsigned char* a, const unsigned char* b, std::size_t count) {
    unsigned char difference = 0;
    for (std::size_t i = 0; i < count; ++i) difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
    return difference == 0;
}
