// Signed kernel and cramfs images: the header layouts, the KD image header,
// and the one verification that both image checkers run (header magic, RSA
// public operation on the signature block, signed-region digest).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <sys/types.h>

// Header fields shared by both image kinds (unsigned 32-bit little-endian).
inline constexpr size_t image_signature_offset = 8;    // 128-byte RSA signature block
inline constexpr size_t image_signed_start = 136;      // the signed region starts here
inline constexpr size_t image_signed_end_offset = 140; // where it ends, from the image start

// Kernel image: 256-byte header; the check needs its first 144 bytes.
inline constexpr uint32_t kernel_image_magic = 0xDAE589F0;
inline constexpr size_t kernel_header_size = 256;
inline constexpr size_t kernel_checked_header_size = 144;
inline constexpr size_t kernel_initramfs_offset_field = 148;
inline constexpr size_t kernel_initramfs_size_field = 152;
// A KD image (header, kernel, initramfs) may be at most this long.
inline constexpr uint64_t kd_image_max = 8388608;

// Cramfs image: 160-byte header with the system version it was built for.
inline constexpr uint32_t cramfs_image_magic = 0xD3C284D5;
inline constexpr size_t cramfs_header_size = 160;
inline constexpr size_t cramfs_version_offset = 156; // major, minor, revision bytes
inline constexpr uint32_t cramfs_sampling_step = 8;

// The signed region is digested in blocks of this size; with a sampling step
// s only every s-th block is (the first one from the region's start).
inline constexpr uint32_t image_digest_block = 262144;

// Verification results.
enum {
    image_valid = 0,
    image_cannot_open = 2,     // the file cannot be opened
    image_short = 3,           // the header or a digested block cannot be read in full
    image_bad_magic = 4,       //
    image_bad_key = 5,         // key record unusable or RSA operation failed
    image_digest_mismatch = 6, // also: an empty signed region (it proves nothing)
    image_version_mismatch = 7,
};

// Where the image bytes come from: read copies up to n bytes at offset and
// returns the count (below n only past the image's end) or -1.
struct image_source {
    ssize_t (*read)(const void *context, uint64_t offset, void *buffer, size_t n);
    const void *context;
};

// An image held in memory; *region must outlive the source.
image_source image_in_memory(const std::span<const unsigned char> *region);
// An open file read at absolute offsets; *fd must outlive the source.
image_source image_in_file(const int *fd);

// What a verification checks.
struct image_rules {
    uint32_t magic;           // expected header magic
    size_t header_size;       // header bytes that must be readable
    uint32_t step;            // sampling step (1: every block; 0 counts as 1)
    const unsigned char *key; // 144-byte key record; null: the image-verification key
    const uint8_t *version;   // expected major, minor, revision; null: no version test
};

// Verifies the image, the first failing step deciding the result: header
// read (image_short), magic, key record and RSA operation on the signature
// block, version (when asked and the header's version bytes are not all 0),
// then the MD5 digest of the sampled signed region, which must equal the 16
// low bytes of the RSA result in little-endian order. The signed end is a
// signed 32-bit word: one at or below 136 (every word from 2^31 on among
// them) leaves an empty region, which proves nothing and is refused as a
// mismatch. Offsets are 64-bit, so no signed end can reach outside the image.
int image_verify(const image_source &source, const image_rules &rules);

// The kernel image check on an image in memory: 0 valid, 1 any failure.
int kernel_image_verify(const unsigned char *key, std::span<const unsigned char> image,
                        uint32_t magic);

// The cramfs check of the file at path with the sampling step and the
// optional expected version: one of the results above.
int cramfs_image_verify(const char *path, uint32_t step, const uint8_t *version,
                        const unsigned char *key = nullptr);

// Fills the 256-byte header of a KD image (no signature): magic, initramfs
// offset 256 + kernel size, initramfs size, zeros elsewhere.
void kd_header_build(unsigned char header[kernel_header_size], uint32_t kernel_size,
                     uint32_t initramfs_size);
