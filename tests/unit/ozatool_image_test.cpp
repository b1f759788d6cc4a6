// ozatool kernel and ozatool cramfs: the images they make, checked with
// OpenSSL's public operation and digest, and accepted by the device's check.
#include "core/byteorder.h"
#include "devtools/signed_image.h"

#include "tests/support/oracle.h"
#include "tests/support/ozatool.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

constexpr size_t block = image_digest_block;

void put(const std::string &path, const bytes &data) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(data.data()), std::streamsize(data.size()));
}

bytes random_file(const std::string &path, size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    bytes data = random_bytes(rng, n);
    put(path, data);
    return data;
}

// The public operation on the signature block of image, by OpenSSL: what
// the signer's digest must be, as 128 little-endian bytes.
bytes opened_signature(const bytes &image, const char *pem = "image.pem") {
    unique_pkey key = load_pem_key(development_key(pem));
    unique_bn s = bn_from_le(image.data() + 8, 128), m(BN_new());
    unique_bn_ctx ctx(BN_CTX_new());
    EXPECT_TRUE(BN_mod_exp(m.get(), s.get(), rsa_exponent(key.get()).get(),
                           rsa_modulus(key.get()).get(), ctx.get()));
    return bn_to_le(m.get(), 128);
}

// The digest as the signature carries it: 16 bytes, then zeros.
bytes as_number(const std::array<unsigned char, 16> &digest) {
    bytes n(128, 0);
    std::copy(digest.begin(), digest.end(), n.begin());
    return n;
}

class OzatoolImage : public ::testing::Test {
protected:
    scratch_dir dir;
    const std::string pem = development_key("image.pem");
};

TEST_F(OzatoolImage, KernelHeaderPayloadAndSignatureOverTheWholeTail) {
    const bytes kernel = random_file(dir.at("zImage"), 1000, 1);
    const bytes initramfs = random_file(dir.at("initramfs"), 500, 2);
    run_result r = ozatool(
        {"kernel", "-k", pem, "-i", dir.at("initramfs"), "-o", dir.at("kx"), dir.at("zImage")});
    ASSERT_EQ(r.status, 0) << r.err;
    const bytes image = read_bytes(dir.at("kx"));
    ASSERT_EQ(image.size(), 1756u);
    EXPECT_EQ(load_le32(image.data()), kernel_image_magic);
    EXPECT_EQ(load_le32(image.data() + 4), 0u);
    EXPECT_EQ(load_le32(image.data() + 136), 0u);
    EXPECT_EQ(load_le32(image.data() + 140), 1756u);
    EXPECT_EQ(load_le32(image.data() + 148), 1256u);
    EXPECT_EQ(load_le32(image.data() + 152), 500u);
    for (size_t i = 156; i < 256; ++i) ASSERT_EQ(image[i], 0) << i;
    EXPECT_EQ(bytes(image.begin() + 256, image.begin() + 1256), kernel);
    EXPECT_EQ(bytes(image.begin() + 1256, image.end()), initramfs);

    EXPECT_EQ(opened_signature(image), as_number(oracle_md5(image.data() + 136, 1756 - 136)));
    const bytes key = read_bytes(development_key("image.keyrec"));
    EXPECT_EQ(kernel_image_verify(key.data(), {image.data(), image.size()}, kernel_image_magic), 0);
}

TEST_F(OzatoolImage, KernelWithoutInitramfsAndAChosenSignedEnd) {
    random_file(dir.at("zImage"), 3000, 3);
    ASSERT_EQ(ozatool({"kernel", "--key", pem, "--signed-end", "2000", "--output", dir.at("kx"),
                       dir.at("zImage")})
                  .status,
              0);
    const bytes image = read_bytes(dir.at("kx"));
    ASSERT_EQ(image.size(), 3256u);
    EXPECT_EQ(load_le32(image.data() + 140), 2000u);
    EXPECT_EQ(load_le32(image.data() + 148), 3256u);
    EXPECT_EQ(load_le32(image.data() + 152), 0u);
    EXPECT_EQ(opened_signature(image), as_number(oracle_md5(image.data() + 136, 2000 - 136)));
}

TEST_F(OzatoolImage, CramfsVersionAndEveryEighthBlock) {
    // 16 blocks and 10 bytes of region: the digest covers blocks 0 and 8 and
    // the 10 bytes of block 16.
    const size_t region = 16 * block + 10;
    random_file(dir.at("fs"), 136 + region - 160, 4);
    run_result r =
        ozatool({"cramfs", "-k", pem, "-v", "4.0.28", "-o", dir.at("fs.img"), dir.at("fs")});
    ASSERT_EQ(r.status, 0) << r.err;
    const bytes image = read_bytes(dir.at("fs.img"));
    ASSERT_EQ(image.size(), 136 + region);
    EXPECT_EQ(load_le32(image.data()), cramfs_image_magic);
    EXPECT_EQ(load_le32(image.data() + 140), 136 + region);
    EXPECT_EQ(to_hex(image.data() + 156, 4), "04001c00");

    bytes sampled;
    for (size_t at : {size_t(0), 8 * block, 16 * block}) {
        const size_t n = std::min(block, region - at);
        sampled.insert(sampled.end(), image.begin() + 136 + at, image.begin() + 136 + at + n);
    }
    EXPECT_EQ(opened_signature(image), as_number(oracle_md5(sampled.data(), sampled.size())));
    const bytes key = read_bytes(development_key("image.keyrec"));
    const uint8_t version[3] = {4, 0, 28};
    EXPECT_EQ(cramfs_image_verify(dir.at("fs.img").c_str(), 8, version, key.data()), image_valid);
}

TEST_F(OzatoolImage, CramfsDefaultsToVersionZero) {
    random_file(dir.at("fs"), 100, 5);
    ASSERT_EQ(ozatool({"cramfs", "-k", pem, "-o", dir.at("fs.img"), dir.at("fs")}).status, 0);
    const bytes image = read_bytes(dir.at("fs.img"));
    EXPECT_EQ(to_hex(image.data() + 156, 4), "00000000");
    EXPECT_EQ(opened_signature(image), as_number(oracle_md5(image.data() + 136, 124)));
}

TEST_F(OzatoolImage, RefusedCommandLines) {
    random_file(dir.at("in"), 100, 6);
    run_result o =
        run_program("/usr/bin/openssl", {"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                         "rsa_keygen_bits:2048", "-out", dir.at("big.pem")});
    ASSERT_EQ(o.status, 0) << o.err;
    const std::string in = dir.at("in"), out = dir.at("out");
    const std::vector<std::vector<std::string>> refused = {
        {"kernel", "-o", out, in},                        // no key
        {"kernel", "-k", pem, in},                        // no output
        {"kernel", "-k", pem, "-o", out},                 // no input
        {"kernel", "-k", pem, "-o", out, dir.at("none")}, // unreadable input
        {"kernel", "-k", pem, "-i", dir.at("none"), "-o", out, in},
        {"kernel", "-k", dir.at("big.pem"), "-o", out, in}, // no room in a key record
        {"kernel", "-k", in, "-o", out, in},                // no PEM key
        {"kernel", "-k", pem, "-e", "0x100000000", "-o", out, in},
        {"kernel", "-k", pem, "-e", "12x", "-o", out, in},
        {"cramfs", "-k", pem, "-v", "4.0.256", "-o", out, in},
        {"cramfs", "-k", pem, "-v", "4.0", "-o", out, in},
        {"cramfs", "-k", pem, "-v", "4.0.1.2", "-o", out, in},
    };
    for (const auto &args : refused) {
        run_result r = ozatool(args);
        EXPECT_NE(r.status, 0) << args[0] << ' ' << args[2] << ' ' << args.back();
        EXPECT_FALSE(file_exists(out)) << args[0] << ' ' << args[2];
    }
}

} // namespace
