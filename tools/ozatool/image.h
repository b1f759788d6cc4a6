// Signed kernel and cramfs images as ozatool makes them: a header whose
// signature block (128 bytes at 8) is the RSA private operation on the MD5
// digest of the signed region [136, signed end), the end being the 32-bit
// word at 140. The digest covers every step-th 256 KiB block of the region,
// starting with the first (step 1: all of it; cramfs images: step 8).
#pragma once

#include "tools/ozatool/ozatool.h"

#include <cstdint>
#include <string>
#include <vector>

inline constexpr uint32_t kernel_magic = 0xDAE589F0;
inline constexpr size_t kernel_header = 256;
inline constexpr uint32_t cramfs_magic = 0xD3C284D5;
inline constexpr size_t cramfs_header = 160;
inline constexpr size_t signed_start = 136;
inline constexpr size_t signed_end_field = 140;
inline constexpr uint64_t digest_block = 262144;

// MD5 of the blocks of [136, end) that step picks, as far as the image
// holds them (nothing when end <= 136).
void sampled_md5(const bytes &image, uint64_t end, uint32_t step, unsigned char digest[16]);

// Signs image (its header in place, signature block zero) with the key in
// pem: stores the signed end (end_text parsed, or the image's length when
// null) and the signature block of the sampled digest, then writes the
// image to output ("-": standard output; never one of inputs). The
// subcommand's exit status; messages carry name.
int sign_and_write(const char *name, bytes &image, const char *end_text, uint32_t step,
                   const std::string &pem, const std::string &output,
                   const std::vector<std::string> &inputs);
