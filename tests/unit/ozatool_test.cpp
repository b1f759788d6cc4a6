// ozatool keygen, keyrec and aeskey in a scratch directory, the keys and records checked through
// OpenSSL: exponents, weak keys, refused inputs; then the conventions every subcommand keeps
// (help, version, bad options, where outputs go).
#include "core/byteorder.h"
#include "crypto/keyrec.h"

#include "tests/support/oracle.h"
#include "tests/support/ozatool.h"
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

TEST(OzatoolKeygen, RecordHoldsTheKeyWithTheFewestExponentWords) {
    // Exponents below 65537 are weak: made only on request, with a warning
    // (the one-word exponent of the built-in slot 5 record cannot be larger).
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
        const bool weak = c.value < 65537;
        std::vector<std::string> args = {"keygen", "-e", c.exponent, pem, rec};
        if (weak) args.insert(args.begin() + 1, "--allow-weak-key");
        run_result r = ozatool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("warning: a weak key") != std::string::npos, weak) << r.err;

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

// A weak key can forge signatures: the device compares only 16 bytes of
// the transformed block. keygen, keyrec and keystore refuse one unless
// --allow-weak-key, which makes or stores it with a warning.
TEST(OzatoolKeys, WeakKeysAreRefusedUnlessAllowed) {
    scratch_dir dir;
    struct {
        const char *name;
        const char *exponent, *bits;
        bool weak;
    } cases[] = {
        {"exponent 3", "3", "1024", true},
        {"exponent 17", "17", "1024", true},
        {"exponent 65535", "65535", "1024", true},
        {"512-bit modulus", "65537", "512", true},
        {"exponent 65537", "65537", "1024", false},
        {"exponent 2^32+15", "4294967311", "1024", false},
    };
    const std::string store = dir.at("store.bin");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string pem = dir.at(std::string(c.exponent) + "-" + c.bits + ".pem");
        const std::string rec = pem + ".keyrec";
        run_result r = ozatool({"keygen", "-e", c.exponent, "-b", c.bits, pem, rec});
        EXPECT_EQ(r.status, c.weak ? 1 : 0) << r.err;
        EXPECT_EQ(file_exists(rec), !c.weak);
        if (c.weak) {
            EXPECT_NE(r.err.find("refused"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find(std::string(c.bits) == "512" ? "below 1024" : "below 65537"),
                      std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("--allow-weak-key"), std::string::npos) << r.err;
            r = ozatool({"keygen", "--allow-weak-key", "-e", c.exponent, "-b", c.bits, pem, rec});
            ASSERT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
        }
        // The record of the same key, and storing it.
        const std::string again = rec + ".again";
        r = ozatool({"keyrec", pem, again});
        EXPECT_EQ(r.status, c.weak ? 1 : 0) << r.err;
        EXPECT_EQ(file_exists(again), !c.weak);
        r = ozatool({"keystore", "--slot", "1=" + rec, "--block", store});
        EXPECT_EQ(r.status, c.weak ? 1 : 0) << r.err;
        if (!c.weak) continue;
        EXPECT_NE(r.err.find("below"), std::string::npos) << r.err;
        r = ozatool({"keyrec", "--allow-weak-key", pem, again});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(read_bytes(again), read_bytes(rec));
        r = ozatool({"keystore", "--allow-weak-key", "--slot", "1=" + rec, "--block", store});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("warning"), std::string::npos) << r.err;
        const bytes stored = read_bytes(store);
        ASSERT_EQ(stored.size(), 8192u);
        EXPECT_EQ(bytes(stored.begin() + 196, stored.begin() + 340), read_bytes(rec));
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

// The conventions of every subcommand: help on standard output with status
// 0, the version, a bad option named in the error with status 2.
TEST(Ozatool, HelpVersionAndBadOptionsOfEverySubcommand) {
    for (const char *command :
         {"keygen", "keyrec", "aeskey", "keystore", "pack", "info", "verify", "resign", "extract",
          "rotate", "params", "try", "kernel", "cramfs"}) {
        SCOPED_TRACE(command);
        for (const char *flag : {"--help", "-h"}) {
            run_result r = ozatool({command, flag});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.out.rfind(std::string("Usage: ozatool ") + command + " ", 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
        }
        run_result r = ozatool({command, "--version"});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "ozatool " VARITOOL_VERSION "\n");
        r = ozatool({command, "--no-such-option"});
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("unknown option '--no-such-option'"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(std::string("Usage: ozatool ") + command), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    run_result r = ozatool({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ozatool " VARITOOL_VERSION "\n");
    r = ozatool({"keygen", "-z", "a", "b"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("unknown option '-z'"), std::string::npos) << r.err;
    r = ozatool({"pack", "m.json", "-o"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("missing value for option '-o'"), std::string::npos) << r.err;
    r = ozatool({"verify", "--target=frob", "x.oza"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--target 'frob'"), std::string::npos) << r.err;
}

// "-" writes standard output; no output replaces one of the command's inputs.
TEST(Ozatool, OutputsGoToStandardOutputOrBesideTheirInputs) {
    scratch_dir dir;
    run_result r = ozatool({"aeskey", "-k", "000102030405060708090a0b0c0d0e0f", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes(r.out.begin(), r.out.end()), from_hex("8000 000102030405060708090a0b0c0d0e0f"));
    r = ozatool({"keyrec", development_key("slot1.pem"), "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(bytes(r.out.begin(), r.out.end()), read_bytes(development_key("slot1.keyrec")));

    write_text(dir.at("kernel"), "a kernel");
    const std::string pem = development_key("image.pem");
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"kernel", "-k", pem, "-o", dir.at("kernel"), dir.at("kernel")},
          {"cramfs", "-k", pem, "-o", dir.at("kernel"), dir.at("kernel")},
          {"keyrec", pem, pem}}) {
        SCOPED_TRACE(args[0]);
        r = ozatool(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("is one of the inputs"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_text(dir.at("kernel")), "a kernel");
    EXPECT_EQ(read_bytes(pem).size(), 916u);
    r = ozatool({"kernel", "-k", pem, "-o", "-", dir.at("kernel")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), 256u + 8);
}

} // namespace
