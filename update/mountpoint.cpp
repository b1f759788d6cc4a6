// The five mount points by index. A target path is the mount point and the name field joined as
// they stand; a parent is made by mkdir -p with the directory as one shell word.
#include "update/mountpoint.h"

#include "core/shell_word.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr char mount_points[oza_mount_count][oza_mount_slot] = {
    "/mnt/rawfs", "/mnt/system/", "/data/", "/mnt/storage/", "/cache/"};

constexpr char mkdir_command[] = "mkdir -p ", mkdir_options_end[] = "mkdir -p -- ";

} // namespace

int get_mountpoint(uint32_t index, const char **path) {
    if (index >= oza_mount_count) {
        *path = nullptr;
        return 1;
    }
    *path = mount_points[index];
    return 0;
}

int oza_target_path(const char *mount_point, const char *field, char *out, size_t size) {
    const size_t head = strlen(mount_point), tail = strnlen(field, oza_name_field);
    if (size == 0 || head + tail >= size) return -1;
    memcpy(out, mount_point, head);
    memcpy(out + head, field, tail);
    out[head + tail] = '\0';
    return 0;
}

void oza_make_parent(const char *path) {
    const char *slash = strrchr(path, '/');
    if (slash == nullptr) return;
    char directory[oza_path_size];
    const size_t length = static_cast<size_t>(slash - path);
    if (length >= sizeof directory) return;
    memcpy(directory, path, length);
    directory[length] = '\0';
    // As one shell word, a path from the update file stays one argument
    // whatever it holds.
    char command[sizeof mkdir_options_end + 2 * oza_path_size + 2];
    command_line line{command, sizeof command};
    if (!command_start(line, directory[0] == '-' ? mkdir_options_end : mkdir_command) ||
        !command_append_word(line, directory, shell_quoting::when_needed))
        return;
    [[maybe_unused]] int ignored = system(command);
}
