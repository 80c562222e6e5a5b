// Known answers of the crypto seam, so that both of its implementations
// (OpenSSL and Windows CNG) are held to the same published vectors.
#include "platform/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "firmware/hex.h"

namespace {

std::vector<unsigned char> unhex(const std::string& text) {
    return hex_decode(text.c_str()).value_or(std::vector<unsigned char>{});
}

std::string hex(const unsigned char* bytes, std::size_t n) {
    std::string text(2 * n + 1, '\0');
    hex_encode(bytes, n, text.data());
    text.pop_back();
    return text;
}

// RFC 6070: PBKDF2-HMAC-SHA1.
TEST(Crypto, Pbkdf2HmacSha1) {
    const struct {
        std::string password, salt;
        unsigned iterations;
        const char* key;
    } cases[] = {
        {"password", "salt", 1, "0c60c80f961f0e71f3a9b524af6012062fe037a6"},
        {"password", "salt", 2, "ea6c014dc72d6f8ccd1ed92ace1d41f0d8de8957"},
        {"password", "salt", 4096, "4b007901b765489abead49d926f721d065a429c1"},
        {"passwordPASSWORDpassword", "saltSALTsaltSALTsaltSALTsaltSALTsalt", 4096,
         "3d2eec4fe41c849b80c8d83662c0e44a8b291a964cf2f07038"},
        {std::string("pass\0word", 9), std::string("sa\0lt", 5), 4096, "56fa6aa75548099dcc37d7f03425e0c3"},
    };
    for (const auto& c : cases) {
        std::vector<unsigned char> key(std::string(c.key).size() / 2);
        ASSERT_TRUE(crypto_pbkdf2_hmac_sha1(c.password.data(), c.password.size(),
                                            reinterpret_cast<const unsigned char*>(c.salt.data()), c.salt.size(),
                                            c.iterations, key.data(), key.size()));
        EXPECT_EQ(hex(key.data(), key.size()), c.key) << c.password << " " << c.iterations;
    }
}

// RFC 2202: HMAC-SHA1, with a short key, an ASCII key and one longer than
// the block (hashed first); plus an empty message, as an empty entry has.
TEST(Crypto, HmacSha1) {
    const struct {
        std::vector<unsigned char> key;
        std::string data;
        const char* code;
    } cases[] = {
        {std::vector<unsigned char>(20, 0x0b), "Hi There", "b617318655057264e28bc0b6fb378c8ef146be00"},
        {{'J', 'e', 'f', 'e'}, "what do ya want for nothing?", "effcdf6ae5eb2fa2d27416d5f184df9c259a7c79"},
        {std::vector<unsigned char>(80, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First",
         "aa4ae5e15272d00e95705637ce8a3b55ed402112"},
        {{'k', 'e', 'y'}, "", "f42bb0eeb018ebbd4597ae7213711ec60760843f"},
    };
    for (const auto& c : cases) {
        unsigned char code[CRYPTO_SHA1_SIZE];
        ASSERT_TRUE(crypto_hmac_sha1(c.key.data(), c.key.size(), reinterpret_cast<const unsigned char*>(c.data.data()),
                                     c.data.size(), code));
        EXPECT_EQ(hex(code, sizeof code), c.code) << c.data;
    }
}

// FIPS-197 appendix C, one block per key size, and two blocks in one call
// encrypted independently (ECB), as the counter-mode key stream needs.
TEST(Crypto, AesBlocks) {
    const std::vector<unsigned char> plain = unhex("00112233445566778899aabbccddeeff");
    const struct {
        const char* key;
        const char* cipher;
    } cases[] = {
        {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", "8ea2b7ca516745bfeafc49904b496089"},
    };
    for (const auto& c : cases) {
        const std::vector<unsigned char> key = unhex(c.key);
        crypto_aes_ptr aes = crypto_aes_new(key.data(), key.size());
        ASSERT_TRUE(aes) << c.key;
        std::vector<unsigned char> in(plain);
        in.insert(in.end(), plain.begin(), plain.end());
        std::vector<unsigned char> out(in.size());
        ASSERT_TRUE(crypto_aes_encrypt_blocks(aes.get(), in.data(), out.data(), out.size()));
        EXPECT_EQ(hex(out.data(), out.size()), std::string(c.cipher) + c.cipher);
        EXPECT_FALSE(crypto_aes_encrypt_blocks(aes.get(), in.data(), out.data(), 15));  // not whole blocks
    }
    const unsigned char short_key[10] = {};
    EXPECT_FALSE(crypto_aes_new(short_key, sizeof short_key));
}

}  // namespace
