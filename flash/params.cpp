// The record table and its readers and writers: ParamStore_5 behind a length word on the key
// store device, Prod and 1 in the "prod" area, Logo in "banner", the 3 and 4 records in the
// "params" image, which is only ever written back whole after a complete read.
#include "flash/params.h"

#include "core/byteorder.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "flash/param_records.h"
#include "flash/rawmmc.h"
#include "flash/storage.h"
#include "flash/store_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>

namespace {

constexpr const char prod_area[] = "prod";
constexpr const char logo_area[] = "banner";
constexpr const char params_area[] = "params";

constexpr param_record records[] = {
    {"ParamStore_5", keystore_reader, not_writable, record_size, keystore_marker, 8192},
    {"ParamStore_Prod", area_reader, area_writer, record_size, 0, 8192},
    {"ParamStore_1", area_reader, area_writer, record_size, 65536, 8192},
    {"Logo", logo_reader, logo_writer, record_size, 0, 0},
    {"ParamStore_3", image_reader, image_writer, record_size, 49152, 8192},
    {"ParamStore_3a", image_reader, image_writer, record_size, 49152, 16},
    {"ParamStore_3b", image_reader, image_writer, record_size, 49168, 2032},
    {"ParamStore_3c", image_reader, image_writer, record_size, 51200, 6144},
    {"ParamStore_4", image_reader, image_writer, record_size, 57344, 8192},
};

// Reads exactly length bytes at position; false on an error or end of file.
bool read_at(int fd, void *buffer, size_t length, off_t position) {
    return position >= 0 && full_pread(fd, buffer, length, static_cast<uint64_t>(position)) ==
                                static_cast<ssize_t>(length);
}

// The record's bytes [offset, offset + length) as image offsets, when they
// lie inside the image.
bool image_range(const param_record &record, int32_t offset, int32_t length, uint32_t &at) {
    int64_t first = int64_t(record.offset) - param_image_base + offset;
    if (first < 0 || length < 0 || first + length > int64_t(param_image_size)) return false;
    at = static_cast<uint32_t>(first);
    return true;
}

} // namespace

const param_record *param_find(const char *name) {
    if (name == nullptr) return nullptr;
    for (const param_record &record : records)
        if (std::string_view(name) == record.name) return &record;
    return nullptr;
}

bool param_range_ok(const param_record &record, int32_t offset, int32_t length) {
    if (offset < 0 || length < 0) return false;
    int64_t end = int64_t(offset) + length;
    return record.size > 0 ? end <= record.size : end <= INT32_MAX;
}

int keystore_reader(const param_record &record, int32_t offset, void *buffer, int32_t length) {
    if (record.offset != keystore_marker || offset < 0 || length < 0) return -1;
    unique_fd fd(open(keystore_device, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) fd.reset(open(keystore_device_fallback, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return -1;
    unsigned char gap[4];
    if (!read_at(fd.get(), gap, sizeof gap, keystore_length_at)) return -1;
    off_t at = off_t(keystore_data_start) + off_t(load_le32(gap)) + offset;
    return read_at(fd.get(), buffer, static_cast<size_t>(length), at) ? 0 : -1;
}

int area_reader(const param_record &record, int32_t offset, void *buffer, int32_t length) {
    return flash_read(prod_area, record.offset + offset, buffer, length);
}

int area_writer(const param_record &record, int32_t offset, const void *buffer, int32_t length) {
    return flash_write(prod_area, record.offset + offset, buffer, length);
}

int logo_reader(const param_record &, int32_t offset, void *buffer, int32_t length) {
    return flash_read(logo_area, offset, buffer, length);
}

int logo_writer(const param_record &, int32_t offset, const void *buffer, int32_t length) {
    return flash_write(logo_area, offset, buffer, length);
}

int image_reader(const param_record &record, int32_t offset, void *buffer, int32_t length) {
    uint32_t at = 0;
    if (!image_range(record, offset, length, at)) return -1;
    byte_buffer image = make_buffer(param_image_size);
    if (!image) return -1;
    if (flash_read(params_area, 0, image.get(), param_image_size) < 0) return -1;
    if (length > 0) memcpy(buffer, image.get() + at, static_cast<size_t>(length));
    return 0;
}

int image_writer(const param_record &record, int32_t offset, const void *buffer, int32_t length) {
    uint32_t at = 0;
    if (!image_range(record, offset, length, at)) return -1;
    return image_patch(at, buffer, static_cast<uint32_t>(length));
}

int image_patch(uint32_t image_offset, const void *data, uint32_t length) {
    if (image_offset > param_image_size || length > param_image_size - image_offset) return -1;
    if (data == nullptr && length > 0) return -1;
    byte_buffer image = make_buffer(param_image_size);
    if (!image) return -1;
    // Only a whole image that was read completely is ever written back.
    if (flash_read(params_area, 0, image.get(), param_image_size) < 0) return -1;
    if (length > 0) memcpy(image.get() + image_offset, data, length);
    return flash_write(params_area, 0, image.get(), param_image_size);
}

int not_writable(const param_record &, int32_t, const void *, int32_t) {
    return -1;
}

int record_size(const param_record &record) {
    return record.size > 0 ? record.size : flash_size_max(record.name);
}

int param_store_read(const char *name, int32_t offset, void *buffer, int32_t length) {
    const param_record *record = param_find(name);
    if (record == nullptr || !param_range_ok(*record, offset, length)) return -1;
    if (buffer == nullptr && length > 0) return -1;
    store_lock_hold hold;
    return record->read(*record, offset, buffer, length);
}

int param_store_write(const char *name, int32_t offset, const void *buffer, int32_t length) {
    const param_record *record = param_find(name);
    if (record == nullptr || !param_range_ok(*record, offset, length)) return -1;
    if (buffer == nullptr && length > 0) return -1;
    store_lock_hold hold;
    if (!hold.held()) return -1;
    return record->write(*record, offset, buffer, length);
}

int param_store_size_max(const char *name) {
    const param_record *record = param_find(name);
    return record != nullptr ? record->size_max(*record) : -1;
}

int param_update(const char *name, int (*edit)(unsigned char *, int32_t, void *), void *context) {
    const param_record *record = param_find(name);
    if (record == nullptr || edit == nullptr) return -1;
    int size = record->size_max(*record);
    if (size <= 0) return -1;
    byte_buffer bytes = make_buffer(static_cast<size_t>(size));
    if (!bytes) return -1;
    store_lock_hold hold;
    if (!hold.held()) return -1;
    int r = record->read(*record, 0, bytes.get(), size);
    if (r < 0) return r;
    r = edit(bytes.get(), size, context);
    if (r != 0) return r;
    return record->write(*record, 0, bytes.get(), size);
}

int param_image_patch(uint32_t offset, const void *data, uint32_t length) {
    store_lock_hold hold;
    if (!hold.held()) return -1;
    return image_patch(offset, data, length);
}

bool param_area(const char *area) {
    const char *name = raw_area_name(area);
    if (name == nullptr) return false;
    const std::string_view given(name);
    return given == params_area || given == prod_area || given == logo_area;
}

int param_area_write(const char *area, int32_t offset, const void *buffer, int32_t length,
                     storage_progress progress, void *context) {
    if (!param_area(area))
        return flash_write_with_progress(area, offset, buffer, length, progress, context);
    store_lock_hold hold;
    if (!hold.held()) return -1;
    return flash_write_with_progress(area, offset, buffer, length, progress, context);
}

int boot_selection_read() {
    unsigned char record[8];
    if (param_read(param_boot, 0, record, sizeof record) < 0) return -1;
    if (load_le32(record) != boot_selection_magic) return -1;
    return static_cast<int>(load_le32(record + 4));
}

int boot_selection_write(int index) {
    if (index < 0 || index >= boot_selection_entries) return -1;
    unsigned char record[8];
    int r = param_read(param_boot, 0, record, sizeof record);
    if (r < 0) return r;
    store_le32(record, boot_selection_magic);
    store_le32(record + 4, static_cast<uint32_t>(index));
    r = param_write(param_boot, 0, record, sizeof record);
    return r < 0 ? r : 0;
}
