// The parameter-record table and the record readers and writers without the
// store lock, on raw areas that are files of a scratch directory (a storage
// table standing in for /mnt/rawfs), and the key-record fetch.
#include "crypto/keyrec.h"
#include "flash/keystore.h"
#include "flash/param_records.h"
#include "flash/params.h"
#include "flash/storage.h"

#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(ParamRecords, TableInOrderWithPlacesAndSizes) {
    const struct {
        const char *name;
        int32_t offset, size;
    } rows[] = {
        {"ParamStore_5", 65536, 8192},  {"ParamStore_Prod", 0, 8192},
        {"ParamStore_1", 65536, 8192},  {"Logo", 0, 0},
        {"ParamStore_3", 49152, 8192},  {"ParamStore_3a", 49152, 16},
        {"ParamStore_3b", 49168, 2032}, {"ParamStore_3c", 51200, 6144},
        {"ParamStore_4", 57344, 8192},
    };
    const param_record *previous = nullptr;
    for (const auto &row : rows) {
        const param_record *r = param_find(row.name);
        ASSERT_NE(r, nullptr) << row.name;
        EXPECT_EQ(r->offset, row.offset) << row.name;
        EXPECT_EQ(r->size, row.size) << row.name;
        if (previous != nullptr) {
            EXPECT_EQ(r, previous + 1) << row.name << " out of order";
        }
        previous = r;
    }
    // ParamStore_3 is 3a, 3b and 3c one after the other.
    EXPECT_EQ(16 + 2032 + 6144, 8192);
    EXPECT_EQ(param_find("ParamStore_3b")->offset, 49152 + 16);
    EXPECT_EQ(param_find("ParamStore_3c")->offset, 49168 + 2032);
    for (const char *unknown : {"paramstore_5", "ParamStore_", "ParamStore_3d", "", "logo"})
        EXPECT_EQ(param_find(unknown), nullptr) << unknown;
    EXPECT_EQ(param_find(nullptr), nullptr);
}

TEST(ParamRecords, RangeMustStayInsideTheRecord) {
    const param_record &r3a = *param_find("ParamStore_3a");
    const param_record &logo = *param_find("Logo");
    const struct {
        const param_record &record;
        int32_t offset, length;
        bool ok;
    } cases[] = {
        {r3a, 0, 16, true},           {r3a, 15, 1, true},
        {r3a, 16, 0, true},           {r3a, 16, 1, false},
        {r3a, 12, 8, false},          {r3a, -1, 1, false},
        {r3a, 0, -1, false},          {r3a, 2147483647, 2, false},
        {logo, 1 << 20, 4096, true}, // the area decides
        {logo, 2147483647, 1, false}, {logo, -4, 4, false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(param_range_ok(c.record, c.offset, c.length), c.ok)
            << c.record.name << " " << c.offset << " " << c.length;
}

// Unknown names and bad ranges are refused before the store is touched.
TEST(ParamStore, RefusesUnknownRecordsAndBadRanges) {
    unsigned char b[8] = {};
    EXPECT_EQ(param_store_read("nothing", 0, b, 1), -1);
    EXPECT_EQ(param_store_write("nothing", 0, b, 1), -1);
    EXPECT_EQ(param_store_size_max("nothing"), -1);
    EXPECT_EQ(param_store_read("ParamStore_3a", 10, b, 8), -1);
    EXPECT_EQ(param_store_write("ParamStore_3b", 2030, b, 4), -1);
    EXPECT_EQ(param_store_write("ParamStore_4", -1, b, 1), -1);
    EXPECT_EQ(param_store_read("ParamStore_4", 0, nullptr, 1), -1);
    EXPECT_EQ(param_store_size_max("ParamStore_3b"), 2032);
    EXPECT_EQ(param_update(
                  "nothing", [](unsigned char *, int32_t, void *) { return 0; }, nullptr),
              -1);
}

// Raw areas as files of a scratch directory.
std::string area_dir;
int failing_writes = 0;

std::string area_file(const char *area) {
    return area_dir + "/" + area;
}

int file_read(const char *area, int32_t offset, void *buffer, int32_t length) {
    int fd = open(area_file(area).c_str(), O_RDONLY);
    if (fd < 0) return -1;
    ssize_t n = pread(fd, buffer, static_cast<size_t>(length), offset);
    close(fd);
    return n == length ? 0 : -1;
}

int file_write(const char *area, int32_t offset, const void *buffer, int32_t length) {
    if (failing_writes > 0) {
        --failing_writes;
        return -5;
    }
    int fd = open(area_file(area).c_str(), O_WRONLY);
    if (fd < 0) return -1;
    ssize_t n = pwrite(fd, buffer, static_cast<size_t>(length), offset);
    close(fd);
    return n == length ? 0 : -1;
}

int file_size(const char *area) {
    if (!file_exists(area_file(area))) return -1;
    return static_cast<int>(read_text(area_file(area)).size());
}

class ParamAreas : public ::testing::Test {
protected:
    scratch_dir dir;
    storage_operations table = {};
    std::string params;

    void SetUp() override {
        area_dir = dir.path;
        failing_writes = 0;
        table.flash_read = file_read;
        table.flash_write = file_write;
        table.flash_size_max = file_size;
        storage_select(&table);
        params.resize(65536);
        for (size_t i = 0; i < params.size(); ++i) params[i] = static_cast<char>(i * 31 + 7);
        write_text(dir.at("params"), params);
        write_text(dir.at("prod"), std::string(131072, '\0'));
        write_text(dir.at("banner"), std::string(8192, '\0'));
    }
    void TearDown() override { storage_select(nullptr); }

    static int read(const char *name, int32_t offset, void *buffer, int32_t length) {
        const param_record &r = *param_find(name);
        return r.read(r, offset, buffer, length);
    }
    static int write(const char *name, int32_t offset, const std::string &bytes) {
        const param_record &r = *param_find(name);
        return r.write(r, offset, bytes.data(), static_cast<int32_t>(bytes.size()));
    }
};

TEST_F(ParamAreas, FourByteWriteRewritesTheImageWithOnlyThoseBytesChanged) {
    EXPECT_EQ(write("ParamStore_3c", 0, "\xff\xff\xff\xff"), 0);
    std::string expected = params;
    expected.replace(18432, 4, "\xff\xff\xff\xff");
    EXPECT_TRUE(read_text(dir.at("params")) == expected);
}

TEST_F(ParamAreas, ImageRecordsLieAtStoreOffsetMinus32768) {
    const struct {
        const char *name;
        int32_t offset;
        size_t image_offset;
    } cases[] = {
        {"ParamStore_3", 0, 16384},     {"ParamStore_3", 100, 16384 + 100},
        {"ParamStore_3a", 4, 16388},    {"ParamStore_3b", 0, 16400},
        {"ParamStore_3c", 6143, 24575}, {"ParamStore_4", 0, 24576},
        {"ParamStore_4", 8191, 32767},
    };
    for (const auto &c : cases) {
        unsigned char got = 0;
        EXPECT_EQ(read(c.name, c.offset, &got, 1), 0) << c.name;
        EXPECT_EQ(got, static_cast<unsigned char>(params[c.image_offset])) << c.name;
        EXPECT_EQ(write(c.name, c.offset, "\x5a"), 0) << c.name;
        EXPECT_EQ(read_text(dir.at("params"))[c.image_offset], '\x5a') << c.name;
    }
    // The second half of the area is not the image and is never written.
    EXPECT_TRUE(read_text(dir.at("params")).substr(32768) == params.substr(32768));
}

TEST_F(ParamAreas, NoPartialImageIsEverWritten) {
    // A range past the image, straight through the writer, changes nothing.
    EXPECT_EQ(write("ParamStore_4", 8191, "ab"), -1);
    EXPECT_EQ(image_patch(32767, "ab", 2), -1);
    EXPECT_EQ(image_patch(32769, "", 0), -1);
    EXPECT_EQ(image_patch(0, nullptr, 1), -1);
    EXPECT_TRUE(read_text(dir.at("params")) == params);
    // An area too short to hold the image is not read, so not written.
    write_text(dir.at("params"), params.substr(0, 32767));
    EXPECT_EQ(write("ParamStore_3c", 0, "zz"), -1);
    unsigned char b = 0;
    EXPECT_EQ(read("ParamStore_3a", 0, &b, 1), -1);
    EXPECT_TRUE(read_text(dir.at("params")) == params.substr(0, 32767));
    // A failing write is reported.
    write_text(dir.at("params"), params);
    failing_writes = 1;
    EXPECT_EQ(write("ParamStore_3c", 0, "zz"), -5);
    EXPECT_TRUE(read_text(dir.at("params")) == params);
    EXPECT_EQ(image_patch(32766, "ab", 2), 0);
    EXPECT_EQ(read_text(dir.at("params")).substr(32766, 2), "ab");
}

TEST_F(ParamAreas, ProdRecordsAndLogo) {
    EXPECT_EQ(write("ParamStore_Prod", 24, "cal"), 0);
    EXPECT_EQ(write("ParamStore_1", 8, "one"), 0);
    EXPECT_EQ(write("Logo", 4000, "logo"), 0);
    std::string prod = read_text(dir.at("prod"));
    EXPECT_EQ(prod.substr(24, 3), "cal");
    EXPECT_EQ(prod.substr(65536 + 8, 3), "one");
    EXPECT_EQ(read_text(dir.at("banner")).substr(4000, 4), "logo");
    char b[4] = {};
    EXPECT_EQ(read("ParamStore_1", 8, b, 3), 0);
    EXPECT_EQ(std::string(b, 3), "one");
    EXPECT_EQ(read("Logo", 8190, b, 4), -1) << "past the banner area";
    // Logo's size is that of the area named "Logo".
    EXPECT_EQ(param_store_size_max("Logo"), -1);
    write_text(dir.at("Logo"), std::string(1234, '\0'));
    EXPECT_EQ(param_store_size_max("Logo"), 1234);
    EXPECT_EQ(param_store_size_max("ParamStore_Prod"), 8192);
}

TEST_F(ParamAreas, KeyStoreRecordIsReadOnly) {
    EXPECT_EQ(write("ParamStore_5", 0, "x"), -1);
}

// ---- key-record fetch ----

std::vector<std::string> copies; // what each read returns, in order ("" fails)
size_t reads = 0;

int scripted_read(int32_t, void *buffer, int32_t length) {
    if (reads >= copies.size() || copies[reads].empty()) {
        ++reads;
        return -1;
    }
    memcpy(buffer, copies[reads++].data(), static_cast<size_t>(length));
    return 0;
}

TEST(KeyRecordFetch, TwoTriesUntilTheChecksumHolds) {
    const std::string good = read_text(std::string(VARITOOL_KEY_DIR) + "/slot1.keyrec");
    ASSERT_EQ(good.size(), key_record_size);
    std::string bad = good;
    bad[140] ^= 1;
    const struct {
        std::vector<std::string> copies;
        bool found;
        size_t reads;
    } cases[] = {
        {{good}, true, 1}, {{bad, good}, true, 2}, {{bad, bad, good}, false, 2},
        {{""}, false, 1},  {{bad, ""}, false, 2},
    };
    for (const auto &c : cases) {
        copies = c.copies;
        reads = 0;
        unsigned char out[key_record_size] = {};
        EXPECT_EQ(key_record_fetch(scripted_read, 196, out), c.found) << c.copies.size();
        EXPECT_EQ(reads, c.reads);
        if (c.found) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(out), sizeof out), good);
        }
    }
}

} // namespace
