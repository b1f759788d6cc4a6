// Every box operation is one run of tools/devbox, under setpriv when the box belongs to a user,
// with the build tree bound into the box; box paths are files below the box's directory.
#include "tests/support/devbox.h"

#include "core/config.h"

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

// Compiled into each configuration's box tests, which define these.
#ifndef VARITOOL_EXECUTABLE
#error "VARITOOL_EXECUTABLE must name the configuration's executable"
#endif

std::string shell_quote(const std::string &text) {
    std::string q = "'";
    for (char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string device_box::built(const std::string &relative) {
    return std::string(VARITOOL_BINARY_DIR) + "/" + relative;
}

std::string device_box::executable() {
    return VARITOOL_EXECUTABLE;
}

device_box::device_box(std::vector<std::string> init_args, unsigned as_user)
    : dir(scratch.path + "/box"), uid(as_user) {
    setenv("DEVBOX_TOOL", DEVBOX_TOOL, 1);
    if (uid != 0 && chown(scratch.path.c_str(), uid, uid) != 0) made.err = "chown failed";
    if constexpr (basic_build) init_args.push_back("--basic");
    std::vector<std::string> args = {"init", dir};
    args.insert(args.end(), init_args.begin(), init_args.end());
    if (made.err.empty()) made = devbox(args);
}

device_box::~device_box() {
    stop();
}

run_result device_box::devbox(const std::vector<std::string> &args,
                              const std::string &input) const {
    std::vector<std::string> argv;
    if (uid != 0) {
        std::string id = std::to_string(uid);
        argv = {"/usr/bin/setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"};
    }
    argv.push_back(std::string(VARITOOL_SOURCE_DIR) + "/tools/devbox");
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv[0], argv, input);
}

std::string device_box::read(const std::string &box_path) const {
    return read_text(host_path(box_path));
}

void device_box::write(const std::string &box_path, const std::string &text) const {
    write_text(host_path(box_path), text);
}

bool device_box::exists(const std::string &box_path) const {
    return file_exists(host_path(box_path));
}

void device_box::patch(const std::string &box_path, size_t offset, const std::string &bytes) const {
    std::fstream f(host_path(box_path), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool device_box::input_event(int n) const {
    std::string fifo = host_path("/dev/input/event" + std::to_string(n));
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const char record[24] = {};
    bool ok = ::write(fd, record, sizeof record) == static_cast<ssize_t>(sizeof record);
    close(fd);
    return ok;
}

void device_box::set(const std::string &key, const std::string &value) const {
    std::ofstream(host_path("/box/config"), std::ios::app) << key << "=" << value << "\n";
}

std::vector<std::string> device_box::log() const {
    std::vector<std::string> lines;
    std::istringstream in(read("/box/log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void device_box::clear_log() const {
    write("/box/log", "");
}

run_result device_box::run(const std::vector<std::string> &argv, const std::string &input) const {
    std::vector<std::string> args = {"run", "--bind", VARITOOL_BINARY_DIR, dir, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return devbox(args, input);
}

run_result device_box::run_with_fault(const std::string &spec, const std::vector<std::string> &argv,
                                      const std::string &input) const {
    std::vector<std::string> args = {"run", "--bind", VARITOOL_BINARY_DIR, "--fault", spec,
                                     dir,   "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return devbox(args, input);
}

run_result device_box::shell(const std::string &script, const std::string &input) const {
    return run({"/bin/sh", "-c", script}, input);
}

bool device_box::start() {
    run_result r =
        devbox({"start", "--bind", VARITOOL_BINARY_DIR, "--owner", std::to_string(getpid()), dir});
    if (r.status != 0) return false;
    started = true;
    return true;
}

run_result device_box::exec(const std::vector<std::string> &argv, const std::string &input) const {
    std::vector<std::string> args = {"exec", dir, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return devbox(args, input);
}

run_result device_box::exec_with_fault(const std::string &spec,
                                       const std::vector<std::string> &argv,
                                       const std::string &input) const {
    std::vector<std::string> args = {"exec", "--fault", spec, dir, "--"};
    args.insert(args.end(), argv.begin(), argv.end());
    return devbox(args, input);
}

run_result device_box::exec_shell(const std::string &script, const std::string &input) const {
    return exec({"/bin/sh", "-c", script}, input);
}

bool device_box::spawn(const std::vector<std::string> &argv, const std::string &out_path) const {
    std::string command;
    for (const std::string &a : argv) command += shell_quote(a) + " ";
    return exec_shell(command + "</dev/null >" + shell_quote(out_path) + " 2>&1 &").status == 0;
}

void device_box::stop() {
    if (!started) return;
    devbox({"stop", dir});
    started = false;
}
