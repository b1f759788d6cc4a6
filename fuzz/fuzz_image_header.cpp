// Fuzzes the kernel and cramfs image checks: header, RSA operation on the
// signature block, version bytes, and the sampled digest of the signed
// region whose end the header gives. The first byte chooses: bit 0 cramfs
// (read from a file) or kernel (in memory), bit 1 a version to compare, bit
// 2 the public-key record from the input (the next 144 bytes) instead of
// the development image key, bits 4-7 the sampling step. The rest is the
// image.
#include "crypto/keyrec.h"
#include "devtools/signed_image.h"
#include "fuzz/fuzz_support.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<unsigned char> image_key = development_file("image.keyrec");
    if (size < 1 || image_key.size() != key_record_size) return 0;
    const uint8_t choice = data[0];
    ++data;
    --size;
    unsigned char key[key_record_size];
    memcpy(key, image_key.data(), sizeof key);
    if ((choice & 4) != 0) {
        if (size < key_record_size) return 0;
        memcpy(key, data, key_record_size);
        data += key_record_size;
        size -= key_record_size;
    }
    const uint8_t version[3] = {4, 0, 28};
    const uint32_t step = choice >> 4;

    // The image in a buffer of exactly its size.
    std::unique_ptr<unsigned char[]> image(new unsigned char[size > 0 ? size : 1]);
    memcpy(image.get(), data, size);
    const std::span<const unsigned char> region(image.get(), size);

    int r;
    if ((choice & 1) != 0) {
        const char *path = memory_file("image", image.get(), size);
        r = cramfs_image_verify(path, step, (choice & 2) != 0 ? version : nullptr, key);
        // The same image from memory gives the same result.
        const image_rules rules{cramfs_image_magic, cramfs_header_size, step, key,
                                (choice & 2) != 0 ? version : nullptr};
        if (image_verify(image_in_memory(&region), rules) != r) abort();
    } else {
        r = kernel_image_verify(key, region, kernel_image_magic);
        if (r != 0 && r != 1) abort();
        const image_rules rules{kernel_image_magic, kernel_checked_header_size, step, key, nullptr};
        r = image_verify(image_in_memory(&region), rules);
    }
    if (r != image_valid && (r < image_short || r > image_version_mismatch)) abort();
    return 0;
}
