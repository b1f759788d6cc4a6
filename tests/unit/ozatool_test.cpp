#include "core/byteorder.h"
#include "update/keyrec.h"

#include "tests/support/oracle.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

run_result ozatool(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {"ozatool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(VARITOOL_OZATOOL, argv);
}

TEST(OzatoolKeygen, RecordHoldsTheKeyWithTheFewestExponentWords) {
    struct {
        const char *exponent;
        uint64_t value;
        unsigned words;
    } cases[] = {
        {"3", 3, 1},
        {"65521", 65521, 1},
        {"65537", 65537, 2},
        {"0xffffffffffffffc5", 0xffffffffffffffc5ull, 4},
    };
    scratch_dir dir;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.exponent);
        const std::string pem = dir.at(std::string(c.exponent) + ".pem");
        const std::string rec = dir.at(std::string(c.exponent) + ".keyrec");
        run_result r = ozatool({"keygen", "-e", c.exponent, pem, rec});
        ASSERT_EQ(r.status, 0) << r.err;

        unique_pkey key = load_pem_key(pem);
        ASSERT_TRUE(key);
        EXPECT_EQ(bn_to_u64(rsa_exponent(key.get()).get()), c.value);
        EXPECT_EQ(BN_num_bits(rsa_modulus(key.get()).get()), 1024);
        const bytes record = read_bytes(rec);
        expect_key_record_layout(record, key.get(), c.words);
        EXPECT_EQ(load_le16(record.data()), 64);
        EXPECT_TRUE(key_record_valid(record.data()));

        struct stat st;
        ASSERT_EQ(stat(pem.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u); // the private key is the owner's alone
    }
}

TEST(OzatoolKeygen, RefusesWhatARecordCannotHoldOrRsaCannotUse) {
    scratch_dir dir;
    const std::vector<std::vector<std::string>> refused = {
        {"keygen", "-e", "65536", dir.at("k.pem"), dir.at("k.rec")}, // even
        {"keygen", "-e", "1", dir.at("k.pem"), dir.at("k.rec")},
        {"keygen", "-e", "18446744073709551616", dir.at("k.pem"), dir.at("k.rec")}, // 2^64
        {"keygen", "-e", "12x", dir.at("k.pem"), dir.at("k.rec")},
        {"keygen", "-b", "2048", dir.at("k.pem"), dir.at("k.rec")},
        {"keygen", dir.at("k.pem")},
    };
    for (const auto &args : refused) {
        run_result r = ozatool(args);
        EXPECT_NE(r.status, 0) << args[1] << ' ' << args[2];
        EXPECT_FALSE(file_exists(dir.at("k.rec")));
    }
}

TEST(OzatoolKeyrec, PublicOrPrivatePemGivesTheSameRecord) {
    scratch_dir dir;
    ASSERT_EQ(ozatool({"keygen", dir.at("k.pem"), dir.at("k.rec")}).status, 0);
    const std::string pub = dir.at("pub.pem");
    run_result o = run_program("/usr/bin/openssl",
                               {"openssl", "pkey", "-in", dir.at("k.pem"), "-pubout", "-out", pub});
    ASSERT_EQ(o.status, 0) << o.err;

    ASSERT_EQ(ozatool({"keyrec", dir.at("k.pem"), dir.at("a.rec")}).status, 0);
    ASSERT_EQ(ozatool({"keyrec", pub, dir.at("b.rec")}).status, 0);
    EXPECT_EQ(read_bytes(dir.at("a.rec")), read_bytes(dir.at("k.rec")));
    EXPECT_EQ(read_bytes(dir.at("b.rec")), read_bytes(dir.at("k.rec")));

    // A 2048-bit key does not fit a record.
    o = run_program("/usr/bin/openssl", {"openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt",
                                         "rsa_keygen_bits:2048", "-out", dir.at("big.pem")});
    ASSERT_EQ(o.status, 0) << o.err;
    run_result r = ozatool({"keyrec", dir.at("big.pem"), dir.at("big.rec")});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("1024"), std::string::npos) << r.err;
    EXPECT_FALSE(file_exists(dir.at("big.rec")));
}

TEST(OzatoolAeskey, WritesBitsThenKey) {
    scratch_dir dir;
    ASSERT_EQ(ozatool({"aeskey", "-k", "000102030405060708090A0B0C0D0E0F", dir.at("a")}).status, 0);
    EXPECT_EQ(read_bytes(dir.at("a")), from_hex("8000 000102030405060708090a0b0c0d0e0f"));

    ASSERT_EQ(ozatool({"aeskey", dir.at("r1")}).status, 0);
    ASSERT_EQ(ozatool({"aeskey", dir.at("r2")}).status, 0);
    const bytes r1 = read_bytes(dir.at("r1")), r2 = read_bytes(dir.at("r2"));
    ASSERT_EQ(r1.size(), 18u);
    EXPECT_EQ(load_le16(r1.data()), 128);
    EXPECT_NE(r1, r2); // random keys

    ASSERT_EQ(ozatool({"aeskey", "-b", "256", dir.at("w")}).status, 0);
    EXPECT_EQ(read_bytes(dir.at("w")).size(), 34u);

    for (const char *bad :
         {"00", "000102030405060708090a0b0c0d0e0g", "000102030405060708090a0b0c0d0e0f00"})
        EXPECT_NE(ozatool({"aeskey", "-k", bad, dir.at("x")}).status, 0) << bad;
    EXPECT_NE(ozatool({"aeskey", "-b", "160", dir.at("x")}).status, 0);
    EXPECT_FALSE(file_exists(dir.at("x")));
}

TEST(Ozatool, UnknownCommandAndHelp) {
    run_result r = ozatool({"frobnicate"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown command 'frobnicate'"), std::string::npos);
    r = ozatool({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char *command : {"keygen", "keyrec", "aeskey"})
        EXPECT_NE(r.out.find(command), std::string::npos) << command;
}

} // namespace
