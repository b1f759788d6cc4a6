// The system's version triples: the version this program is, and the oldest
// system version whose update files it still accepts. Update files, the
// identity file and the cramfs check compare against them.
#pragma once

#include "core/version.h"

#include <cstdint>

// The triples of both builds (the host tools check files for either).
inline constexpr version_triple full_min_version{4, 0, 25}, full_own_version{4, 0, 28};
inline constexpr version_triple basic_min_version{3, 2, 80}, basic_own_version{4, 0, 7};

// The oldest system version accepted (4.0.25; the basic build 3.2.80).
// Returns 0.
int get_min_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision);

// This program's system version (4.0.28; the basic build 4.0.7). Returns 0.
int get_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision);
