// The crypto seam over Windows CNG (bcrypt.dll), which comes with every
// Windows since Vista: no crypto library ships with the .exe.
//
// Algorithm providers are opened once per process and kept; hashes and keys
// are objects of their own per computation. Object buffers are left to CNG
// (a null buffer, which Windows 7 and later accept).
#include "platform/crypto.h"

#include <climits>
#include <new>

#include <windows.h>
#include <bcrypt.h>

namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

// One provider per algorithm and flags, opened on first use and kept for
// the life of the process (closing it at exit would gain nothing).
BCRYPT_ALG_HANDLE open_provider(const wchar_t* algorithm, ULONG flags) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!succeeded(BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, flags))) return nullptr;
    return handle;
}

BCRYPT_ALG_HANDLE sha256_provider() {
    static BCRYPT_ALG_HANDLE handle = open_provider(BCRYPT_SHA256_ALGORITHM, 0);
    return handle;
}

BCRYPT_ALG_HANDLE hmac_sha1_provider() {
    static BCRYPT_ALG_HANDLE handle = open_provider(BCRYPT_SHA1_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    return handle;
}

BCRYPT_ALG_HANDLE aes_ecb_provider() {
    static BCRYPT_ALG_HANDLE handle = [] {
        BCRYPT_ALG_HANDLE aes = open_provider(BCRYPT_AES_ALGORITHM, 0);
        if (aes != nullptr &&
            !succeeded(BCryptSetProperty(aes, BCRYPT_CHAINING_MODE,
                                         reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(BCRYPT_CHAIN_MODE_ECB)),
                                         sizeof BCRYPT_CHAIN_MODE_ECB, 0))) {
            BCryptCloseAlgorithmProvider(aes, 0);
            aes = nullptr;
        }
        return aes;
    }();
    return handle;
}

struct hash_deleter {
    void operator()(void* hash) const noexcept { BCryptDestroyHash(hash); }
};
using hash_ptr = std::unique_ptr<void, hash_deleter>;

struct key_deleter {
    void operator()(void* key) const noexcept { BCryptDestroyKey(key); }
};
using key_ptr = std::unique_ptr<void, key_deleter>;

// A hash object of `provider`, keyed for HMAC when a key is given.
hash_ptr create_hash(BCRYPT_ALG_HANDLE provider, const unsigned char* key, std::size_t key_size) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (provider == nullptr || key_size > ULONG_MAX ||
        !succeeded(
            BCryptCreateHash(provider, &hash, nullptr, 0, const_cast<PUCHAR>(key), static_cast<ULONG>(key_size), 0))) {
        return nullptr;
    }
    return hash_ptr(hash);
}

// Feeds any number of bytes, in pieces that a ULONG can count.
bool hash_data(void* hash, const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ULONG piece = count > 0x40000000 ? 0x40000000 : static_cast<ULONG>(count);
        if (!succeeded(BCryptHashData(hash, const_cast<PUCHAR>(bytes), piece, 0))) return false;
        bytes += piece;
        count -= piece;
    }
    return true;
}

template <typename T, typename Deleter>
std::unique_ptr<T, Deleter> make_record() {
    try {
        return std::unique_ptr<T, Deleter>(std::make_unique<T>().release());
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

struct crypto_sha256 {
    hash_ptr hash;
};

struct crypto_hmac {
    hash_ptr hash;
};

struct crypto_aes {
    key_ptr key;
};

void crypto_sha256_deleter::operator()(crypto_sha256* state) const noexcept {
    std::default_delete<crypto_sha256>()(state);
}

void crypto_hmac_deleter::operator()(crypto_hmac* state) const noexcept { std::default_delete<crypto_hmac>()(state); }

void crypto_aes_deleter::operator()(crypto_aes* key) const noexcept { std::default_delete<crypto_aes>()(key); }

crypto_sha256_ptr crypto_sha256_new() {
    crypto_sha256_ptr state = make_record<crypto_sha256, crypto_sha256_deleter>();
    if (!state) return nullptr;
    state->hash = create_hash(sha256_provider(), nullptr, 0);
    if (!state->hash) return nullptr;
    return state;
}

bool crypto_sha256_update(crypto_sha256* state, const unsigned char* bytes, std::size_t count) {
    return hash_data(state->hash.get(), bytes, count);
}

bool crypto_sha256_final(crypto_sha256* state, unsigned char digest[CRYPTO_SHA256_SIZE]) {
    return succeeded(BCryptFinishHash(state->hash.get(), digest, CRYPTO_SHA256_SIZE, 0));
}

bool crypto_pbkdf2_hmac_sha1(const char* password, std::size_t password_size, const unsigned char* salt,
                             std::size_t salt_size, unsigned iterations, unsigned char* out, std::size_t out_size) {
    BCRYPT_ALG_HANDLE provider = hmac_sha1_provider();
    if (provider == nullptr || password_size > ULONG_MAX || salt_size > ULONG_MAX || out_size > ULONG_MAX) {
        return false;
    }
    return succeeded(BCryptDeriveKeyPBKDF2(
        provider, reinterpret_cast<PUCHAR>(const_cast<char*>(password)), static_cast<ULONG>(password_size),
        const_cast<PUCHAR>(salt), static_cast<ULONG>(salt_size), iterations, out, static_cast<ULONG>(out_size), 0));
}

crypto_hmac_ptr crypto_hmac_sha1_new(const unsigned char* key, std::size_t key_size) {
    // CNG wants a key buffer even for an empty key.
    static const unsigned char empty = 0;
    crypto_hmac_ptr state = make_record<crypto_hmac, crypto_hmac_deleter>();
    if (!state) return nullptr;
    state->hash = create_hash(hmac_sha1_provider(), key_size > 0 ? key : &empty, key_size);
    if (!state->hash) return nullptr;
    return state;
}

bool crypto_hmac_update(crypto_hmac* state, const unsigned char* bytes, std::size_t count) {
    return hash_data(state->hash.get(), bytes, count);
}

bool crypto_hmac_final(crypto_hmac* state, unsigned char code[CRYPTO_SHA1_SIZE]) {
    return succeeded(BCryptFinishHash(state->hash.get(), code, CRYPTO_SHA1_SIZE, 0));
}

crypto_aes_ptr crypto_aes_new(const unsigned char* key, std::size_t key_size) {
    BCRYPT_ALG_HANDLE provider = aes_ecb_provider();
    if (provider == nullptr || (key_size != 16 && key_size != 24 && key_size != 32)) return nullptr;
    crypto_aes_ptr aes = make_record<crypto_aes, crypto_aes_deleter>();
    if (!aes) return nullptr;
    BCRYPT_KEY_HANDLE handle = nullptr;
    if (!succeeded(BCryptGenerateSymmetricKey(provider, &handle, nullptr, 0, const_cast<PUCHAR>(key),
                                              static_cast<ULONG>(key_size), 0))) {
        return nullptr;
    }
    aes->key.reset(handle);
    return aes;
}

bool crypto_aes_encrypt_blocks(crypto_aes* key, const unsigned char* in, unsigned char* out, std::size_t count) {
    if (count % CRYPTO_AES_BLOCK != 0 || count > ULONG_MAX) return false;
    ULONG written = 0;
    return succeeded(BCryptEncrypt(key->key.get(), const_cast<PUCHAR>(in), static_cast<ULONG>(count), nullptr, nullptr,
                                   0, out, static_cast<ULONG>(count), &written, 0)) &&
           written == count;
}

void crypto_cleanse(void* bytes, std::size_t count) { SecureZeroMemory(bytes, count); }
