// MD5 message digest (RFC 1321) with a streaming interface, and a stream
// over one module-wide context for callers that digest a file piece by piece.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t md5_digest_size = 16;

struct md5_context {
    uint32_t state[4];        // chaining values A, B, C, D
    uint32_t count[2];        // message length in bits, low half first
    unsigned char buffer[64]; // bytes of the block not yet complete
};

// Starts a digest.
void md5_init(md5_context *ctx);
// Feeds length bytes; pieces of any size give the digest of their concatenation.
void md5_update(md5_context *ctx, const void *data, size_t length);
// Writes the 16-byte digest in standard byte order and clears the context.
void md5_final(md5_context *ctx, unsigned char digest[md5_digest_size]);

// Stages of md5_stream.
enum { md5_stage_init = 1, md5_stage_update = 2, md5_stage_final = 3 };

// Digests through the module-wide context: stage 1 starts it, stage 2 feeds
// length bytes of data, stage 3 writes the digest. Arguments a stage does not
// use are ignored. Returns 0, or -1 for an unknown stage.
int md5_stream(int stage, const void *data, size_t length, unsigned char *digest);
