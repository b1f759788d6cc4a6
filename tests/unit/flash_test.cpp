// The flash cache's geometry (63 sectors of 64 KiB and 8 of 8 KiB tiling 4 MiB), and the flash
// layer refusing every operation before FLASH_Init.
#include "flash/flash.h"

#include <gtest/gtest.h>

namespace {

TEST(FlashCacheGeometry, SectorOfAnAddress) {
    const struct {
        uint32_t address, index, start, size;
    } cases[] = {
        {0, 0, 0, 65536},
        {65535, 0, 0, 65536},
        {65536, 1, 65536, 65536},
        {524287, 7, 458752, 65536},
        {4128767, 62, 4063232, 65536},
        {4128768, 63, 4128768, 8192},
        {4136959, 63, 4128768, 8192},
        {4136960, 64, 4136960, 8192},
        {4186112, 70, 4186112, 8192},
        {4194303, 70, 4186112, 8192},
    };
    for (const auto &c : cases) {
        flash_sector s = {};
        ASSERT_EQ(FLASH_GetSectorInfosCache(c.address, &s), 0) << c.address;
        EXPECT_EQ(s.index, c.index) << c.address;
        EXPECT_EQ(s.start, c.start) << c.address;
        EXPECT_EQ(s.size, c.size) << c.address;
    }
    flash_sector s = {};
    EXPECT_EQ(FLASH_GetSectorInfosCache(flash_size, &s), -1);
    EXPECT_EQ(FLASH_GetSectorInfosCache(0, nullptr), -1);
    uint32_t largest = 0;
    EXPECT_EQ(FLASH_GetMaxSectorSizeCache(&largest), 0);
    EXPECT_EQ(largest, 65536u);
}

// The 71 sectors follow each other without gap or overlap up to 4 MiB, and
// each sector's addresses map back to it.
TEST(FlashCacheGeometry, SectorsTileTheFlash) {
    uint32_t next = 0;
    for (uint32_t index = 0; index < flash_sector_count; ++index) {
        flash_sector s = {};
        ASSERT_TRUE(flash_cache_sector(index, &s)) << index;
        EXPECT_EQ(s.index, index);
        EXPECT_EQ(s.start, next) << index;
        for (uint32_t a : {s.start, s.start + s.size - 1}) {
            flash_sector back = flash_cache_sector_at(a);
            EXPECT_EQ(back.index, index) << a;
        }
        next = s.start + s.size;
    }
    EXPECT_EQ(next, flash_size);
    flash_sector s = {};
    EXPECT_FALSE(flash_cache_sector(flash_sector_count, &s));
}

// Without FLASH_Init nothing is open and nothing is held.
TEST(FlashLayer, OperationsNeedTheFlash) {
    unsigned char infos[flash_infos_size] = {};
    unsigned char byte = 0;
    flash_transfer t = {0, 1, &byte};
    flash_sector s = {};
    uint32_t size = 0;
    EXPECT_EQ(FLASH_Exit(), -1);
    EXPECT_EQ(FLASH_GetInfos(infos), -1);
    EXPECT_EQ(FLASH_GetSectorInfos(0, &s), -1);
    EXPECT_EQ(FLASH_GetMaxSectorSize(&size), -1);
    EXPECT_EQ(FLASH_Read(&t), -1);
    EXPECT_EQ(FLASH_Write(&t), -1);
    EXPECT_EQ(FLASH_EraseSector(8), -1);
    EXPECT_EQ(FLASH_Erase(0, 1), -1);
    EXPECT_EQ(FLASH_ReadCache(&t), -1);
    EXPECT_EQ(FLASH_EraseCache(0, 1), -1);
    EXPECT_EQ(FLASH_GetInfosCache(infos), -1);
}

} // namespace
