// The chunks that set typed parameters: PARM in the parameter file
// /mnt/storage/System/System.bin, FPAR in the record ParamStore_3b.
#include "core/byteorder.h"
#include "flash/params.h"
#include "formats/typed_params.h"
#include "update/chunks.h"
#include "update/engine_state.h"
#include "update/fileio.h"
#include "update/mountpoint.h"
#include "update/results.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>

namespace {

constexpr uint32_t storage_index = 3;
constexpr char parameter_file[] = "System/System.bin";
constexpr size_t parameter_file_max = 32768;
constexpr size_t parameter_file_records = 4; // after a word nobody reads
constexpr size_t typed_record_records = 8;   // after a word and the end offset

// The chunk's fixed payload (516 bytes): identifier, type name, value text.
struct param_chunk {
    uint32_t id;
    char type[oza_name_field];
    char value[oza_name_field];
};

param_chunk load_param_chunk(fixed_payload payload) {
    param_chunk c;
    c.id = load_le32(payload.data());
    std::copy_n(payload.data() + 4, oza_name_field, c.type);
    std::copy_n(payload.data() + 4 + oza_name_field, oza_name_field, c.value);
    c.type[oza_name_field - 1] = c.value[oza_name_field - 1] = '\0';
    return c;
}

// Sets the parameter in the parameter file at path: every record carrying
// the identifier gets the value, written back record by record.
int set_file_parameter(const char *path, const param_chunk &c) {
    oza_file file(file_open(path, O_RDWR, 0));
    if (!file.valid()) return oza_parm_failed;
    // The file is read whole into a buffer of the largest size it may have.
    const int64_t size = file_seek(file.fd, 0, SEEK_END);
    if (size < 0 || uint64_t(size) > parameter_file_max || file_seek(file.fd, 0, SEEK_SET) != 0)
        return oza_parm_failed;
    unsigned char bytes[parameter_file_max];
    const auto n = static_cast<size_t>(size);
    if (file_read_full(file.fd, bytes, n) != static_cast<ssize_t>(n)) return oza_parm_failed;

    param_type type;
    const bool known = param_type_of(c.type, type);
    size_t at = parameter_file_records, length = 0;
    for (; typed_record_find(bytes, n, c.id, at, length); at += length) {
        if (!known) return oza_parm_failed;
        const size_t write = typed_value_store(bytes + at, std::min(length, n - at), type, c.value);
        if (write == 0) continue; // the record has no room for the value
        if (file_seek(file.fd, int64_t(at), SEEK_SET) != int64_t(at) ||
            !file_write_full(file.fd, bytes + at, write))
            return oza_parm_failed;
    }
    return file.close() == 0 ? oza_ok : oza_parm_failed;
}

// param_update's editor for FPAR: the records lie between byte 8 and the
// end offset stored at byte 4 (kept inside the record).
int set_record_parameter(unsigned char *bytes, int32_t size, void *context) {
    const auto &c = *static_cast<const param_chunk *>(context);
    param_type type;
    if (!param_type_of(c.type, type) || size < int32_t(typed_record_records)) return 0;
    const size_t end = std::min<size_t>(load_le32(bytes + 4), static_cast<size_t>(size));
    size_t at = typed_record_records, length = 0;
    for (; typed_record_find(bytes, end, c.id, at, length); at += length)
        typed_value_store(bytes + at, std::min(length, end - at), type, c.value);
    return 0;
}

} // namespace

int chunk_parm(oza_engine &e, fixed_payload fixed) {
    const param_chunk c = load_param_chunk(fixed);
    const char *storage = nullptr;
    char path[oza_path_size];
    if (resolve_mountpoint(e, storage_index, &storage) != 0 ||
        snprintf(path, sizeof path, "%s%s", storage, parameter_file) >= int(sizeof path))
        return oza_parm_failed;
    int r = set_file_parameter(path, c);
    if (r != oza_ok) return r;
    e.cb.load_hdd_param();
    return oza_ok;
}

int chunk_fpar(oza_engine &e, fixed_payload fixed) {
    param_chunk c = load_param_chunk(fixed);
    // One hold of the store lock around the read, the change and the write.
    if (param_update(param_typed, set_record_parameter, &c) < 0) return oza_fpar_failed;
    e.cb.load_flash_param();
    return oza_ok;
}
