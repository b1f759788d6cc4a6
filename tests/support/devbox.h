// Test support: a device box (tools/devbox) in a scratch directory, and
// commands run inside it.
#pragma once

#include "tests/support/scratch.h"

#include <cstddef>
#include <string>
#include <vector>

// A box made with "devbox init" in a fresh scratch directory. Box paths
// ("/sys/class/leds/power/trigger") name files of the box tree; the host path
// of one is host_path(box path). A persistent box (start) is stopped by stop()
// or the destructor; it also stops by itself when the test process ends.
class device_box {
public:
    // init_args: options of "devbox init" (such as {"--board", "XYZ"}). The
    // basic configuration's tests get "--basic" added. as_user: a uid to run
    // every devbox command as (a box without privileges); 0 runs as the caller.
    explicit device_box(std::vector<std::string> init_args = {}, unsigned as_user = 0);
    ~device_box();
    device_box(const device_box &) = delete;
    device_box &operator=(const device_box &) = delete;

    // The result of "devbox init": status 0 when the box was made.
    const run_result &init_result() const { return made; }
    // The host path of the box's root, and of a path inside the box.
    const std::string &root() const { return dir; }
    std::string host_path(const std::string &box_path) const { return dir + box_path; }

    // Files of the box tree.
    std::string read(const std::string &box_path) const;
    void write(const std::string &box_path, const std::string &text) const;
    bool exists(const std::string &box_path) const;
    // Overwrites bytes of a box file at offset, in place (the file keeps its
    // other bytes and its size, unless bytes reach past its end).
    void patch(const std::string &box_path, size_t offset, const std::string &bytes) const;
    // Appends "key=value" to the box's settings (the last value wins).
    void set(const std::string &key, const std::string &value) const;
    // Writes one 24-byte input event record into the input FIFO
    // /dev/input/event<n>, without waiting: false when no program in the box
    // has it open.
    bool input_event(int n) const;
    // The stand-ins' log: lines of the calls they answered, oldest first.
    std::vector<std::string> log() const;
    void clear_log() const;

    // Runs argv in a new box on the tree ("devbox run").
    run_result run(const std::vector<std::string> &argv, const std::string &input = "") const;
    // Runs a /bin/sh script in a new box.
    run_result shell(const std::string &script, const std::string &input = "") const;
    // Runs the configuration's executable with args in a new box.
    run_result applet(const std::vector<std::string> &args, const std::string &input = "") const {
        std::vector<std::string> argv = {executable()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv, input);
    }

    // The same with the box's fault library set to spec ("devbox run --fault
    // SPEC"; the words of BOX_FAULT, such as "calls=write nth=2 do=EIO
    // exe=varitool"). Hits are logged as "fault CALL PATH: OUTCOME".
    run_result run_with_fault(const std::string &spec, const std::vector<std::string> &argv,
                              const std::string &input = "") const;
    run_result applet_with_fault(const std::string &spec, const std::vector<std::string> &args,
                                 const std::string &input = "") const {
        std::vector<std::string> argv = {executable()};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_with_fault(spec, argv, input);
    }

    // The persistent form: start the box, run commands in it, stop it.
    // Commands that leave a daemon behind must redirect its output (the
    // daemon would keep exec's output pipes open): see spawn.
    bool start();
    run_result exec(const std::vector<std::string> &argv, const std::string &input = "") const;
    run_result exec_with_fault(const std::string &spec, const std::vector<std::string> &argv,
                               const std::string &input = "") const;
    run_result exec_shell(const std::string &script, const std::string &input = "") const;
    // Starts argv in the background of the running box, its output going to
    // box file out_path. True when it was started.
    bool spawn(const std::vector<std::string> &argv, const std::string &out_path) const;
    void stop();

    // The absolute path of a build product in this test's build tree (such as
    // "tests/box-probe").
    static std::string built(const std::string &relative);
    // The configuration's executable (varitool or varitool-basic).
    static std::string executable();

private:
    run_result devbox(const std::vector<std::string> &args, const std::string &input = "") const;

    scratch_dir scratch;
    std::string dir;
    unsigned uid;
    bool started = false;
    run_result made;
};

// Quotes text for /bin/sh.
std::string shell_quote(const std::string &text);
