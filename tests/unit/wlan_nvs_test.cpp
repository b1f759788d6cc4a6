// The NVS section, byte for byte.
#include "devtools/wlan_nvs.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

namespace {

TEST(NvsSection, LayoutWithCalibration) {
    const unsigned char mac[6] = {0x01, 0xc5, 0xb0, 0x00, 0x00, 0x02}; // 02:00:00:b0:c5:01
    bytes calibration(nvs_calibration_size);
    for (size_t i = 0; i < calibration.size(); ++i) calibration[i] = uint8_t(i * 7 + 3);
    bytes section(nvs_section_size, 0xEE);
    nvs_build_section(section.data(), mac, calibration.data());

    EXPECT_EQ(to_hex(section.data(), 24), "016d5401c5b000017154"
                                          "0002" +
                                              std::string(24, '0'));
    EXPECT_EQ(bytes(section.begin() + 24, section.begin() + 436), calibration);
    EXPECT_EQ(to_hex(section.data() + 436, 32),
              "0213" + std::string(40, '0') + "aa0300000002" + "ffff0000");
}

TEST(NvsSection, DummyCalibrationIsZero) {
    bytes section(nvs_section_size, 0xEE);
    nvs_build_section(section.data(), nvs_default_mac, nullptr);
    EXPECT_EQ(to_hex(section.data(), 12), "016d54023050dc01715418"
                                          "00");
    for (size_t i = 12; i < 436; ++i) ASSERT_EQ(section[i], 0) << i;
    EXPECT_EQ(section[436], 0x02);
}

} // namespace
