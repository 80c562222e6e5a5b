#include "firmware/sha256.h"

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "firmware/hex.h"

namespace {

// The message is fed in pieces of the given sizes, repeated to its end.
std::string digest_of(sha256_context* context, const std::string& message, std::vector<std::size_t> pieces) {
    sha256_init(context);
    for (std::size_t offset = 0, i = 0; offset < message.size(); ++i) {
        const std::size_t take = std::min(pieces[i % pieces.size()], message.size() - offset);
        sha256_update(context, reinterpret_cast<const unsigned char*>(message.data()) + offset, take);
        offset += take;
    }
    unsigned char digest[SHA256_DIGEST_SIZE];
    EXPECT_EQ(sha256_final(context, digest), 0);
    char text[2 * SHA256_DIGEST_SIZE + 1];
    hex_encode(digest, sizeof digest, text);
    return text;
}

// The NIST examples, whole and split across block and padding boundaries;
// one context for all, started again for each message.
TEST(Sha256, NistVectorsInAnyPieces) {
    const std::string two_blocks =
        "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
        "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu";
    const struct {
        std::string message;
        const char* digest;
    } vectors[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {two_blocks, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    const std::vector<std::size_t> splits[] = {{1u << 20}, {1}, {63, 1, 64, 65}, {7, 1000, 4099}};
    sha256_context context;
    for (const auto& vector : vectors) {
        for (const auto& pieces : splits) {
            SCOPED_TRACE(::testing::Message() << vector.message.size() << " bytes in pieces of " << pieces[0]);
            EXPECT_EQ(digest_of(&context, vector.message, pieces), vector.digest);
        }
    }
}

}  // namespace
