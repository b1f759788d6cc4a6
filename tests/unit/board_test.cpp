// Board identification from cpuinfo files in a scratch directory, the host print captured: the
// Hardware and Revision values, the lookup rules on a small table of cases, the configuration's
// table, and the process's board, identified once and kept.
#include "core/config.h"
#include "sysinfo/board.h"

#include "tests/support/host_capture.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

std::string cpuinfo_with(const std::string &hardware, const std::string &revision = "0020") {
    return "Processor\t: ARMv7 Processor rev 10 (v7l)\nprocessor\t: 0\nBogoMIPS\t: 1392.11\n\n"
           "Features\t: swp half thumb fastmult vfp edsp neon vfpv3\n\nHardware\t: " +
           hardware + "\nRevision\t: " + revision + "\nSerial\t\t: 0000000000000000\n";
}

TEST(CpuinfoBoardName, IsTheSecondWordOfTheHardwareValue) {
    const std::string long_word(40, 'N');
    struct {
        const char *label;
        std::string text;
        int result;
        std::string name;
    } cases[] = {
        {"usual line", cpuinfo_with("OMAP4 ZEMO board"), 0, "ZEMO"},
        {"two words", cpuinfo_with("OMAP4 ZEMO"), 0, "ZEMO"},
        {"tab after the name", cpuinfo_with("OMAP4 ZEMO\tboard"), 0, "ZEMO"},
        {"one word, lines follow", cpuinfo_with("OMAP4"), 0, ""},
        {"one word, last line", "processor\t: 0\nHardware\t: OMAP4", 0, ""},
        {"two spaces", cpuinfo_with("OMAP4  ZEMO"), 0, ""},
        {"last line without newline", "processor\t: 0\nHardware\t: OMAP4 TAVRO", 0, "TAVRO"},
        {"cut at 31 characters", cpuinfo_with("OMAP4 " + long_word), 0, std::string(31, 'N')},
        {"no Hardware line", "processor\t: 0\nRevision\t: 0020\n", -1, "previous"},
        {"Hardware without a newline before it", "Hardware\t: OMAP4 ZEMO board\n", -1, "previous"},
        {"no \": \" on the line", "cpu\t: 0\nHardware\tOMAP4 ZEMO board\nRevision\t: 1 2\n", -1,
         "previous"},
    };
    for (const auto &c : cases) {
        char name[board_name_max + 1] = "previous";
        EXPECT_EQ(board_name_from_cpuinfo(c.text.c_str(), name), c.result) << c.label;
        EXPECT_EQ(std::string(name), c.name) << c.label;
    }
}

TEST(CpuinfoRevision, IsTheRevisionValueInDecimal) {
    struct {
        std::string text;
        int revision;
    } cases[] = {
        {cpuinfo_with("OMAP4 ZEMO board", "0020"), 20},
        {cpuinfo_with("OMAP4 ZEMO board", "20"), 20},
        {cpuinfo_with("OMAP4 ZEMO board", "0007 extra"), 7},
        {cpuinfo_with("OMAP4 ZEMO board", "-3"), -3},
        {cpuinfo_with("OMAP4 ZEMO board", "00a1"), 0},
        {cpuinfo_with("OMAP4 ZEMO board", "99999999999999999999"), INT_MAX},
        {"cpu\t: 0\nHardware\t: OMAP4 ZEMO board\nRevision\t: 0031", 31},
        {"cpu\t: 0\nHardware\t: OMAP4 ZEMO board\n", 0},
        {"cpu\t: 0\nHardware\t: OMAP4 ZEMO board\nRevision 0020\n", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(board_revision_from_cpuinfo(c.text.c_str()), c.revision) << c.text;
}

TEST(CpuinfoRevision, IsReadAnewOnEveryCall) {
    scratch_dir dir;
    std::string path = dir.at("cpuinfo");
    write_text(path, cpuinfo_with("OMAP4 ZEMO board", "0020"));
    EXPECT_EQ(read_board_revision(path.c_str()), 20);
    write_text(path, cpuinfo_with("OMAP4 ZEMO board", "0021"));
    EXPECT_EQ(read_board_revision(path.c_str()), 21);
    EXPECT_EQ(read_board_revision(dir.at("missing").c_str()), 0);
}

// A small table with the cases the lookup rules distinguish.
constexpr board_record fixture_rows[] = {
    {1, 0, "ALPHA", "Maker", "norvel_gx3", "ALPHA", "net-a", "A"},
    {5021, 0, "DEFAULT", "Maker", "norvel_gx4", "DEFAULT", "net-d", "D"},
    {2, 0, "BETA", "Maker", "norvel_gx4", "BETA_FIRST", "net-b", "B"},
    {2, 0, "BETA", "Maker", "norvel_gx4", "BETA_LATER", "net-b", "B"},
    {3, 10, "GAMMA", "Maker", "norvel_gx4x", "GAMMA_10", "net-g", "G"},
    {3, 5, "GAMMA", "Maker", "norvel_gx4x", "GAMMA_5", "net-g", "G"},
    {3, -2, "GAMMA", "Maker", "norvel_gx4x", "GAMMA_M2", "net-g", "G"},
    {4, 30, "DELTA", "Maker", "norvel_gx4", "DELTA_30", "net-d", "D"},
};

const char default_message[] = "_get_board_id failed - unknown board -> default board (5021)\n";
const char unknown_message[] = "_find_board_str failed - unknown board\n";

TEST(IdentifyBoard, FollowsTheLookupRules) {
    struct {
        const char *label;
        const char *cpuinfo; // nullptr: no file
        int result;
        const char *chosen; // label of the current board; nullptr: none
        const char *printed;
    } cases[] = {
        {"exact name", "cpu\t: 0\nHardware\t: OMAP4 ALPHA board\nRevision\t: 0000\n", 0, "ALPHA",
         ""},
        {"name is a prefix of a row's", "cpu\t: 0\nHardware\t: OMAP4 ALPH board\n", -1, "DEFAULT",
         default_message},
        {"a row's name is a prefix of it", "cpu\t: 0\nHardware\t: OMAP4 ALPHAX board\n", -1,
         "DEFAULT", default_message},
        {"other case", "cpu\t: 0\nHardware\t: OMAP4 alpha board\n", -1, "DEFAULT", default_message},
        {"one-word Hardware value", "cpu\t: 0\nHardware\t: OMAP4\nRevision\t: 0020\n", -1,
         "DEFAULT", default_message},
        {"no Hardware line", "processor\t: 0\n", -1, "DEFAULT", default_message},
        {"no file", nullptr, -1, "DEFAULT", default_message},
        {"equal rows: the later wins", "cpu\t: 0\nHardware\t: OMAP4 BETA board\n", 0, "BETA_LATER",
         ""},
        {"greatest version not above the revision",
         "cpu\t: 0\nHardware\t: X GAMMA\nRevision\t: 0007\n", 0, "GAMMA_5", ""},
        {"revision equal to a version", "cpu\t: 0\nHardware\t: X GAMMA\nRevision\t: 0010\n", 0,
         "GAMMA_10", ""},
        {"versions compare signed", "cpu\t: 0\nHardware\t: X GAMMA\nRevision\t: -1\n", 0,
         "GAMMA_M2", ""},
        {"revision 0020 is twenty", "cpu\t: 0\nHardware\t: X DELTA\nRevision\t: 0020\n", 0, nullptr,
         unknown_message},
        {"revision 0030 reaches version 30", "cpu\t: 0\nHardware\t: X DELTA\nRevision\t: 0030\n", 0,
         "DELTA_30", ""},
    };
    for (const auto &c : cases) {
        scratch_dir dir;
        std::string path = dir.at("cpuinfo");
        if (c.cpuinfo) write_text(path, c.cpuinfo);
        board_identity id;
        host_capture out;
        EXPECT_EQ(identify_board(id, fixture_rows, path.c_str()), c.result) << c.label;
        EXPECT_TRUE(id.identified) << c.label;
        if (c.chosen) {
            ASSERT_NE(id.current, nullptr) << c.label;
            EXPECT_STREQ(id.current->media_partitionlabel, c.chosen) << c.label;
        } else {
            EXPECT_EQ(id.current, nullptr) << c.label;
        }
        EXPECT_EQ(out.printed, c.printed) << c.label;
    }
}

TEST(IdentifyBoard, AnUnreadableFileKeepsTheNameReadBefore) {
    scratch_dir dir;
    std::string path = dir.at("cpuinfo");
    write_text(path, "cpu\t: 0\nHardware\t: OMAP4 ALPHA board\n");
    board_identity id;
    ASSERT_EQ(identify_board(id, fixture_rows, path.c_str()), 0);
    host_capture out;
    EXPECT_EQ(identify_board(id, fixture_rows, dir.at("missing").c_str()), 0);
    EXPECT_STREQ(id.name, "ALPHA");
    EXPECT_EQ(out.printed, "");
}

TEST(IdentifyBoard, WithoutACurrentBoardTheDefaultRowIsRead) {
    board_identity id;
    host_capture out;
    find_board(id, fixture_rows, 4, 20);
    EXPECT_EQ(id.current, nullptr);
    EXPECT_EQ(out.printed, unknown_message);
    EXPECT_STREQ(board_or_default(id, fixture_rows).product_name, "DEFAULT");

    // A table without a default row gives an empty record rather than none.
    EXPECT_STREQ(board_or_default(id, std::span(fixture_rows).first(1)).product_name, "");
}

TEST(BoardTable, HoldsTheRowsOfTheConfiguration) {
    std::span<const board_record> table = board_table();
    EXPECT_EQ(table.size(), basic_build ? 21u : 24u);

    int zemo = 0, identical_pairs = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        if (strcmp(table[i].product_name, "ZEMO") == 0) ++zemo;
        for (size_t j = i + 1; j < table.size(); ++j)
            if (memcmp(&table[i], &table[j], sizeof(board_record)) == 0)
                ++identical_pairs;
            else
                EXPECT_STRNE(table[i].product_name, table[j].product_name) << i << ", " << j;
    }
    EXPECT_EQ(zemo, 1);
    EXPECT_EQ(identical_pairs, 1);
    const board_record *fallback = select_board(table, default_board_class, 0);
    ASSERT_NE(fallback, nullptr);
    EXPECT_EQ(fallback->board_class, 0x139Du);
}

TEST(ProcessBoard, IsIdentifiedOnceAndKept) {
    scratch_dir dir;
    std::string path = dir.at("cpuinfo");
    write_text(path, cpuinfo_with("OMAP4 ZEMO board"));
    {
        host_capture out;
        EXPECT_EQ(identify_board(path.c_str()), 0);
        EXPECT_EQ(out.printed, "");
    }
    EXPECT_STREQ(board_product_name(), "ZEMO");
    EXPECT_STREQ(board_manufacturer(), "Norvel");
    EXPECT_STREQ(board_oza_filename(), "norvel_gx4");
    EXPECT_STREQ(board_media_partitionlabel(), "ZEMO_MEDIA");

    // The accessors keep the board once identified.
    write_text(path, cpuinfo_with("OMAP4 TAVRO board"));
    EXPECT_STREQ(board_product_name(), "ZEMO");
}

TEST(ProcessBoard, ModelsOfTheFullBuildAreUnknownToTheBasicOne) {
    scratch_dir dir;
    std::string path = dir.at("cpuinfo");
    write_text(path, cpuinfo_with("OMAP4 YARLO board"));
    host_capture out;
    if constexpr (basic_build) {
        EXPECT_EQ(identify_board(path.c_str()), -1);
        EXPECT_EQ(out.printed, default_message);
        EXPECT_STREQ(board_product_name(), "WESKO");
    } else {
        EXPECT_EQ(identify_board(path.c_str()), 0);
        EXPECT_STREQ(board_product_name(), "YARLO");
        EXPECT_STREQ(board_oza_filename(), "norvel_gx4x");
    }
}

} // namespace
