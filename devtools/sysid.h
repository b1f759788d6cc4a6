// The system identity file id.sys: a 20-character device identity, then
// tagged sections (minimum system version, product name, placeholder MAC
// addresses, HDCP) in the full build; the identity alone in the basic build.
#pragma once

#include "core/version.h"

#include <cstddef>
#include <cstdint>

inline constexpr size_t sysid_record_size = 512;
inline constexpr size_t device_identity_size = 20;

// The eMMC's card identification register, as the kernel shows it: fixed
// by the chip's maker and different on every device.
inline constexpr char mmc_cid_file[] = "/sys/block/mmcblk0/device/cid";

// What the record says about the device.
struct sysid_facts {
    char identity[device_identity_size]; // not terminated
    version_triple min_version;
    const char *product_name; // cut at 12 bytes
    bool ethernet;            // a second MAC placeholder
};

// Fills the 512-byte record; returns the offset where the HDCP section
// starts (86, or 104 with Ethernet).
size_t sysid_build_record(unsigned char record[sysid_record_size], const sysid_facts &facts);

// The identity of a device: the first four characters of its unit name
// (characters other than letters and digits, and missing ones, become '_')
// followed by the first 8 bytes of the MD5 digest of its device-unique value
// as 16 lower-case hexadecimal digits. Not terminated.
void device_identity_of(const char *unit, const unsigned char *unique, size_t n,
                        char identity[device_identity_size]);

// This device's identity: the key store's unit name and, as the
// device-unique value, the text of cid_file without trailing white space, or
// when that cannot be read the Wi-Fi MAC bytes of a valid MAC store. False
// (with the identity of an empty value) when neither is available.
bool device_identity(char identity[device_identity_size], const char *cid_file = mmc_cid_file);
