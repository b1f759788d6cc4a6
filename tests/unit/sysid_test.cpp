// The identity file's record and the device identity string.
#include "core/byteorder.h"
#include "core/config.h"
#include "devtools/sysid.h"
#include "sysinfo/sysversion.h"

#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string tag_at(const unsigned char *record, size_t at) {
    return std::string(reinterpret_cast<const char *>(record + at), 4);
}

TEST(SysidRecord, SectionsWithOneOrTwoMacPlaceholders) {
    for (bool ethernet : {false, true}) {
        SCOPED_TRACE(ethernet ? "Ethernet board" : "Wi-Fi only");
        sysid_facts facts{};
        memcpy(facts.identity, "a004abcdef0123456789", device_identity_size);
        facts.min_version = {4, 0, 25};
        facts.product_name = "A_LONG_NAME_OF_15"; // cut at 12 bytes
        facts.ethernet = ethernet;
        unsigned char record[sysid_record_size];
        memset(record, 0xEE, sizeof record);
        const size_t hdcp = sysid_build_record(record, facts);

        EXPECT_EQ(std::string(reinterpret_cast<char *>(record), 20), "a004abcdef0123456789");
        EXPECT_EQ(tag_at(record, 20), "DGMN");
        EXPECT_EQ(load_le32(record + 24), 12u);
        EXPECT_EQ(to_hex(record + 28, 12), "040000000000000019000000");
        EXPECT_EQ(tag_at(record, 40), "PNPN");
        EXPECT_EQ(load_le32(record + 44), 12u);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 48), 12), "A_LONG_NAME_");
        EXPECT_EQ(tag_at(record, 60), "MACS");
        EXPECT_EQ(load_le32(record + 64), ethernet ? 36u : 18u);
        EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 68), 18),
                  std::string("FF:FF:FF:FF:FF:FF\0", 18));
        const size_t expected_hdcp = ethernet ? 104 : 86;
        EXPECT_EQ(hdcp, expected_hdcp);
        if (ethernet) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 86), 18),
                      std::string("FF:FF:FF:FF:FF:FF\0", 18));
        }
        EXPECT_EQ(tag_at(record, expected_hdcp), "HDCP");
        EXPECT_EQ(load_le32(record + expected_hdcp + 4), 4u);
        EXPECT_EQ(load_le32(record + expected_hdcp + 8), 3u);
        for (size_t i = expected_hdcp + 12; i < sysid_record_size; ++i)
            ASSERT_EQ(record[i], 0) << i;
    }
}

TEST(SysidRecord, ShortProductNameIsZeroPadded) {
    sysid_facts facts{};
    facts.product_name = "ZEMO";
    unsigned char record[sysid_record_size];
    sysid_build_record(record, facts);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 48), 12),
              std::string("ZEMO\0\0\0\0\0\0\0\0", 12));
}

std::string identity(const char *unit, const std::string &unique) {
    char id[device_identity_size];
    device_identity_of(unit, reinterpret_cast<const unsigned char *>(unique.data()), unique.size(),
                       id);
    return std::string(id, sizeof id);
}

TEST(DeviceIdentity, UnitPrefixThenDigestOfTheUniqueValue) {
    const std::string cid = "150100474e4430324700b4f1d3c7d300";
    const auto digest = oracle_md5(cid.data(), cid.size());
    EXPECT_EQ(identity("a004", cid), "a004" + to_hex(digest.data(), 8));
    EXPECT_EQ(identity("gx4dev", cid), "gx4d" + to_hex(digest.data(), 8));
    EXPECT_EQ(identity("ab", cid).substr(0, 4), "ab__");
    EXPECT_EQ(identity("a-0 4", cid).substr(0, 4), "a_0_");
    EXPECT_EQ(identity("", cid).substr(0, 4), "____");
    // Stable, and different for another device.
    EXPECT_EQ(identity("a004", cid), identity("a004", cid));
    EXPECT_NE(identity("a004", cid), identity("a004", "150100474e4430324700b4f1d3c7d301"));
    for (char c : identity("a004", cid).substr(4)) EXPECT_TRUE(isxdigit(c) && !isupper(c)) << c;
}

TEST(SysVersion, TriplesOfThisBuild) {
    uint32_t v[3], m[3];
    EXPECT_EQ(get_sys_version(&v[0], &v[1], &v[2]), 0);
    EXPECT_EQ(get_min_sys_version(&m[0], &m[1], &m[2]), 0);
    if constexpr (basic_build) {
        EXPECT_EQ(std::vector<uint32_t>(v, v + 3), (std::vector<uint32_t>{4, 0, 7}));
        EXPECT_EQ(std::vector<uint32_t>(m, m + 3), (std::vector<uint32_t>{3, 2, 80}));
    } else {
        EXPECT_EQ(std::vector<uint32_t>(v, v + 3), (std::vector<uint32_t>{4, 0, 28}));
        EXPECT_EQ(std::vector<uint32_t>(m, m + 3), (std::vector<uint32_t>{4, 0, 25}));
    }
}

} // namespace
