// WinZip AES encryption of a zip entry's data (AE-1 and AE-2).
//
// The stored data of an encrypted entry (all of it counts in the entry's
// compressed size), for strength 1, 2, 3 (AES-128, -192, -256) with salt
// length S = 8, 12, 16 and key length K = 16, 24, 32:
//
//   offset       length  field
//   0            S       salt, random per entry
//   S            2       password verification value
//   S + 2        n       ciphertext of the (compressed) content
//   S + 2 + n    10      authentication code
//
// PBKDF2-HMAC-SHA1 of the password and the salt with 1000 iterations gives
// 2K + 2 bytes: the AES key (bytes 0..K-1), the HMAC key (K..2K-1) and the
// verification value (2K, 2K+1). The content is encrypted with AES in
// counter mode: the i-th 16-byte block (from 0) is XORed with AES(key,
// counter), the counter being the 16-byte little-endian number i + 1 (the
// last block may be short). The authentication code is the first 10 bytes
// of HMAC-SHA1(HMAC key, ciphertext).
//
// AE-1 and AE-2 differ only in the zip headers (AE-2 stores CRC 0 and relies
// on the authentication code); the data layout is the same.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

enum : int {
    WINZIP_AES_OK = 0,
    WINZIP_AES_BAD_ARGUMENT = -1,    // missing data or password, strength not 1..3
    WINZIP_AES_TOO_SHORT = -2,       // no room for salt, verification value and code
    WINZIP_AES_WRONG_PASSWORD = -3,  // the verification value differs
    WINZIP_AES_NOT_AUTHENTIC = -4,   // the authentication code differs
    WINZIP_AES_CRYPTO_FAILED = -5,   // the cipher failed, or memory ran out
};

constexpr std::size_t WINZIP_AES_VERIFIER_SIZE = 2;
constexpr std::size_t WINZIP_AES_CODE_SIZE = 10;

// Salt length for a strength 1..3, 0 for any other strength.
std::size_t winzip_aes_salt_size(int strength);

// The decryption of one entry's stored data, read in pieces so that it is
// never held whole: the keys of its salt, the running authentication code
// and the position in the key stream.
struct winzip_aes_stream;
struct winzip_aes_stream_deleter {
    void operator()(winzip_aes_stream* stream) const noexcept;
};
using winzip_aes_stream_ptr = std::unique_ptr<winzip_aes_stream, winzip_aes_stream_deleter>;

// Starts on stored data of `stored_size` bytes whose salt and verification
// value (the first winzip_aes_salt_size(strength) + 2 bytes) are at
// `header`: derives the keys and checks the password. The ciphertext that
// follows is then given, in pieces of any size and in order, once to
// winzip_aes_authenticate and its code to winzip_aes_check, and (again or
// instead) to winzip_aes_decrypt_piece. `header` is not read when the
// stored data is too short.
int winzip_aes_open(const unsigned char* header, std::uint64_t stored_size, int strength, const char* password,
                    winzip_aes_stream_ptr* stream);
// Adds the next piece of the ciphertext to the authentication code; false
// when the cipher fails.
bool winzip_aes_authenticate(winzip_aes_stream* stream, const unsigned char* ciphertext, std::size_t count);
// Compares the code of the ciphertext given with the code stored after it:
// WINZIP_AES_OK, WINZIP_AES_NOT_AUTHENTIC or WINZIP_AES_CRYPTO_FAILED.
int winzip_aes_check(winzip_aes_stream* stream, const unsigned char code[WINZIP_AES_CODE_SIZE]);
// Decrypts the next piece of the ciphertext in place; false when the cipher
// fails.
bool winzip_aes_decrypt_piece(winzip_aes_stream* stream, unsigned char* bytes, std::size_t count);

// Writes the stored data for `length` bytes of content into `data`, using
// the salt given (winzip_aes_salt_size(strength) bytes).
int winzip_aes_encrypt(const unsigned char* content, std::size_t length, int strength, const char* password,
                       const unsigned char* salt, std::vector<unsigned char>* data);
