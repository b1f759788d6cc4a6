// The NVS file of the WLAN chip: its 468-byte section (MAC address, TX BiP
// calibration, fixed tail) and the INI section copied from a reference file.
#pragma once

#include <cstddef>

inline constexpr size_t nvs_section_size = 468;
inline constexpr size_t nvs_head_size = 24; // all that legacy mode writes
inline constexpr size_t nvs_calibration_offset = 24;
inline constexpr size_t nvs_calibration_size = 412; // TX BiP calibration
// Offset of the INI section in a reference NVS file, and its length by chip.
inline constexpr size_t nvs_ini_offset = nvs_section_size;
inline constexpr size_t nvs_ini_wl127x = 444, nvs_ini_wl128x = 645;

// The Wi-Fi MAC used when the store holds none, in store byte order (last
// octet first): 00:18:dc:50:30:02.
inline constexpr unsigned char nvs_default_mac[6] = {0x02, 0x30, 0x50, 0xDC, 0x18, 0x00};

// Fills the whole section: the MAC (6 bytes in store order) at 3-6 and 10-11
// between their markers, the calibration block at 24 (zeros when
// calibration is null) and the fixed tail from 436.
void nvs_build_section(unsigned char section[nvs_section_size], const unsigned char mac[6],
                       const unsigned char *calibration);
