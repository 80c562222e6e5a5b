#include "firmware/winzip_aes.h"

#include <algorithm>
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

// The counter-mode key stream (counter 1, 2, ... as 16-byte little-endian
// numbers), made KEYSTREAM_BLOCKS blocks at a time; `used` of the bytes
// made have been applied.
struct key_stream {
    crypto_aes_ptr aes;
    std::array<unsigned char, AES_BLOCK> counter{};
    std::array<unsigned char, AES_BLOCK * KEYSTREAM_BLOCKS> counters;
    std::array<unsigned char, AES_BLOCK * KEYSTREAM_BLOCKS> stream;
    std::size_t used = AES_BLOCK * KEYSTREAM_BLOCKS;  // none made yet

    key_stream() = default;
    key_stream(const key_stream&) = delete;
    key_stream& operator=(const key_stream&) = delete;
    ~key_stream() { crypto_cleanse(stream.data(), stream.size()); }
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

// XORs `bytes` in place with the next `count` bytes of the key stream.
bool apply_key_stream(key_stream* keys, unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        if (keys->used == keys->stream.size()) {
            for (std::size_t b = 0; b < KEYSTREAM_BLOCKS; ++b) {
                for (std::size_t i = 0; i < AES_BLOCK && ++keys->counter[i] == 0; ++i) {}
                std::memcpy(keys->counters.data() + b * AES_BLOCK, keys->counter.data(), AES_BLOCK);
            }
            if (!crypto_aes_encrypt_blocks(keys->aes.get(), keys->counters.data(), keys->stream.data(),
                                           keys->stream.size())) {
                return false;
            }
            keys->used = 0;
        }
        std::size_t chunk = std::min(count, keys->stream.size() - keys->used);
        for (std::size_t i = 0; i < chunk; ++i) bytes[i] ^= keys->stream[keys->used + i];
        keys->used += chunk;
        bytes += chunk;
        count -= chunk;
    }
    return true;
}

}  // namespace

struct winzip_aes_stream {
    derived_keys keys;
    key_stream cipher;
    crypto_hmac_ptr code;
};

void winzip_aes_stream_deleter::operator()(winzip_aes_stream* stream) const noexcept {
    std::default_delete<winzip_aes_stream>()(stream);
}

std::size_t winzip_aes_salt_size(int strength) { return key_size(strength) / 2; }

int winzip_aes_open(const unsigned char* header, std::uint64_t stored_size, int strength, const char* password,
                    winzip_aes_stream_ptr* stream) {
    if (header == nullptr || password == nullptr || stream == nullptr || key_size(strength) == 0) {
        return WINZIP_AES_BAD_ARGUMENT;
    }
    const std::size_t salt_size = winzip_aes_salt_size(strength);
    if (stored_size < salt_size + WINZIP_AES_VERIFIER_SIZE + WINZIP_AES_CODE_SIZE) return WINZIP_AES_TOO_SHORT;
    winzip_aes_stream_ptr opened;
    try {
        opened.reset(std::make_unique<winzip_aes_stream>().release());
    } catch (const std::bad_alloc&) {
        return WINZIP_AES_CRYPTO_FAILED;
    }
    derived_keys& keys = opened->keys;
    if (!derive(password, header, strength, &keys)) return WINZIP_AES_CRYPTO_FAILED;
    if (!crypto_equal(keys.verifier(), header + salt_size, WINZIP_AES_VERIFIER_SIZE)) {
        return WINZIP_AES_WRONG_PASSWORD;
    }
    opened->cipher.aes = crypto_aes_new(keys.aes_key(), keys.key_size);
    opened->code = crypto_hmac_sha1_new(keys.hmac_key(), keys.key_size);
    if (!opened->cipher.aes || !opened->code) return WINZIP_AES_CRYPTO_FAILED;
    *stream = std::move(opened);
    return WINZIP_AES_OK;
}

bool winzip_aes_authenticate(winzip_aes_stream* stream, const unsigned char* ciphertext, std::size_t count) {
    return crypto_hmac_update(stream->code.get(), ciphertext, count);
}

int winzip_aes_check(winzip_aes_stream* stream, const unsigned char code[WINZIP_AES_CODE_SIZE]) {
    unsigned char computed[CRYPTO_SHA1_SIZE];
    if (!crypto_hmac_final(stream->code.get(), computed)) return WINZIP_AES_CRYPTO_FAILED;
    return crypto_equal(computed, code, WINZIP_AES_CODE_SIZE) ? WINZIP_AES_OK : WINZIP_AES_NOT_AUTHENTIC;
}

bool winzip_aes_decrypt_piece(winzip_aes_stream* stream, unsigned char* bytes, std::size_t count) {
    return apply_key_stream(&stream->cipher, bytes, count);
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
    key_stream cipher;
    cipher.aes = crypto_aes_new(keys.aes_key(), keys.key_size);
    unsigned char code[CRYPTO_SHA1_SIZE];
    if (!cipher.aes || !apply_key_stream(&cipher, data->data() + header, length) ||
        !crypto_hmac_sha1(keys.hmac_key(), keys.key_size, data->data() + header, length, code)) {
        return WINZIP_AES_CRYPTO_FAILED;
    }
    std::memcpy(data->data() + header + length, code, WINZIP_AES_CODE_SIZE);
    return WINZIP_AES_OK;
}
