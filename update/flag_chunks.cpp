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

// The walk has read each one's 4-byte value and takes the weight.
int chunk_ext0(oza_engine &e, fixed_payload fixed) {
    e.coldflash = load_le32(fixed.data());
    return oza_ok;
}

int chunk_boot(oza_engine &e, fixed_payload fixed) {
    e.boot = load_le32(fixed.data());
    return oza_ok;
}

int chunk_adel(oza_engine &e, fixed_payload fixed) {
    e.autodelete = load_le32(fixed.data());
    return oza_ok;
}

int chunk_hddl(oza_engine &, fixed_payload fixed) {
    if (load_le32(fixed.data()) != 0 && !invalidate_parameters()) return oza_hddl_failed;
    return oza_ok;
}

int chunk_mver(oza_engine &e, fixed_payload fixed) {
    oza_debug("subchunk MIN_VERSION at %08lld\r\n",
              static_cast<long long>(e.chunk_start + int64_t(oza_header_size)));
    version_triple device;
    if (e.cb.get_sys_version(&device.major, &device.minor, &device.revision) < 0)
        return oza_version_missing;
    return version_at_least(device, load_version(fixed.data())) ? oza_ok : oza_system_too_old;
}

int chunk_skip(oza_engine &, fixed_payload) {
    return oza_ok;
}
