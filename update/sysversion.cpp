#include "update/sysversion.h"

#include "core/config.h"

namespace {

struct version_triple {
    uint32_t major, minor, revision;
};

constexpr version_triple min_version =
    basic_build ? version_triple{3, 2, 80} : version_triple{4, 0, 25};
constexpr version_triple own_version =
    basic_build ? version_triple{4, 0, 7} : version_triple{4, 0, 28};

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
