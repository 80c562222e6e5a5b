// The crypto seam over OpenSSL's libcrypto (the POSIX build).
#include "platform/crypto.h"

#include <climits>
#include <new>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

struct md_context_deleter {
    void operator()(EVP_MD_CTX* context) const noexcept { EVP_MD_CTX_free(context); }
};

struct mac_deleter {
    void operator()(EVP_MAC* mac) const noexcept { EVP_MAC_free(mac); }
};

struct mac_context_deleter {
    void operator()(EVP_MAC_CTX* context) const noexcept { EVP_MAC_CTX_free(context); }
};

struct cipher_context_deleter {
    void operator()(EVP_CIPHER_CTX* context) const noexcept { EVP_CIPHER_CTX_free(context); }
};

// A new record owned through the seam's deleter; null when memory runs out.
template <typename T, typename Deleter>
std::unique_ptr<T, Deleter> make_record() {
    try {
        return std::unique_ptr<T, Deleter>(std::make_unique<T>().release());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

const EVP_CIPHER* ecb_cipher(std::size_t key_size) {
    switch (key_size) {
        case 16: return EVP_aes_128_ecb();
        case 24: return EVP_aes_192_ecb();
        case 32: return EVP_aes_256_ecb();
        default: return nullptr;
    }
}

}  // namespace

struct crypto_sha256 {
    std::unique_ptr<EVP_MD_CTX, md_context_deleter> digest;
};

struct crypto_hmac {
    std::unique_ptr<EVP_MAC_CTX, mac_context_deleter> mac;
};

struct crypto_aes {
    std::unique_ptr<EVP_CIPHER_CTX, cipher_context_deleter> cipher;
};

void crypto_sha256_deleter::operator()(crypto_sha256* state) const noexcept {
    std::default_delete<crypto_sha256>()(state);
}

void crypto_hmac_deleter::operator()(crypto_hmac* state) const noexcept { std::default_delete<crypto_hmac>()(state); }

void crypto_aes_deleter::operator()(crypto_aes* key) const noexcept { std::default_delete<crypto_aes>()(key); }

crypto_sha256_ptr crypto_sha256_new() {
    crypto_sha256_ptr state = make_record<crypto_sha256, crypto_sha256_deleter>();
    if (!state) return nullptr;
    state->digest.reset(EVP_MD_CTX_new());
    if (!state->digest || EVP_DigestInit_ex(state->digest.get(), EVP_sha256(), nullptr) != 1) return nullptr;
    return state;
}

bool crypto_sha256_update(crypto_sha256* state, const unsigned char* bytes, std::size_t count) {
    return count == 0 || EVP_DigestUpdate(state->digest.get(), bytes, count) == 1;
}

bool crypto_sha256_final(crypto_sha256* state, unsigned char digest[CRYPTO_SHA256_SIZE]) {
    unsigned int length = 0;
    return EVP_DigestFinal_ex(state->digest.get(), digest, &length) == 1 && length == CRYPTO_SHA256_SIZE;
}

bool crypto_pbkdf2_hmac_sha1(const char* password, std::size_t password_size, const unsigned char* salt,
                             std::size_t salt_size, unsigned iterations, unsigned char* out, std::size_t out_size) {
    if (password_size > INT_MAX || salt_size > INT_MAX || out_size > INT_MAX || iterations > INT_MAX) return false;
    return PKCS5_PBKDF2_HMAC_SHA1(password, static_cast<int>(password_size), salt, static_cast<int>(salt_size),
                                  static_cast<int>(iterations), static_cast<int>(out_size), out) == 1;
}

crypto_hmac_ptr crypto_hmac_sha1_new(const unsigned char* key, std::size_t key_size) {
    // A null key would mean "the key set before"; an empty one is a key too.
    static const unsigned char empty = 0;
    crypto_hmac_ptr state = make_record<crypto_hmac, crypto_hmac_deleter>();
    if (!state) return nullptr;
    // The context keeps its own reference to the algorithm.
    std::unique_ptr<EVP_MAC, mac_deleter> hmac(EVP_MAC_fetch(nullptr, OSSL_MAC_NAME_HMAC, nullptr));
    if (!hmac) return nullptr;
    state->mac.reset(EVP_MAC_CTX_new(hmac.get()));
    char digest[] = OSSL_DIGEST_NAME_SHA1;
    const OSSL_PARAM parameters[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    if (!state->mac || EVP_MAC_init(state->mac.get(), key_size > 0 ? key : &empty, key_size, parameters) != 1) {
        return nullptr;
    }
    return state;
}

bool crypto_hmac_update(crypto_hmac* state, const unsigned char* bytes, std::size_t count) {
    return count == 0 || EVP_MAC_update(state->mac.get(), bytes, count) == 1;
}

bool crypto_hmac_final(crypto_hmac* state, unsigned char code[CRYPTO_SHA1_SIZE]) {
    unsigned char full[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    if (EVP_MAC_final(state->mac.get(), full, &length, sizeof full) != 1 || length != CRYPTO_SHA1_SIZE) return false;
    for (std::size_t i = 0; i < CRYPTO_SHA1_SIZE; ++i) code[i] = full[i];
    return true;
}

crypto_aes_ptr crypto_aes_new(const unsigned char* key, std::size_t key_size) {
    const EVP_CIPHER* cipher = ecb_cipher(key_size);
    if (cipher == nullptr) return nullptr;
    crypto_aes_ptr aes = make_record<crypto_aes, crypto_aes_deleter>();
    if (!aes) return nullptr;
    aes->cipher.reset(EVP_CIPHER_CTX_new());
    if (!aes->cipher || EVP_EncryptInit_ex(aes->cipher.get(), cipher, nullptr, key, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(aes->cipher.get(), 0) != 1) {
        return nullptr;
    }
    return aes;
}

bool crypto_aes_encrypt_blocks(crypto_aes* key, const unsigned char* in, unsigned char* out, std::size_t count) {
    if (count % CRYPTO_AES_BLOCK != 0 || count > INT_MAX) return false;
    int written = 0;
    return EVP_EncryptUpdate(key->cipher.get(), out, &written, in, static_cast<int>(count)) == 1 &&
           static_cast<std::size_t>(written) == count;
}

void crypto_cleanse(void* bytes, std::size_t count) { OPENSSL_cleanse(bytes, count); }
