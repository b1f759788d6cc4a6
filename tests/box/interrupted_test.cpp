// Installs killed part-way and run again: the box's fault library raises
// SIGKILL at the k-th write, rename or close of the engine, for a sample of
// k from the first call to past the last, and the run that follows must
// leave the device as an uninterrupted run does. MOVE is the exception: once
// its source is gone, a run again stops there.
#include "tests/box/engine_box.h"

#include <cstdio>

namespace {

using namespace engine_box;

// Everything an install can change: the files below /mnt, /data and /cache
// with their modes and digests, and the flash.
const std::string snapshot_script =
    "cd / && find mnt data cache dev/flashrw -printf '%p %y %m\\n' | sort\n"
    "find mnt data cache dev/flashrw -type f -exec md5sum {} + | sort\n";

// A box with the files the update below acts on.
class prepared_box : public update_box {
public:
    prepared_box() {
        box.write("/mnt/storage/System/System.bin", le32(0) + le16(6) + le16(12) + le16(5));
        box.run({"/bin/busybox", "mkdir", "-p", "/data/old/sub", "/mnt/system/bin"});
        box.write("/data/old/a", "old a");
        box.write("/data/old/sub/b", "old b");
        box.write("/mnt/system/bin/tool", "an older, longer tool that the copy must truncate");
        box.write("/data/src", "moved bytes");
    }

    std::vector<std::string> run_update() const {
        return lines(box.run({driver, "run", "--quiet", "/cache/u.oza"}).out);
    }
    std::string snapshot() const { return box.shell(snapshot_script).out; }
};

// One chunk of every type that changes the device, but MOVE.
const manifest every_chunk = {
    .chunks =
        R"({"type": "COPY", "index": "system", "path": "bin/tool", "hex": "5a", "size": 40000},
                 {"type": "COPY", "index": "data", "path": "conf", "text": "settings"},
                 {"type": "DLET", "index": "data", "path": "old"},
                 {"type": "EXT2", "index": "system", "path": "bin/tool", "mode": "0755"},
                 {"type": "MMCF", "area": "custom", "offset": 0, "hex": "c3", "size": 20000},
                 {"type": "EXT3", "area": "params", "offset": 100, "hex": "0102030405"},
                 {"type": "TAGP", "hex": ")" +
        hex(le32(3) + le32(0x54410009) + "abcd" + le32(0)) + R"("},
                 {"type": "PARM", "id": 12, "value_type": "uint16", "value": 7},
                 {"type": "FPAR", "id": 3, "value_type": "uint16", "value": "0x1234"},
                 {"type": "FLSH", "address": "0x100000", "hex": "a5", "size": 1000},
                 {"type": "SHEL", "command": "mkdir -p /data/made"},
                 {"type": "MSGB", "text": "done"})"};

TEST(BoxInterrupted, AnInstallKilledAtAnyPointAndRunAgainEndsAsAnUninterruptedOne) {
    prepared_box reference;
    reference.pack(every_chunk, "/cache/u.oza");
    const std::string file = reference.file("/cache/u.oza");
    const std::string before = reference.snapshot();
    ASSERT_EQ(result(reference.run_update()), 0);
    const std::string installed = reference.snapshot();
    ASSERT_NE(installed, before);

    const std::string exe = driver.substr(driver.rfind('/') + 1);
    int samples = 0;
    for (long k = 1;; k += std::max(1L, k / 5)) {
        prepared_box b;
        b.box.write("/cache/u.oza", file);
        run_result killed = b.box.run_with_fault(
            "calls=write,rename,close do=kill nth=" + std::to_string(k) + " exe=" + exe,
            {driver, "run", "--quiet", "/cache/u.oza"});
        if (killed.status == 0) {
            EXPECT_EQ(b.snapshot(), installed) << "not killed at " << k;
            EXPECT_GT(k, 1) << "the first call kills";
            break;
        }
        ASSERT_EQ(killed.status, 128 + 9) << "at " << k << killed.out << killed.err;
        EXPECT_EQ(result(b.run_update()), 0) << "run again after a kill at " << k;
        EXPECT_EQ(b.snapshot(), installed) << "run again after a kill at " << k;
        ++samples;
    }
    std::printf("%d interrupted installs\n", samples);
}

// MOVE copies and then removes its source: killed before the removal, a run
// again moves it; killed after it, a run again stops at the MOVE (source gone,
// 224), so the chunks after it never run.
TEST(BoxInterrupted, AnInstallKilledAfterAMoveStopsThereWhenRunAgain) {
    const manifest with_move = {.chunks =
                                    R"({"type": "COPY", "index": "data", "path": "a", "text": "a"},
                     {"type": "MOVE", "from_index": "data", "from_path": "src",
                      "to_index": "data", "to_path": "dst"},
                     {"type": "COPY", "index": "data", "path": "b", "text": "b"})"};
    prepared_box reference;
    reference.pack(with_move, "/cache/u.oza");
    ASSERT_EQ(result(reference.run_update()), 0);
    const std::string installed = reference.snapshot();

    const struct {
        const char *kill_at;
        int again;
    } cases[] = {
        {"calls=write path=/data/dst", 0},
        {"calls=close path=/data/dst", 0},
        {"calls=close path=/data/src", 0},
        {"calls=open path=/data/b", 224},
    };
    for (const auto &c : cases) {
        prepared_box b;
        b.pack(with_move, "/cache/u.oza");
        run_result killed = b.box.run_with_fault(std::string(c.kill_at) + " do=kill",
                                                 {driver, "run", "--quiet", "/cache/u.oza"});
        ASSERT_EQ(killed.status, 128 + 9) << c.kill_at;
        EXPECT_EQ(result(b.run_update()), c.again) << c.kill_at;
        if (c.again == 0) {
            EXPECT_EQ(b.snapshot(), installed) << c.kill_at;
            continue;
        }
        EXPECT_EQ(b.file("/data/dst"), "moved bytes");
        EXPECT_FALSE(b.exists("/data/src"));
        EXPECT_FALSE(b.exists("/data/b")) << "the chunks after the MOVE do not run again";
    }
}

} // namespace
