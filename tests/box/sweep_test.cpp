// Truncation and corruption sweeps: an enciphered update file, a signed
// kernel image and a signed cramfs image, cut short at every length (the
// images' bodies at sampled lengths) and with one bit flipped at every bit
// of their headers, each given to the real code in a device box under a
// time limit. Every run must end by itself with a defined result and
// nothing on standard error (where sanitizer reports go). The sweeps run in
// the sanitized build of the full configuration: the basic one builds the
// same code, and without the sanitizers most faults they look for pass
// unseen.
#include "core/config.h"

#include "tests/box/engine_box.h"
#include "tests/support/oracle.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace engine_box;

std::string key_path(const char *name) {
    return std::string(VARITOOL_SOURCE_DIR) + "/keys/development/" + name;
}

std::string with_bit_flipped(std::string bytes, size_t bit) {
    bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
    return bytes;
}

// Skips the test outside the sanitized full configuration.
#define SWEEP_ONLY_WHERE_IT_COUNTS()                                                               \
    do {                                                                                           \
        if (basic_build || !VARITOOL_SANITIZED)                                                    \
            GTEST_SKIP() << "the sweeps run in the sanitized build of the full configuration";     \
    } while (0)

// Lengths 0 to `every` each, then every `stride`-th up to the whole size,
// and the last 16.
std::vector<size_t> cut_lengths(size_t size, size_t every, size_t stride) {
    std::set<size_t> n;
    for (size_t i = 0; i <= std::min(every, size); ++i) n.insert(i);
    for (size_t i = every; i <= size; i += stride) n.insert(i);
    for (size_t i = size >= 16 ? size - 16 : 0; i <= size; ++i) n.insert(i);
    return {n.begin(), n.end()};
}

// ---- signed images through kx_checker and cramfschecker ----

class BoxSweep : public ::testing::Test {
protected:
    device_box box;

    void SetUp() override {
        SWEEP_ONLY_WHERE_IT_COUNTS();
        ASSERT_EQ(box.init_result().status, 0);
    }

    static void ozatool(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {"ozatool"};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = run_program(VARITOOL_OZATOOL, argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }

    // Writes each variant as /tmp/sweep/<i> and runs the applet's command
    // line (in which $FILE is the variant) on all of them in one box,
    // each under a 60-second limit: the exit status of each, in order.
    std::vector<int> run_each(const std::vector<std::string> &variants,
                              const std::string &command) const {
        box.write("/tmp/sweep/.keep", "");
        for (size_t i = 0; i < variants.size(); ++i)
            box.write("/tmp/sweep/" + std::to_string(i), variants[i]);
        const std::string script = "i=0; while [ $i -lt " + std::to_string(variants.size()) +
                                   " ]; do FILE=/tmp/sweep/$i; timeout 60 " +
                                   shell_quote(device_box::executable()) + " " + command +
                                   " >/dev/null; echo $?; i=$((i + 1)); done";
        run_result r = box.shell(script);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "") << "a sanitizer report";
        std::vector<int> status;
        for (const std::string &l : lines(r.out)) status.push_back(std::stoi(l));
        EXPECT_EQ(status.size(), variants.size());
        status.resize(variants.size(), -1);
        return status;
    }

    // An image of the kind (ozatool's command) with 3000 bytes after its
    // header, signed over the whole file, through the checker's command
    // line: every cut and every flipped bit of the header bytes the check
    // reads is refused, except a flip in bytes 4 to 7, which the header
    // leaves unused and the signature does not cover.
    void sweep(const std::string &kind, size_t header, size_t checked,
               const std::string &command) const {
        box.write("/tmp/body", random_text(3000, 11));
        std::vector<std::string> args = {kind, "-k", key_path("image.pem"), "-o",
                                         box.host_path("/tmp/image")};
        if (kind == "cramfs") args.insert(args.end(), {"-v", "0.0.0"});
        args.push_back(box.host_path("/tmp/body"));
        ozatool(args);
        const std::string image = box.read("/tmp/image");
        ASSERT_EQ(image.size(), header + 3000);

        std::vector<std::string> variants;
        std::vector<int> expected;
        for (size_t n : cut_lengths(image.size(), header + 16, 37)) {
            variants.push_back(image.substr(0, n));
            expected.push_back(n == image.size() ? 0 : 1);
        }
        const size_t cuts = variants.size();
        for (size_t bit = 0; bit < 8 * checked; ++bit) {
            variants.push_back(with_bit_flipped(image, bit));
            expected.push_back(bit / 8 >= 4 && bit / 8 < 8 ? 0 : 1);
        }
        const std::vector<int> status = run_each(variants, command);
        for (size_t i = 0; i < variants.size(); ++i) {
            if (i < cuts)
                EXPECT_EQ(status[i], expected[i]) << "cut to " << variants[i].size();
            else
                EXPECT_EQ(status[i], expected[i]) << "bit " << i - cuts << " flipped";
        }
    }
};

// The kernel check reads the first 144 bytes of the 256-byte header.
TEST_F(BoxSweep, KernelImageCutAndFlippedThroughKxChecker) {
    sweep("kernel", 256, 144, "kx_checker -f $FILE");
}

TEST_F(BoxSweep, CramfsImageCutAndFlippedThroughCramfschecker) {
    sweep("cramfs", 160, 160, "cramfschecker $FILE");
}

// ---- an enciphered update file through the engine ----

class BoxUpdateSweep : public ::testing::Test, public update_box {
protected:
    void SetUp() override { SWEEP_ONLY_WHERE_IT_COUNTS(); }

    // The driver's result for each file, run in one process under a time limit.
    std::vector<int> results(const std::vector<std::string> &paths) const {
        std::vector<std::string> args = {"timeout", "600", driver};
        for (const std::string &p : paths) {
            if (args.size() > 3) args.push_back("+");
            args.insert(args.end(), {"run", "--quiet", p});
        }
        run_result r = box.run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "") << "a sanitizer report or a driver failure";
        std::vector<int> codes;
        for (const std::string &l : starting(lines(r.out), "result "))
            codes.push_back(std::stoi(l.substr(7)));
        EXPECT_EQ(codes.size(), paths.size());
        codes.resize(paths.size(), -1);
        return codes;
    }
};

// What OZA_run may return for a file: success or one of its result codes.
bool defined(int code) {
    return code == 0 || (code >= 201 && code <= 283);
}

const manifest representative = {.cipher = enciphered(), .chunks = R"({"type": "EXT0", "value": 1},
                 {"type": "COPY", "index": "data", "path": "d/c", "text": "abcdefghijklmnopq"},
                 {"type": "MSGB", "text": "hello"},
                 {"type": "TAGP", "entries": [{"tag": 1413545993, "words": [1, 2]}]},
                 {"type": "FPAR", "id": 1, "value_type": "uint16", "value": 3},
                 {"type": "DLET", "index": "data", "path": "d"})"};

// Cut at every length without signing again: the signature check refuses
// every file but the whole one.
TEST_F(BoxUpdateSweep, AnEncipheredFileCutAtEveryLength) {
    pack(representative, "/cache/u.oza");
    const size_t size = file("/cache/u.oza").size();
    run_result r =
        box.run({"timeout", "600", driver, "truncations", "/cache/u.oza", "/cache/cut.oza"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "") << "a sanitizer report or a driver failure";
    const std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), size + 1);
    for (size_t n = 0; n <= size; ++n) {
        const int code = std::stoi(out[n].substr(out[n].find(' ') + 1));
        EXPECT_TRUE(n == size ? code == 0 : code != 0 && defined(code)) << n << ": " << code;
    }
}

// One bit flipped at every bit of the head (magic, signature chunk, cipher
// chunk), the file otherwise as signed: only the signature chunk's length
// field is not looked at; any other flip is refused.
TEST_F(BoxUpdateSweep, AnEncipheredFileWithAFlippedBitInItsHead) {
    pack(representative, "/cache/u.oza");
    const std::string whole = file("/cache/u.oza");
    std::vector<std::string> paths;
    for (size_t bit = 0; bit < 8 * 168; ++bit) {
        paths.push_back("/cache/f" + std::to_string(bit));
        box.write(paths.back(), with_bit_flipped(whole, bit));
    }
    const std::vector<int> codes = results(paths);
    for (size_t bit = 0; bit < codes.size(); ++bit) {
        const bool length_field = bit / 8 >= 8 && bit / 8 < 12;
        EXPECT_TRUE(length_field ? codes[bit] == 0 : codes[bit] != 0 && defined(codes[bit]))
            << "bit " << bit << ": " << codes[bit];
    }
}

// One bit flipped at every bit of the first cipher block of every chunk
// (its header, deciphered into 16 bytes of noise), and the file signed
// again, so that the walk and the handlers meet the damage.
TEST_F(BoxUpdateSweep, AnEncipheredFileWithAFlippedBitInAChunkHeaderSignedAgain) {
    const std::vector<std::string> out = install(representative);
    ASSERT_EQ(result(out), 0);
    const std::string whole = file("/cache/u.oza");
    std::vector<size_t> starts = {168}; // "UNIT"; "VERS" and "TIME" follow
    for (const std::string &l : starting(out, "status chunk "))
        starts.push_back(std::stoul(l.substr(21, 8))); // "status chunk XXXX at 00000280 ..."
    ASSERT_EQ(starts.size(), 7u);
    starts.insert(starts.begin() + 1, {216, 248}); // as 40 and 12-byte payloads pad to

    unique_pkey key = load_pem_key(key_path("slot1.pem"));
    ASSERT_TRUE(key);
    std::vector<std::string> paths;
    for (size_t start : starts) {
        for (size_t bit = 8 * start; bit < 8 * (start + 16); ++bit) {
            std::string f = with_bit_flipped(whole, bit);
            const auto digest = oracle_md5(f.data() + 140, f.size() - 140);
            bytes block(128, 0);
            std::copy(digest.begin(), digest.end(), block.begin());
            const bytes signature = rsa_private_block(key.get(), block);
            f.replace(12, 128, std::string(signature.begin(), signature.end()));
            paths.push_back("/cache/s" + std::to_string(bit));
            box.write(paths.back(), f);
        }
    }
    const std::vector<int> codes = results(paths);
    for (size_t i = 0; i < codes.size(); ++i)
        EXPECT_TRUE(defined(codes[i])) << paths[i] << ": " << codes[i];
}

} // namespace
