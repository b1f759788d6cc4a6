// The chunk readers on scratch files enciphered by OpenSSL.
#include "update/reader.h"

#include "update/fileio.h"
#include "update/walk.h"

#include "tests/support/oracle.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <random>

namespace {

const bytes key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
const bytes iv = from_hex("000102030405060708090a0b0c0d0e0f");

bytes key_record(unsigned bits = 128) {
    bytes r(2 + key.size());
    r[0] = static_cast<unsigned char>(bits & 0xff);
    r[1] = static_cast<unsigned char>(bits >> 8);
    std::copy(key.begin(), key.end(), r.begin() + 2);
    return r;
}

struct enciphered_file {
    scratch_dir dir;
    bytes plain;
    oza_file file;

    // size bytes of plaintext enciphered as one chain from iv, then tail
    // bytes that fill no block.
    enciphered_file(size_t size, size_t tail = 0) {
        std::mt19937_64 rng(size);
        plain = random_bytes(rng, size);
        bytes stored = oracle_cbc_encrypt(key, iv, plain);
        stored.resize(stored.size() + tail, 0x5a);
        write_text(dir.at("f"), std::string(stored.begin(), stored.end()));
        file.fd = file_open(dir.at("f").c_str(), O_RDONLY, 0);
        const bytes record = key_record();
        EXPECT_EQ(decipher_setup(iv.data(), record.data(), record.size()), 0);
    }
};

TEST(DecipheringReader, AnyReadSizesGiveThePlaintext) {
    enciphered_file f(100000);
    ASSERT_TRUE(f.file.valid());
    // Sizes across the 12,288-byte pieces and the ring's wrap.
    bytes got;
    size_t sizes[] = {1, 7, 8, 16, 12287, 12289, 24591, 30000, 5, 40000};
    for (size_t i = 0; got.size() < f.plain.size(); ++i) {
        bytes piece(sizes[i % std::size(sizes)]);
        ssize_t n = deciphering_reader.read(f.file.fd, piece.data(), piece.size());
        ASSERT_GT(n, 0);
        got.insert(got.end(), piece.begin(), piece.begin() + n);
    }
    EXPECT_EQ(got, f.plain);
    unsigned char more[16];
    EXPECT_EQ(deciphering_reader.read(f.file.fd, more, sizeof more), 0);
}

TEST(DecipheringReader, EverySeekRestartsTheChainFromTheIv) {
    enciphered_file f(4096);
    unsigned char first[32], again[32];
    ASSERT_EQ(deciphering_reader.read(f.file.fd, first, sizeof first), 32);
    // Read on past the header, then back: the same bytes whether or not the
    // rest was read.
    unsigned char rest[1000];
    ASSERT_EQ(deciphering_reader.read(f.file.fd, rest, sizeof rest), 1000);
    ASSERT_EQ(deciphering_reader.seek(f.file.fd, 0, SEEK_SET), 0);
    ASSERT_EQ(deciphering_reader.read(f.file.fd, again, sizeof again), 32);
    EXPECT_EQ(memcmp(first, again, sizeof first), 0);
    EXPECT_EQ(memcmp(first, f.plain.data(), sizeof first), 0);
    // A seek elsewhere starts a new chain there: block 2 read as the first of
    // a chain is decrypt(C2) XOR IV, not the plaintext.
    ASSERT_EQ(deciphering_reader.seek(f.file.fd, 32, SEEK_SET), 32);
    ASSERT_EQ(deciphering_reader.read(f.file.fd, again, 16), 16);
    EXPECT_NE(memcmp(again, f.plain.data() + 32, 16), 0);
    EXPECT_EQ(file_tell(f.file.fd), 4096) << "the file is read ahead in whole pieces";
}

TEST(DecipheringReader, BytesShortOfABlockAtTheEndAreNeverDelivered) {
    for (size_t tail : {1, 15}) {
        enciphered_file f(48, tail);
        bytes got(100);
        EXPECT_EQ(deciphering_reader.read(f.file.fd, got.data(), got.size()), 48);
        got.resize(48);
        EXPECT_EQ(got, f.plain);
    }
}

TEST(DecipheringReader, KeySizes) {
    for (unsigned bits : {128u, 192u, 256u, 160u, 0u}) {
        bytes record = key_record(bits);
        record.resize(2 + 32, 1);
        EXPECT_EQ(decipher_setup(iv.data(), record.data(), record.size()),
                  bits == 128 || bits == 192 || bits == 256 ? 0 : 1)
            << bits;
    }
    // The stored record has 18 bytes: room for a 128-bit key only.
    EXPECT_EQ(decipher_setup(iv.data(), key_record(256).data(), 18), 1);
    EXPECT_EQ(decipher_setup(iv.data(), key_record(192).data(), 18), 1);
}

TEST(PlainReader, ReadsToTheEndAndSeeks) {
    scratch_dir dir;
    write_text(dir.at("f"), "0123456789");
    oza_file file(file_open(dir.at("f").c_str(), O_RDONLY, 0));
    char b[16] = {};
    EXPECT_EQ(plain_reader.read(file.fd, b, 4), 4);
    EXPECT_EQ(plain_reader.seek(file.fd, 8, SEEK_SET), 8);
    EXPECT_EQ(plain_reader.read(file.fd, b, sizeof b), 2);
    EXPECT_EQ(std::string(b, 2), "89");
    EXPECT_EQ(fcntl(file.fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
}

TEST(Versions, ComparedMajorFirstAsUnsignedNumbers) {
    const struct {
        version_triple a, b;
        bool at_least;
    } cases[] = {
        {{4, 0, 25}, {4, 0, 25}, true},         {{4, 0, 24}, {4, 0, 25}, false},
        {{5, 0, 0}, {4, 99, 99}, true},         {{4, 0, 28}, {4, 0, 29}, false},
        {{4, 0, 28}, {3, 9, 99}, true},         {{0x80000000u, 0, 0}, {1, 0, 0}, true},
        {{4, 1, 0}, {4, 0, 0xffffffffu}, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(version_at_least(c.a, c.b), c.at_least)
            << c.a.major << "." << c.a.minor << "." << c.a.revision << " vs " << c.b.major << "."
            << c.b.minor << "." << c.b.revision;
}

} // namespace
