// Scratch directories made by mkdtemp below TMPDIR and removed whole; run_program feeds standard
// input and collects both outputs through poll, and in a cross build starts the tree's own
// programs through the emulator.
#include "tests/support/scratch.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

scratch_dir::scratch_dir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/varitool-test.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = buf.data();
}

scratch_dir::~scratch_dir() {
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string scratch_dir::at(const std::string &name) const {
    return path + "/" + name;
}

void write_text(const std::string &path, const std::string &text) {
    fs::path p(path);
    if (p.has_parent_path()) fs::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << text;
}

std::string read_text(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool file_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

namespace {

// The ELF machine number of the program at path (0 when it is no ELF file).
unsigned elf_machine(const char *path) {
    static constexpr unsigned char magic[4] = {0x7f, 'E', 'L', 'F'};
    unsigned char head[20] = {};
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n != sizeof head || memcmp(head, magic, sizeof magic) != 0) return 0;
    // e_machine, at offset 18, in the file's byte order (byte 5: 2 is big-endian).
    return head[5] == 2 ? unsigned(head[18]) << 8 | head[19] : head[18] | unsigned(head[19]) << 8;
}

// The file to execute, then the argument vector, that run path with argv.
// In a cross build the programs of the tree (same processor as this test)
// start through the build's emulator, so that they run also where the kernel
// cannot start them by itself; the emulator gives them argv[0] unchanged.
std::vector<std::string> command_for(const std::string &path,
                                     const std::vector<std::string> &argv) {
#ifdef VARITOOL_TEST_EMULATOR
    const unsigned machine = elf_machine(path.c_str());
    if (machine != 0 && machine == elf_machine("/proc/self/exe")) {
        std::vector<std::string> cmd;
        std::string_view list = VARITOOL_TEST_EMULATOR;
        for (size_t at = 0; at <= list.size();) {
            size_t end = std::min(list.find(',', at), list.size());
            cmd.emplace_back(list.substr(at, end - at));
            at = end + 1;
        }
        cmd.insert(cmd.begin(), cmd.front());
        cmd.insert(cmd.end(), {"-0", argv.empty() ? path : argv[0], path});
        if (!argv.empty()) cmd.insert(cmd.end(), argv.begin() + 1, argv.end());
        return cmd;
    }
#endif
    (void)elf_machine;
    std::vector<std::string> cmd{path};
    cmd.insert(cmd.end(), argv.begin(), argv.end());
    return cmd;
}

} // namespace

run_result run_program(const std::string &path, const std::vector<std::string> &argv,
                       const std::string &input) {
    const std::vector<std::string> cmd = command_for(path, argv);
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        std::vector<char *> args;
        for (size_t i = 1; i < cmd.size(); ++i) args.push_back(const_cast<char *>(cmd[i].c_str()));
        args.push_back(nullptr);
        execv(cmd[0].c_str(), args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    run_result r;
    size_t sent = 0;
    int in_fd = in[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    } else {
        fcntl(in_fd, F_SETFL, O_NONBLOCK);
    }
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in_fd, POLLOUT, 0}};
    int open_outputs = 2;
    while (open_outputs > 0) {
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_outputs;
            }
        }
        if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            ssize_t n = write(fds[2].fd, input.data() + sent, input.size() - sent);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 || sent == input.size()) {
                close(fds[2].fd);
                fds[2].fd = -1;
            }
        }
    }
    if (fds[2].fd >= 0) close(fds[2].fd);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}
