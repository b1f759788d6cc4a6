// Box tests of the update engine: a device box, update files packed by
// ozatool from manifests the tests write, and the test driver box-engine
// (tests/box/engine_driver.cpp) that runs the engine in the box and prints
// every callback call.
#pragma once

#include "tests/support/devbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace engine_box {

inline const std::string driver = ENGINE_DRIVER;
inline const std::string keys = std::string(VARITOOL_SOURCE_DIR) + "/keys/development/";
inline constexpr char unit[] = "gx4dev"; // the box's unit name
inline constexpr char iv[] = "8e5d2a4107c3f6b9d1e0a2735c48b91f";

// The cipher chunk of a file enciphered with the key store's AES key.
inline std::string enciphered(const std::string &aes = "aes.keyrec") {
    return R"({"key": ")" + keys + aes + R"(", "iv": ")" + iv + R"("})";
}

// An update file's manifest: fields are JSON texts put in as they stand.
struct manifest {
    int slot = 1;
    std::string key;                 // PEM file; default: keys/development/slot<N>.pem
    std::string unit = "\"gx4dev\""; // null leaves the chunk out
    std::string version = "\"4.0.28\"";
    std::string time = "\"auto\"";
    std::string cipher; // a cipher object, or empty for none
    std::string chunks; // the chunk objects, comma-separated
    std::string extra;  // more top-level fields, comma-separated
    std::string fourcc; // a signature fourcc instead of the slot's

    std::string json() const {
        std::string sig =
            fourcc.empty() ? "\"slot\": " + std::to_string(slot) : "\"fourcc\": \"" + fourcc + "\"";
        std::string pem = key.empty() ? keys + "slot" + std::to_string(slot) + ".pem" : key;
        std::string j = "{\"signature\": {" + sig + ", \"key\": \"" + pem + "\"}";
        if (!cipher.empty()) j += ", \"cipher\": " + cipher;
        j += ", \"unit\": " + unit + ", \"version\": " + version + ", \"time\": " + time;
        j += ", \"chunks\": [" + chunks + "]";
        if (!extra.empty()) j += ", " + extra;
        return j + "}";
    }
};

// The lines a text holds.
inline std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out.push_back(text.substr(start, end - start));
    return out;
}

// The lines that start with prefix.
inline std::vector<std::string> starting(const std::vector<std::string> &all,
                                         const std::string &prefix) {
    std::vector<std::string> out;
    for (const std::string &l : all)
        if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
    return out;
}

inline bool has(const std::vector<std::string> &all, const std::string &line) {
    return std::find(all.begin(), all.end(), line) != all.end();
}

// The result line's code, or -1 when there is none (or several).
inline int result(const std::vector<std::string> &out) {
    std::vector<std::string> r = starting(out, "result ");
    return r.size() == 1 ? std::stoi(r[0].substr(7)) : -1;
}

// Little-endian bytes of a 32-bit value, as text.
inline std::string le32(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
    return s;
}

// The same for a 16-bit value.
inline std::string le16(uint16_t v) {
    return std::string{char(v & 0xff), char(v >> 8)};
}

// Bytes in lower-case hexadecimal, as the manifests' "hex" fields take them.
inline std::string hex(const std::string &bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

// A box with the helpers that pack files into it and run the driver there.
class update_box {
public:
    // init: options of "devbox init" for the box.
    explicit update_box(std::vector<std::string> init = {}) : box(std::move(init)) {}

    device_box box;
    scratch_dir work;

    // Packs m into the box file at box_path; fails the test when ozatool
    // refuses. The engine's tests make files the device refuses, so pack
    // writes those too.
    void pack(const manifest &m, const std::string &box_path) const {
        static int n = 0;
        const std::string json =
            work.at(std::string("m").append(std::to_string(n++)).append(".json"));
        write_text(json, m.json());
        run_result r =
            run_program(VARITOOL_OZATOOL, {"ozatool", "pack", json, "-o", box.host_path(box_path),
                                           "--allow-refused", "-q"});
        ASSERT_EQ(r.status, 0) << r.err << "\n" << m.json();
    }

    // The driver's output lines for one command line ("run", options, path).
    std::vector<std::string> drive(const std::vector<std::string> &args) const {
        std::vector<std::string> argv = {driver};
        argv.insert(argv.end(), args.begin(), args.end());
        run_result r = box.run(argv);
        EXPECT_EQ(r.err, "") << "driver " << args.at(0);
        return lines(r.out);
    }

    // Packs m as /cache/u.oza and runs it; returns the driver's lines.
    std::vector<std::string> install(const manifest &m, std::vector<std::string> options = {}) {
        pack(m, "/cache/u.oza");
        options.insert(options.begin(), "run");
        options.push_back("/cache/u.oza");
        return drive(options);
    }

    std::string file(const std::string &box_path) const { return box.read(box_path); }
    bool exists(const std::string &box_path) const { return box.exists(box_path); }
};

class Engine : public ::testing::Test, public update_box {};

} // namespace engine_box
