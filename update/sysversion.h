// The system's version triples: the version this program is, and the oldest
// system version whose update files it still accepts. Update files, the
// identity file and the cramfs check compare against them.
#pragma once

#include <cstdint>

// The oldest system version accepted (4.0.25; the basic build 3.2.80).
// Returns 0.
int get_min_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision);

// This program's system version (4.0.28; the basic build 4.0.7). Returns 0.
int get_sys_version(uint32_t *major, uint32_t *minor, uint32_t *revision);
