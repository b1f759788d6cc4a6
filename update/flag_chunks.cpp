// The chunks that carry one value: cold-flash, boot and auto-delete flags,
// the parameter-store invalidation, the minimum system version, and the
// skipped "EXT4" to "EXTF".
#include "core/byteorder.h"
#include "core/trace.h"
#include "core/unique.h"
#include "flash/params.h"
#include "flash/storage.h"
#include "update/chunks.h"
#include "update/engine_state.h"
#include "update/results.h"
#include "update/walk.h"

namespace {

// Reads the chunk's u32 value; false when the payload is short.
bool read_value(oza_engine &e, uint32_t &value) {
    unsigned char bytes[4];
    if (chunk_read(e, bytes, sizeof bytes) != sizeof bytes) return false;
    value = load_le32(bytes);
    return true;
}

// Marks ParamStore_3c (first word all ones) and clears all of ParamStore_3b.
bool invalidate_parameters() {
    unsigned char mark[4] = {0xff, 0xff, 0xff, 0xff};
    if (param_write(param_flags, 0, mark, sizeof mark) < 0) return false;
    const int size = param_size_max(param_typed);
    if (size < 0) return false;
    byte_buffer zero = make_zeroed_buffer(static_cast<size_t>(size));
    return zero && param_write(param_typed, 0, zero.get(), size) >= 0;
}

} // namespace

int chunk_ext0(oza_engine &e) {
    if (!read_value(e, e.coldflash)) return oza_flag_short;
    progress_step(e.progress);
    return oza_ok;
}

int chunk_boot(oza_engine &e) {
    if (!read_value(e, e.boot)) return oza_flag_short;
    progress_step(e.progress);
    return oza_ok;
}

int chunk_adel(oza_engine &e) {
    if (!read_value(e, e.autodelete)) return oza_autodelete_short;
    progress_step(e.progress);
    return oza_ok;
}

int chunk_hddl(oza_engine &e) {
    uint32_t value = 0;
    if (!read_value(e, value)) return oza_hddl_short;
    if (value != 0 && !invalidate_parameters()) return oza_hddl_failed;
    progress_step(e.progress);
    return oza_ok;
}

int chunk_mver(oza_engine &e) {
    oza_debug("subchunk MIN_VERSION at %08lld\r\n", static_cast<long long>(chunk_tell(e)));
    unsigned char payload[12];
    if (chunk_read(e, payload, sizeof payload) != sizeof payload) return oza_version_short;
    uint32_t device[3];
    if (e.cb.get_sys_version(&device[0], &device[1], &device[2]) < 0) return oza_version_missing;
    const uint32_t needed[3] = {load_le32(payload), load_le32(payload + 4), load_le32(payload + 8)};
    return version_at_least(device, needed) ? oza_ok : oza_system_too_old;
}

int chunk_skip(oza_engine &) {
    return oza_ok;
}
