// The pack manifest: a JSON description of an update file, read into the
// chunks to write and the settings of the head, signature and cipher. Data
// that files give is not read here: pack streams it when it writes.
#pragma once

#include "tools/ozatool/format.h"
#include "tools/ozatool/json_where.h"
#include "tools/ozatool/ozatool.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Bytes from a file or given in the manifest, repeated or cut to size.
struct data_source {
    std::string file;    // path of the file, or "" for the bytes below
    bytes given;         // the bytes when no file is named
    uint64_t size = 0;   // bytes delivered
    uint64_t stored = 0; // bytes in the file (or in given) before repeating or cutting

    // Streams the bytes to sink in pieces; false when the file cannot be read
    // (errno set) or sink refuses.
    bool stream(const std::function<bool(const unsigned char *, size_t)> &sink) const;
};

// One chunk from "UNIT" on, before enciphering.
struct packed_chunk {
    unsigned char fourcc[4];
    bytes fixed;                      // the payload before the data (its size fields included)
    data_source data;                 // the data after it
    uint64_t pad = 0;                 // unused zero bytes after the data
    std::optional<uint32_t> length;   // length field to write instead of the true length
    const oza_chunk_type *type;       // null for a raw chunk of no known type
    bool weighted;                    // takes a progress weight
    std::optional<uint32_t> weight;   // its weight when the manifest gives one
    bool auto_weights;                // a "TIME" chunk whose weights pack computes
    std::optional<uint32_t> declared; // "TIME" count to write instead of the true one
    std::string where;                // JSON path, for messages
    std::string shorthand;            // the field given as the object itself ("unit": "a004")

    uint64_t payload_size() const { return fixed.size() + data.size + pad; }
};

struct pack_plan {
    std::string name;   // the manifest, for messages
    json_places places; // where each field stands in it

    // Signature chunk.
    unsigned char signature_fourcc[4];
    uint32_t signature_length = oza_signature_length;
    std::string signing_key;    // PEM private key; empty when block is given
    std::string signing_key_as; // the key as the manifest wrote it, for messages
    std::optional<bytes> block; // the 128-byte block to store instead of signing

    // Cipher chunk (absent when has_cipher is false).
    bool has_cipher = false;
    uint32_t cipher_length = oza_cipher_chunk_size;
    uint32_t marker = oza_cipher_marker;
    unsigned char iv[oza_iv_size] = {};
    std::string aes_key;    // AES key record, needed when marker enciphers
    std::string aes_key_as; // as written

    std::vector<packed_chunk> chunks;
    data_source trailer;              // bytes after the last chunk
    std::optional<uint64_t> truncate; // file size to cut to before signing
    struct patch {
        uint64_t offset;
        bytes data;
    };
    std::vector<patch> tamper; // bytes changed after signing

    bool enciphered() const { return has_cipher && marker == oza_cipher_marker; }
    // Every file the manifest reads (data files, keys), which no output may replace.
    std::vector<std::string> inputs() const;
    // "NAME: line L, column C: PATH: text" for a fault at the JSON path.
    std::string message(const std::string &path, const std::string &text) const;
};

// Reads the manifest text. Paths in it are relative to base_dir (a file
// named in it as "file": "x" is base_dir/x). On failure returns false and
// sets error to a message naming the field at fault by its line, column
// and JSON path, prefixed with name.
bool read_manifest(const std::string &name, const std::string &text, const std::string &base_dir,
                   pack_plan *plan, std::string *error);
