// The kernel image flasher and checker, the cramfs checker and the raw
// partition eraser in device boxes, with images signed by ozatool.
#include "core/byteorder.h"
#include "core/config.h"
#include "crypto/keyrec.h"

#include "tests/support/devbox.h"
#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kd_max = 8388608;
constexpr size_t block = 262144;

// The key store's image key record starts here on the box's MMC.
constexpr size_t image_key_at = 520 + 1024 + 52;

class BoxImages : public ::testing::Test {
protected:
    device_box box;

    // Runs ozatool on the host.
    static void ozatool(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"ozatool"};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run_program(VARITOOL_OZATOOL, argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    static std::string key(const char *name) {
        return std::string(VARITOOL_SOURCE_DIR) + "/keys/development/" + name;
    }
    // A kernel of n bytes at /tmp/zImage signed with pem into out.
    void signed_kernel(const std::string &out, size_t n, const char *pem = "image.pem",
                       std::vector<std::string> extra = {}) const {
        box.write("/tmp/zImage", random_text(n, unsigned(n)));
        std::vector<std::string> args = {"kernel", "-k", key(pem), "-o", box.host_path(out)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(box.host_path("/tmp/zImage"));
        ozatool(args);
    }
    // A cramfs image whose signed region is n bytes (file length 136 + n).
    void signed_cramfs(const std::string &out, size_t n, const char *version = "0.0.0",
                       std::vector<std::string> extra = {}) const {
        box.write("/tmp/fs", random_text(n + 136 - 160, unsigned(n)));
        std::vector<std::string> args = {"cramfs", "-k", key("image.pem"),  "-v",
                                         version,  "-o", box.host_path(out)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(box.host_path("/tmp/fs"));
        ozatool(args);
    }
    std::string custom(size_t n) const { return box.read("/mnt/rawfs/custom").substr(0, n); }
};

// ---- kd_flasher ----

TEST_F(BoxImages, KdImageFromAThousandByteKernelAndFiveHundredByteInitramfs) {
    ASSERT_EQ(box.init_result().status, 0);
    const std::string kernel = random_text(1000, 1), initramfs = random_text(500, 2);
    box.write("/tmp/zImage", kernel);
    box.write("/tmp/initramfs", initramfs);
    box.write("/mnt/rawfs/custom", std::string(2000, '\x5a'));
    run_result r = box.applet({"kd_flasher", "-k", "/tmp/zImage", "--initramfs", "/tmp/initramfs"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0\n100\n");
    EXPECT_EQ(r.err, "Generating KD...\nUpdating KD (1756 bytes)...\n");

    std::string header = le32_text(0xDAE589F0) + std::string(144, '\0') + le32_text(1256) +
                         le32_text(500) + std::string(100, '\0');
    const std::string area = custom(2000);
    EXPECT_EQ(area.substr(0, 256), header);
    EXPECT_EQ(area.substr(256, 1000), kernel);
    EXPECT_EQ(area.substr(1256, 500), initramfs);
    EXPECT_EQ(area.substr(1756), std::string(244, '\x5a')) << "nothing written past the image";
}

TEST_F(BoxImages, KdDefaultFilesAreInTheWorkingDirectory) {
    box.write("/tmp/w/zImage", "kernel");
    box.write("/tmp/w/initramfs.cpio.gz", "ramfs");
    run_result r = box.shell("cd /tmp/w && " + device_box::executable() + " kd_flasher");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(custom(267).substr(256), "kernelramfs");
}

TEST_F(BoxImages, KdImageOfEightMebibytesIsTheLargestFlashed) {
    box.write("/tmp/initramfs", "");
    box.write("/tmp/zImage", random_text(kd_max - 256, 3));
    run_result r = box.applet({"kd_flasher", "-k", "/tmp/zImage", "-i", "/tmp/initramfs"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "0\n100\n");
    EXPECT_EQ(r.err, "Generating KD...\nUpdating KD (8388608 bytes)...\n");
    const std::string flashed = box.read("/mnt/rawfs/custom");
    EXPECT_EQ(flashed.substr(256), box.read("/tmp/zImage"));

    box.write("/tmp/zImage", random_text(kd_max - 255, 4));
    r = box.applet({"kd_flasher", "-k", "/tmp/zImage", "-i", "/tmp/initramfs"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Error: KD too big\n");
    EXPECT_EQ(r.err, "Generating KD...\nKD too big (8388609). Max is 8388608.\n");
    EXPECT_TRUE(box.read("/mnt/rawfs/custom") == flashed) << "the area is untouched";
}

TEST_F(BoxImages, KdFilesThatCannotBeReadFlashNothing) {
    box.write("/tmp/zImage", "kernel");
    box.write("/tmp/initramfs", "ramfs");
    box.write("/mnt/rawfs/custom", "before");
    // A path of 255 characters fits; one more is refused instead of being
    // cut to the 255-character path of another file.
    const std::string fits = "/tmp/" + std::string(250, 'k');
    box.write(fits, "kernel");
    struct failure {
        std::vector<std::string> args;
        std::string message;
    } failures[] = {
        {{"-k", "/tmp/zImage", "-i", "/tmp/none"},
         "cannot open filesystem file: " + std::string(strerror(ENOENT))},
        {{"-k", "/tmp/none", "-i", "/tmp/initramfs"},
         "cannot open kernel file: " + std::string(strerror(ENOENT))},
        {{"-k", fits + "k", "-i", "/tmp/initramfs"},
         "cannot open kernel file: " + std::string(strerror(ENAMETOOLONG))},
        {{"-k", "/tmp/zImage", "-i", fits + "k"},
         "cannot open filesystem file: " + std::string(strerror(ENAMETOOLONG))},
        // Only regular files are packed: their size bounds what is read, and
        // the open of a FIFO does not wait for a writer.
        {{"-k", "/tmp", "-i", "/tmp/initramfs"},
         "cannot open kernel file: " + std::string(strerror(EISDIR))},
        {{"-k", "/tmp/zImage", "-i", "/tmp"},
         "cannot open filesystem file: " + std::string(strerror(EISDIR))},
        {{"-k", "/tmp/fifo", "-i", "/tmp/initramfs"},
         "cannot open kernel file: " + std::string(strerror(EINVAL))},
        {{"-k", "/tmp/zImage", "-i", "/dev/zero"},
         "cannot open filesystem file: " + std::string(strerror(EINVAL))},
    };
    ASSERT_EQ(box.run({"/bin/busybox", "mkfifo", "/tmp/fifo"}).status, 0);
    for (const failure &f : failures) {
        std::vector<std::string> args = {"kd_flasher"};
        args.insert(args.end(), f.args.begin(), f.args.end());
        run_result r = box.applet(args);
        EXPECT_EQ(r.status, 1) << f.message;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Generating KD...\n" + f.message + "\nmkflashimage failed\n");
    }
    EXPECT_EQ(box.read("/mnt/rawfs/custom"), "before");
    EXPECT_EQ(box.applet({"kd_flasher", "-k", fits, "-i", "/tmp/initramfs"}).status, 0);
    EXPECT_EQ(custom(267).substr(256), "kernelramfs");
}

TEST_F(BoxImages, KdWriteFailureIsAFailure) {
    box.write("/tmp/zImage", "kernel");
    box.write("/tmp/initramfs", "ramfs");
    box.run({"/bin/busybox", "rm", "/mnt/rawfs/custom"});
    run_result r = box.applet({"kd_flasher", "-k", "/tmp/zImage", "-i", "/tmp/initramfs"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Generating KD...\nUpdating KD (267 bytes)...\nKD write failed (-1)\n");
}

TEST_F(BoxImages, KdUsage) {
    const std::string usage = "Usage: kd_flasher [options]\n\nOptions:\n"
                              "-k | --kernel <file>     Which kernel to flash\n"
                              "-i | --initramfs <file>  Which initramfs to flash\n"
                              "-h | --help              Print this help\n";
    run_result r = box.applet({"kd_flasher", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, usage);
    r = box.applet({"kd_flasher", "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
}

// ---- kx_checker ----

std::string kx_line(bool ok, const std::string &path) {
    return std::string("\nKx verification ") + (ok ? "OK" : "NOK") + " (" + path + ")\n\n";
}

TEST_F(BoxImages, KxAcceptsAKernelSignedWithTheStoredImageKey) {
    signed_kernel("/tmp/kx", 5000);
    run_result r = box.applet({"kx_checker", "-f", "/tmp/kx"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kx_line(true, "/tmp/kx"));
    EXPECT_EQ(box.applet({"kx_checker", "--file", "/tmp/kx"}).status, 0);

    // A path of 127 characters is the longest kept.
    const std::string longest = "/tmp/" + std::string(122, 'p');
    box.write(longest, box.read("/tmp/kx"));
    r = box.applet({"kx_checker", "-f", longest});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kx_line(true, longest));
    // One more is refused rather than cut to the path above.
    r = box.applet({"kx_checker", "-f", longest + "p"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kx_checker: could not open " + longest + "p\n");
}

TEST_F(BoxImages, KxRefusesWhatTheImageKeyDidNotSign) {
    signed_kernel("/tmp/kx", 5000);
    const std::string good = box.read("/tmp/kx");
    struct refused {
        const char *what;
        std::string image;
    };
    std::vector<refused> cases;
    for (size_t at : {size_t(136), size_t(141), size_t(3000), good.size() - 1}) {
        std::string b = good;
        b[at] ^= 1;
        cases.push_back({"one flipped byte of the signed region", b});
    }
    signed_kernel("/tmp/other", 5000, "slot1.pem");
    cases.push_back({"another key", box.read("/tmp/other")});
    signed_kernel("/tmp/empty-region", 5000, "image.pem", {"-e", "136"});
    cases.push_back({"signed end 136", box.read("/tmp/empty-region")});
    signed_kernel("/tmp/past", 5000, "image.pem", {"-e", "5257"});
    cases.push_back({"signed end past the file", box.read("/tmp/past")});
    box.write("/tmp/zImage", "kernel");
    box.write("/tmp/initramfs", "ramfs");
    box.applet({"kd_flasher", "-k", "/tmp/zImage", "-i", "/tmp/initramfs"});
    cases.push_back({"KD image", custom(267)});
    for (const refused &c : cases) {
        box.write("/tmp/image", c.image);
        run_result r = box.applet({"kx_checker", "-f", "/tmp/image"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, kx_line(false, "/tmp/image")) << c.what;
    }
}

TEST_F(BoxImages, KxMagicOnly) {
    const std::string banner = "\nHeader magic verification only !\n";
    box.write("/tmp/zImage", "kernel");
    box.write("/tmp/initramfs", "ramfs");
    box.applet({"kd_flasher", "-k", "/tmp/zImage", "-i", "/tmp/initramfs"});
    box.write("/tmp/kd", custom(267));
    run_result r = box.applet({"kx_checker", "-m", "-f", "/tmp/kd"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, banner + kx_line(true, "/tmp/kd"));
    EXPECT_EQ(box.applet({"kx_checker", "-f", "/tmp/kd"}).status, 1) << "unsigned";

    box.write("/tmp/magic", "\xf0\x89\xe5\xda");
    EXPECT_EQ(box.applet({"kx_checker", "--magic", "-f", "/tmp/magic"}).status, 0);
    for (size_t n = 1; n <= 3; ++n) {
        box.write("/tmp/short", std::string("\xf0\x89\xe5", n));
        r = box.applet({"kx_checker", "-m", "-f", "/tmp/short"});
        EXPECT_EQ(r.status, 1) << n;
        EXPECT_EQ(r.out, banner + kx_line(false, "/tmp/short")) << n;
        r = box.applet({"kx_checker", "-f", "/tmp/short"});
        EXPECT_EQ(r.status, 1) << n;
        EXPECT_EQ(r.out, kx_line(false, "/tmp/short")) << n;
    }
    box.write("/tmp/cramfs-magic", "\xd5\x84\xc2\xd3");
    EXPECT_EQ(box.applet({"kx_checker", "-m", "-f", "/tmp/cramfs-magic"}).status, 1);
}

TEST_F(BoxImages, KxCannotOpen) {
    box.write("/tmp/empty", "");
    for (const std::string &path : {std::string("/tmp/empty"), std::string("/tmp/none")}) {
        run_result r = box.applet({"kx_checker", "-f", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "kx_checker: could not open " + path + "\n");
    }
    run_result r = box.applet({"kx_checker"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "kx_checker: could not open \n");
    r = box.applet({"kx_checker", "-h"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 30), "Usage: kx_checker [options]\n\nO");
    EXPECT_EQ(box.applet({"kx_checker", "-q"}).status, 1);
}

TEST_F(BoxImages, KxUsesTheBuiltInKeyWhenTheStoredOneIsDamaged) {
    signed_kernel("/tmp/image-key", 3000);
    signed_kernel("/tmp/fallback-key", 3000, "fallback.pem");
    EXPECT_EQ(box.applet({"kx_checker", "-f", "/tmp/image-key"}).status, 0);
    EXPECT_EQ(box.applet({"kx_checker", "-f", "/tmp/fallback-key"}).status, 1);
    // A changed modulus word no longer matches the record's checksum.
    box.patch("/dev/mmcblk0", image_key_at + 10, "\x55");
    EXPECT_EQ(box.applet({"kx_checker", "-f", "/tmp/image-key"}).status, 1);
    EXPECT_EQ(box.applet({"kx_checker", "-f", "/tmp/fallback-key"}).status, 0);
}

const std::string system_version = basic_build ? "4.0.7" : "4.0.28";

std::string cramfs_out(int code) {
    const std::string head = "cramfschecker : check against " + system_version + "\n";
    if (code == 0) return head + "\ncramfschecker verification OK\n\n";
    return head + "\ncramfschecker verification NOK : " + std::to_string(code) + "\n\n";
}

// Image-key records that pass their checksum but cannot be used: an image
// whose signature block simply holds its digest is refused by both checkers
// with their "not verified" results.
TEST_F(BoxImages, AnImageKeyThatCannotBeUsedVerifiesNothing) {
    signed_kernel("/tmp/kx", 3000);
    signed_cramfs("/tmp/fs.img", 3000);
    // The signature block (offset 8) made to hold the plain digest of [136, end).
    for (const char *path : {"/tmp/kx", "/tmp/fs.img"}) {
        const std::string image = box.read(path);
        const auto digest = oracle_md5(image.data() + 136, image.size() - 136);
        std::string plain(128, '\0');
        memcpy(plain.data(), digest.data(), digest.size());
        box.patch(path, 8, plain);
    }
    const std::string stored = box.read("/dev/mmcblk0").substr(image_key_at, key_record_size);
    ASSERT_EQ(stored.size(), key_record_size);
    const struct {
        const char *what;
        void (*spoil)(unsigned char *record);
    } rows[] = {
        {"modulus of 65 words", [](unsigned char *r) { store_le16(r, 65); }},
        {"exponent of 5 words", [](unsigned char *r) { store_le16(r + 130, 5); }},
        {"zero modulus", [](unsigned char *r) { memset(r + 2, 0, 128); }},
        {"no modulus words", [](unsigned char *r) { store_le16(r, 0); }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        unsigned char record[key_record_size];
        memcpy(record, stored.data(), sizeof record);
        row.spoil(record);
        store_le32(record + key_record_checksum_offset, key_record_checksum(record));
        box.patch("/dev/mmcblk0", image_key_at,
                  std::string(reinterpret_cast<const char *>(record), sizeof record));
        run_result r = box.applet({"kx_checker", "-f", "/tmp/kx"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kx_line(false, "/tmp/kx"));
        r = box.applet({"cramfschecker", "/tmp/fs.img"});
        EXPECT_EQ(r.out, cramfs_out(5));
        EXPECT_EQ(r.status, 1);
    }
}

// Signed ends are signed 32-bit words: from 2^31 on they are negative, the
// region is empty and both checkers refuse it as a mismatch, never as an
// image that cannot be read.
TEST_F(BoxImages, SignedEndsAroundTwoToTheThirtyFirst) {
    const struct {
        const char *end;
        int cramfs_code;
    } rows[] = {{"2147483647", 3}, {"2147483648", 6}, {"4294967295", 6}};
    for (const auto &row : rows) {
        signed_kernel("/tmp/kx", 3000, "image.pem", {"-e", row.end});
        signed_cramfs("/tmp/fs.img", 3000, "0.0.0", {"-e", row.end});
        run_result r = box.applet({"kx_checker", "-f", "/tmp/kx"});
        EXPECT_EQ(r.status, 1) << row.end;
        EXPECT_EQ(r.out, kx_line(false, "/tmp/kx")) << row.end;
        r = box.applet({"cramfschecker", "/tmp/fs.img"});
        EXPECT_EQ(r.out, cramfs_out(row.cramfs_code)) << row.end;
        EXPECT_EQ(r.status, 1) << row.end;
    }
}

// ---- cramfschecker ----

TEST_F(BoxImages, CramfsTwoSampledBlocks) {
    signed_cramfs("/tmp/fs.img", 8 * block + 100);
    run_result r = box.applet({"cramfschecker", "/tmp/fs.img"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, cramfs_out(0));

    const std::string good = box.read("/tmp/fs.img");
    struct change {
        size_t at;
        int code;
    } changes[] = {{150, 6}, {136 + block + 5, 0}, {136 + 7 * block, 0}, {136 + 8 * block + 99, 6}};
    for (const change &c : changes) {
        std::string b = good;
        b[c.at] ^= 1;
        box.write("/tmp/changed", b);
        r = box.applet({"cramfschecker", "/tmp/changed"});
        EXPECT_EQ(r.out, cramfs_out(c.code)) << c.at;
        EXPECT_EQ(r.status, c.code == 0 ? 0 : 1) << c.at;
    }
}

TEST_F(BoxImages, CramfsResultCodes) {
    struct image_case {
        const char *what;
        int code;
    };
    signed_cramfs("/tmp/any-version", 5000, "0.0.0");
    signed_cramfs("/tmp/this-version", 5000, system_version.c_str());
    signed_cramfs("/tmp/older", 5000, basic_build ? "4.0.6" : "4.0.27");
    signed_cramfs("/tmp/empty-region", 5000, "0.0.0", {"-e", "136"});
    signed_cramfs("/tmp/past-end", 5000, "0.0.0", {"-e", "5137"});
    signed_kernel("/tmp/kernel", 5000);
    box.write("/tmp/short", std::string(159, '\0'));
    const std::vector<std::pair<std::string, int>> cases = {
        {"/tmp/any-version", 0},  {"/tmp/this-version", 0}, {"/tmp/older", 7},
        {"/tmp/empty-region", 6}, {"/tmp/past-end", 3},     {"/tmp/kernel", 4},
        {"/tmp/short", 3},        {"/tmp/none", 2},
    };
    for (const auto &[path, code] : cases) {
        run_result r = box.applet({"cramfschecker", path});
        EXPECT_EQ(r.out, cramfs_out(code)) << path;
        EXPECT_EQ(r.status, code == 0 ? 0 : 1) << path;
    }
    run_result r = box.applet({"cramfschecker"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "USAGE: cramfschecker FILENAME\n");
}

// The checkers read only regular files, and read them where the check needs
// the bytes: a directory, a FIFO (whose open would wait for a writer) or a
// device gives "cannot open", and a file of gigabytes takes no memory of its
// size (the plain build runs under a 256 MiB address-space limit; the
// sanitizers need far more address space for themselves).
TEST_F(BoxImages, CheckersReadOnlyRegularFilesAndNeverAllocateTheirSize) {
    ASSERT_EQ(box.run({"/bin/busybox", "mkfifo", "/tmp/fifo"}).status, 0);
    ASSERT_EQ(box.run({"/usr/bin/truncate", "-s", "3G", "/tmp/huge"}).status, 0);
    const std::string limit = VARITOOL_SANITIZED ? "" : "ulimit -v 262144; ";
    const struct {
        const char *path;
        const char *kx; // kx_checker's output line
        int cramfs;     // cramfschecker's code
    } cases[] = {
        {"/tmp", "kx_checker: could not open /tmp\n", 2},
        {"/tmp/fifo", "kx_checker: could not open /tmp/fifo\n", 2},
        {"/dev/zero", "kx_checker: could not open /dev/zero\n", 2},
        {"/tmp/huge", "\nKx verification NOK (/tmp/huge)\n\n", 4},
    };
    for (const auto &c : cases) {
        const std::string run =
            limit + "exec /usr/bin/timeout 60 " + shell_quote(device_box::executable()) + " ";
        run_result r = box.shell(run + "kx_checker -f " + c.path);
        EXPECT_EQ(r.status, 1) << c.path << r.err;
        EXPECT_EQ(r.out, c.kx) << c.path;
        r = box.shell(run + "cramfschecker " + c.path);
        EXPECT_EQ(r.status, 1) << c.path << r.err;
        EXPECT_EQ(r.out, cramfs_out(c.cramfs)) << c.path;
    }
}

// ---- flash_partition_erase ----

TEST_F(BoxImages, PartitionEraseZeroesTheFirst160Bytes) {
    box.write("/mnt/rawfs/custom", std::string(200, '\xab'));
    box.write("/mnt/rawfs/recovery", std::string(200, '\xcd'));
    EXPECT_EQ(box.applet({"flash_partition_erase", "custom"}).status, 0);
    EXPECT_EQ(box.read("/mnt/rawfs/custom"), std::string(160, '\0') + std::string(40, '\xab'));
    EXPECT_EQ(box.applet({"flash_partition_erase", "Recovery Kernel"}).status, 0);
    EXPECT_EQ(box.read("/mnt/rawfs/recovery").substr(0, 161), std::string(160, '\0') + "\xcd");

    EXPECT_EQ(box.applet({"flash_partition_erase", "no-such-area"}).status, 1);
    run_result r = box.applet({"flash_partition_erase"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "USAGE: flash_partition_erase: PARTITION_NAME\n");
}

} // namespace
