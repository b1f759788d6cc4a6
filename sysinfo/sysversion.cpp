// The triples are the build's constants, the basic or the full ones; any output pointer may be
// null.
#include "sysinfo/sysversion.h"

#include "core/config.h"

namespace {

constexpr version_triple min_version = basic_build ? basic_min_version : full_min_version;
constexpr version_triple own_version = basic_build ? basic_own_version : full_own_version;

int give(const version_triple &v, uint32_t *major, uint32_t *minor, uint32_t *revision) {
    if (major != nullptr) *major = v.major;
    if (minor != nullptr) *minor = v.minor;
    if (revision != nullptr) *revision = v.revision;
    return 0;
}

} // namespace

int get_min_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision) {
    return give(min_version, major, minor, revision);
}

int get_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision) {
    return give(own_version, major, minor, revision);
}
