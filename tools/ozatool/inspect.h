// Reading an update file the way the device opens and walks it: the head,
// the signature check, the deciphering of each chunk, the fixed chunks and
// the gate of the signature slot. Listing and checking are done on what it
// finds (info, verify).
#pragma once

#include "tools/ozatool/keystore.h"

#include <optional>
#include <string>
#include <vector>

// Where the keys come from, as the device would take them.
struct inspect_keys {
    std::optional<bytes> key;         // public-key record for the file's slot
    std::optional<bytes> aes;         // AES key record
    const key_store *store = nullptr; // the device's key store
    // Records built into the program (a key directory holding slot5.keyrec,
    // fallback.keyrec and aes_default.keyrec).
    std::optional<bytes> builtin_slot5, builtin_fallback, builtin_aes;
};

// Something found at a place of the file. A code is the device's result
// when it meets it (the first one ends the run); code 0 is a remark.
struct finding {
    int code;
    std::string text;
};

struct inspected_chunk {
    uint64_t offset;
    uint64_t length; // the length field (4 for the magic, 136 for the signature chunk...)
    std::string fourcc;
    std::string fields; // decoded payload
    std::vector<finding> findings;
};

enum signature_state { signature_unchecked, signature_valid, signature_invalid };

struct inspection {
    uint64_t size = 0;
    int slot = 0; // 1 to 5; 0 when the fourcc names none
    signature_state signature = signature_unchecked;
    std::string signature_text; // what was checked against which key, or why not
    bool enciphered = false;
    bool readable = true; // false when the chunks could not be deciphered
    std::vector<inspected_chunk> chunks;
    int result = 0;             // first code met; 0 when none
    uint64_t result_offset = 0; // where it was met
    std::string result_text;
};

// Inspects the file's bytes with the keys given.
void inspect_file(const bytes &file, const inspect_keys &keys, inspection *out);
