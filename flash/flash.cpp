// Driver requests are ioctls on little-endian buffers that start with their own length. In
// cache mode every call works on the image file instead, erasing as writing 0xFF. The holding
// thread is kept: FLASH_Init again from it, or FLASH_Exit and FLASH_Flush from another, fail.
#include "flash/flash.h"

#include "core/byteorder.h"
#include "core/durable.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "flash/module.h"
#include "flash/trace.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// The layer's state, one per process.
struct flash_state {
    int device = -1; // /dev/flashrw
    int cache = -1;  // /mnt/fcache/flash_cache
    int module = -1; // 1 when this layer loaded the module
    bool cache_mode = false;
};

flash_state state;
std::mutex flash_mutex;
std::atomic<pid_t> holder{0}; // thread that holds the flash, 0 for none

// Request buffers: the first byte holds the buffer's length, fields follow
// from offset 4 (the information block from offset 2).
enum flash_request : unsigned long {
    request_infos = 1,
    request_sector = 2,
    request_max_sector = 3,
    request_write = 4,
    request_read = 5,
    request_erase_sector = 6,
    request_erase = 7,
};
constexpr unsigned char infos_request_length = 30;
constexpr unsigned char sector_request_length = 20;
constexpr unsigned char word_request_length = 8;
constexpr unsigned char erase_request_length = 16;
// Address, length and the caller's buffer pointer at 12: 16 bytes on the
// 32-bit tablet, 20 on a 64-bit host.
constexpr unsigned char transfer_request_length = 12 + sizeof(void *);

struct request_buffer {
    unsigned char bytes[32] = {};
    explicit request_buffer(unsigned char length) { bytes[0] = length; }
    void put(size_t at, uint32_t value) { store_le32(bytes + at, value); }
    uint32_t get(size_t at) const { return load_le32(bytes + at); }
};

// Sends the request; changes: the request writes or erases the flash, so
// the driver's refusal (errno 300) gives -2.
int device_request(flash_request request, request_buffer &b, bool changes) {
    if (state.device < 0) return flash_failed;
    if (ioctl(state.device, request, b.bytes) >= 0) return flash_ok;
    return changes && errno == flash_refused_errno ? flash_refused : flash_failed;
}

int transfer_request(flash_request request, const flash_transfer *t) {
    if (t == nullptr || (t->buffer == nullptr && t->length > 0)) return -1;
    request_buffer b(transfer_request_length);
    b.put(4, t->address);
    b.put(8, t->length);
    memcpy(b.bytes + 12, &t->buffer, sizeof t->buffer);
    return device_request(request, b, request == request_write);
}

bool in_flash(uint32_t address, uint32_t length) {
    return address <= flash_size && length <= flash_size - address;
}

bool cache_io(bool write, uint32_t address, uint32_t length, void *buffer) {
    const ssize_t n = write ? full_pwrite(state.cache, buffer, length, address)
                            : full_pread(state.cache, buffer, length, address);
    return n == static_cast<ssize_t>(length);
}

int cache_transfer(bool write, const flash_transfer *t) {
    if (state.cache < 0 || t == nullptr || (t->buffer == nullptr && t->length > 0)) return -1;
    if (!in_flash(t->address, t->length)) return -1;
    return cache_io(write, t->address, t->length, t->buffer) ? 0 : -1;
}

pid_t this_thread() {
    return gettid();
}

} // namespace

int FLASH_Init() {
    if (holder.load() == this_thread()) return -1; // the mutex is not recursive
    flash_mutex.lock();
    flash_trace("Flash is hold by thread %u\r\n", static_cast<unsigned>(this_thread()));
    auto fail = [] {
        flash_mutex.unlock();
        return -1;
    };
    if (access(flash_cache_path, F_OK) == 0) {
        state.cache_mode = true;
        if (state.cache < 0) state.cache = open(flash_cache_path, O_RDWR | O_CLOEXEC);
        if (state.cache < 0) {
            state.cache_mode = false;
            return fail();
        }
    } else {
        state.cache_mode = false;
        if (state.module == -1) {
            if (insmod(flash_module_path, "") != 0 && errno != EEXIST) return fail();
            state.module = 1;
        }
        if (state.device < 0) state.device = open(flash_device, O_RDWR | O_CLOEXEC);
        if (state.device < 0) return fail();
    }
    holder.store(this_thread());
    return 0;
}

int FLASH_Exit() {
    if (holder.load() != this_thread()) return -1;
    int result = 0;
    if (state.cache_mode) {
        // What was written to the cache counts once the storage confirmed it.
        if (flush_and_close(state.cache) != 0) result = -1;
        state.cache = -1;
        state.cache_mode = false;
    } else {
        if (state.device >= 0 && close(state.device) != 0) result = -1;
        state.device = -1;
        if (result == 0 && state.module == 1) {
            if (rmmod(flash_module_name, O_NONBLOCK) == 0)
                state.module = -1;
            else
                result = -1;
        }
    }
    if (result == 0)
        flash_trace("Flash is released by thread %u\r\n", static_cast<unsigned>(this_thread()));
    holder.store(0);
    flash_mutex.unlock();
    return result;
}

int FLASH_Flush() {
    if (holder.load() != this_thread()) return -1;
    return state.cache_mode ? flush_written(state.cache) : 0;
}

int FLASH_GetInfos(unsigned char *infos) {
    if (infos == nullptr) return -1;
    if (state.cache_mode) return FLASH_GetInfosCache(infos);
    request_buffer b(infos_request_length);
    memcpy(b.bytes + 2, infos, flash_infos_size);
    if (device_request(request_infos, b, false) != 0) return -1;
    memcpy(infos, b.bytes + 2, flash_infos_size);
    return 0;
}

int FLASH_GetSectorInfos(uint32_t address, flash_sector *sector) {
    if (sector == nullptr) return -1;
    if (state.cache_mode) return FLASH_GetSectorInfosCache(address, sector);
    request_buffer b(sector_request_length);
    b.put(4, address);
    if (device_request(request_sector, b, false) != 0) return -1;
    *sector = {b.get(8), b.get(12), b.get(16)};
    return 0;
}

int FLASH_GetMaxSectorSize(uint32_t *size) {
    if (size == nullptr) return -1;
    if (state.cache_mode) return FLASH_GetMaxSectorSizeCache(size);
    request_buffer b(word_request_length);
    if (device_request(request_max_sector, b, false) != 0) return -1;
    *size = b.get(4);
    return 0;
}

int FLASH_Write(const flash_transfer *transfer) {
    if (state.cache_mode) return FLASH_WriteCache(transfer);
    return transfer_request(request_write, transfer);
}

int FLASH_Read(const flash_transfer *transfer) {
    if (state.cache_mode) return FLASH_ReadCache(transfer);
    return transfer_request(request_read, transfer);
}

int FLASH_EraseSector(uint32_t index) {
    if (state.cache_mode) return FLASH_EraseSectorCache(index);
    request_buffer b(word_request_length);
    b.put(4, index);
    return device_request(request_erase_sector, b, true);
}

int FLASH_Erase(uint32_t address, uint32_t length) {
    if (state.cache_mode) return FLASH_EraseCache(address, length);
    request_buffer b(erase_request_length);
    b.put(4, address);
    b.put(8, length);
    return device_request(request_erase, b, true);
}

int FLASH_GetInfosCache(unsigned char *infos) {
    if (state.cache < 0 || infos == nullptr) return -1;
    unique_fd fd(open(flash_infos_cache_path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return -1;
    return full_read(fd.get(), infos, flash_infos_size) == flash_infos_size ? 0 : -1;
}

flash_sector flash_cache_sector_at(uint32_t address) {
    if (address >= flash_small_start)
        return {(address - flash_small_start) / flash_small_sector + flash_big_sector_count,
                address / flash_small_sector * flash_small_sector, flash_small_sector};
    return {address / flash_big_sector, address / flash_big_sector * flash_big_sector,
            flash_big_sector};
}

bool flash_cache_sector(uint32_t index, flash_sector *sector) {
    if (index >= flash_sector_count || sector == nullptr) return false;
    // Small sector i starts flash_small_start + (i - 63) * 8 KiB in.
    constexpr uint32_t small_offset =
        flash_small_start / flash_small_sector - flash_big_sector_count;
    *sector =
        index < flash_big_sector_count
            ? flash_sector{index, index * flash_big_sector, flash_big_sector}
            : flash_sector{index, (index + small_offset) * flash_small_sector, flash_small_sector};
    return true;
}

int FLASH_GetSectorInfosCache(uint32_t address, flash_sector *sector) {
    if (sector == nullptr || address >= flash_size) return -1;
    *sector = flash_cache_sector_at(address);
    return 0;
}

int FLASH_GetMaxSectorSizeCache(uint32_t *size) {
    if (size == nullptr) return -1;
    *size = flash_big_sector;
    return 0;
}

int FLASH_WriteCache(const flash_transfer *transfer) {
    return cache_transfer(true, transfer);
}

int FLASH_ReadCache(const flash_transfer *transfer) {
    return cache_transfer(false, transfer);
}

int FLASH_EraseSectorCache(uint32_t index) {
    flash_sector s;
    if (!flash_cache_sector(index, &s)) return -1;
    return FLASH_EraseCache(s.start, s.size);
}

int FLASH_EraseCache(uint32_t address, uint32_t length) {
    if (state.cache < 0 || !in_flash(address, length)) return -1;
    static const auto erased = [] {
        std::array<unsigned char, flash_big_sector> bytes;
        bytes.fill(0xFF);
        return bytes;
    }();
    for (uint32_t done = 0; done < length;) {
        uint32_t piece = std::min<uint32_t>(length - done, erased.size());
        if (!cache_io(true, address + done, piece, const_cast<unsigned char *>(erased.data())))
            return -1;
        done += piece;
    }
    return 0;
}
