// The chunks that write storage outside the file systems: FLSH the sector
// flash, MMCF a raw MMC area, EXT3 a patch of the parameter image, TAGP the
// boot tag list. Their step texts go to the host's trace callback.
#include "core/byteorder.h"
#include "core/trace.h"
#include "core/unique.h"
#include "flash/flash.h"
#include "flash/params.h"
#include "flash/storage.h"
#include "formats/tagpatch.h"
#include "update/chunks.h"
#include "update/engine_state.h"
#include "update/mountpoint.h"
#include "update/results.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint64_t address_space = uint64_t(1) << 32;

// Allocates and reads the n data bytes that follow the chunk's fixed part
// (`read` bytes of the payload): 0, 218 or 220. Data announced past the end
// of the file is short without taking memory for it.
int read_data(oza_engine &e, uint32_t n, uint64_t read, byte_buffer &data) {
    host_trace(e, "amalloc %08X...", n);
    const bool in_file = n <= payload_left(e, read);
    if (in_file) {
        data = make_buffer(n);
        if (!data) {
            host_trace(e, "error amalloc %08X...", n);
            return oza_flash_no_memory;
        }
    }
    host_trace(e, "read data...");
    if (!in_file || chunk_read(e, data.get(), n) != n) {
        host_trace(e, "error read data");
        return oza_flash_data_short;
    }
    return oza_ok;
}

// The area chunks' fixed part (264 bytes): a 256-byte name, offset, length.
struct area_chunk {
    char name[oza_name_field];
    uint32_t offset, length;
};

area_chunk load_area_header(fixed_payload header) {
    area_chunk a;
    memcpy(a.name, header.data(), sizeof a.name);
    a.name[sizeof a.name - 1] = '\0';
    a.offset = load_le32(header.data() + 256);
    a.length = load_le32(header.data() + 260);
    oza_debug("partition name : %s\n", a.name);
    oza_debug("offset : %08lx\n", static_cast<unsigned long>(a.offset));
    return a;
}

// MMCF's progress: the write reports percentages; each report replaces the
// one before it, so the host sees the chunk's start plus q hundredths.
struct mmc_progress {
    weight_spread *weight;
    uint64_t share;
    uint64_t last = 0;
};

void mmc_report(int percent, void *context) {
    auto *m = static_cast<mmc_progress *>(context);
    oza_progress &p = *m->weight->progress;
    if (!p.active) return;
    progress_withdraw(p, m->last);
    m->weight->rest += m->last;
    const uint64_t amount =
        std::min(m->share * uint64_t(std::clamp(percent, 0, 100)), m->weight->rest);
    m->weight->step(amount);
    m->last = amount;
}

void patch_tags(const unsigned char *patch, size_t patch_size) {
    const int size = flash_size_max("tags");
    if (size < 0) return;
    unsigned char list[tag_area_size] = {};
    const int32_t limit = std::min<int32_t>(size, tag_area_size);
    if (flash_read("tags", 0, list, limit) < 0) return;
    if (tag_patch_apply(list, static_cast<size_t>(limit), patch, patch_size))
        flash_write("tags", 0, list, limit);
}

} // namespace

// The walk holds the flash layer from before the read of the fixed part
// (flash address, length) to after this handler.
int chunk_flash(oza_engine &e, fixed_payload fixed) {
    const uint32_t address = load_le32(fixed.data()), length = load_le32(fixed.data() + 4);
    oza_debug("data_bytes : %u\n", length);
    oza_debug("flash_address : %8X\n", address);
    // A range that wraps past the last address would write nothing and say so.
    const uint64_t end = uint64_t(address) + length;
    if (end > address_space) {
        host_trace(e, "error flash nok flash");
        return oza_flash_failed;
    }
    byte_buffer data;
    int r = read_data(e, length, fixed.size(), data);
    if (r != oza_ok) return r;

    weight_spread weight(e.progress);
    const uint64_t share = address > 65535 ? weight.weight / (length / 65536 + 1)
                                           : weight.weight / (length / 8192 + 1);
    for (uint64_t p = address; p < end;) {
        const auto at = static_cast<uint32_t>(p);
        host_trace(e, "get flash sector info %08X...", at);
        flash_sector sector{};
        // A sector that does not hold the address would never move the loop on.
        if (FLASH_GetSectorInfos(at, &sector) != 0 || sector.start > at ||
            uint64_t(sector.start) + sector.size <= p) {
            host_trace(e, "error get flash sector info %08X", at);
            return oza_flash_failed;
        }
        const uint64_t piece = std::min(uint64_t(sector.start) + sector.size - p, end - p);
        host_trace(e, "flash %08X...", at);
        const flash_transfer transfer = {at, static_cast<uint32_t>(piece),
                                         data.get() + (p - address)};
        r = FLASH_Write(&transfer);
        if (r == flash_refused) {
            host_trace(e, "cannot write flash %08X...", at);
            return oza_ok;
        }
        if (r != 0) {
            host_trace(e, "error flash %08X...", at);
            return oza_flash_failed;
        }
        p += piece;
        weight.step(share);
    }
    // In cache mode the sectors are written only once the cache file's data
    // is on the storage.
    if (FLASH_Flush() != 0) {
        host_trace(e, "error flash flush");
        return oza_flash_failed;
    }
    weight.finish();
    host_trace(e, "flash ok");
    return oza_ok;
}

int chunk_mmcflash(oza_engine &e, fixed_payload fixed) {
    const area_chunk a = load_area_header(fixed);
    oza_debug("size : %lu\n", static_cast<unsigned long>(a.length));
    byte_buffer data;
    int r = read_data(e, a.length, fixed.size(), data);
    if (r != oza_ok) return r;

    weight_spread weight(e.progress);
    mmc_progress progress{&weight, weight.weight / 100};
    // The storage operations take signed 32-bit offsets and lengths. Areas
    // holding parameter records are written under the store lock.
    if (a.offset > INT32_MAX || a.length > INT32_MAX ||
        param_area_write(a.name, static_cast<int32_t>(a.offset), data.get(),
                         static_cast<int32_t>(a.length), mmc_report, &progress) < 0) {
        oza_debug("flashing partition \"%s\" failed\r\n", a.name);
        return oza_flash_data_short;
    }
    weight.step(progress.share);
    host_trace(e, "mmcflash ok");
    return oza_ok;
}

int chunk_mmcpatch(oza_engine &e, fixed_payload fixed) {
    const area_chunk a = load_area_header(fixed);
    oza_debug("patch size : %lu\n", static_cast<unsigned long>(a.length));
    byte_buffer data;
    int r = read_data(e, a.length, fixed.size(), data);
    if (r != oza_ok) return r;
    weight_spread weight(e.progress);
    // Only the parameter image is patched; its outcome does not fail the chunk.
    if (strcmp(a.name, "params") == 0 && uint64_t(a.offset) + a.length <= param_image_size)
        param_image_patch(a.offset, data.get(), a.length);
    weight.step(weight.weight / 100);
    host_trace(e, "mmcpatch ok");
    return oza_ok;
}

int chunk_tagpatch(oza_engine &e, fixed_payload fixed) {
    const uint32_t patch_size = load_le32(fixed.data());
    oza_debug("patch size : %lu\n", static_cast<unsigned long>(patch_size));
    byte_buffer data;
    int r = read_data(e, patch_size, fixed.size(), data);
    if (r != oza_ok) return r;
    weight_spread weight(e.progress);
    // The patch's outcome does not fail the chunk.
    patch_tags(data.get(), patch_size);
    weight.step(weight.weight / 100);
    host_trace(e, "tagpatch ok");
    return oza_ok;
}
