// The "misc devnodes" filter: a character device node under /dev for every
// misc-class device the kernel adds.
#include "adev/event.h"
#include "adev/filter.h"

#include <charconv>
#include <cstdio>
#include <string_view>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr int devname_path_max = 255;

// A device number field: decimal digits only.
bool parse_number(std::optional<std::string_view> text, unsigned &value) {
    if (!text || text->empty()) return false;
    auto [end, err] = std::from_chars(text->data(), text->data() + text->size(), value);
    return err == std::errc() && end == text->data() + text->size();
}

// A name the kernel could give below /dev: relative, and no ".." step that
// would lead out of /dev.
bool safe_devname(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    while (!name.empty()) {
        size_t slash = name.find('/');
        if (name.substr(0, slash) == "..") return false;
        if (slash == std::string_view::npos) break;
        name.remove_prefix(slash + 1);
    }
    return true;
}

int make_misc_node(std::string_view message) {
    std::optional<std::string_view> devname = event_value(message, "DEVNAME");
    if (!devname) return -1;
    unsigned major_number = 0, minor_number = 0;
    if (!parse_number(event_value(message, "MAJOR"), major_number) ||
        !parse_number(event_value(message, "MINOR"), minor_number))
        return -1;
    if (!safe_devname(*devname)) return -1;
    char path[devname_path_max + 1];
    int n = snprintf(path, sizeof path, "/dev/%.*s", static_cast<int>(devname->size()),
                     devname->data());
    if (n < 0 || n > devname_path_max) return -1;
    unlink(path);
    // makedev gives major x 256 + minor for the classic numbers (minor below
    // 256) and the right device for larger ones.
    mknod(path, S_IFCHR, makedev(major_number, minor_number));
    return 0;
}

constexpr filter_pair misc_pairs[] = {{"SUBSYSTEM", "misc"}, {"ACTION", "add"}, {nullptr, nullptr}};

} // namespace

ADEV_FILTER(misc, true, "misc devnodes", make_misc_node, nullptr, misc_pairs);
