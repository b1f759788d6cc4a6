// Disk layout and formatting: the steps that rebuild the FAT32 data partition
// in front of the system partition of the mass-storage disk. Every message
// goes through the host print operation, prefixed with the step's name.
#pragma once

#include <cstdint>

// The files the steps work on. The device's are disk_files; callers that
// work on another tree pass their own set.
struct disk_paths {
    const char *disk;            // the whole disk
    const char *media_partition; // partition 1, the data partition
    const char *system_start;    // start sector of partition 2
    const char *media_volume;    // where the data partition is mounted
    const char *staged_update;   // the update file kept during a format
};

inline constexpr disk_paths disk_files{"/dev/sda", "/dev/sda1", "/sys/block/sda/sda2/start",
                                       "/mnt/data/", "/mnt/system/temporary.oza"};

// The directories made on a freshly formatted data volume, in order.
inline constexpr const char *media_directories[] = {"System", "Video", "Music", "Pictures",
                                                    "Info",   "Data",  "PDF"};

// One partition-table entry; integers are little-endian byte arrays.
struct partition_entry {
    uint8_t status;
    uint8_t start_head;
    uint8_t start_sector;   // and the high bits of the start cylinder
    uint8_t start_cylinder; // low bits
    uint8_t type;
    uint8_t end_head;
    uint8_t end_sector; // and the high bits of the end cylinder
    uint8_t end_cylinder;
    uint8_t first_sector[4];
    uint8_t sector_count[4];
};

// Sector 0 of the disk.
struct master_boot_record {
    uint8_t boot_code[446];
    partition_entry partitions[4];
    uint8_t signature[2];
};

static_assert(sizeof(partition_entry) == 16);
static_assert(sizeof(master_boot_record) == 512);

// Fills mbr with a table whose only entry is a FAT32 (LBA) partition 1 from
// sector sectors_per_track + geometry_start up to system_start. Returns 0,
// or -1 (mbr untouched) when that leaves partition 1 no sector or a value
// does not fit the table's 32-bit fields.
int build_master_boot_record(unsigned sectors_per_track, uint64_t geometry_start,
                             uint64_t system_start, master_boot_record &mbr);

// Reads the start sector of partition 2. 0, or -1 with a message.
int system_fs_start_sector(uint64_t *start, const disk_paths &paths = disk_files);

// Writes the master boot record for the disk's geometry and partition 2's
// start, flushes the file systems and has the kernel re-read the table.
// 0, or -1 with a message; nothing is written when geometry or start is
// unknown.
int write_partition_table(const disk_paths &paths = disk_files);

// Formats the data partition as FAT32 labelled with the board's media
// partition label; the shell's status for the command (-1 when it cannot be
// built).
int format_media_partition(const disk_paths &paths = disk_files);

// Creates the media directories on the data volume (existing ones are fine)
// and keeps the current directory. 0 or -1.
int create_root_fs_directories(const disk_paths &paths = disk_files);

// Removes the staged update file; a missing file is fine. Always 0.
int cleanup_system_fs(const disk_paths &paths = disk_files);
