// The storage layer inside device boxes, through the test driver
// box-storage-<configuration>: raw areas, parameter records and the key
// store, the store lock between processes, the module loader and the flash
// layer with its cache.
#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string driver = STORAGE_DRIVER;

std::string key_file(const std::string &name) {
    return read_text(std::string(VARITOOL_SOURCE_DIR) + "/keys/development/" + name);
}

std::string hex(const std::string &bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

// A box and the driver run in it: drive({"unit", "+", "aes"}) gives the lines
// the commands printed.
class Storage : public ::testing::Test {
protected:
    device_box box;

    std::vector<std::string> drive(const std::vector<std::string> &commands) const {
        std::vector<std::string> argv = {driver};
        argv.insert(argv.end(), commands.begin(), commands.end());
        run_result r = box.run(argv);
        EXPECT_EQ(r.status, 0) << r.err;
        return lines(r.out);
    }
    std::string one(const std::vector<std::string> &command) const {
        std::vector<std::string> out = drive(command);
        return out.size() == 1
                   ? out[0]
                   : std::string("(").append(std::to_string(out.size())).append(" lines)");
    }
    // A shell script in one box, with $D naming the driver.
    run_result script(const std::string &text) const {
        return box.shell("D=" + shell_quote(driver) + "\n" + text);
    }
    std::string file(const std::string &box_path) const { return box.read(box_path); }
};

// Where the key store starts on the box's MMC image (L = 1024).
constexpr unsigned keystore_at = 520 + 1024;

// ---- raw areas ----

TEST_F(Storage, AreaNamesAndPaths) {
    box.write("/mnt/rawfs/Recovery kernel", std::string(16, 'x'));
    EXPECT_EQ(drive({"write", "Recovery Kernel", "4", "a1a2"}).back(), "0");
    EXPECT_EQ(one({"read", "recovery", "4", "2"}), "0 a1a2") << "display and short name";
    // Another letter case is no display name: it names its own file.
    drive({"write", "Recovery kernel", "0", "b1"});
    EXPECT_EQ(file("/mnt/rawfs/Recovery kernel").substr(0, 2), "\xb1x");
    EXPECT_EQ(file("/mnt/rawfs/recovery").substr(0, 1), std::string(1, '\0'));
    EXPECT_EQ(one({"read", "rawmmc", "512", "4"}), "0 00040000") << "rawmmc is /dev/mmcblk0";
    EXPECT_EQ(one({"read", "Stage 1", "0", "1"}), "0 00");
    EXPECT_EQ(one({"read", "no-such-area", "0", "1"}), "-1");
}

TEST_F(Storage, ReadsAndWritesOfAreas) {
    const struct {
        std::vector<std::string> command, out;
    } cases[] = {
        // tags holds 4096 bytes: a read past its end fails.
        {{"read", "tags", "4092", "4"}, {"0 00000000"}},
        {{"read", "tags", "4093", "4"}, {"-1"}},
        {{"read", "tags", "-4", "4"}, {"-1"}},
        {{"write", "params", "0", ""}, {"progress 0", "progress 100", "0"}},
        {{"write", "no-such-area", "0", "00"}, {"-1"}},
        {{"size", "params"}, {"65536"}},
        {{"size", "Boot Logo"}, {"1048576"}},
        {{"size", "no-such-area"}, {"-1"}},
    };
    const std::string params = file("/mnt/rawfs/params");
    for (const auto &c : cases) EXPECT_EQ(drive(c.command), c.out) << c.command[0];
    EXPECT_TRUE(file("/mnt/rawfs/params") == params) << "a write of 0 bytes wrote";
    EXPECT_EQ(box.log(),
              (std::vector<std::string>{"rawfs size params 65536", "rawfs size logo 1048576"}));
}

TEST_F(Storage, PartitionEraseZeroesTheFirst160Bytes) {
    box.write("/mnt/rawfs/custom", std::string(200, '\xaa'));
    EXPECT_EQ(one({"erase", "custom"}), "0");
    EXPECT_EQ(file("/mnt/rawfs/custom"), std::string(160, '\0') + std::string(40, '\xaa'));
    EXPECT_EQ(one({"erase", "no-such-area"}), "-1");
}

// ---- parameter records ----

TEST_F(Storage, EveryRecordRoundTripsAtItsPlace) {
    const struct {
        const char *record, *offset;
        const char *area;
        size_t place; // byte of the area the record offset lands on
    } cases[] = {
        {"ParamStore_Prod", "100", "prod", 100},
        {"ParamStore_1", "8188", "prod", 65536 + 8188},
        {"Logo", "4096", "banner", 4096},
        {"ParamStore_3", "8000", "params", 16384 + 8000},
        {"ParamStore_3a", "12", "params", 16384 + 12},
        {"ParamStore_3b", "2028", "params", 16400 + 2028},
        {"ParamStore_3c", "0", "params", 18432},
        {"ParamStore_4", "8", "params", 24576 + 8},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(one({"param-write", c.record, c.offset, "c0ffee42"}), "0") << c.record;
        EXPECT_EQ(one({"param-read", c.record, c.offset, "4"}), "0 c0ffee42") << c.record;
        std::string area = file(std::string("/mnt/rawfs/") + c.area);
        EXPECT_EQ(hex(area.substr(c.place, 4)), "c0ffee42") << c.record;
    }
    EXPECT_EQ(one({"keystore-read", "ParamStore_3c", "0", "4"}), "0 c0ffee42");
}

TEST_F(Storage, ImageWriteChangesOnlyTheBytesWritten) {
    const std::string before = file("/mnt/rawfs/params");
    EXPECT_EQ(one({"param-write", "ParamStore_3c", "0", "ffffffff"}), "0");
    std::string expected = before;
    expected.replace(18432, 4, std::string(4, '\xff'));
    EXPECT_TRUE(file("/mnt/rawfs/params") == expected);
}

TEST_F(Storage, RangesOutsideARecordChangeNothing) {
    const std::string params = file("/mnt/rawfs/params"), prod = file("/mnt/rawfs/prod");
    const std::vector<std::string> refused[] = {
        {"param-read", "ParamStore_3a", "14", "4"},
        {"param-write", "ParamStore_3b", "2030", "00000000"},
        {"param-write", "ParamStore_3c", "-4", "00000000"},
        {"param-write", "ParamStore_4", "8191", "0000"},
        {"param-write", "ParamStore_Prod", "8191", "0000"},
        {"param-read", "ParamStore_5", "8190", "4"},
        {"param-read", "ParamStore_3", "0", "-1"},
        {"param-write", "ParamStore_5", "0", "00"},
        {"param-write", "paramstore_4", "0", "00"},
        {"param-read", "ParamStore_9", "0", "1"},
    };
    for (const auto &command : refused) EXPECT_EQ(one(command), "-1") << command[1];
    EXPECT_TRUE(file("/mnt/rawfs/params") == params);
    EXPECT_TRUE(file("/mnt/rawfs/prod") == prod);
}

TEST_F(Storage, RecordSizes) {
    EXPECT_EQ(one({"param-size", "ParamStore_3b"}), "2032");
    EXPECT_EQ(one({"param-size", "ParamStore_5"}), "8192");
    EXPECT_EQ(one({"keystore-size", "ParamStore_3a"}), "16");
    EXPECT_EQ(one({"param-size", "nothing"}), "-1");
    // Logo has no size of its own: the raw area named "Logo" gives it.
    EXPECT_EQ(one({"param-size", "Logo"}), "-1");
    box.write("/mnt/rawfs/Logo", std::string(3000, '\0'));
    EXPECT_EQ(one({"param-size", "Logo"}), "3000");
}

TEST_F(Storage, ParameterImageNeedsTheWholeImage) {
    // A "params" area shorter than the 32 KiB image is neither read nor written.
    box.write("/mnt/rawfs/params", std::string(32767, '\x11'));
    EXPECT_EQ(one({"param-read", "ParamStore_3a", "0", "1"}), "-1");
    EXPECT_EQ(one({"param-write", "ParamStore_3c", "0", "00"}), "-1");
    EXPECT_EQ(file("/mnt/rawfs/params"), std::string(32767, '\x11'));
}

TEST_F(Storage, BootSelection) {
    EXPECT_EQ(one({"boot-get"}), "0");
    EXPECT_EQ(drive({"boot-set", "2", "+", "boot-get"}), (std::vector<std::string>{"0", "2"}));
    EXPECT_EQ(hex(file("/mnt/rawfs/params").substr(24576, 8)), "e89ac56f02000000");
    const std::string params = file("/mnt/rawfs/params");
    EXPECT_EQ(one({"boot-set", "3"}), "-1");
    EXPECT_EQ(one({"boot-set", "-1"}), "-1");
    EXPECT_TRUE(file("/mnt/rawfs/params") == params) << "a refused value was written";
    // A wrong magic reads as -1; writing puts the magic back.
    drive({"poke", "/mnt/rawfs/params", "24576", "00"});
    EXPECT_EQ(one({"boot-get"}), "-1");
    EXPECT_EQ(drive({"boot-set", "1", "+", "boot-get"}), (std::vector<std::string>{"0", "1"}));
    device_box other({"--boot-entry", "2"});
    EXPECT_EQ(other.run({driver, "boot-get"}).out, "2\n");
    // Without the area, reading fails and so does writing.
    other.shell("rm /mnt/rawfs/params");
    EXPECT_EQ(other.run({driver, "boot-set", "1"}).out, "-1\n");
}

// ---- the key store ----

TEST_F(Storage, KeyStoreRecordIsNotWritable) {
    const std::string mmc = file("/dev/mmcblk0");
    EXPECT_EQ(one({"param-write", "ParamStore_5", "0", "41"}), "-1");
    EXPECT_EQ(one({"keystore-write", "ParamStore_5", "0", "41"}), "-1");
    EXPECT_TRUE(file("/dev/mmcblk0") == mmc);
}

TEST_F(Storage, KeyStoreLiesAfterTheBlockOfLengthL) {
    EXPECT_EQ(one({"keystore-read", "ParamStore_5", "0", "7"}), "0 67783464657600");
    // Move the store: L = 2048 puts it at 2568.
    drive({"poke", "/dev/mmcblk0", "512", "00080000", "+", "poke", "/dev/mmcblk0", "2568",
           "6d6f76656400"});
    EXPECT_EQ(one({"unit"}), "moved");
    // The block-device fallback path.
    box.shell("mkdir -p /dev/block && mv /dev/mmcblk0 /dev/block/mmcblk0");
    EXPECT_EQ(one({"unit"}), "moved");
}

TEST_F(Storage, UnitName) {
    EXPECT_EQ(one({"unit"}), "gx4dev");
    device_box named({"--unit", "zx9"});
    EXPECT_EQ(named.run({driver, "unit"}).out, "zx9\n");
    // Sixteen characters: the last becomes the terminator.
    drive({"poke", "/dev/mmcblk0", std::to_string(keystore_at), hex("ABCDEFGHIJKLMNOP")});
    EXPECT_EQ(one({"unit"}), "ABCDEFGHIJKLMNO");
    // The first value read is kept for the process.
    EXPECT_EQ(drive({"unit", "+", "poke", "/dev/mmcblk0", std::to_string(keystore_at), "7a00", "+",
                     "unit"}),
              (std::vector<std::string>{"ABCDEFGHIJKLMNO", "ok", "ABCDEFGHIJKLMNO"}));
    // Unreadable: the default, which is not kept.
    box.shell("mv /dev/mmcblk0 /tmp/mmc");
    EXPECT_EQ(drive({"unit", "+", "rename", "/tmp/mmc", "/dev/mmcblk0", "+", "unit"}),
              (std::vector<std::string>{"a004", "ok", "z"}));
}

TEST_F(Storage, AesKeyRecord) {
    const std::string stored = "stored " + hex(key_file("aes.keyrec"));
    EXPECT_EQ(one({"aes"}), stored);
    box.shell("mv /dev/mmcblk0 /tmp/mmc");
    std::vector<std::string> out =
        drive({"aes", "+", "rename", "/tmp/mmc", "/dev/mmcblk0", "+", "aes", "+", "rename",
               "/dev/mmcblk0", "/tmp/mmc", "+", "aes"});
    ASSERT_EQ(out.size(), 5u);
    EXPECT_EQ(out[0], "builtin " + hex(key_file("aes_default.keyrec")));
    EXPECT_EQ(out[2], stored);
    EXPECT_EQ(out[4], stored) << "a value read is kept";
}

TEST_F(Storage, PublicKeyRecords) {
    const struct {
        const char *offset, *file;
    } keys[] = {
        {"52", "image.keyrec"},  {"196", "slot1.keyrec"}, {"340", "slot2.keyrec"},
        {"484", "slot3.keyrec"}, {"628", "slot4.keyrec"},
    };
    for (const auto &k : keys)
        EXPECT_EQ(one({"pubkey", k.offset}), "stored " + hex(key_file(k.file))) << k.offset;
    EXPECT_EQ(one({"pubkey", "16"}), "fallback") << "not a public-key place";

    // A bad checksum gives the fallback, which is not kept: once the record
    // is repaired, the same process reads it.
    const std::string checksum = std::to_string(keystore_at + 340 + 140);
    const std::string good = hex(key_file("slot2.keyrec").substr(140, 4));
    drive({"poke", "/dev/mmcblk0", checksum, "00000000"});
    EXPECT_EQ(
        drive({"pubkey", "340", "+", "poke", "/dev/mmcblk0", checksum, good, "+", "pubkey", "340",
               "+", "poke", "/dev/mmcblk0", checksum, "00000000", "+", "pubkey", "340"}),
        (std::vector<std::string>{"fallback", "ok", "stored " + hex(key_file("slot2.keyrec")), "ok",
                                  "stored " + hex(key_file("slot2.keyrec"))}));
    box.shell("rm /dev/mmcblk0");
    EXPECT_EQ(one({"pubkey", "196"}), "fallback");
}

// ---- the store lock ----

// Four processes at once, each writing its own record of the parameter image
// many times: every record ends with its last write.
TEST_F(Storage, ConcurrentWritersLoseNoUpdate) {
    run_result r = script("for w in 'ParamStore_3a 0 1' 'ParamStore_3b 100 2' "
                          "'ParamStore_3c 200 3' 'ParamStore_4 16 4'; do\n"
                          "  $D hammer $w 150 &\n"
                          "done\n"
                          "wait\n"
                          "$D param-read ParamStore_3a 0 8 + param-read ParamStore_3b 100 8 + "
                          "param-read ParamStore_3c 200 8 + param-read ParamStore_4 16 8\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "failures 0\nfailures 0\nfailures 0\nfailures 0\n"
                     "0 0100000096000000\n0 0200000096000000\n"
                     "0 0300000096000000\n0 0400000096000000\n");
}

// Whole-record read-modify-writes under one hold of the lock: three
// processes adding to one counter lose no increment.
TEST_F(Storage, RecordUpdatesAreAtomicBetweenProcesses) {
    run_result r = script("for i in 1 2 3; do $D increment ParamStore_3c 8 100 & done\n"
                          "wait\n"
                          "$D param-read ParamStore_3c 8 4\n");
    EXPECT_EQ(r.out, "failures 0\nfailures 0\nfailures 0\n0 2c010000\n") << r.err;
}

TEST_F(Storage, ImagePatch) {
    const std::string params = file("/mnt/rawfs/params");
    EXPECT_EQ(one({"patch", "32766", "abcdef"}), "-1") << "past the image";
    EXPECT_TRUE(file("/mnt/rawfs/params") == params);
    EXPECT_EQ(one({"patch", "32766", "abcd"}), "0");
    EXPECT_EQ(file("/mnt/rawfs/params").substr(32766, 2), "\xab\xcd");
}

// One writer pauses between reading and writing back the image while a
// second one writes another record: with the lock the second waits and
// both writes stay; without it the first writes back a stale image.
TEST_F(Storage, TheLockSerialisesTheImageReadModifyWrite) {
    const std::string text = "$D slow-write ParamStore_3c 0 11111111 $MODE > /tmp/slow &\n"
                             "while [ ! -e /tmp/paused ]; do sleep 0.01; done\n"
                             "$D param-write ParamStore_3b 0 22222222; touch /tmp/go\n"
                             "wait; cat /tmp/slow\n"
                             "$D param-read ParamStore_3c 0 4 + param-read ParamStore_3b 0 4\n";
    run_result locked = script("MODE=locked\n" + text);
    EXPECT_EQ(locked.out, "0\n0\n0 11111111\n0 22222222\n");
    device_box fresh;
    run_result unlocked = fresh.shell("D=" + shell_quote(driver) + "\nMODE=unlocked\n" + text);
    EXPECT_EQ(unlocked.out, "0\n0\n0 11111111\n0 00000000\n") << "the second write was kept";
}

TEST_F(Storage, ASecondProcessWaitsForTheCreatorsPost) {
    run_result r = script("$D sem-create 2 > /tmp/creator &\n"
                          "while [ ! -e /tmp/created ]; do sleep 0.01; done\n"
                          "$D lock + param-write ParamStore_3c 0 abcd0123\n"
                          "wait; cat /tmp/creator\n");
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out << r.err;
    EXPECT_EQ(out[0].substr(0, 9), "0 posted ");
    EXPECT_EQ(out[1], "0");
    EXPECT_EQ(out[2], "0") << "the creator's post";
}

// A creator that is still alive but has not posted after ten seconds fails
// the lock rather than letting two processes set the semaphore up.
TEST_F(Storage, ACreatorStillSettingUpAfterTenSecondsFailsTheLock) {
    run_result r = script("$D sem-create 13 > /dev/null &\n"
                          "while [ ! -e /tmp/created ]; do sleep 0.01; done\n"
                          "$D lock\n"
                          "kill $!\n");
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 1u) << r.out << r.err;
    EXPECT_EQ(out[0].substr(0, 11), "-1 unposted");
    EXPECT_GE(std::stoi(out[0].substr(12)), 9);
}

// A creator killed between creating the semaphore and posting it (here at
// its post, by the box's fault library) costs the next process nothing: the
// kernel drops the dead creator's set-up lock, and the semaphore, never
// posted, is set up again. So does one left unposted by a creator that held
// no set-up lock at all.
TEST_F(Storage, ASemaphoreLeftUnpostedByADeadCreatorIsSetUpAtOnce) {
    const std::string name = driver.substr(driver.rfind('/') + 1);
    run_result r = box.run_with_fault("calls=semop do=kill exe=" + name,
                                      {"/bin/sh", "-c",
                                       "D=" + shell_quote(driver) +
                                           "\n$D lock; echo $?\nenv -u BOX_FAULT $D lock + "
                                           "param-write ParamStore_3c 0 abcd0123"});
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{"137", "0 unposted 0", "0"})) << r.err;
    EXPECT_EQ(box.log(), std::vector<std::string>{"fault semop : kill"});

    device_box fresh;
    r = fresh.shell("D=" + shell_quote(driver) + "\n$D sem-create 0 bare; $D lock + boot-set 2");
    EXPECT_EQ(lines(r.out), (std::vector<std::string>{"0 unposted 0", "0"})) << r.err;
}

TEST_F(Storage, WithoutTheLockWritesAreRefusedAndReadsGoOn) {
    const std::string params = file("/mnt/rawfs/params");
    box.shell("rm /spx");
    EXPECT_EQ(drive({"lock", "+", "param-write", "ParamStore_3c", "0", "00", "+", "param-read",
                     "ParamStore_4", "0", "4", "+", "boot-set", "1", "+", "erase", "params"}),
              (std::vector<std::string>{"-1 unposted 0", "-1", "0 e89ac56f", "-1", "-1"}));
    EXPECT_TRUE(file("/mnt/rawfs/params") == params);
}

// ---- the module loader ----

TEST_F(Storage, ModuleLoader) {
    const std::vector<std::string> out =
        drive({"insmod", "/lib/modules/flashrw.ko", "+", "insmod", "/lib/modules/flashrw.ko", "+",
               "insmod", "/lib/modules/none.ko", "+", "rmmod", "flashrw", "+", "rmmod", "flashrw"});
    EXPECT_EQ(out, (std::vector<std::string>{"0", "-1 EEXIST", "-1 ENOENT", "0", "-1 ENOENT"}));
    EXPECT_EQ(box.log(), (std::vector<std::string>{
                             "init_module flashrw", "init_module flashrw: EEXIST",
                             "delete_module flashrw 0", "delete_module flashrw 0: ENOENT"}));
    box.write("/box/modules", "flashrw\n");
    box.set("modules_busy", "flashrw");
    EXPECT_EQ(one({"rmmod", "flashrw", "nonblock"}), "1");
    EXPECT_EQ(one({"rmmod", "flashrw"}), "-1 EAGAIN");
    box.set("modules_busy", "");
    EXPECT_EQ(one({"rmmod", "flashrw", "nonblock"}), "0");
    EXPECT_EQ(file("/box/modules"), "");
}

// ---- the flash layer ----

TEST_F(Storage, FlashDeviceRequests) {
    std::vector<std::string> out = drive({"flash-init",
                                          "+",
                                          "flash-sector",
                                          "4128767",
                                          "+",
                                          "flash-sector",
                                          "4128768",
                                          "+",
                                          "flash-max",
                                          "+",
                                          "flash-write",
                                          "0x1fffe",
                                          "00112233",
                                          "+",
                                          "flash-read",
                                          "0x1fffc",
                                          "8",
                                          "+",
                                          "flash-erase-sector",
                                          "70",
                                          "+",
                                          "flash-erase",
                                          "0x1fffe",
                                          "1",
                                          "+",
                                          "flash-read",
                                          "0x1fffe",
                                          "2",
                                          "+",
                                          "flash-exit"});
    EXPECT_EQ(out,
              (std::vector<std::string>{"0", "0 62 4063232 65536", "0 63 4128768 8192", "0 65536",
                                        "0", "0 ffff00112233ffff", "0", "0", "0 ff11", "0"}));
    EXPECT_EQ(box.log().front(), "init_module flashrw");
    EXPECT_EQ(box.log().back(), "delete_module flashrw O_NONBLOCK");
    EXPECT_EQ(file("/box/modules"), "") << "the module stays loaded";
}

TEST_F(Storage, FlashRefusedChangesGiveMinusTwo) {
    box.set("flash_protect", "0:0x80000");
    EXPECT_EQ(
        drive(
            {"flash-init", "+", "flash-write", "0x100",       "aa",      "+",  "flash-erase-sector",
             "7",          "+", "flash-erase", "0",           "16",      "+",  "flash-read",
             "0x100",      "1", "+",           "flash-write", "0x80000", "aa", "+",
             "flash-exit"}),
        (std::vector<std::string>{"0", "-2", "-2", "-2", "0 ff", "0", "0"}));
    EXPECT_EQ(file("/dev/flashrw").substr(0x100, 1), "\xff");
}

TEST_F(Storage, FlashModuleAlreadyLoadedIsRemovedAtExit) {
    box.write("/box/modules", "flashrw\n");
    EXPECT_EQ(drive({"flash-init", "+", "flash-exit"}), (std::vector<std::string>{"0", "0"}));
    EXPECT_EQ(file("/box/modules"), "");
    EXPECT_EQ(box.log(), (std::vector<std::string>{"init_module flashrw: EEXIST",
                                                   "delete_module flashrw O_NONBLOCK"}));
    // A load that fails otherwise fails the initialisation, which holds nothing.
    box.set("init_module_errno", "1");
    EXPECT_EQ(drive({"flash-init", "+", "flash-init", "+", "flash-read", "0", "1"}),
              (std::vector<std::string>{"-1", "-1", "-1"}));
}

TEST_F(Storage, FlashMutexIsHeldFromInitToExit) {
    box.write("/box/modules", "flashrw\n");
    box.set("modules_busy", "flashrw"); // keeps the module across the uses
    // Exit fails on the busy module but still lets the other thread in.
    EXPECT_EQ(one({"flash-threads"}), "most 1 failures 10");
    box.set("modules_busy", "");
    EXPECT_EQ(one({"flash-threads"}), "most 1 failures 0");
    // Not recursive: a second FLASH_Init of the holder fails instead of
    // waiting for itself; FLASH_Exit without the flash fails.
    EXPECT_EQ(drive({"flash-init", "+", "flash-init", "+", "flash-exit", "+", "flash-exit"}),
              (std::vector<std::string>{"0", "-1", "0", "-1"}));
}

// The cache: a file image of the flash under /mnt/fcache.
class FlashCache : public Storage {
protected:
    // Makes the flash hold a pattern in every sector, then the cache from it.
    void activate() {
        std::string flash(4194304, '\0');
        for (size_t i = 0; i < flash.size(); ++i) flash[i] = static_cast<char>(i / 8192);
        box.write("/dev/flashrw", flash);
        ASSERT_EQ(one({"flash-activate"}), "0");
        ASSERT_TRUE(file("/mnt/fcache/flash_cache") == flash);
        box.clear_log();
    }
    // Writes into the cache: sector 3 (never written back), 10 and 70.
    void change_cache(const std::string &sector20 = "") {
        std::vector<std::string> commands = {
            "flash-init", "+", "flash-write", "0x30000", "aa", "+", "flash-write", "0xa0010",
            "bb",         "+", "flash-write", "4194303", "cc", "+", "flash-exit"};
        if (!sector20.empty())
            commands.insert(commands.end() - 1, {"flash-write", "0x140000", sector20, "+"});
        drive(commands);
    }
};

TEST_F(FlashCache, CacheModeUsesNoModuleAndNoDevice) {
    activate();
    std::vector<std::string> out = drive({"flash-init",
                                          "+",
                                          "flash-sector",
                                          "4128767",
                                          "+",
                                          "flash-sector",
                                          "4128768",
                                          "+",
                                          "flash-sector",
                                          "4194304",
                                          "+",
                                          "flash-max",
                                          "+",
                                          "flash-infos",
                                          "+",
                                          "flash-write",
                                          "4186111",
                                          "5555",
                                          "+",
                                          "flash-erase-sector",
                                          "70",
                                          "+",
                                          "flash-read",
                                          "4186110",
                                          "4",
                                          "+",
                                          "flash-read",
                                          "4194303",
                                          "2",
                                          "+",
                                          "flash-exit"});
    EXPECT_EQ(
        out, (std::vector<std::string>{"0", "0 62 4063232 65536", "0 63 4128768 8192", "-1",
                                       "0 65536", "0 " + hex(file("/mnt/fcache/flash_infos_cache")),
                                       "0", "0", "0 fe55ffff", "-1", "0"}));
    EXPECT_EQ(box.log(), std::vector<std::string>{}) << "the device or module was used";
    std::string cache = file("/mnt/fcache/flash_cache");
    EXPECT_EQ(cache.size(), 4194304u);
    EXPECT_EQ(cache.substr(4186112), std::string(8192, '\xff'));
    EXPECT_EQ(cache[4186111], '\x55');
}

TEST_F(FlashCache, DeactivateWritesBackOnlyChangedSectorsFromEightOn) {
    activate();
    const std::string flash_before = file("/dev/flashrw");
    change_cache();
    EXPECT_TRUE(file("/dev/flashrw") == flash_before) << "the cache wrote to the flash";
    const std::string cache = file("/mnt/fcache/flash_cache");
    EXPECT_EQ(one({"flash-deactivate"}), "0");
    std::vector<std::string> changes;
    for (const std::string &line : box.log())
        if (line.find("read") == std::string::npos) changes.push_back(line);
    EXPECT_EQ(changes, (std::vector<std::string>{
                           "init_module flashrw", "flashrw erase 0xa0000 65536",
                           "flashrw write 0xa0000 65536", "flashrw erase 0x3fe000 8192",
                           "flashrw write 0x3fe000 8192", "delete_module flashrw O_NONBLOCK"}));
    std::string flash = file("/dev/flashrw");
    EXPECT_TRUE(flash.substr(0x80000) == cache.substr(0x80000));
    EXPECT_EQ(flash[0x30000], flash_before[0x30000]) << "sector 3 was written back";
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_cache"));
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_infos_cache"));
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_cache.writeback"));
    EXPECT_EQ(one({"flash-deactivate"}), "-1") << "no cache left";
}

TEST_F(FlashCache, AFailedWriteBackKeepsTheCacheForASecondRun) {
    activate();
    change_cache("dd");
    const std::string cache = file("/mnt/fcache/flash_cache");
    const std::string infos = file("/mnt/fcache/flash_infos_cache");
    box.set("flash_protect", "0x140000:0x10000"); // sector 20
    EXPECT_EQ(one({"flash-deactivate"}), "-1");
    EXPECT_TRUE(file("/mnt/fcache/flash_cache") == cache);
    EXPECT_EQ(file("/mnt/fcache/flash_infos_cache"), infos);
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_cache.writeback"));
    EXPECT_EQ(file("/box/modules"), "");
    box.set("flash_protect", "");
    EXPECT_EQ(one({"flash-deactivate"}), "0");
    EXPECT_TRUE(file("/dev/flashrw").substr(0x80000) == cache.substr(0x80000));
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_cache"));
}

TEST_F(FlashCache, AnInterruptedWriteBackIsResumed) {
    activate();
    change_cache();
    const std::string cache = file("/mnt/fcache/flash_cache");
    // What a write-back killed half way leaves behind.
    box.shell("cd /mnt/fcache && mv flash_cache flash_cache.writeback && "
              "mv flash_infos_cache flash_infos_cache.writeback");
    EXPECT_EQ(one({"flash-deactivate"}), "0");
    EXPECT_TRUE(file("/dev/flashrw").substr(0x80000) == cache.substr(0x80000));
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_cache.writeback"));
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_infos_cache.writeback"));
}

TEST_F(FlashCache, ActivateReplacesACacheAndFailsWithoutTheDevice) {
    box.write("/mnt/fcache/flash_cache", "old");
    EXPECT_EQ(one({"flash-activate"}), "0");
    EXPECT_TRUE(file("/mnt/fcache/flash_cache") == file("/dev/flashrw"));
    box.shell("rm /mnt/fcache/flash_cache /mnt/fcache/flash_infos_cache");
    box.set("init_module_errno", "1");
    EXPECT_EQ(one({"flash-activate"}), "-1");
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_cache"));
    EXPECT_FALSE(box.exists("/mnt/fcache/flash_infos_cache"));
}

} // namespace
