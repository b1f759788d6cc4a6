// The NVS section laid out byte by byte: the MAC address split over its two marked fields, the
// calibration block at its offset and the fixed tail from byte 436.
#include "devtools/wlan_nvs.h"

#include <cstring>

namespace {

constexpr unsigned char mac_low_marker[3] = {0x01, 0x6D, 0x54};
constexpr unsigned char mac_high_marker[3] = {0x01, 0x71, 0x54};
constexpr size_t tail_offset = 436;
constexpr unsigned char tail[32] = {
    0x02, 0x13, 0,    0,    0,    0,    0, 0, 0, 0, 0,
    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, // 436: 22 bytes
    0xAA, 0x03, 0x00, 0x00, 0x00, 0x02,                // 458
    0xFF, 0xFF, 0x00, 0x00,                            // 464
};
static_assert(tail_offset + sizeof tail == nvs_section_size);

} // namespace

void nvs_build_section(unsigned char section[nvs_section_size], const unsigned char mac[6],
                       const unsigned char *calibration) {
    memset(section, 0, nvs_section_size);
    memcpy(section, mac_low_marker, 3);
    memcpy(section + 3, mac, 4); // the four last octets
    memcpy(section + 7, mac_high_marker, 3);
    memcpy(section + 10, mac + 4, 2); // the two first octets
    if (calibration != nullptr)
        memcpy(section + nvs_calibration_offset, calibration, nvs_calibration_size);
    memcpy(section + tail_offset, tail, sizeof tail);
}
