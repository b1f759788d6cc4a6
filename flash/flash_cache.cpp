// Making and dissolving the flash cache.
#include "flash/flash.h"

#include "core/durable.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "flash/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char cache_new_path[] = "/mnt/fcache/flash_cache.new";

bool exists(const char *path) {
    return access(path, F_OK) == 0;
}

// Writes all n bytes to a new file at path (created or truncated).
bool write_new_file(const char *path, const void *data, size_t n) {
    unique_fd fd(open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd.valid()) return false;
    if (full_write(fd.get(), data, n) != static_cast<ssize_t>(n)) return false;
    return flush_and_close(fd.release()) == 0;
}

// Reads the whole flash image from path; false unless it is complete.
bool read_image(const char *path, unsigned char *image) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    return full_read(fd.get(), image, flash_size) == static_cast<ssize_t>(flash_size);
}

// The cache files are set aside while they are written back: FLASH_Init then
// addresses the device. They come back when the write-back fails.
bool set_aside() {
    if (rename(flash_cache_path, flash_cache_pending_path) != 0) return false;
    if (rename(flash_infos_cache_path, flash_infos_pending_path) != 0 && errno != ENOENT) {
        rename(flash_cache_pending_path, flash_cache_path);
        return false;
    }
    return true;
}

void put_back() {
    rename(flash_infos_pending_path, flash_infos_cache_path);
    rename(flash_cache_pending_path, flash_cache_path);
}

// Writes every sector from flash_writeback_first_sector on whose device bytes
// differ from the image: erase, then write.
bool write_back(const unsigned char *image, unsigned char *sector_bytes) {
    for (uint32_t index = flash_writeback_first_sector; index < flash_sector_count; ++index) {
        flash_sector s;
        if (!flash_cache_sector(index, &s)) return false;
        flash_transfer read = {s.start, s.size, sector_bytes};
        if (FLASH_Read(&read) != 0) return false;
        if (memcmp(sector_bytes, image + s.start, s.size) == 0) continue;
        flash_transfer write = {s.start, s.size, const_cast<unsigned char *>(image + s.start)};
        if (FLASH_Erase(s.start, s.size) != 0 || FLASH_Write(&write) != 0) return false;
    }
    return true;
}

} // namespace

int FLASH_ActivateCache() {
    if (exists(flash_cache_path)) {
        flash_trace("FLASH_ActivateCache - Cache file already present, it will be destroyed\n");
        unlink(flash_cache_path);
        unlink(flash_infos_cache_path);
    }
    byte_buffer image = make_buffer(flash_size);
    if (!image) return -1;
    {
        flash_session flash;
        if (!flash.open()) return -1;
        unsigned char infos[flash_infos_size] = {};
        if (FLASH_GetInfos(infos) != 0) return -1;
        if (!write_new_file(flash_infos_cache_path, infos, sizeof infos)) {
            unlink(flash_infos_cache_path);
            return -1;
        }
        flash_transfer all = {0, flash_size, image.get()};
        if (FLASH_Read(&all) != 0 || flash.close() != 0) {
            unlink(flash_infos_cache_path);
            return -1;
        }
    }
    // The image appears under its name only once it is complete: a partial
    // file would be taken for the flash.
    if (!write_new_file(cache_new_path, image.get(), flash_size) ||
        rename(cache_new_path, flash_cache_path) != 0) {
        unlink(cache_new_path);
        unlink(flash_infos_cache_path);
        return -1;
    }
    // Flash writes go to the cache from now on: its name must survive a
    // power loss, or they would be lost with it.
    if (flush_parent(flash_cache_path) != 0) {
        unlink(flash_cache_path);
        unlink(flash_infos_cache_path);
        return -1;
    }
    flash_trace("Flash cache enabled\r\n");
    return 0;
}

int FLASH_DeactivateCache() {
    if (exists(flash_cache_path)) {
        if (!set_aside()) return -1;
    } else if (exists(flash_cache_pending_path)) {
        flash_trace("FLASH_DeactivateCache - resuming an interrupted write-back\n");
    } else {
        flash_trace("FLASH_DeactivateCache - No Flash cache found\n");
        return -1;
    }
    byte_buffer image = make_buffer(flash_size);
    byte_buffer sector_bytes = make_buffer(flash_big_sector);
    bool done = image && sector_bytes && read_image(flash_cache_pending_path, image.get());
    if (done) {
        flash_session flash;
        done = flash.open() && write_back(image.get(), sector_bytes.get());
    }
    if (!done) {
        put_back();
        return -1;
    }
    unlink(flash_cache_pending_path);
    unlink(flash_infos_pending_path);
    flash_trace("Flash cache disabled\r\n");
    return 0;
}
