// The light entry points: open and verify a file, then step over its chunks
// looking only at "MVER" (OZA_check_file) or "EXT0" (OZA_check_coldflash),
// whose fixed payloads are read through their rows of the chunk table.
#include "core/byteorder.h"
#include "update/chunks.h"
#include "update/engine.h"
#include "update/engine_state.h"
#include "update/results.h"
#include "update/walk.h"

#include <cstring>

namespace {

// What a scan does with each chunk: 0 to go on, anything else ends it.
using chunk_visit = int (*)(oza_engine &e, const chunk_header &h, void *context);

// Steps from chunk to chunk from the reader's position to the end of the
// file, calling visit with the reader just after each header. A short
// header ends the scan with short_header; a length below 8 with malformed.
int scan_chunks(oza_engine &e, chunk_visit visit, void *context, int short_header, int malformed) {
    for (;;) {
        const int64_t start = e.chunk_start = chunk_tell(e);
        if (start < 0 || start >= e.size) return oza_ok;
        chunk_header h;
        if (!read_chunk_header(e, h)) return short_header;
        if (h.length < oza_header_size) return malformed;
        int r = visit(e, h, context);
        if (r != 0) return r;
        chunk_seek(e, start + h.length);
    }
}

// Reads the fixed payload of a chunk whose header was just read, through its
// row of the chunk table.
int read_fixed_of(oza_engine &e, const chunk_header &h, std::span<unsigned char> buffer,
                  fixed_payload &fixed) {
    const chunk_type *type = chunk_find(h.fourcc);
    return type ? read_fixed(e, *type, buffer, fixed) : oza_bad_chunk;
}

int check_minimum_version(oza_engine &e, const chunk_header &h, void *context) {
    if (memcmp(h.fourcc, "MVER", 4) != 0) return 0;
    unsigned char buffer[version_size];
    fixed_payload fixed;
    if (int r = read_fixed_of(e, h, buffer, fixed); r != oza_ok) return r;
    const auto &device = *static_cast<const version_triple *>(context);
    return version_at_least(device, load_version(fixed.data())) ? 0 : oza_system_too_old;
}

int note_coldflash(oza_engine &e, const chunk_header &h, void *) {
    if (memcmp(h.fourcc, "EXT0", 4) != 0) return 0;
    unsigned char buffer[4];
    fixed_payload fixed;
    if (int r = read_fixed_of(e, h, buffer, fixed); r != oza_ok) return r;
    e.coldflash = load_le32(fixed.data());
    return 0;
}

} // namespace

int OZA_check_file(uint32_t major, uint32_t minor, uint32_t revision, const char *path) {
    oza_engine &e = oza_state();
    int r = oza_open_and_verify(e, path, false);
    if (r == oza_ok) {
        version_triple device{major, minor, revision};
        r = scan_chunks(e, check_minimum_version, &device, oza_ok, oza_bad_chunk);
    }
    oza_close(e);
    return r;
}

int OZA_check_coldflash(const char *path) {
    oza_engine &e = oza_state();
    e.coldflash = 0;
    int r = oza_open_and_verify(e, path, false);
    if (r == oza_ok) r = scan_chunks(e, note_coldflash, nullptr, -1, -1);
    oza_close(e);
    return r == oza_ok ? static_cast<int>(e.coldflash) : -1;
}
