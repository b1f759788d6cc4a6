// Signing of kernel and cramfs images (ozatool kernel, ozatool cramfs).
#include "tools/ozatool/image.h"

#include "core/byteorder.h"
#include "tools/ozatool/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace {

struct md_free {
    void operator()(EVP_MD_CTX *c) const { EVP_MD_CTX_free(c); }
};

} // namespace

void sampled_md5(const bytes &image, uint64_t end, uint32_t step, unsigned char digest[16]) {
    std::unique_ptr<EVP_MD_CTX, md_free> ctx(EVP_MD_CTX_new());
    EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr);
    const uint64_t stop = std::min<uint64_t>(end, image.size());
    for (uint64_t at = signed_start; at < stop; at += uint64_t(std::max(step, 1u)) * digest_block)
        EVP_DigestUpdate(ctx.get(), image.data() + at, std::min(digest_block, stop - at));
    unsigned n = 0;
    EVP_DigestFinal_ex(ctx.get(), digest, &n);
}

int sign_and_write(const char *name, bytes &image, const char *end_text, uint32_t step,
                   const std::string &pem, const std::string &output,
                   const std::vector<std::string> &inputs) {
    uint64_t end = image.size();
    if (end_text != nullptr && !parse_u64(end_text, &end))
        return fail(name, "signed end '%s': a number", end_text);
    if (end > UINT32_MAX || image.size() > UINT32_MAX)
        return fail(name, "the image and its signed end must stay below 4 GiB");
    store_le32(image.data() + signed_end_field, uint32_t(end));

    unsigned char digest[16], block[128];
    sampled_md5(image, end, step, digest);
    std::string error;
    if (!sign_digest(pem, digest, block, &error)) return fail(name, "%s", error.c_str());
    memcpy(image.data() + 8, block, sizeof block);
    return write_small_output(name, output, inputs, image.data(), image.size());
}
