// On an "add" event for a block device, every row of the storage link table whose fragment the
// device path holds links /dev/<base> (a disk) or /dev/<base><n> (its partition n) to the
// kernel's node. Removals leave the links in place.
#include "adev/block_filter.h"

#include "adev/event.h"
#include "adev/filter.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace {

constexpr int devpath_max = 255;

// The number at the end of name ("sda12" gives 12), or -1 when it ends in
// no digit or the number is too large.
int trailing_number(std::string_view name) {
    size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9') --start;
    int n = -1;
    auto [end, err] = std::from_chars(name.data() + start, name.data() + name.size(), n);
    if (err != std::errc() || end != name.data() + name.size()) return -1;
    return n;
}

// True when snprintf's result n fitted a name field.
bool fitted(int n) {
    return n >= 0 && n <= link_name_max;
}

int link_block_device(std::string_view message) {
    std::optional<std::string_view> action = event_value(message, "ACTION");
    if (!action || *action != "add") return 0; // removals leave links in place
    std::optional<std::string_view> path = event_value(message, "DEVPATH");
    char devpath[devpath_max + 1];
    if (!path || !copy_event_text(devpath, *path)) return -1;
    const char *block = strstr(devpath, "block/");
    if (block == nullptr) return -1;
    char kernel_name[kernel_name_max + 1];
    if (!copy_event_text(kernel_name, block + strlen("block/"))) return -1;
    int result = 0;
    for (const storage_link_row &row : storage_link_table)
        if (strstr(devpath, row.fragment) != nullptr) result = storage_link(kernel_name, row.base);
    return result;
}

constexpr filter_pair block_pairs[] = {{"SUBSYSTEM", "block"}, {nullptr, nullptr}};

} // namespace

int storage_link(const char *kernel_name, const char *base) {
    std::string_view name(kernel_name);
    char link[link_name_max + 1], target[link_name_max + 1];
    switch (std::count(name.begin(), name.end(), '/')) {
    case 0:
        if (!fitted(snprintf(link, sizeof link, "/dev/%s", base)) ||
            !fitted(snprintf(target, sizeof target, "/dev/%s", kernel_name)))
            return -1;
        break;
    case 1: {
        char partition[partition_name_max + 1];
        if (!copy_event_text(partition, name.substr(name.find('/') + 1))) return -1;
        int number = trailing_number(partition);
        if (number < 0 || !fitted(snprintf(link, sizeof link, "/dev/%s%d", base, number)) ||
            !fitted(snprintf(target, sizeof target, "/dev/%s", partition)))
            return -1;
        break;
    }
    default: return -1;
    }
    return symlink(target, link);
}

ADEV_FILTER(block, true, "uevent block_filter", link_block_device, nullptr, block_pairs);
