// Typed values converted as a C library with a 32-bit long does, strings and values that do not
// fit their room, and the record walk over records of length 0.
#include "formats/typed_params.h"

#include "core/byteorder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(TypedParams, ConversionsOfA32BitCLibrary) {
    const struct {
        const char *type, *text;
        uint32_t value; // the field as stored (16 or 32 bits)
        size_t written;
    } cases[] = {
        {"uint8", "300", 44, 6},
        {"uint8", "-1", 0xff, 6},
        {"int8", "-2", 0xfe, 6},
        {"int8", "0x10", 0, 6}, // atoi is decimal
        {"int16", "70000", 70000 & 0xffff, 6},
        {"int16", "-1", 0xffff, 6},
        {"int16", "99999999999", 0xffff, 6}, // saturates at INT32_MAX first
        {"uint16", "0x1234", 0x1234, 6},
        {"uint16", "0x12345", 0x2345, 6},
        {"uint16", "010", 8, 6},
        {"int32", "-2", 0xfffffffe, 8},
        {"int32", "0x7fffffff", 0x7fffffff, 8},
        {"int32", "4294967296", 0x7fffffff, 8},
        {"int32", "-99999999999", 0x80000000, 8},
        {"uint32", "4294967295", 0xffffffff, 8},
        {"uint32", "4294967296", 0xffffffff, 8},
        {"uint32", "-1", 0xffffffff, 8},
        {"uint32", " 12abc", 12, 8},
        {"uint32", "--1", 0, 8},
    };
    for (const auto &c : cases) {
        param_type type;
        ASSERT_TRUE(param_type_of(c.type, type)) << c.type;
        unsigned char record[8] = {8, 0, 1, 0, 0xaa, 0xaa, 0xaa, 0xaa};
        EXPECT_EQ(typed_value_store(record, sizeof record, type, c.text), c.written)
            << c.type << " " << c.text;
        const uint32_t stored = c.written == 6 ? load_le16(record + 4) : load_le32(record + 4);
        EXPECT_EQ(stored, c.value) << c.type << " " << c.text;
        if (c.written == 6) {
            EXPECT_EQ(record[6], 0xaa) << "wrote past the 16-bit field";
        }
    }
    param_type type;
    EXPECT_FALSE(param_type_of("float", type));
    EXPECT_FALSE(param_type_of("", type));
    EXPECT_FALSE(param_type_of("UINT8", type));
}

TEST(TypedParams, StringsAndValuesThatDoNotFit) {
    param_type text, wide, narrow;
    ASSERT_TRUE(param_type_of("string", text));
    ASSERT_TRUE(param_type_of("uint32", wide));
    ASSERT_TRUE(param_type_of("uint8", narrow));
    unsigned char record[10] = {10, 0, 1, 0, 'x', 'x', 'x', 'x', 'x', 'x'};
    EXPECT_EQ(typed_value_store(record, sizeof record, text, "fr"), 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(record + 4), 3), std::string("fr\0", 3));
    EXPECT_EQ(record[7], 'x');
    EXPECT_EQ(typed_value_store(record, sizeof record, text, "abcdef"), 0u) << "no room for NUL";
    EXPECT_EQ(typed_value_store(record, sizeof record, text, "abcde"), 10u);
    EXPECT_EQ(typed_value_store(record, 7, wide, "1"), 0u);
    EXPECT_EQ(typed_value_store(record, 5, narrow, "1"), 0u);
    EXPECT_EQ(typed_value_store(record, 3, text, ""), 0u);
}

TEST(TypedParams, FindsEveryRecordCarryingTheIdentifier) {
    // (length, id): (6, 7) (0 -> 2 bytes) (8, 9) (6, 7) (4, 3), then 3 bytes of a header.
    const std::vector<unsigned char> bytes = {6, 0, 7, 0, 1, 1, 0, 0, 8, 0, 9, 0, 1, 1, 1,
                                              1, 6, 0, 7, 0, 2, 2, 4, 0, 3, 0, 5, 0, 7};
    auto offsets = [&](uint32_t id) {
        std::vector<size_t> found;
        size_t at = 0, length = 0;
        for (; typed_record_find(bytes.data(), bytes.size(), id, at, length); at += length)
            found.push_back(at);
        return found;
    };
    EXPECT_EQ(offsets(7), (std::vector<size_t>{0, 16}));
    EXPECT_EQ(offsets(9), (std::vector<size_t>{8}));
    EXPECT_EQ(offsets(3), (std::vector<size_t>{22}));
    EXPECT_EQ(offsets(5), std::vector<size_t>{}) << "a header cut by the end";
    EXPECT_EQ(offsets(7 + 65536), std::vector<size_t>{}) << "identifiers above 65535";
}

} // namespace
