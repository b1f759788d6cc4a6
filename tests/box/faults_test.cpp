// What the engine and the applets do when the storage fails under them: the
// box's fault library fails one write, flush or close with EIO, and each
// writer must report its failure and keep what it must keep.
#include "tests/box/engine_box.h"

#include <filesystem>

namespace {

using namespace engine_box;

const std::string storage_driver = STORAGE_DRIVER;

// The three calls that report whether data reached the storage.
constexpr const char *storage_calls[] = {"write", "fsync", "close"};

// The faults of the box log ("fault CALL PATH: OUTCOME").
std::vector<std::string> faults(const device_box &box) {
    return starting(box.log(), "fault ");
}

class Faults : public ::testing::Test, public update_box {
protected:
    // Packs m as /cache/u.oza and runs it with the fault library set to spec.
    std::vector<std::string> install_with_fault(const manifest &m, const std::string &spec,
                                                std::vector<std::string> options = {}) {
        pack(m, "/cache/u.oza");
        std::vector<std::string> argv = {driver, "run"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back("/cache/u.oza");
        run_result r = box.run_with_fault(spec, argv);
        EXPECT_EQ(r.err, "");
        return lines(r.out);
    }
    std::vector<std::string> storage(const std::vector<std::string> &commands) const {
        std::vector<std::string> argv = {storage_driver};
        argv.insert(argv.end(), commands.begin(), commands.end());
        return lines(box.run(argv).out);
    }
};

// ---- the engine's writers ----

// Each writer under EIO at its target's write, flush and close: the chunk's
// failure code, no report of success to the host, and what must stay kept.
TEST_F(Faults, EachEngineWriterReportsAFailedWriteFlushOrClose) {
    const std::string params = file("/mnt/rawfs/params");
    const std::string system_bin = le32(0) + le16(6) + le16(12) + le16(5);
    struct writer {
        const char *what;
        int slot;
        std::string chunk;
        std::string target;         // the path the faults hit
        int codes[3];               // at write, flush, close
        std::string not_reported;   // a host call that must not come
        std::string kept, contents; // a file that must stay as it was ("" for none)
        bool kept_after_write_only; // flush and close faults come after the bytes went out
    } writers[] = {
        {"COPY",
         1,
         R"({"type": "COPY", "index": "system", "path": "f", "text": "new"})",
         "/mnt/system/f",
         {214, 214, 214},
         "create_file /mnt/system/f",
         "",
         "",
         false},
        {"MOVE",
         1,
         R"({"type": "MOVE", "from_index": "data", "from_path": "src", "to_index": "system",
             "to_path": "dst"})",
         "/mnt/system/dst",
         {225, 225, 225},
         "create_file /mnt/system/dst",
         "/data/src",
         "the only copy",
         false},
        {"PARM",
         1,
         R"({"type": "PARM", "id": 12, "value_type": "uint16", "value": 7})",
         "/mnt/storage/System/System.bin",
         {232, 232, 232},
         "load_hdd_param",
         "/mnt/storage/System/System.bin",
         system_bin,
         true},
        {"FPAR",
         1,
         R"({"type": "FPAR", "id": 3, "value_type": "uint16", "value": 7})",
         "/mnt/rawfs/params",
         {234, 234, 234},
         "load_flash_param",
         "/mnt/rawfs/params",
         params,
         true},
        {"HDDL",
         4,
         R"({"type": "HDDL", "value": 1})",
         "/mnt/rawfs/params",
         {254, 254, 254},
         "",
         "/mnt/rawfs/params",
         params,
         true},
        {"MMCF",
         1,
         R"({"type": "MMCF", "area": "custom", "offset": 0, "text": "kernel"})",
         "/mnt/rawfs/custom",
         {220, 220, 220},
         "trace mmcflash ok",
         "",
         "",
         false},
        // The flash cache is flushed before the layer is released: a failing
        // close after a confirmed flush loses nothing.
        {"FLSH",
         1,
         R"({"type": "FLSH", "address": "0x100000", "hex": "a5", "size": 64})",
         "/mnt/fcache/flash_cache",
         {219, 219, 0},
         "",
         "",
         "",
         false},
    };
    for (const writer &w : writers) {
        for (int call = 0; call < 3; ++call) {
            const std::string what = std::string(w.what) + " " + storage_calls[call];
            box.write("/data/src", "the only copy");
            box.write("/mnt/storage/System/System.bin", system_bin);
            box.write("/mnt/rawfs/params", params);
            if (std::string(w.what) == "FLSH") {
                ASSERT_EQ(storage({"flash-activate"}), std::vector<std::string>{"0"});
            }
            box.clear_log();
            const std::vector<std::string> out = install_with_fault(
                {.slot = w.slot, .chunks = w.chunk}, std::string("calls=") + storage_calls[call] +
                                                         " writable path=" + w.target + " do=EIO");
            EXPECT_EQ(result(out), w.codes[call]) << what;
            const std::vector<std::string> hits = faults(box);
            ASSERT_EQ(hits.size(), 1u) << what;
            EXPECT_NE(hits[0].find(" " + w.target + ": EIO"), std::string::npos) << hits[0];
            if (!w.not_reported.empty() && w.codes[call] != 0) {
                EXPECT_FALSE(has(out, w.not_reported)) << what;
            }
            if (!w.kept.empty() && (call == 0 || !w.kept_after_write_only)) {
                EXPECT_TRUE(file(w.kept) == w.contents) << what;
            }
            if (std::string(w.what) == "FLSH") storage({"flash-deactivate"});
        }
    }
}

// MOVE keeps its source until the copy's directory entry is on the storage.
TEST_F(Faults, MoveKeepsItsSourceWhenTheDestinationFolderCannotBeFlushed) {
    box.write("/data/src", "the only copy");
    box.run({"/bin/busybox", "mkdir", "-p", "/mnt/system/bin"});
    const std::vector<std::string> out =
        install_with_fault({.chunks = R"({"type": "MOVE", "from_index": "data", "from_path": "src",
                       "to_index": "system", "to_path": "bin/dst"})"},
                           "calls=fsync path=/mnt/system/bin do=EIO nth=2");
    EXPECT_EQ(result(out), 225);
    EXPECT_EQ(faults(box), std::vector<std::string>{"fault fsync /mnt/system/bin: EIO"});
    EXPECT_EQ(file("/data/src"), "the only copy");
    EXPECT_FALSE(has(out, "removed /data/src"));
}

TEST_F(Faults, WritersWithoutFaultsInstallAndReport) {
    box.write("/data/src", "moved");
    const std::vector<std::string> out = install_with_fault(
        {.chunks = R"({"type": "COPY", "index": "system", "path": "f", "text": "new"},
                      {"type": "MOVE", "from_index": "data", "from_path": "src",
                       "to_index": "system", "to_path": "dst"})"},
        "calls=open path=/nowhere do=EIO");
    EXPECT_EQ(result(out), 0);
    EXPECT_TRUE(has(out, "create_file /mnt/system/f"));
    EXPECT_TRUE(has(out, "create_file /mnt/system/dst"));
    EXPECT_EQ(file("/mnt/system/f"), "new");
    EXPECT_EQ(file("/mnt/system/dst"), "moved");
    EXPECT_FALSE(exists("/data/src"));
    EXPECT_EQ(faults(box), std::vector<std::string>{});
}

// The format utility's copies of the update file aside and back: a copy that
// cannot be flushed is a failed copy (238), and the file it came from stays.
TEST(FormatFaults, ACopyThatCannotBeFlushedKeepsItsOriginal) {
    const struct {
        const char *what, *flushed;
        const char *message;
    } rows[] = {
        {"aside", "/mnt/system/temporary.oza", "ERR could not copy OZA from"},
        {"back", "/cache/u.oza", "ERR could not copy back OZA from"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        device_box box;
        ASSERT_EQ(box.init_result().status, 0) << box.init_result().err;
        box.write("/cache/u.oza", "the update's bytes");
        // Type 4: only the copies, no formatting (the system partition is the
        // box's folder /mnt/system).
        run_result r =
            box.run_with_fault(std::string("calls=fsync path=") + row.flushed + " do=EIO exe=" +
                                   std::filesystem::path(SYSINFO_DRIVER).filename().string(),
                               {SYSINFO_DRIVER, "format_utility", "4", "0", "/cache/u.oza", "0"});
        EXPECT_TRUE(r.out.ends_with("result=238\n")) << r.out << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
        EXPECT_EQ(faults(box), std::vector<std::string>{std::string("fault fdatasync ") +
                                                        row.flushed + ": EIO"});
        // What must stay: the update file, or its staged copy once the file
        // itself was overwritten by the copy back.
        EXPECT_EQ(box.read(std::string(row.what) == std::string("aside")
                               ? "/cache/u.oza"
                               : "/mnt/system/temporary.oza"),
                  "the update's bytes");
    }
}

// ---- the applets' writers ----

TEST_F(Faults, EachAppletReportsAFailedWriteFlushOrClose) {
    box.write("/tmp/zImage", "kernel");
    box.write("/tmp/initramfs", "ramfs");
    const std::string params = file("/mnt/rawfs/params");
    struct applet {
        std::vector<std::string> args;
        std::string target;
        int status;
        std::string out, err; // a text the output must hold
    } applets[] = {
        {{"create_sysid"}, "/mnt/storage/System/id.sys", 1, "Save File Error! 1", ""},
        {{"create_nvs", "-e", "/tmp/nvs"}, "/tmp/nvs", 255, "", "create_nvs: fail, cleaning"},
        {{"reboot_into", "-s", "zed"}, "/mnt/rawfs/params", 1, "", "Cannot set boot entry zed"},
        {{"flash_partition_erase", "custom"}, "/mnt/rawfs/custom", 1, "", ""},
        {{"kd_flasher", "-k", "/tmp/zImage", "-i", "/tmp/initramfs"},
         "/mnt/rawfs/custom",
         1,
         "",
         "KD write failed"},
    };
    for (const applet &a : applets) {
        for (const char *call : storage_calls) {
            const std::string what = a.args[0] + " " + call;
            box.write("/mnt/rawfs/params", params);
            box.clear_log();
            run_result r = box.applet_with_fault(
                std::string("calls=") + call + " writable path=" + a.target + " do=EIO", a.args);
            EXPECT_EQ(r.status, a.status) << what << "\n" << r.out << r.err;
            EXPECT_NE(r.out.find(a.out), std::string::npos) << what << "\n" << r.out;
            EXPECT_NE(r.err.find(a.err), std::string::npos) << what << "\n" << r.err;
            EXPECT_EQ(faults(box).size(), 1u) << what;
        }
    }
    EXPECT_FALSE(box.exists("/tmp/nvs")) << "create_nvs removes what it could not write";
}

} // namespace
