#include "firmware/sha256.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "firmware/hex.h"

namespace {

std::string digest_text(sha256_context* context) {
    unsigned char digest[SHA256_DIGEST_SIZE];
    sha256_final(context, digest);
    char text[2 * SHA256_DIGEST_SIZE + 1];
    hex_encode(digest, sizeof digest, text);
    return text;
}

std::string digest_of(const std::string& message, sha256_context* context) {
    sha256_update(context, reinterpret_cast<const unsigned char*>(message.data()), message.size());
    return digest_text(context);
}

// Every case runs with the portable rounds and with the processor's SHA
// extensions (where the processor has none, both runs use the portable ones).
class Sha256 : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { sha256_use_hardware(GetParam()); }
    void TearDown() override { sha256_use_hardware(true); }
};

INSTANTIATE_TEST_SUITE_P(Rounds, Sha256, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Hardware" : "Portable";
                         });

TEST_P(Sha256, NistVectors) {
    // One context for all: sha256_final leaves it ready for the next message.
    sha256_context context;
    sha256_init(&context);
    EXPECT_EQ(digest_of("abc", &context),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest_of("", &context),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", &context),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest_of("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmno"
                        "ijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
                        &context),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    const std::string thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) {
        sha256_update(&context, reinterpret_cast<const unsigned char*>(thousand.data()), thousand.size());
    }
    EXPECT_EQ(digest_text(&context), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

// Lengths around the padding boundaries (55/56 bytes need one or two final
// blocks) and a long message, fed in uneven pieces and compared with the
// system's sha256sum.
TEST_P(Sha256, MatchesSha256sumInUnevenPieces) {
    const std::filesystem::path file =
        std::filesystem::temp_directory_path() / ("ornat-sha256-" + std::to_string(getpid()));
    std::mt19937 random(1234);
    const std::size_t pieces[] = {1, 7, 63, 64, 65, 1000, 4099};
    for (std::size_t length : {0u, 55u, 56u, 63u, 64u, 65u, 1048576u}) {
        SCOPED_TRACE(length);
        std::vector<unsigned char> data(length);
        for (auto& byte : data) byte = static_cast<unsigned char>(random());
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                    static_cast<std::streamsize>(data.size()));
        std::string command = "sha256sum '" + file.string() + "'";
        std::FILE* pipe = popen(command.c_str(), "r");
        ASSERT_NE(pipe, nullptr);
        char expected[65] = {};
        ASSERT_EQ(std::fread(expected, 1, 64, pipe), 64u);
        pclose(pipe);

        sha256_context context;
        sha256_init(&context);
        std::size_t offset = 0;
        for (std::size_t i = 0; offset < length; ++i) {
            std::size_t take = std::min(pieces[i % std::size(pieces)], length - offset);
            sha256_update(&context, data.data() + offset, take);
            offset += take;
        }
        EXPECT_EQ(digest_text(&context), expected);
    }
    std::filesystem::remove(file);
}

}  // namespace
