// Each fixed chunk and each step of the walk first checks that the file is still the one whose
// digest was checked. A step reports the chunk and, when the slot allows it, reads the fixed
// payload its row gives, runs the handler and takes the row's weight; it goes on at the chunk's
// start plus its length whatever the handler returned.
#include "update/walk.h"

#include "core/byteorder.h"
#include "core/trace.h"
#include "flash/flash.h"
#include "flash/keystore.h"
#include "update/chunks.h"
#include "update/engine_state.h"
#include "update/results.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr size_t unit_read = 40; // header, name, 16 bytes nobody reads
constexpr size_t unit_name_size = 16;

bool at_end(const oza_engine &e) {
    return chunk_tell(e) == e.size;
}

// The chunks are read after the digest pass: each is read only while the
// file is still the one whose digest was checked.
bool changed(const oza_engine &e) {
    return !oza_file_unchanged(e);
}

} // namespace

bool read_chunk_header(oza_engine &e, chunk_header &h) {
    unsigned char bytes[oza_header_size];
    if (chunk_read(e, bytes, sizeof bytes) != sizeof bytes) return false;
    memcpy(h.fourcc, bytes, 4);
    h.length = load_le32(bytes + 4);
    return true;
}

int parse_unit(oza_engine &e) {
    if (changed(e)) return oza_digest_read_short;
    const int64_t start = chunk_tell(e);
    unsigned char chunk[unit_read];
    if (chunk_read(e, chunk, sizeof chunk) != sizeof chunk) return oza_unit_short;
    if (memcmp(chunk, "UNIT", 4) != 0) return oza_unit_missing;
    // The name ends at its NUL or at the end of its 16-byte field.
    const char *name = reinterpret_cast<const char *>(chunk + oza_header_size);
    const size_t length = strnlen(name, unit_name_size);
    const char *device = keystore_unit_name();
    if (length != strlen(device) || memcmp(name, device, length) != 0) return oza_unit_mismatch;
    oza_debug("_oza_seek 1\r\n");
    chunk_seek(e, start + load_le32(chunk + 4));
    oza_debug("_oza_seek 2\r\n");
    return oza_ok;
}

int parse_version(oza_engine &e) {
    if (changed(e)) return oza_digest_read_short;
    if (at_end(e)) return oza_end_of_file;
    const int64_t start = chunk_tell(e);
    chunk_header h;
    if (!read_chunk_header(e, h)) return oza_bad_chunk;
    if (memcmp(h.fourcc, "VERS", 4) != 0) return oza_version_missing;
    unsigned char payload[version_size];
    if (chunk_read(e, payload, sizeof payload) != sizeof payload) return oza_version_short;
    version_triple device;
    if (e.cb.get_min_sys_version(&device.major, &device.minor, &device.revision) < 0)
        return oza_version_missing;
    if (!version_at_least(load_version(payload), device)) return oza_version_too_old;
    chunk_seek(e, start + h.length);
    return oza_ok;
}

int parse_duration(oza_engine &e) {
    if (changed(e)) return oza_digest_read_short;
    if (at_end(e)) return oza_end_of_file;
    const int64_t start = e.chunk_start = chunk_tell(e);
    chunk_header h;
    if (!read_chunk_header(e, h)) return oza_bad_chunk;
    if (memcmp(h.fourcc, "TIME", 4) != 0) return oza_time_missing;
    unsigned char count_bytes[4];
    if (chunk_read(e, count_bytes, sizeof count_bytes) != sizeof count_bytes)
        return oza_time_count_short;
    const uint32_t count = load_le32(count_bytes);
    // A list longer than what is left of the file cannot be read whole: it
    // is short without taking memory for it.
    const uint64_t list_size = uint64_t(count) * 4;
    if (list_size > payload_left(e, sizeof count_bytes)) return oza_time_list_short;
    if (static_cast<size_t>(list_size) != list_size) return oza_time_missing;
    std::unique_ptr<uint32_t[]> weights(new (std::nothrow) uint32_t[count > 0 ? count : 1]);
    if (!weights) return oza_time_missing;
    auto *bytes = reinterpret_cast<unsigned char *>(weights.get());
    if (chunk_read(e, bytes, list_size) != list_size) return oza_time_list_short;
    for (uint32_t i = 0; i < count; ++i) weights[i] = load_le32(bytes + 4 * size_t(i));
    progress_start(e.progress, std::move(weights), count, e.cb.progress);
    chunk_seek(e, start + h.length);
    return oza_ok;
}

int read_fixed(oza_engine &e, const chunk_type &type, std::span<unsigned char> buffer,
               fixed_payload &fixed) {
    if (type.fixed > buffer.size()) return type.short_code;
    if (type.traced) host_trace(e, "read %s subchunk...", type.traced);
    if (chunk_read(e, buffer.data(), type.fixed) != type.fixed) {
        if (type.traced) host_trace(e, "error read %s subchunk", type.traced);
        return type.short_code;
    }
    fixed = buffer.first(type.fixed);
    return oza_ok;
}

namespace {

// Holds the flash layer for a chunk that needs it, reads the fixed payload,
// runs the handler and takes the weight the row gives the walk.
int run_chunk(oza_engine &e, const chunk_type &type) {
    flash_session flash;
    if (type.flash) {
        host_trace(e, "flash init...");
        if (!flash.open()) {
            host_trace(e, "error flash init");
            return oza_flash_failed;
        }
    }
    unsigned char buffer[chunk_fixed_max];
    fixed_payload fixed;
    int r = read_fixed(e, type, buffer, fixed);
    if (r != oza_ok) return r;
    r = type.handler(e, fixed);
    switch (type.weight) {
    case chunk_weight::one:
        if (r == chunk_skipped) return oza_ok;
        if (r == oza_ok) progress_step(e.progress);
        break;
    case chunk_weight::always: progress_step(e.progress); break;
    case chunk_weight::none:
    case chunk_weight::handler: break;
    }
    return r;
}

} // namespace

int walk_step(oza_engine &e) {
    if (changed(e)) return oza_digest_read_short;
    const int64_t start = e.chunk_start = chunk_tell(e);
    if (start == e.size) return oza_end_of_file;
    chunk_header h;
    if (!read_chunk_header(e, h)) return oza_bad_chunk;
    char line[64];
    snprintf(line, sizeof line, "chunk %c%c%c%c at %08lld  len %08u", h.fourcc[0], h.fourcc[1],
             h.fourcc[2], h.fourcc[3], static_cast<long long>(start), h.length);
    e.cb.status(line);

    // A length below the header's own would leave the walk at this chunk or
    // send it back into it.
    if (h.length < oza_header_size) return oza_bad_chunk;
    const chunk_type *type = chunk_find(h.fourcc);
    int r;
    if (type == nullptr)
        r = oza_bad_chunk;
    else if (!chunk_allowed(*type, e.slot))
        r = oza_chunk_not_allowed;
    else
        r = run_chunk(e, *type);
    chunk_seek(e, start + h.length);
    return r;
}
