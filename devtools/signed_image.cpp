// One check for both kinds of image, over a source read at offsets (memory or an open file):
// the RSA operation on the signature block gives the expected digest, which the MD5 of the
// signed region's sampled blocks must equal.
#include "devtools/signed_image.h"

#include "core/byteorder.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "crypto/md5.h"
#include "crypto/rsa.h"
#include "flash/keystore.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>

namespace {

ssize_t read_memory(const void *context, uint64_t offset, void *buffer, size_t n) {
    const auto &region = *static_cast<const std::span<const unsigned char> *>(context);
    if (offset >= region.size()) return 0;
    const size_t count = static_cast<size_t>(std::min<uint64_t>(n, region.size() - offset));
    memcpy(buffer, region.data() + offset, count);
    return static_cast<ssize_t>(count);
}

ssize_t read_open_file(const void *context, uint64_t offset, void *buffer, size_t n) {
    return full_pread(*static_cast<const int *>(context), buffer, n, offset);
}

bool read_exactly(const image_source &source, uint64_t offset, void *buffer, size_t n) {
    return source.read(source.context, offset, buffer, n) == static_cast<ssize_t>(n);
}

// MD5 of the blocks of [image_signed_start, end) that the sampling step
// picks: block k starts k x step x image_digest_block bytes into the region
// and is cut at its end.
int sampled_digest(const image_source &source, int64_t end, uint32_t step,
                   unsigned char digest[md5_digest_size]) {
    if (end <= int64_t(image_signed_start)) return image_digest_mismatch;
    const uint64_t length = uint64_t(end) - image_signed_start;
    const uint64_t stride = uint64_t(std::max<uint32_t>(step, 1)) * image_digest_block;
    byte_buffer block =
        make_buffer(static_cast<size_t>(std::min<uint64_t>(length, image_digest_block)));
    if (!block) return image_short;
    md5_context ctx;
    md5_init(&ctx);
    for (uint64_t skip = 0; skip < length; skip += stride) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(length - skip, image_digest_block));
        if (!read_exactly(source, image_signed_start + skip, block.get(), n)) return image_short;
        md5_update(&ctx, block.get(), n);
    }
    md5_final(&ctx, digest);
    return image_valid;
}

} // namespace

image_source image_in_memory(const std::span<const unsigned char> *region) {
    return {read_memory, region};
}

image_source image_in_file(const int *fd) {
    return {read_open_file, fd};
}

int image_verify(const image_source &source, const image_rules &rules) {
    unsigned char header[cramfs_header_size] = {};
    const size_t header_size = std::max(rules.header_size, image_signed_end_offset + 4);
    if (header_size > sizeof header || !read_exactly(source, 0, header, header_size))
        return image_short;
    if (load_le32(header) != rules.magic) return image_bad_magic;

    const unsigned char *key = rules.key;
    if (key == nullptr) key = keystore_public_key(keystore_image_key_offset);
    unsigned char expected[rsa_block_size];
    memcpy(expected, header + image_signature_offset, rsa_block_size);
    if (rsa_transform(key, expected) != 0) return image_bad_key;

    if (rules.version != nullptr) {
        const unsigned char *v = header + cramfs_version_offset;
        const bool any = v[0] != 0 || v[1] != 0 || v[2] != 0;
        if (any && memcmp(v, rules.version, 3) != 0) return image_version_mismatch;
    }

    unsigned char digest[md5_digest_size];
    // The signed end is a signed 32-bit word: from 2^31 on it is negative,
    // and the region it ends is empty.
    const int32_t end = static_cast<int32_t>(load_le32(header + image_signed_end_offset));
    const int r = sampled_digest(source, end, rules.step, digest);
    if (r != image_valid) return r;
    return memcmp(digest, expected, md5_digest_size) == 0 ? image_valid : image_digest_mismatch;
}

int kernel_image_verify(const unsigned char *key, std::span<const unsigned char> image,
                        uint32_t magic) {
    const image_rules rules{magic, kernel_checked_header_size, 1, key, nullptr};
    return image_verify(image_in_memory(&image), rules) == image_valid ? 0 : 1;
}

int cramfs_image_verify(const char *path, uint32_t step, const uint8_t *version,
                        const unsigned char *key) {
    // Only a regular file is read: a FIFO would block, a directory or a
    // device has no image size.
    unique_fd fd(open_regular_file(path, nullptr));
    if (!fd.valid()) return image_cannot_open;
    const int descriptor = fd.get();
    const image_rules rules{cramfs_image_magic, cramfs_header_size, step, key, version};
    return image_verify(image_in_file(&descriptor), rules);
}

void kd_header_build(unsigned char header[kernel_header_size], uint32_t kernel_size,
                     uint32_t initramfs_size) {
    memset(header, 0, kernel_header_size);
    store_le32(header, kernel_image_magic);
    store_le32(header + kernel_initramfs_offset_field, uint32_t(kernel_header_size) + kernel_size);
    store_le32(header + kernel_initramfs_size_field, initramfs_size);
}
