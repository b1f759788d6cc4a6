// The chunks that act on files of the running system: COPY writes a file
// carried in the update, MOVE copies a file and removes the source, DLET
// removes a file or a tree, EXT2 changes a mode, MSGB shows a message.
#include "core/byteorder.h"
#include "core/durable.h"
#include "core/trace.h"
#include "core/unique.h"
#include "update/chunks.h"
#include "update/engine_state.h"
#include "update/fileio.h"
#include "update/mountpoint.h"
#include "update/results.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

constexpr size_t copy_piece = 16384;
constexpr uint64_t mebibyte = 1048576;

// A mount-point index and a relative path field, as the chunks carry them.
struct target {
    uint32_t index;
    const char *mount; // null for an unknown index
    char path[oza_path_size];
};

enum resolved { found, unknown, too_long };

// Resolves the index at field[0..3] and builds the path from the 256-byte
// field at field + 4. A path longer than the buffer can only come from a
// host's own mount points; it is treated as a file that cannot be opened.
resolved resolve(oza_engine &e, const unsigned char *field, target &t) {
    t.index = load_le32(field);
    t.path[0] = '\0';
    if (resolve_mountpoint(e, t.index, &t.mount) != 0) return unknown;
    const char *relative = reinterpret_cast<const char *>(field + 4);
    return oza_target_path(t.mount, relative, t.path, sizeof t.path) == 0 ? found : too_long;
}

bool same_file(int a, int b) {
    struct stat sa, sb;
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

void unknown_mount_point(const char *handler, const char *role, uint32_t index) {
    oza_debug("%s : unknown %s mount point (%d), skip subchunk.", handler, role,
              static_cast<int>(index));
}

// Removes the file or empty directory at path, or else the tree below it
// and then path itself. 0 or -1. Symbolic links are removed, never followed.
// path is a buffer of oza_path_size bytes shared by the whole descent (each
// level appends "/name" and cuts it off again), so a deep tree costs no more
// than a small frame per level.
int remove_tree(char *path) {
    if (remove(path) == 0) return 0;
    int fd = open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    unique_dir dir(fdopendir(fd));
    if (!dir) {
        close(fd);
        return -1;
    }
    const size_t length = strlen(path);
    while (const dirent *entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        const size_t name = strlen(entry->d_name);
        if (length + 1 + name >= oza_path_size) return -1;
        path[length] = '/';
        memcpy(path + length + 1, entry->d_name, name + 1);
        const int r = remove_tree(path);
        path[length] = '\0';
        if (r != 0) return -1;
    }
    dir.reset();
    return remove(path) == 0 ? 0 : -1;
}

} // namespace

// The fixed payloads: index and path pairs, COPY's data length and EXT2's
// mode after its pair.
int chunk_copy(oza_engine &e, fixed_payload fixed) {
    constexpr const char *name = "_parse_subchunk_copy";
    target to;
    const resolved where = resolve(e, fixed.data(), to);
    if (where == unknown) {
        unknown_mount_point(name, "dst", to.index);
        return oza_ok;
    }
    if (where == too_long) return oza_copy_failed;
    const uint32_t length = load_le32(fixed.data() + 260);
    oza_make_parent(to.path);
    oza_file out(file_open(to.path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!out.valid()) return oza_copy_failed;

    // The weight goes in equal shares per whole MiB written, the rest at the end.
    weight_spread weight(e.progress);
    const uint64_t share =
        length <= mebibyte ? weight.weight : weight.weight / (length / mebibyte + 1);
    unsigned char piece[copy_piece];
    uint64_t counted = 0;
    for (uint32_t left = length; left > 0;) {
        const size_t want = std::min<size_t>(left, sizeof piece);
        if (chunk_read(e, piece, want) != want) return oza_copy_failed;
        if (!file_write_full(out.fd, piece, want)) return oza_copy_failed;
        left -= static_cast<uint32_t>(want);
        counted += want;
        if (counted >= mebibyte) {
            const uint64_t k = counted / mebibyte;
            weight.step(k * share);
            counted -= k * mebibyte;
        }
    }
    // The file is installed once the storage has confirmed it, not before.
    if (out.close() != 0) return oza_copy_failed;
    weight.finish();
    if (to.index == oza_system_index) e.cb.create_file(to.path);
    return oza_ok;
}

int chunk_move(oza_engine &e, fixed_payload fixed) {
    constexpr const char *name = "_parse_subchunk_move";
    target from, to;
    resolved where = resolve(e, fixed.data(), from);
    if (where == unknown) {
        unknown_mount_point(name, "src", from.index);
        return oza_ok;
    }
    oza_file source(where == found ? file_open(from.path, O_RDWR, 0) : -1);
    if (!source.valid()) return oza_move_source;
    where = resolve(e, fixed.data() + 260, to);
    if (where == unknown) {
        unknown_mount_point(name, "dst", to.index);
        return oza_ok;
    }
    if (where == too_long) return oza_move_destination;
    oza_make_parent(to.path);
    // No truncation: a longer destination keeps its tail past the copied bytes.
    oza_file destination(file_open(to.path, O_WRONLY | O_CREAT, 0600));
    if (!destination.valid()) return oza_move_destination;
    // A file moved onto itself stays: removing the "source" would lose it.
    if (same_file(source.fd, destination.fd)) {
        progress_step(e.progress);
        return oza_ok;
    }

    // The source goes only once every byte of it was read and written, and
    // the storage has confirmed the copy: its data flushed and closed without
    // error, and its directory entry flushed.
    unsigned char piece[copy_piece];
    for (;;) {
        ssize_t n = file_read(source.fd, piece, sizeof piece);
        if (n == 0) break;
        if (n < 0) return oza_move_remove;
        if (!file_write_full(destination.fd, piece, static_cast<size_t>(n)))
            return oza_move_destination;
    }
    if (destination.close() != 0 || flush_parent(to.path) != 0) return oza_move_destination;
    source.close();
    if (remove(from.path) != 0) return oza_move_remove;
    progress_step(e.progress);
    if (from.index == oza_system_index) e.cb.removed(from.path);
    if (to.index == oza_system_index) e.cb.create_file(to.path);
    return oza_ok;
}

int chunk_delete(oza_engine &e, fixed_payload fixed) {
    target t;
    const resolved where = resolve(e, fixed.data(), t);
    if (where == unknown) {
        unknown_mount_point("_parse_subchunk_delete", "dlt", t.index);
        return chunk_skipped;
    }
    if (where == found) remove_tree(t.path);
    if (t.index == oza_system_index) e.cb.removed(t.path);
    return oza_ok;
}

int chunk_chmod(oza_engine &e, fixed_payload fixed) {
    target t;
    const resolved where = resolve(e, fixed.data(), t);
    if (where == unknown) {
        unknown_mount_point("_parse_subchunk_chmod", "dst", t.index);
        return oza_ok;
    }
    if (where == found) chmod(t.path, static_cast<mode_t>(load_le32(fixed.data() + 260)));
    return oza_ok;
}

int chunk_message(oza_engine &e, fixed_payload fixed) {
    char text[oza_name_field];
    std::copy_n(fixed.data(), sizeof text, text);
    text[sizeof text - 1] = '\0';
    return e.cb.message(text);
}
