// The TFTP transfers against a real TFTP server (tftpd-hpa).
#include "transfer/transfer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::vector<unsigned char> random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<unsigned char> v(n);
    for (auto& b : v) b = static_cast<unsigned char>(gen());
    return v;
}

std::vector<unsigned char> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

int free_udp_port() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t length = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    close(fd);
    return ntohs(addr.sin_port);
}

// tftpd-hpa in the foreground on a loopback port, serving (and accepting
// new files into) its own folder.
class RealTftpServer : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/sbin/in.tftpd", X_OK) != 0) GTEST_SKIP() << "tftpd-hpa not installed";
        if (geteuid() != 0) GTEST_SKIP() << "tftpd-hpa needs root to serve a folder";
        root = fs::temp_directory_path() / ("ornat-tftpd-" + std::to_string(getpid()));
        fs::create_directories(root);
        fs::permissions(root, fs::perms::all);
        port = free_udp_port();
        address = "127.0.0.1:" + std::to_string(port);
        server = fork();
        if (server == 0) {
            std::string listen = "127.0.0.1:" + std::to_string(port);
            execl("/usr/sbin/in.tftpd", "in.tftpd", "-L", "--address", listen.c_str(), "-s", root.c_str(), "-c",
                  "-p", "-u", "root", static_cast<char*>(nullptr));
            _exit(127);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    void TearDown() override {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
        if (!root.empty()) fs::remove_all(root);
    }

    fs::path root;
    int port = 0;
    std::string address;
    pid_t server = -1;
};

// A read of two megabytes and an upload, each in 128-byte blocks; the upload
// keeps the record's size. The simulator serves the end-to-end tests; this
// is the check against a server of another make.
TEST_F(RealTftpServer, ReadsAndUploads) {
    const std::vector<unsigned char> image = random_bytes(2 * 1024 * 1024, 7);
    std::ofstream(root / "flashfs.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    std::vector<unsigned char> received;
    firmware_record record;
    record.image = random_bytes(300001, 8);
    record.data = record.image.data();
    record.size = record.image.size();
    testing::internal::CaptureStdout();
    const int read = action_read_file_memory(address.c_str(), "flashfs.bin", 2097152, &received);
    const int pushed = firmware_push_tftp(address.c_str(), &record, false);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(read, 0) << out;
    ASSERT_EQ(pushed, 0) << out;
    EXPECT_EQ(received, image);
    EXPECT_EQ(record.size, record.image.size());
    EXPECT_EQ(read_file(root / "flashraw.bin"), record.image);
    EXPECT_NE(out.find("Download of flashfs.bin completed (2097152 bytes).\r\n"), std::string::npos);
    EXPECT_NE(out.find("firmware_push_tftp\tpushing URL 'tftp://" + address + "/flashraw.bin'.\n"), std::string::npos);
}

}  // namespace
