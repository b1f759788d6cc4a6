// Kernel and cramfs image verification, with images signed by OpenSSL.
#include "core/byteorder.h"
#include "devtools/signed_image.h"

#include "tests/support/oracle.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace {

constexpr uint32_t block = image_digest_block;

// Signs image (its header in place) for the digest of the given pieces of
// it, taken in order: the signature block is the private operation on the
// digest as a little-endian number.
void sign_pieces(bytes &image, const std::vector<std::pair<size_t, size_t>> &pieces,
                 const std::string &pem = "image.pem") {
    bytes joined;
    for (auto [at, n] : pieces)
        joined.insert(joined.end(), image.begin() + at, image.begin() + at + n);
    const auto digest = oracle_md5(joined.data(), joined.size());
    bytes number(128, 0);
    std::copy(digest.begin(), digest.end(), number.begin());
    unique_pkey key = load_pem_key(development_key(pem));
    const bytes signature = rsa_private_block(key.get(), number);
    std::copy(signature.begin(), signature.end(), image.begin() + image_signature_offset);
}

// A header of header_size bytes with magic and signed end, then payload
// (random bytes from a fixed seed); signed over [136, min(end, size)).
bytes signed_image(uint32_t magic, size_t header_size, size_t payload, uint32_t end,
                   const uint8_t *version = nullptr) {
    std::mt19937_64 rng(payload);
    bytes image(header_size, 0);
    const bytes body = random_bytes(rng, payload);
    image.insert(image.end(), body.begin(), body.end());
    store_le32(image.data(), magic);
    store_le32(image.data() + image_signed_end_offset, end);
    if (version) memcpy(image.data() + cramfs_version_offset, version, 3);
    const size_t stop = std::min<size_t>(end, image.size());
    sign_pieces(image,
                {{image_signed_start, stop > image_signed_start ? stop - image_signed_start : 0}});
    return image;
}

bytes image_key() {
    return read_bytes(development_key("image.keyrec"));
}

int verify_kernel(const bytes &image, const bytes &key = image_key()) {
    return kernel_image_verify(key.data(), {image.data(), image.size()}, kernel_image_magic);
}

TEST(KdHeader, CarriesMagicAndInitramfsPlaceOnly) {
    unsigned char header[kernel_header_size];
    memset(header, 0xEE, sizeof header);
    kd_header_build(header, 1000, 500);
    EXPECT_EQ(to_hex(header, 4), "f089e5da");
    EXPECT_EQ(load_le32(header + 148), 1256u);
    EXPECT_EQ(load_le32(header + 152), 500u);
    for (size_t i = 4; i < kernel_header_size; ++i) {
        if (i >= 148 && i < 156) continue;
        EXPECT_EQ(header[i], 0) << i;
    }
}

TEST(KernelVerify, ImageSignedWithTheImageKeyPassesAndNoOtherKey) {
    const bytes image = signed_image(kernel_image_magic, kernel_header_size, 5000, 5256);
    EXPECT_EQ(verify_kernel(image), 0);
    EXPECT_EQ(verify_kernel(image, read_bytes(development_key("slot1.keyrec"))), 1);
    // Bytes past the signed end are not covered.
    const bytes partial = signed_image(kernel_image_magic, kernel_header_size, 5000, 3000);
    bytes tail_changed = partial;
    tail_changed[4000] ^= 1;
    EXPECT_EQ(verify_kernel(tail_changed), 0);
}

TEST(KernelVerify, EveryFaultGivesOne) {
    const bytes good = signed_image(kernel_image_magic, kernel_header_size, 5000, 5256);
    struct fault {
        const char *what;
        bytes image;
        bytes key;
    };
    std::vector<fault> faults;
    auto flipped = [&](size_t at) {
        bytes b = good;
        b[at] ^= 0x80;
        return b;
    };
    for (size_t at :
         {size_t(0), size_t(8), size_t(135), size_t(136), size_t(140), size_t(2000), size_t(5255)})
        faults.push_back({"flipped byte", flipped(at), image_key()});
    // Signed ends that leave the image or enclose nothing, each with a
    // signature over exactly what lies in [136, end) of the file.
    for (uint32_t end : {0u, 100u, 135u, 136u, 5257u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
        faults.push_back(
            {"signed end", signed_image(kernel_image_magic, 256, 5000, end), image_key()});
    for (size_t n : {size_t(1), size_t(3), size_t(4), size_t(143)})
        faults.push_back({"truncated", bytes(good.begin(), good.begin() + n), image_key()});
    bytes long_modulus = image_key();
    store_le16(long_modulus.data(), 65);
    faults.push_back({"modulus of 65 words", good, long_modulus});
    bytes long_exponent = image_key();
    store_le16(long_exponent.data() + 130, 5);
    faults.push_back({"exponent of 5 words", good, long_exponent});
    faults.push_back(
        {"cramfs magic", signed_image(cramfs_image_magic, 256, 5000, 5256), image_key()});

    for (const fault &f : faults) {
        SCOPED_TRACE(f.what);
        // Exactly as long as the image: ASan sees any read past it.
        EXPECT_EQ(verify_kernel(f.image, f.key), 1) << f.image.size();
    }
}

class CramfsVerify : public ::testing::Test {
protected:
    scratch_dir dir;
    const uint8_t system[3] = {4, 0, 28};

    std::string put(const bytes &image, const char *name = "image.cramfs") {
        const std::string path = dir.at(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()), std::streamsize(image.size()));
        return path;
    }
    int verify(const bytes &image, const uint8_t *version = nullptr) {
        return cramfs_image_verify(put(image).c_str(), cramfs_sampling_step, version,
                                   image_key().data());
    }
};

TEST_F(CramfsVerify, StepEightDigestsTheFirstAndTheNinthBlock) {
    // A signed region of 8 blocks and 100 bytes: the digest covers the first
    // block and the 100 bytes at 136 + 8 blocks, nothing else.
    const uint32_t region = 8 * block + 100, end = uint32_t(image_signed_start) + region;
    bytes image =
        signed_image(cramfs_image_magic, cramfs_header_size, end - cramfs_header_size, end);
    sign_pieces(image, {{136, block}, {136 + 8 * block, 100}});
    EXPECT_EQ(verify(image), image_valid);

    struct change {
        size_t at;
        int result;
    } changes[] = {
        {136, image_digest_mismatch},
        {136 + block - 1, image_digest_mismatch},
        {136 + block, image_valid}, // blocks 1 to 7 are skipped
        {136 + 4 * block + 17, image_valid},
        {136 + 8 * block - 1, image_valid},
        {136 + 8 * block, image_digest_mismatch},
        {end - 1, image_digest_mismatch},
    };
    for (const change &c : changes) {
        bytes b = image;
        b[c.at] ^= 1;
        EXPECT_EQ(verify(b), c.result) << c.at;
    }
    // The ninth block cannot be read in full.
    EXPECT_EQ(verify(bytes(image.begin(), image.end() - 1)), image_short);
}

TEST_F(CramfsVerify, VersionZeroFitsEverySystemAndOthersMustMatch) {
    struct version_case {
        uint8_t image[3];
        const uint8_t *expected;
        int result;
    } cases[] = {
        {{0, 0, 0}, system, image_valid},
        {{4, 0, 28}, system, image_valid},
        {{4, 0, 27}, system, image_version_mismatch},
        {{4, 1, 28}, system, image_version_mismatch},
        {{5, 0, 28}, system, image_version_mismatch},
        {{4, 0, 27}, nullptr, image_valid},
    };
    for (const version_case &c : cases) {
        const bytes image = signed_image(cramfs_image_magic, 160, 4000, 4160, c.image);
        EXPECT_EQ(verify(image, c.expected), c.result)
            << int(c.image[0]) << '.' << int(c.image[1]) << '.' << int(c.image[2]);
    }
}

TEST_F(CramfsVerify, ResultCodes) {
    const bytes good = signed_image(cramfs_image_magic, 160, 4000, 4160);
    ASSERT_EQ(verify(good, system), image_valid);

    EXPECT_EQ(cramfs_image_verify(dir.at("missing").c_str(), 8, system, image_key().data()),
              image_cannot_open);
    EXPECT_EQ(verify(bytes(good.begin(), good.begin() + 159)), image_short);
    EXPECT_EQ(verify({}), image_short);
    EXPECT_EQ(verify(signed_image(kernel_image_magic, 160, 4000, 4160)), image_bad_magic);
    bytes bad_key = image_key();
    store_le16(bad_key.data(), 65);
    EXPECT_EQ(cramfs_image_verify(put(good).c_str(), 8, system, bad_key.data()), image_bad_key);
    // A wrong version is reported before the digest is looked at.
    const uint8_t old[3] = {4, 0, 27};
    bytes old_and_changed = signed_image(cramfs_image_magic, 160, 4000, 4160, old);
    old_and_changed[3000] ^= 1;
    EXPECT_EQ(verify(old_and_changed, system), image_version_mismatch);
    // A signed region that ends at or before its start proves nothing, even
    // with a signature over the empty digest. The signed end is a signed
    // word: from 2^31 on it is negative, so nothing is read.
    for (uint32_t end : {0u, 100u, 136u, 0x80000000u, 0x80000088u, 0xFFFFFFFFu})
        EXPECT_EQ(verify(signed_image(cramfs_image_magic, 160, 4000, end)), image_digest_mismatch)
            << end;
    // Signed ends past the file.
    for (uint32_t end : {4161u, 0x7FFFFFFFu})
        EXPECT_EQ(verify(signed_image(cramfs_image_magic, 160, 4000, end)), image_short) << end;
}

TEST_F(CramfsVerify, StepOneDigestsTheWholeRegion) {
    const uint32_t end = 136 + 2 * block + 5;
    const bytes image = signed_image(cramfs_image_magic, 160, end - 160, end);
    EXPECT_EQ(cramfs_image_verify(put(image).c_str(), 1, nullptr, image_key().data()), image_valid);
    bytes changed = image;
    changed[136 + block + 3] ^= 1;
    EXPECT_EQ(cramfs_image_verify(put(changed).c_str(), 1, nullptr, image_key().data()),
              image_digest_mismatch);
}

} // namespace
