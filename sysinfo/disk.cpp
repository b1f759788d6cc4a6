// One FAT32 (LBA) partition from the track after the geometry's start up to the system
// partition, written as a new MBR that the kernel then re-reads; mkdosfs through the shell with
// the board's label; the media directories made inside the media volume.
#include "sysinfo/disk.h"

#include "core/durable.h"
#include "core/hostops.h"
#include "core/shell_word.h"
#include "core/unique.h"
#include "sysinfo/board.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint8_t fat32_lba = 0x0C;

void put_le32(uint8_t (&out)[4], uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

constexpr const char write_table_step[] = "write_partition_table";
constexpr const char directories_step[] = "create_root_fs_directories";

// Creates one media directory in the current directory; an existing
// directory of that name is fine.
int make_media_directory(const char *name) {
    host().print("%s: mkdir %s\n", directories_step, name);
    if (mkdir(name, 0777) == 0) return 0;
    if (errno == EEXIST) {
        struct stat st;
        if (stat(name, &st) == 0 && S_ISDIR(st.st_mode)) return 0;
        errno = EEXIST;
    }
    perror("mkdir");
    return -1;
}

} // namespace

int build_master_boot_record(unsigned sectors_per_track, uint64_t geometry_start,
                             uint64_t system_start, master_boot_record &mbr) {
    uint64_t first = sectors_per_track + geometry_start;
    if (first > UINT32_MAX || system_start > UINT32_MAX || system_start <= first) return -1;

    memset(&mbr, 0, sizeof mbr);
    partition_entry &p = mbr.partitions[0];
    p.status = 0x00;
    p.start_head = 1;
    p.start_sector = 1;
    p.start_cylinder = 0;
    p.type = fat32_lba;
    p.end_head = 0xFE;
    p.end_sector = 0xFF;
    p.end_cylinder = 0xFF;
    put_le32(p.first_sector, static_cast<uint32_t>(first));
    put_le32(p.sector_count, static_cast<uint32_t>(system_start - first));
    mbr.signature[0] = 0x55;
    mbr.signature[1] = 0xAA;
    return 0;
}

int system_fs_start_sector(uint64_t *start, const disk_paths &paths) {
    static constexpr const char step[] = "system_fs_start_sector";
    unique_fd fd(open(paths.system_start, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        host().print("%s: Could not open %s\n", step, paths.system_start);
        return -1;
    }
    char text[12] = {};
    if (read(fd.get(), text, 11) < 0) {
        host().print("%s: Could not read %s\n", step, paths.system_start);
        return -1;
    }
    *start = strtoull(text, nullptr, 10);
    return 0;
}

int write_partition_table(const disk_paths &paths) {
    unique_fd disk(open(paths.disk, O_RDWR | O_CLOEXEC));
    if (!disk.valid()) {
        host().print("%s: Could not open %s\n", write_table_step, paths.disk);
        return -1;
    }
    hd_geometry geometry{};
    if (ioctl(disk.get(), HDIO_GETGEO, &geometry) != 0) {
        host().print("%s: Could not get disk geometry\n", write_table_step);
        return -1;
    }
    uint64_t system_start = 0;
    if (system_fs_start_sector(&system_start, paths) != 0) return -1;

    master_boot_record mbr;
    if (build_master_boot_record(geometry.sectors, geometry.start, system_start, mbr) != 0) {
        host().print("%s: No room for partition 1 in front of sector %llu on %s\n",
                     write_table_step, static_cast<unsigned long long>(system_start), paths.disk);
        return -1;
    }

    host().print("%s: About to write partition table on %s\n", write_table_step, paths.disk);
    if (pwrite(disk.get(), &mbr, sizeof mbr, 0) != static_cast<ssize_t>(sizeof mbr) ||
        flush_written(disk.get()) != 0) {
        host().print("%s: Could not write partition table on %s\n", write_table_step, paths.disk);
        return -1;
    }
    host().print("%s: Sync'ing %s\n", write_table_step, paths.disk);
    sync();
    if (ioctl(disk.get(), BLKRRPART, 0) != 0) {
        host().print("%s: Could not re-read partition table on %s (disk might be in use: umount "
                     "its partitions first)\n",
                     write_table_step, paths.disk);
        return -1;
    }
    return 0;
}

int format_media_partition(const disk_paths &paths) {
    char command[256];
    command_line line{command, sizeof command};
    if (!command_start(line, "/sbin/mkdosfs -F 32 -n ") ||
        !command_append_word(line, board_media_partitionlabel(), shell_quoting::when_needed) ||
        !command_append(line, " ") ||
        !command_append_word(line, paths.media_partition, shell_quoting::when_needed))
        return -1;
    return host().system(command);
}

int create_root_fs_directories(const disk_paths &paths) {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        host().print("%s: Could not get cwd\n", directories_step);
        return -1;
    }
    if (chdir(paths.media_volume) != 0) {
        host().print("%s: Could not chdir to %s\n", directories_step, paths.media_volume);
        return -1;
    }
    int result = 0;
    for (const char *name : media_directories) {
        if (make_media_directory(name) != 0) {
            result = -1;
            break;
        }
    }
    if (chdir(cwd) != 0) host().print("%s: Could not chdir back to %s\n", directories_step, cwd);
    return result;
}

int cleanup_system_fs(const disk_paths &paths) {
    host().print("%s\n", "cleanup_system_fs");
    unlink(paths.staged_update);
    return 0;
}
