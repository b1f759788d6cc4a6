// Whole transfers over a pipe whose writer delivers the bytes in pieces.
#include "core/fullio.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <numeric>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct pipe_pair {
    int fds[2] = {-1, -1};
    pipe_pair() { EXPECT_EQ(pipe(fds), 0); }
    ~pipe_pair() {
        for (int fd : fds)
            if (fd >= 0) close(fd);
    }
    void close_end(int i) {
        close(fds[i]);
        fds[i] = -1;
    }
};

std::vector<unsigned char> counting(size_t n) {
    std::vector<unsigned char> v(n);
    std::iota(v.begin(), v.end(), 0);
    return v;
}

TEST(FullRead, WaitsForEveryPieceOfAPipe) {
    pipe_pair p;
    const std::vector<unsigned char> data = counting(3000);
    std::thread writer([&] {
        // Pieces of 7 bytes with pauses: each read sees only part of the block.
        for (size_t at = 0; at < data.size(); at += 7) {
            EXPECT_GT(write(p.fds[1], data.data() + at, std::min<size_t>(7, data.size() - at)), 0);
            if (at % 700 == 0) usleep(2000);
        }
        p.close_end(1);
    });
    std::vector<unsigned char> got(1024);
    EXPECT_EQ(full_read(p.fds[0], got.data(), 1024), 1024);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
    EXPECT_EQ(full_read(p.fds[0], got.data(), 1024), 1024);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin() + 1024));
    // The end of the file cuts the last transfer short.
    EXPECT_EQ(full_read(p.fds[0], got.data(), 1024), 952);
    EXPECT_EQ(full_read(p.fds[0], got.data(), 1024), 0);
    writer.join();
}

TEST(FullRead, ErrorsAreMinusOne) {
    unsigned char b[4];
    EXPECT_EQ(full_read(-1, b, sizeof b), -1);
    EXPECT_EQ(full_pread(-1, b, sizeof b, 0), -1);
    EXPECT_EQ(full_write(-1, b, sizeof b), -1);
    EXPECT_EQ(full_pwrite(-1, b, sizeof b, 0), -1);
}

TEST(FullPread, ReadsAtTheOffsetUpToTheEnd) {
    scratch_dir dir;
    write_text(dir.at("f"), "0123456789");
    const int fd = open(dir.at("f").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char b[8] = {};
    EXPECT_EQ(full_pread(fd, b, 4, 3), 4);
    EXPECT_EQ(std::string(b, 4), "3456");
    EXPECT_EQ(full_pread(fd, b, 8, 7), 3);
    EXPECT_EQ(full_pread(fd, b, 8, 10), 0);
    EXPECT_EQ(full_pread(fd, b, 8, UINT64_MAX - 2), 0); // no offset wraps round
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    close(fd);
}

TEST(FullPwrite, WritesAtTheOffsetAndLeavesThePosition) {
    scratch_dir dir;
    write_text(dir.at("f"), "0123456789");
    const int fd = open(dir.at("f").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(full_pwrite(fd, "ab", 2, 3), 2);
    EXPECT_EQ(full_pwrite(fd, "yz", 2, 12), 2); // past the end: the gap reads as zeros
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0);
    errno = 0;
    EXPECT_EQ(full_pwrite(fd, "x", 1, UINT64_MAX - 2), -1); // no offset wraps round
    EXPECT_EQ(errno, EFBIG);
    close(fd);
    EXPECT_EQ(read_text(dir.at("f")), std::string("012ab56789\0\0yz", 14));
}

TEST(FullWrite, DeliversEverythingThroughASmallPipe) {
    pipe_pair p;
    fcntl(p.fds[1], F_SETPIPE_SZ, 4096);
    const std::vector<unsigned char> data = counting(200000);
    std::vector<unsigned char> got;
    std::thread reader([&] {
        unsigned char b[333];
        ssize_t n;
        while ((n = read(p.fds[0], b, sizeof b)) > 0) got.insert(got.end(), b, b + n);
    });
    EXPECT_EQ(full_write(p.fds[1], data.data(), data.size()), ssize_t(data.size()));
    p.close_end(1);
    reader.join();
    EXPECT_EQ(got, data);
}

} // namespace

// A caller that reports how much went through (create_nvs's message, the
// engine's reader) gets the count of a transfer that an error ended.
TEST(FullTransfer, TheCountBeforeAnErrorIsKept) {
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0);
    const size_t capacity = static_cast<size_t>(fcntl(p[1], F_GETPIPE_SZ));
    std::vector<unsigned char> data(capacity + 4096, 0x5a);
    size_t moved = 0;
    errno = 0;
    EXPECT_EQ(full_write(p[1], data.data(), data.size(), &moved), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(moved, capacity) << "the full pipe took its capacity before refusing";

    std::vector<unsigned char> back(capacity + 10);
    moved = 0;
    EXPECT_EQ(full_read(p[0], back.data(), back.size(), &moved), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(moved, capacity);
    close(p[0]);
    close(p[1]);
}
