#include "firmware/winzip_aes.h"

#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "platform/crypto.h"

namespace {

constexpr int PBKDF2_ITERATIONS = 1000;
constexpr std::size_t AES_BLOCK = CRYPTO_AES_BLOCK;
constexpr std::size_t MAX_KEY = 32;
// Counter blocks encrypted per cipher call.
constexpr std::size_t KEYSTREAM_BLOCKS = 256;

// Key material of one salt: AES key, HMAC key and verification value.
struct derived_keys {
    std::size_t key_size = 0;
    std::array<unsigned char, 2 * MAX_KEY + WINZIP_AES_VERIFIER_SIZE> bytes{};

    derived_keys() = default;
    derived_keys(const derived_keys&) = delete;
    derived_keys& operator=(const derived_keys&) = delete;
    ~derived_keys() { crypto_cleanse(bytes.data(), bytes.size()); }

    const unsigned char* aes_key() const { return bytes.data(); }
    const unsigned char* hmac_key() const { return bytes.data() + key_size; }
    const unsigned char* verifier() const { return bytes.data() + 2 * key_size; }
};

std::size_t key_size(int strength) {
    return strength >= 1 && strength <= 3 ? 8 + 8 * static_cast<std::size_t>(strength) : 0;
}

bool derive(const char* password, const unsigned char* salt, int strength, derived_keys* keys) {
    keys->key_size = key_size(strength);
    std::size_t length = 2 * keys->key_size + WINZIP_AES_VERIFIER_SIZE;
    return crypto_pbkdf2_hmac_sha1(password, std::strlen(password), salt, winzip_aes_salt_size(strength),
                                   PBKDF2_ITERATIONS, keys->bytes.data(), length);
}

// XORs `bytes` in place with the counter-mode key stream (counter 1, 2, ...
// as 16-byte little-endian numbers).
bool apply_key_stream(const derived_keys& keys, unsigned char* bytes, std::size_t count) {
    crypto_aes_ptr aes = crypto_aes_new(keys.aes_key(), keys.key_size);
    if (!aes) return false;
    std::array<unsigned char, AES_BLOCK> counter{};
    std::array<unsigned char, AES_BLOCK * KEYSTREAM_BLOCKS> counters;
    std::array<unsigned char, AES_BLOCK * KEYSTREAM_BLOCKS> stream;
    while (count > 0) {
        std::size_t chunk = count < stream.size() ? count : stream.size();
        std::size_t blocks = (chunk + AES_BLOCK - 1) / AES_BLOCK;
        for (std::size_t b = 0; b < blocks; ++b) {
            for (std::size_t i = 0; i < AES_BLOCK && ++counter[i] == 0; ++i) {}
            std::memcpy(counters.data() + b * AES_BLOCK, counter.data(), AES_BLOCK);
        }
        if (!crypto_aes_encrypt_blocks(aes.get(), counters.data(), stream.data(), blocks * AES_BLOCK)) return false;
        for (std::size_t i = 0; i < chunk; ++i) bytes[i] ^= stream[i];
        bytes += chunk;
        count -= chunk;
    }
    crypto_cleanse(stream.data(), stream.size());
    return true;
}

bool authentication_code(const derived_keys& keys, const unsigned char* ciphertext, std::size_t count,
                         unsigned char code[CRYPTO_SHA1_SIZE]) {
    return crypto_hmac_sha1(keys.hmac_key(), keys.key_size, ciphertext, count, code);
}

}  // namespace

std::size_t winzip_aes_salt_size(int strength) { return key_size(strength) / 2; }

int winzip_aes_decrypt(std::vector<unsigned char>* data, int strength, const char* password) {
    if (data == nullptr || password == nullptr || key_size(strength) == 0) return WINZIP_AES_BAD_ARGUMENT;
    std::size_t salt_size = winzip_aes_salt_size(strength);
    std::size_t header = salt_size + WINZIP_AES_VERIFIER_SIZE;
    if (data->size() < header + WINZIP_AES_CODE_SIZE) return WINZIP_AES_TOO_SHORT;
    std::size_t content = data->size() - header - WINZIP_AES_CODE_SIZE;

    derived_keys keys;
    if (!derive(password, data->data(), strength, &keys)) return WINZIP_AES_CRYPTO_FAILED;
    if (!crypto_equal(keys.verifier(), data->data() + salt_size, WINZIP_AES_VERIFIER_SIZE)) {
        return WINZIP_AES_WRONG_PASSWORD;
    }
    unsigned char code[CRYPTO_SHA1_SIZE];
    if (!authentication_code(keys, data->data() + header, content, code)) return WINZIP_AES_CRYPTO_FAILED;
    if (!crypto_equal(code, data->data() + header + content, WINZIP_AES_CODE_SIZE)) {
        return WINZIP_AES_NOT_AUTHENTIC;
    }
    if (!apply_key_stream(keys, data->data() + header, content)) return WINZIP_AES_CRYPTO_FAILED;
    data->erase(data->begin() + static_cast<std::ptrdiff_t>(header + content), data->end());
    data->erase(data->begin(), data->begin() + static_cast<std::ptrdiff_t>(header));
    return WINZIP_AES_OK;
}

int winzip_aes_encrypt(const unsigned char* content, std::size_t length, int strength, const char* password,
                       const unsigned char* salt, std::vector<unsigned char>* data) {
    if ((content == nullptr && length > 0) || password == nullptr || salt == nullptr || data == nullptr ||
        key_size(strength) == 0) {
        return WINZIP_AES_BAD_ARGUMENT;
    }
    std::size_t salt_size = winzip_aes_salt_size(strength);
    std::size_t header = salt_size + WINZIP_AES_VERIFIER_SIZE;
    derived_keys keys;
    if (!derive(password, salt, strength, &keys)) return WINZIP_AES_CRYPTO_FAILED;
    try {
        data->assign(header + length + WINZIP_AES_CODE_SIZE, 0);
    } catch (const std::bad_alloc&) {
        return WINZIP_AES_CRYPTO_FAILED;
    }
    std::memcpy(data->data(), salt, salt_size);
    std::memcpy(data->data() + salt_size, keys.verifier(), WINZIP_AES_VERIFIER_SIZE);
    if (length > 0) std::memcpy(data->data() + header, content, length);
    unsigned char code[CRYPTO_SHA1_SIZE];
    if (!apply_key_stream(keys, data->data() + header, length) ||
        !authentication_code(keys, data->data() + header, length, code)) {
        return WINZIP_AES_CRYPTO_FAILED;
    }
    std::memcpy(data->data() + header + length, code, WINZIP_AES_CODE_SIZE);
    return WINZIP_AES_OK;
}
