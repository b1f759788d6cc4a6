// The pack manifest: a JSON description of an update file, read into the
// chunks to write and the settings of the head, signature and cipher.
#pragma once

#include "tools/ozatool/format.h"
#include "tools/ozatool/ozatool.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// One chunk from "UNIT" on, before enciphering.
struct packed_chunk {
    unsigned char fourcc[4];
    bytes payload;                    // everything after the header, unused bytes included
    std::optional<uint32_t> length;   // length field to write instead of the true length
    const oza_chunk_type *type;       // null for a raw chunk of no known type
    bool weighted;                    // takes a progress weight
    std::optional<uint32_t> weight;   // its weight when the manifest gives one
    bool auto_weights;                // a "TIME" chunk whose weights pack computes
    std::optional<uint32_t> declared; // "TIME" count to write instead of the true one
    std::string where;                // JSON path, for messages
};

struct pack_plan {
    // Signature chunk.
    unsigned char signature_fourcc[4];
    uint32_t signature_length = oza_signature_length;
    std::string signing_key;    // PEM private key; empty when block is given
    std::optional<bytes> block; // the 128-byte block to store instead of signing

    // Cipher chunk (absent when has_cipher is false).
    bool has_cipher = false;
    uint32_t cipher_length = oza_cipher_chunk_size;
    uint32_t marker = oza_cipher_marker;
    unsigned char iv[oza_iv_size] = {};
    std::string aes_key; // AES key record, needed when marker enciphers

    std::vector<packed_chunk> chunks;
    bytes trailer;                    // bytes after the last chunk
    std::optional<uint64_t> truncate; // file size to cut to before signing
    struct patch {
        uint64_t offset;
        bytes data;
    };
    std::vector<patch> tamper; // bytes changed after signing

    bool enciphered() const { return has_cipher && marker == oza_cipher_marker; }
};

// Reads the manifest text. Paths in it are relative to base_dir (a file
// named in it as "file": "x" is base_dir/x). On failure returns false and
// sets error to a message naming the field at fault by its JSON path (or,
// for a syntax error, the line and column), prefixed with name.
bool read_manifest(const std::string &name, const std::string &text, const std::string &base_dir,
                   pack_plan *plan, std::string *error);
