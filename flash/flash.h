// The sector flash: the driver of module /lib/modules/flashrw.ko behind the
// character device /dev/flashrw, or, while /mnt/fcache/flash_cache exists, a
// file image of the whole flash standing in for it. One process-wide mutex
// is held from a successful FLASH_Init to the matching FLASH_Exit: callers
// bracket every use with them. Results: 0 on success, -1 on failure, -2 when
// the driver refuses to change the flash (errno 300).
#pragma once

#include <cstdint>

inline constexpr uint32_t flash_size = 4194304;
inline constexpr uint32_t flash_sector_count = 71;
inline constexpr uint32_t flash_big_sector = 65536, flash_small_sector = 8192;
// Sectors 0 to 62 are 64 KiB; sectors 63 to 70 are 8 KiB from here on.
inline constexpr uint32_t flash_big_sector_count = 63;
inline constexpr uint32_t flash_small_start = flash_big_sector_count * flash_big_sector;
// Sectors below this one (the first 512 KiB) are never written back from the cache.
inline constexpr uint32_t flash_writeback_first_sector = 8;
inline constexpr unsigned flash_infos_size = 28;
inline constexpr int flash_refused_errno = 300;

inline constexpr const char flash_device[] = "/dev/flashrw";
inline constexpr const char flash_module_path[] = "/lib/modules/flashrw.ko";
inline constexpr const char flash_module_name[] = "flashrw";
inline constexpr const char flash_cache_path[] = "/mnt/fcache/flash_cache";
inline constexpr const char flash_infos_cache_path[] = "/mnt/fcache/flash_infos_cache";
// Where FLASH_DeactivateCache keeps the cache files while it writes them back.
inline constexpr const char flash_cache_pending_path[] = "/mnt/fcache/flash_cache.writeback";
inline constexpr const char flash_infos_pending_path[] = "/mnt/fcache/flash_infos_cache.writeback";

// The layer's results, as the functions below return them.
enum flash_result : int {
    flash_ok = 0,
    flash_failed = -1,
    flash_refused = -2, // the driver refused to change the flash (errno 300)
};

// A read or write: length bytes at flash address, from or to buffer.
struct flash_transfer {
    uint32_t address;
    uint32_t length;
    void *buffer;
};

struct flash_sector {
    uint32_t index, start, size;
};

// Takes the mutex and opens the cache file when it exists, else loads the
// module when this process has not (an already loaded module counts as
// loaded) and opens the device. 0 with the mutex held; -1 with nothing held
// or open (also when this thread holds the flash already).
int FLASH_Init();
// Closes what FLASH_Init opened (the cache file's data flushed first),
// removes the module if this layer loaded it, releases the mutex (also on
// failure). 0 or -1: -1 when the flush, a close or the removal failed, or
// when the calling thread does not hold the flash.
int FLASH_Exit();
// Holds the flash layer from a successful open (FLASH_Init) to close or the
// end of the scope (FLASH_Exit), so that no path out of a user leaves the
// mutex taken.
class flash_session {
public:
    flash_session() = default;
    flash_session(const flash_session &) = delete;
    flash_session &operator=(const flash_session &) = delete;
    ~flash_session() { close(); }
    // True when the layer is held (also when this session held it already).
    bool open() {
        if (!held_) held_ = FLASH_Init() == 0;
        return held_;
    }
    bool held() const { return held_; }
    // FLASH_Exit's result, 0 when nothing was held.
    int close() {
        if (!held_) return 0;
        held_ = false;
        return FLASH_Exit();
    }

private:
    bool held_ = false;
};

// Flushes what was written so far to the storage: in cache mode the cache
// file's data (fdatasync); the device writes each request through. 0 or -1.
int FLASH_Flush();

// Device requests 1 to 7, or their cache variants in cache mode.
int FLASH_GetInfos(unsigned char *infos); // flash_infos_size bytes, in and out
int FLASH_GetSectorInfos(uint32_t address, flash_sector *sector);
int FLASH_GetMaxSectorSize(uint32_t *size);
int FLASH_Write(const flash_transfer *transfer);
int FLASH_Read(const flash_transfer *transfer);
int FLASH_EraseSector(uint32_t index);
int FLASH_Erase(uint32_t address, uint32_t length);

// The cache variants, on the open cache file. Ranges outside the flash give -1.
// The information block saved when the cache was made.
int FLASH_GetInfosCache(unsigned char *infos);
// The sector holding address by the cache geometry.
int FLASH_GetSectorInfosCache(uint32_t address, flash_sector *sector);
int FLASH_GetMaxSectorSizeCache(uint32_t *size);
int FLASH_WriteCache(const flash_transfer *transfer);
int FLASH_ReadCache(const flash_transfer *transfer);
// Fills the sector (by the cache geometry) with 0xFF.
int FLASH_EraseSectorCache(uint32_t index);
// Fills the range with 0xFF, as erased flash reads.
int FLASH_EraseCache(uint32_t address, uint32_t length);

// The cache geometry: 63 sectors of 64 KiB, then 8 of 8 KiB.
// The sector holding address (addresses past the flash give the last sector's
// rule; callers check the range).
flash_sector flash_cache_sector_at(uint32_t address);
// Sector number index; false past the last sector.
bool flash_cache_sector(uint32_t index, flash_sector *sector);

// Makes the cache from the device: the information block, then the whole
// flash image (an existing cache is discarded first). The image appears
// whole or not at all. 0 or -1. The caller must not hold the flash.
int FLASH_ActivateCache();
// Writes back sectors 8 to 70 of the cache that differ from the device
// (erase, then write) and removes the cache files once everything is
// written. On failure the cache stays in place and the call can be run again;
// a write-back that was interrupted is resumed from the files it set aside.
// 0 or -1. The caller must not hold the flash.
int FLASH_DeactivateCache();
