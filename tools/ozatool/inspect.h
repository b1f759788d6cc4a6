// Reading an update file the way the device opens and walks it: the head,
// the signature check, the deciphering of each chunk, the fixed chunks and
// the gate of the signature slot; then the device's rules on every chunk's
// fields (raw-area names, mount points, paths, parameter types and values,
// the version floor, the unit, the progress weights). The file is read
// through its descriptor piece by piece, so memory stays small whatever its
// size. info, verify, pack, resign, extract and try report what it finds.
#pragma once

#include "tools/ozatool/format.h"
#include "tools/ozatool/keystore.h"

#include <functional>
#include <nlohmann/json.hpp>
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
    bool builtin_given = false;     // named by --builtin rather than this build's own
    std::string key_from, aes_from; // what --key and --aes named, for messages
};

// What is known of the device the file is meant for; what is not known is
// listed as unchecked.
struct device_state {
    const oza_target *target = nullptr; // null: the full build, assumed
    std::optional<std::string> unit;    // the device's unit name
    std::string unit_from;
    std::optional<bytes> typed_records; // ParamStore_3b (FPAR)
    std::string typed_from;
    std::optional<bytes> parameter_file; // /mnt/storage/System/System.bin (PARM)
    bool parameter_file_missing = false; // known to be absent
    std::string parameter_file_from;
    std::optional<bytes> tags; // the "tags" area's first bytes (TAGP)
    std::string tags_from;
    std::optional<std::string> update_path; // where the file lies on the device
};

enum severity { severity_note, severity_warning, severity_error };

// Something found in the file. code: the device's result when it stops
// there (0: it goes on). An error is something the device refuses, skips
// or misreads; a warning something it does, but that was probably not
// meant (--strict makes it an error).
struct finding {
    severity level;
    int code;
    int chunk;         // index in inspection::chunks, -1 for the file as a whole
    std::string field; // the manifest field at fault ("" for the whole chunk)
    std::string text;
    std::string suggestion; // a name that was probably meant, or ""
};

struct inspected_chunk {
    uint64_t offset;
    uint64_t length;       // the length field (4 for the magic, 136 for the signature chunk...)
    std::string fourcc;    // "" when no header could be read
    std::string summary;   // decoded fields, one line
    nlohmann::json fields; // the manifest's fields of the chunk (an object), or null
    bool known = false;    // a chunk type of the format, read whole
};

enum signature_state { signature_unchecked, signature_valid, signature_invalid };

struct inspection {
    uint64_t size = 0;
    int slot = 0; // 1 to 5; 0 when the fourcc names none
    signature_state signature = signature_unchecked;
    std::string signature_text; // what was checked against which key, or why not
    std::string signature_key;  // where the key came from
    bool enciphered = false;
    bool readable = true; // false when the chunks could not be deciphered
    nlohmann::json head;  // magic, signature, cipher chunk
    std::vector<inspected_chunk> chunks;
    std::vector<finding> findings;
    std::vector<std::string> diagnoses; // the likely causes, most likely first
    std::vector<std::string> unchecked; // checks that could not be made
    // The first finding with a code: where the device stops.
    int result = 0;
    int result_chunk = -1;
    uint64_t result_offset = 0;
    std::string result_text;
    uint64_t announced_end = 0; // where the chunks say the file ends

    // True when the device opens the file and walks every chunk.
    bool accepted() const { return result == 0 && readable && signature == signature_valid; }
    // Errors, and warnings when strict.
    size_t faults(bool strict) const;
};

// Inspects the update file open on fd (size bytes) with the keys and what
// is known of the device.
void inspect_file(int fd, uint64_t size, const inspect_keys &keys, const device_state &device,
                  inspection *out);

// Reads the whole payload of the chunk at offset (length bytes, header
// included) as the device's chunk reader delivers it, piece by piece to
// sink, deciphering when the file is enciphered with aes (null otherwise).
// False when the file ends before the chunk or a read fails.
bool read_chunk_stream(int fd, uint64_t size, uint64_t offset, uint64_t length, const bytes *aes,
                       const unsigned char iv[16],
                       const std::function<bool(const unsigned char *, size_t)> &sink);
