// The default table opens the raw area for each call and flushes and closes it after a write.
// The selected table is swapped atomically; every call passes the translated name, and area
// names that could leave the raw-area folder are refused before any table sees them.
#include "flash/storage.h"

#include "core/durable.h"
#include "core/unique.h"
#include "flash/params.h"
#include "flash/rawmmc.h"

#include <atomic>
#include <fcntl.h>

namespace {

int default_read_with_progress(const char *area, int32_t offset, void *buffer, int32_t length,
                               storage_progress progress, void *context) {
    unique_fd fd(mmc_open(area, O_RDONLY));
    if (!fd.valid()) return -1;
    int r = mmc_read_buffer(fd.get(), buffer, offset, length);
    if (r < 0) return r;
    if (progress != nullptr) progress(100, context);
    return 0;
}

int default_write_with_progress(const char *area, int32_t offset, const void *buffer,
                                int32_t length, storage_progress progress, void *context) {
    unique_fd fd(mmc_open(area, O_RDWR));
    if (!fd.valid()) return -1;
    if (progress != nullptr) progress(0, context);
    if (length > 0) {
        int r = mmc_write_buffer(fd.get(), buffer, offset, length);
        if (r < 0) return r;
    }
    // The area is written once the storage has confirmed the bytes: a
    // failing flush or close can mean they did not reach it.
    if (flush_and_close(fd.release()) != 0) return -1;
    if (progress != nullptr) progress(100, context);
    return 0;
}

int default_read(const char *area, int32_t offset, void *buffer, int32_t length) {
    return default_read_with_progress(area, offset, buffer, length, nullptr, nullptr);
}

int default_write(const char *area, int32_t offset, const void *buffer, int32_t length) {
    return default_write_with_progress(area, offset, buffer, length, nullptr, nullptr);
}

int default_size_max(const char *area) {
    unique_fd fd(mmc_open(area, O_RDONLY));
    if (!fd.valid()) return -1;
    return mmc_size(fd.get());
}

int default_partition_erase(const char *area, int) {
    byte_buffer block = make_zeroed_buffer(partition_erase_block);
    if (!block) return -1;
    return param_area_write(area, 0, block.get(), partition_erase_block, nullptr, nullptr);
}

constexpr storage_operations default_operations = {
    default_read,
    default_write,
    default_read_with_progress,
    default_write_with_progress,
    default_size_max,
    default_partition_erase,
    param_store_read,
    param_store_write,
    param_store_size_max,
    param_store_read,
    param_store_write,
    param_store_size_max,
};

std::atomic<const storage_operations *> selected{nullptr};

const storage_operations &table() {
    const storage_operations *t = selected.load();
    return t != nullptr ? *t : default_operations;
}

// Calls one slot of the selected table with the translated name; -1 when the
// slot is empty.
template <auto slot, typename... Args>
int call(const char *name, Args... args) {
    auto operation = table().*slot;
    return operation != nullptr ? operation(raw_area_name(name), args...) : -1;
}

// The same for the area slots, which every table turns into a path: a name
// that could leave the raw-area folder is an unknown area (-1).
template <auto slot, typename... Args>
int call_area(const char *name, Args... args) {
    return raw_area_name_valid(name) ? call<slot>(name, args...) : -1;
}

} // namespace

const storage_operations &storage_default_operations() {
    return default_operations;
}

const storage_operations *storage_select(const storage_operations *t) {
    const storage_operations *before = selected.exchange(t);
    return before != nullptr ? before : &default_operations;
}

int flash_read(const char *area, int32_t offset, void *buffer, int32_t length) {
    return call_area<&storage_operations::flash_read>(area, offset, buffer, length);
}

int flash_write(const char *area, int32_t offset, const void *buffer, int32_t length) {
    return call_area<&storage_operations::flash_write>(area, offset, buffer, length);
}

int flash_read_with_progress(const char *area, int32_t offset, void *buffer, int32_t length,
                             storage_progress progress, void *context) {
    return call_area<&storage_operations::flash_read_with_progress>(area, offset, buffer, length,
                                                                    progress, context);
}

int flash_write_with_progress(const char *area, int32_t offset, const void *buffer, int32_t length,
                              storage_progress progress, void *context) {
    return call_area<&storage_operations::flash_write_with_progress>(area, offset, buffer, length,
                                                                     progress, context);
}

int flash_size_max(const char *area) {
    return call_area<&storage_operations::flash_size_max>(area);
}

int flash_partition_erase(const char *area, int flags) {
    return call_area<&storage_operations::flash_partition_erase>(area, flags);
}

int param_read(const char *record, int32_t offset, void *buffer, int32_t length) {
    return call<&storage_operations::param_read>(record, offset, buffer, length);
}

int param_write(const char *record, int32_t offset, const void *buffer, int32_t length) {
    return call<&storage_operations::param_write>(record, offset, buffer, length);
}

int param_size_max(const char *record) {
    return call<&storage_operations::param_size_max>(record);
}

int keystore_read(const char *record, int32_t offset, void *buffer, int32_t length) {
    return call<&storage_operations::keystore_read>(record, offset, buffer, length);
}

int keystore_write(const char *record, int32_t offset, const void *buffer, int32_t length) {
    return call<&storage_operations::keystore_write>(record, offset, buffer, length);
}

int keystore_size_max(const char *record) {
    return call<&storage_operations::keystore_size_max>(record);
}
