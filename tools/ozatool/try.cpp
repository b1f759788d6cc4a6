// ozatool try: a dry run of an update file on a simulated tablet. It makes
// a device box (tools/devbox) as asked, puts the file into it, keeps a copy
// of the whole tree, installs the file with the real ozaparser inside the
// box, and reports what changed: files (new, removed, changed, modes), raw
// areas (byte ranges), parameter records decoded by record and identifier,
// the key store, the partition table, the formatted volume, the flash, the
// command lines the UI daemon's client received and the installer's
// console output; --json gives the same as one document. The exit status is
// the installer's (2 when the box cannot be made).
#include "tools/ozatool/check_options.h"
#include "tools/ozatool/cli.h"

#include "core/byteorder.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using json = nlohmann::json;

#ifndef OZATOOL_EXECUTABLE
#define OZATOOL_EXECUTABLE ""
#define OZATOOL_EXECUTABLE_BASIC ""
#define OZATOOL_DEVBOX ""
#define OZATOOL_SOURCE_DIR ""
#endif

extern char **environ;

namespace {

// ---- running programs ----

struct ran {
    int status = -1;
    std::string out, err;
};

// Runs argv with its output captured; the exit status (128 + signal when killed).
ran run(const std::vector<std::string> &argv) {
    ran r;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return r;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]), close(out[1]);
        return r;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        const int null = open("/dev/null", O_RDONLY);
        if (null >= 0) dup2(null, 0);
        std::vector<char *> args;
        for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0], args.data(), environ);
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    for (int open_pipes = 2; open_pipes > 0;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                open_pipes--;
            }
        }
    }
    int status = 0;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return r;
}

// ---- the tree and its copy ----

struct entry {
    char kind; // 'f' file, 'd' folder, 'l' link, 'o' other (FIFO, device)
    mode_t mode;
    uint64_t size;
    std::string link;
};

bool skipped(const std::string &path) {
    // The box's own folder, the host's programs and the box's procfs.
    return path == "/box" || path == "/usr" || path == "/proc";
}

void list_tree(const std::string &root, const std::string &path,
               std::map<std::string, entry> *out) {
    DIR *d = opendir((root + path).c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (const dirent *e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    closedir(d);
    for (const std::string &n : names) {
        const std::string p = path + "/" + n;
        if (skipped(p)) continue;
        struct stat st;
        if (lstat((root + p).c_str(), &st) != 0) continue;
        entry e{'o', st.st_mode & 07777, uint64_t(st.st_size), ""};
        if (S_ISREG(st.st_mode)) {
            e.kind = 'f';
        } else if (S_ISDIR(st.st_mode)) {
            e.kind = 'd';
        } else if (S_ISLNK(st.st_mode)) {
            e.kind = 'l';
            char target[4096];
            const ssize_t k = readlink((root + p).c_str(), target, sizeof target - 1);
            if (k >= 0) e.link.assign(target, size_t(k));
        }
        (*out)[p] = e;
        if (e.kind == 'd') list_tree(root, p, out);
    }
}

// Copies a file, keeping its holes.
bool copy_sparse(const std::string &from, const std::string &to, mode_t mode) {
    const int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    struct stat st;
    bool ok = out >= 0 && fstat(in, &st) == 0 && ftruncate(out, st.st_size) == 0;
    std::vector<unsigned char> buffer(1 << 20);
    for (off_t at = 0; ok && at < st.st_size;) {
        const off_t data = lseek(in, at, SEEK_DATA);
        if (data < 0) break; // only a hole is left
        const off_t hole = lseek(in, data, SEEK_HOLE);
        for (off_t p = data; ok && p < hole;) {
            const ssize_t n = pread(in, buffer.data(),
                                    size_t(std::min<off_t>(off_t(buffer.size()), hole - p)), p);
            ok = n > 0 && pwrite(out, buffer.data(), size_t(n), p) == n;
            p += n;
        }
        at = hole;
    }
    if (out >= 0) ok = close(out) == 0 && ok;
    close(in);
    return ok;
}

bool copy_tree(const std::string &root, const std::map<std::string, entry> &tree,
               const std::string &to) {
    for (const auto &[path, e] : tree) {
        const std::string dst = to + path;
        if (e.kind == 'd') {
            if (mkdir(dst.c_str(), 0755) != 0 && errno != EEXIST) return false;
        } else if (e.kind == 'f') {
            if (!copy_sparse(root + path, dst, 0600)) return false;
        }
    }
    return true;
}

struct range {
    uint64_t start, length;
};

// The byte ranges in which two files differ (a file's missing tail counts
// as differing), read where either holds data.
std::vector<range> changed_ranges(const std::string &a, const std::string &b, uint64_t *changed) {
    std::vector<range> out;
    *changed = 0;
    const int fa = open(a.c_str(), O_RDONLY | O_CLOEXEC),
              fb = open(b.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat sa {
    }, sb{};
    if (fa >= 0) fstat(fa, &sa);
    if (fb >= 0) fstat(fb, &sb);
    const uint64_t end = uint64_t(std::max(sa.st_size, sb.st_size));
    auto next_data = [](int fd, uint64_t size, uint64_t at) -> uint64_t {
        if (fd < 0 || at >= size) return UINT64_MAX;
        const off_t d = lseek(fd, off_t(at), SEEK_DATA);
        return d < 0 ? UINT64_MAX : uint64_t(d);
    };
    std::vector<unsigned char> x(1 << 20), y(1 << 20);
    for (uint64_t at = 0; at < end;) {
        const uint64_t start = std::min(next_data(fa, uint64_t(sa.st_size), at),
                                        next_data(fb, uint64_t(sb.st_size), at));
        if (start >= end) break;
        const size_t n = size_t(std::min<uint64_t>(x.size(), end - start));
        std::fill(x.begin(), x.end(), 0);
        std::fill(y.begin(), y.end(), 0);
        const ssize_t ra = fa >= 0 ? pread(fa, x.data(), n, off_t(start)) : 0;
        const ssize_t rb = fb >= 0 ? pread(fb, y.data(), n, off_t(start)) : 0;
        for (size_t i = 0; i < n; i++) {
            const bool in_a = ssize_t(i) < ra, in_b = ssize_t(i) < rb;
            if (in_a == in_b && (!in_a || x[i] == y[i])) continue;
            const uint64_t p = start + i;
            (*changed)++;
            if (!out.empty() && out.back().start + out.back().length == p)
                out.back().length++;
            else
                out.push_back({p, 1});
        }
        at = start + n;
    }
    if (fa >= 0) close(fa);
    if (fb >= 0) close(fb);
    return out;
}

bytes read_range(const std::string &path, uint64_t offset, size_t n) {
    bytes b(n, 0);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    const ssize_t r = pread(fd, b.data(), n, off_t(offset));
    close(fd);
    b.resize(r > 0 ? size_t(r) : 0);
    return b;
}

json ranges_json(const std::vector<range> &ranges) {
    json j = json::array();
    for (const range &r : ranges) j.push_back({{"offset", r.start}, {"length", r.length}});
    return j;
}

std::string ranges_text(const std::vector<range> &ranges, size_t most = 6) {
    std::string t;
    for (size_t i = 0; i < ranges.size() && i < most; i++)
        t += (i ? ", " : "") + std::to_string(ranges[i].start) +
             (ranges[i].length > 1 ? "-" + std::to_string(ranges[i].start + ranges[i].length - 1)
                                   : "");
    if (ranges.size() > most) t += " and " + std::to_string(ranges.size() - most) + " more ranges";
    return t;
}

// ---- decoding what changed ----

// Typed records (u16 length, u16 id, value) in b[start, end): id -> value hex.
std::map<unsigned, std::string> typed_records(const bytes &b, size_t start, size_t end) {
    std::map<unsigned, std::string> out;
    end = std::min(end, b.size());
    for (size_t at = start; at + 4 <= end;) {
        const size_t length = load_le16(b.data() + at);
        if (length == 0) {
            at += 2;
            continue;
        }
        if (length < 4 || length > end - at) break;
        std::string &v = out[load_le16(b.data() + at + 2)];
        if (!v.empty()) v += " ";
        v += hex_text(b.data() + at + 4, length - 4);
        at += length;
    }
    return out;
}

json typed_changes(const std::string &record, const bytes &before, const bytes &after, size_t start,
                   bool end_field) {
    const size_t end_a =
        end_field && before.size() >= 8 ? load_le32(before.data() + 4) : before.size();
    const size_t end_b =
        end_field && after.size() >= 8 ? load_le32(after.data() + 4) : after.size();
    const auto a = typed_records(before, start, end_a), b = typed_records(after, start, end_b);
    json out = json::array();
    std::map<unsigned, int> ids;
    for (const auto &kv : a) ids[kv.first] = 1;
    for (const auto &kv : b) ids[kv.first] = 1;
    for (const auto &kv : ids) {
        const auto ia = a.find(kv.first), ib = b.find(kv.first);
        const std::string va = ia == a.end() ? "" : ia->second,
                          vb = ib == b.end() ? "" : ib->second;
        if (va == vb) continue;
        json c = {{"record", record}, {"id", kv.first}};
        c["before"] = ia == a.end() ? json() : json(va);
        c["after"] = ib == b.end() ? json() : json(vb);
        out.push_back(c);
    }
    return out;
}

struct store_field {
    const char *name;
    size_t offset, size;
};
constexpr store_field store_fields[] = {
    {"unit name", store_unit, oza_unit_name_size},
    {"AES key", store_aes, store_aes_size},
    {"image key", store_image_key, key_record_size},
    {"slot 1 key", size_t(keystore_slot_key_offsets[0]), key_record_size},
    {"slot 2 key", size_t(keystore_slot_key_offsets[1]), key_record_size},
    {"slot 3 key", size_t(keystore_slot_key_offsets[2]), key_record_size},
    {"slot 4 key", size_t(keystore_slot_key_offsets[3]), key_record_size},
};

std::string store_value(const store_field &f, const bytes &b) {
    if (f.offset == store_unit)
        return "\"" +
               std::string(reinterpret_cast<const char *>(b.data()),
                           strnlen(reinterpret_cast<const char *>(b.data()), b.size())) +
               "\"";
    if (f.size == key_record_size) return describe_key_record(b.data());
    return hex_text(b.data(), b.size());
}

struct mbr_entry {
    unsigned type;
    uint32_t first, count;
};

mbr_entry mbr_of(const bytes &sector) {
    if (sector.size() < 512) return {0, 0, 0};
    return {sector[450], load_le32(sector.data() + 454), load_le32(sector.data() + 458)};
}

json volume_of(const bytes &boot) {
    if (boot.size() < 90) return nullptr;
    const bool fat32 = memcmp(boot.data() + 82, "FAT32   ", 8) == 0;
    const bool fat = fat32 || memcmp(boot.data() + 54, "FAT", 3) == 0;
    if (!fat) return {{"file_system", nullptr}};
    std::string label(reinterpret_cast<const char *>(boot.data() + (fat32 ? 71 : 43)), 11);
    label.erase(label.find_last_not_of(' ') + 1);
    return {{"file_system", fat32 ? "FAT32" : "FAT"}, {"label", label}};
}

// A small text file's contents ("" for anything else).
std::string preview(const std::string &path, uint64_t size) {
    if (size > 200) return "";
    bytes b = read_range(path, 0, size_t(size));
    std::string t;
    for (unsigned char c : b) {
        if (c == '\n')
            t += "\\n";
        else if (c >= 0x20 && c < 0x7f)
            t += char(c);
        else
            return "";
    }
    return t;
}

std::string octal(mode_t m) {
    char t[16];
    snprintf(t, sizeof t, "0%o", unsigned(m));
    return t;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    if (start < text.size()) out.push_back(text.substr(start));
    return out;
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        if (DIR *d = opendir(path.c_str())) {
            std::vector<std::string> names;
            while (const dirent *e = readdir(d))
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            closedir(d);
            for (const std::string &n : names) remove_tree(path + "/" + n);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

bool make_parents(const std::string &path) {
    for (size_t at = 1; at < path.size(); at++)
        if (path[at] == '/' && mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    return true;
}

// Removes the folders it made when the run ends.
struct cleanup {
    std::vector<std::string> paths;
    ~cleanup() {
        for (const std::string &p : paths) remove_tree(p);
    }
};

constexpr size_t typed_at = 16400, typed_size = 2032;

// The records of the parameter image, for naming its changed ranges.
struct image_record {
    const char *name;
    uint64_t start, size;
};
constexpr image_record image_records[] = {
    {"ParamStore_3a", 16384, 16},
    {"ParamStore_3b", 16400, 2032},
    {"ParamStore_3c", 18432, 6144},
    {"ParamStore_4", 24576, 8192},
};

} // namespace

int try_main(int argc, char **argv) {
    const char *name = argv[0];
    std::vector<std::string> init;
    std::vector<std::pair<std::string, std::string>> files;
    std::string keep, at = "/cache/update.oza", exe, devbox;
    bool as_json = false, basic = false;
    enum {
        opt_keys = 0x30000,
        opt_unit,
        opt_board,
        opt_basic,
        opt_init,
        opt_file,
        opt_at,
        opt_keep,
        opt_json,
        opt_exe,
        opt_devbox,
    };
    static const option options[] = {{"keys", required_argument, nullptr, opt_keys},
                                     {"unit", required_argument, nullptr, opt_unit},
                                     {"board", required_argument, nullptr, opt_board},
                                     {"basic", no_argument, nullptr, opt_basic},
                                     {"init", required_argument, nullptr, opt_init},
                                     {"file", required_argument, nullptr, opt_file},
                                     {"at", required_argument, nullptr, opt_at},
                                     {"keep", required_argument, nullptr, opt_keep},
                                     {"json", no_argument, nullptr, opt_json},
                                     {"exe", required_argument, nullptr, opt_exe},
                                     {"devbox", required_argument, nullptr, opt_devbox},
                                     {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = cli_option(argc, argv, "", options)) != -1) {
        switch (opt) {
        case cli_help: return help(name);
        case opt_keys: init.insert(init.end(), {"--keys", absolute_path(optarg)}); break;
        case opt_unit: init.insert(init.end(), {"--unit", optarg}); break;
        case opt_board: init.insert(init.end(), {"--board", optarg}); break;
        case opt_basic:
            basic = true;
            init.push_back("--basic");
            break;
        case opt_init: init.push_back(optarg); break;
        case opt_file: {
            const char *eq = strchr(optarg, '=');
            if (!eq || optarg[0] != '/')
                return fail(name, "--file '%s': BOX-PATH=HOST-FILE, the box path absolute", optarg),
                       2;
            files.push_back({std::string(optarg, size_t(eq - optarg)), eq + 1});
            break;
        }
        case opt_at:
            at = optarg;
            if (at.empty() || at[0] != '/')
                return fail(name, "--at '%s': an absolute box path", optarg), 2;
            break;
        case opt_keep: keep = optarg; break;
        case opt_json: as_json = true; break;
        case opt_exe: exe = absolute_path(optarg); break;
        case opt_devbox: devbox = absolute_path(optarg); break;
        default: return usage(name);
        }
    }
    if (argc - optind != 1) return usage(name);
    const std::string file = argv[optind];
    if (exe.empty()) exe = basic ? OZATOOL_EXECUTABLE_BASIC : OZATOOL_EXECUTABLE;
    if (devbox.empty() && getenv("DEVBOX_TOOL")) devbox = getenv("DEVBOX_TOOL");
    if (devbox.empty()) devbox = OZATOOL_DEVBOX;
    if (exe.empty() || devbox.empty() || access(exe.c_str(), X_OK) != 0 ||
        access(devbox.c_str(), X_OK) != 0)
        return fail(name,
                    "try needs the executable and the device box of the project's build "
                    "tree (give --exe and --devbox): '%s', '%s'",
                    exe.c_str(), devbox.c_str()),
               2;
    if (!getenv("DEVBOX_ROOT") && *OZATOOL_SOURCE_DIR) setenv("DEVBOX_ROOT", OZATOOL_SOURCE_DIR, 1);
    if (access(file.c_str(), R_OK) != 0)
        return fail(name, "cannot read %s: %s", file.c_str(), strerror(errno)), 2;

    cleanup gone;
    std::string box;
    const char *tmp = getenv("TMPDIR") && *getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    auto scratch = [&](const char *what) {
        std::string pattern = std::string(tmp) + "/ozatool-try-" + what + ".XXXXXX";
        std::vector<char> n(pattern.begin(), pattern.end());
        n.push_back('\0');
        if (!mkdtemp(n.data())) return std::string();
        gone.paths.push_back(n.data());
        return std::string(n.data());
    };
    if (!keep.empty()) {
        if (!folder_empty_or_absent(keep))
            return fail(name, "--keep %s: the folder must be absent or empty", keep.c_str()), 2;
        box = absolute_path(keep);
    } else {
        const std::string holder = scratch("box");
        if (holder.empty())
            return fail(name, "cannot make a folder in %s: %s", tmp, strerror(errno)), 2;
        box = holder + "/root";
    }
    std::vector<std::string> init_argv = {devbox, "init", box};
    init_argv.insert(init_argv.end(), init.begin(), init.end());
    ran made = run(init_argv);
    if (made.status != 0)
        return fail(name, "devbox init failed (%d): %s", made.status, made.err.c_str()), 2;

    // The update file and the other files the run needs, in place.
    files.insert(files.begin(), {at, file});
    for (const auto &[in_box, host] : files) {
        struct stat st;
        if (stat(host.c_str(), &st) != 0 || !make_parents(box + in_box) ||
            !copy_sparse(host, box + in_box, st.st_mode & 0777))
            return fail(name, "cannot put %s into the box at %s: %s", host.c_str(), in_box.c_str(),
                        strerror(errno)),
                   2;
    }
    // What the device's rules predict, with the box's state.
    check_options check;
    check.box = box.c_str();
    check.device.update_path = at;
    inspection predicted;
    const bool have_prediction =
        check_finish(name, &check) && inspect_path(name, box + at, check, &predicted);

    // One run of nothing first, so that the mount points the box makes for
    // itself (the host's devices, the project's folder) exist before the copy.
    std::vector<std::string> run_argv = {devbox, "run"};
    const size_t slash = exe.rfind('/');
    run_argv.insert(run_argv.end(), {"--bind", exe.substr(0, slash), box, "--"});
    std::vector<std::string> nothing = run_argv;
    nothing.insert(nothing.end(), {"/bin/sh", "-c", ":"});
    ran settled = run(nothing);
    if (settled.status != 0)
        return fail(name, "the box does not run (%d): %s", settled.status, settled.err.c_str()), 2;

    std::map<std::string, entry> before_tree, after_tree;
    list_tree(box, "", &before_tree);
    const std::string snapshot = scratch("before");
    if (snapshot.empty() || !copy_tree(box, before_tree, snapshot))
        return fail(name, "cannot copy the box's tree: %s", strerror(errno)), 2;
    auto text_of = [](const std::string &path) {
        bytes b;
        read_whole(path, &b);
        return std::string(b.begin(), b.end());
    };
    const size_t log_before = lines_of(text_of(box + "/box/log")).size();

    run_argv.insert(run_argv.end(), {exe, "ozaparser", "-f", at});
    ran installed = run(run_argv);
    list_tree(box, "", &after_tree);

    // ---- what changed ----
    json changes_files = json::array(), raw = json::array(), params = json::array();
    json keystore = json::array(), flash = json();
    json table = json(), volume = json();
    std::map<std::string, int> paths;
    for (const auto &kv : before_tree) paths[kv.first] = 1;
    for (const auto &kv : after_tree) paths[kv.first] = 1;
    for (const auto &kv : paths) {
        const std::string &p = kv.first;
        const auto ib = before_tree.find(p), ia = after_tree.find(p);
        const bool was = ib != before_tree.end(), is = ia != after_tree.end();
        const std::string old_path = snapshot + p, new_path = box + p;
        if (was && is && ib->second.kind == 'd' && ia->second.kind == 'd') {
            if (ib->second.mode != ia->second.mode)
                changes_files.push_back({{"path", p},
                                         {"change", "mode"},
                                         {"kind", "folder"},
                                         {"mode_before", octal(ib->second.mode)},
                                         {"mode_after", octal(ia->second.mode)}});
            continue;
        }
        if (!was || !is) {
            const entry &e = was ? ib->second : ia->second;
            json c = {{"path", p},
                      {"change", was ? "removed" : "new"},
                      {"kind", e.kind == 'd'   ? "folder"
                               : e.kind == 'l' ? "link"
                               : e.kind == 'f' ? "file"
                                               : "other"}};
            if (is && e.kind == 'f') {
                c["size"] = e.size;
                c["mode"] = octal(e.mode);
                const std::string t = preview(new_path, e.size);
                if (!t.empty() || e.size == 0) c["text"] = t;
            }
            changes_files.push_back(c);
            continue;
        }
        const entry &b = ib->second, &a = ia->second;
        if (b.kind != 'f' || a.kind != 'f') {
            if (b.kind != a.kind || b.link != a.link)
                changes_files.push_back({{"path", p}, {"change", "changed"}, {"kind", "link"}});
            continue;
        }
        uint64_t count = 0;
        const std::vector<range> ranges = changed_ranges(old_path, new_path, &count);
        const bool mode_changed = b.mode != a.mode;
        if (ranges.empty() && !mode_changed) continue;
        if (p == "/mnt/rawfs/params") {
            const bytes old_img = read_range(old_path, 0, 32768),
                        new_img = read_range(new_path, 0, 32768);
            const bytes ob(old_img.begin() + long(std::min(old_img.size(), typed_at)),
                           old_img.begin() + long(std::min(old_img.size(), typed_at + typed_size)));
            const bytes nb(new_img.begin() + long(std::min(new_img.size(), typed_at)),
                           new_img.begin() + long(std::min(new_img.size(), typed_at + typed_size)));
            for (const json &c : typed_changes("ParamStore_3b", ob, nb, 8, true))
                params.push_back(c);
            for (const image_record &rec : image_records) {
                if (strcmp(rec.name, "ParamStore_3b") == 0) continue;
                std::vector<range> inside;
                for (const range &r : ranges) {
                    const uint64_t s = std::max(r.start, rec.start),
                                   e = std::min(r.start + r.length, rec.start + rec.size);
                    if (s < e) inside.push_back({s - rec.start, e - s});
                }
                if (inside.empty()) continue;
                json c = {{"record", rec.name}, {"ranges", ranges_json(inside)}};
                if (strcmp(rec.name, "ParamStore_4") == 0 && new_img.size() >= 24584 &&
                    old_img.size() >= 24584)
                    c["boot_entry"] = {{"before", load_le32(old_img.data() + 24580)},
                                       {"after", load_le32(new_img.data() + 24580)}};
                params.push_back(c);
            }
        }
        if (p == "/mnt/storage/System/System.bin") {
            for (const json &c : typed_changes("System.bin", read_range(old_path, 0, 32768),
                                               read_range(new_path, 0, 32768), 4, false))
                params.push_back(c);
        }
        if (p.rfind("/mnt/rawfs/", 0) == 0) {
            raw.push_back(
                {{"area", p.substr(11)}, {"bytes", count}, {"ranges", ranges_json(ranges)}});
            continue;
        }
        if (p == "/dev/mmcblk0") {
            const bytes field = read_range(new_path, store_length_field, 4);
            const uint64_t base = store_base + (field.size() == 4 ? load_le32(field.data()) : 0);
            for (const store_field &f : store_fields) {
                const bytes o = read_range(old_path, base + f.offset, f.size),
                            n = read_range(new_path, base + f.offset, f.size);
                if (o == n || n.size() != f.size) continue;
                keystore.push_back({{"field", f.name},
                                    {"offset", f.offset},
                                    {"before", o.size() == f.size ? store_value(f, o) : ""},
                                    {"after", store_value(f, n)}});
            }
            std::vector<range> outside;
            for (const range &r : ranges)
                if (r.start + r.length <= base ||
                    r.start >= base + size_t(keystore_slot_key_offsets[3]) + key_record_size)
                    outside.push_back(r);
            if (!outside.empty())
                keystore.push_back(
                    {{"field", "outside the key store"}, {"ranges", ranges_json(outside)}});
            continue;
        }
        if (p == "/dev/sda") {
            const mbr_entry o = mbr_of(read_range(old_path, 0, 512)),
                            n = mbr_of(read_range(new_path, 0, 512));
            table = {
                {"changed", true},
                {"before", {{"type", o.type}, {"first_sector", o.first}, {"sectors", o.count}}},
                {"after", {{"type", n.type}, {"first_sector", n.first}, {"sectors", n.count}}}};
            continue;
        }
        if (p == "/dev/sda1") {
            volume = {{"changed", true},
                      {"bytes", count},
                      {"before", volume_of(read_range(old_path, 0, 512))},
                      {"after", volume_of(read_range(new_path, 0, 512))}};
            continue;
        }
        if (p == "/dev/flashrw") {
            flash = {{"bytes", count}, {"ranges", ranges_json(ranges)}};
            continue;
        }
        json c = {{"path", p},
                  {"change", ranges.empty() ? "mode" : "changed"},
                  {"kind", "file"},
                  {"size_before", b.size},
                  {"size_after", a.size}};
        if (mode_changed) {
            c["mode_before"] = octal(b.mode);
            c["mode_after"] = octal(a.mode);
        }
        const std::string t = preview(new_path, a.size);
        if (!ranges.empty() && (!t.empty() || a.size == 0)) c["text"] = t;
        changes_files.push_back(c);
    }
    const std::vector<std::string> log = lines_of(text_of(box + "/box/log"));
    json ui = json::array(), calls = json::array();
    for (size_t i = log_before; i < log.size(); i++) {
        if (log[i].rfind("zui ", 0) == 0 || log[i].rfind("reboot", 0) == 0)
            ui.push_back(log[i]);
        else
            calls.push_back(log[i]);
    }
    // The installer's exit status keeps the low 8 bits of its result (and
    // 1 for 256); the prediction names the whole code when it agrees.
    const int predicted_code = have_prediction ? predicted.result : -1;
    const int predicted_status =
        predicted_code % 256 == 0 && predicted_code ? 1 : predicted_code % 256;
    json result = {{"exit_status", installed.status},
                   {"predicted", predicted_code >= 0 ? json(predicted_code) : json()}};
    if (have_prediction && predicted_status == installed.status)
        result["code"] = predicted_code, result["text"] = oza_result_text(predicted_code);
    else if (installed.status >= 0 && installed.status < 125)
        result["code"] = nullptr;

    const json doc = {{"file", file},
                      {"box", {{"path", box}, {"kept", !keep.empty()}, {"init", init}, {"at", at}}},
                      {"result", result},
                      {"files", changes_files},
                      {"raw_areas", raw},
                      {"parameters", params},
                      {"key_store", keystore},
                      {"partition_table", table},
                      {"volume", volume},
                      {"flash", flash},
                      {"ui", ui},
                      {"device_calls", calls},
                      {"console", lines_of(installed.err)}};
    if (as_json) {
        print_json(doc);
        return installed.status;
    }
    if (verbosity == 0) return installed.status;
    printf("%s: installed by ozaparser in a %s box at %s: exit status %d", file.c_str(),
           basic ? "basic" : "full", at.c_str(), installed.status);
    if (result.contains("code") && !result["code"].is_null())
        printf(" (result %d: %s)", result["code"].get<int>(),
               oza_result_text(result["code"].get<int>()));
    printf("\n");
    if (have_prediction && predicted_status != installed.status)
        printf("note: verify predicted result %d\n", predicted_code);
    auto section = [](const char *title, bool empty) {
        printf("\n%s:%s\n", title, empty ? " unchanged" : "");
    };
    section("files", changes_files.empty());
    for (const json &c : changes_files) {
        std::string line = "  " + c["change"].get<std::string>();
        line.resize(12, ' ');
        line += c["path"].get<std::string>();
        if (c.contains("size"))
            line += "  (" + std::to_string(c["size"].get<uint64_t>()) + " bytes, mode " +
                    c["mode"].get<std::string>() + ")";
        if (c.contains("size_after"))
            line += "  (" + std::to_string(c["size_before"].get<uint64_t>()) + " -> " +
                    std::to_string(c["size_after"].get<uint64_t>()) + " bytes)";
        if (c.contains("mode_after"))
            line += "  mode " + c["mode_before"].get<std::string>() + " -> " +
                    c["mode_after"].get<std::string>();
        if (c.contains("text")) line += "  \"" + c["text"].get<std::string>() + "\"";
        printf("%s\n", line.c_str());
    }
    section("raw areas", raw.empty());
    for (const json &r : raw) {
        std::vector<range> rs;
        for (const json &x : r["ranges"]) rs.push_back({x["offset"], x["length"]});
        printf("  %-10s %llu bytes changed at %s\n", r["area"].get<std::string>().c_str(),
               static_cast<unsigned long long>(r["bytes"].get<uint64_t>()),
               ranges_text(rs).c_str());
    }
    section("parameter records", params.empty());
    for (const json &c : params) {
        if (c.contains("id"))
            printf(
                "  %s id %u: %s -> %s\n", c["record"].get<std::string>().c_str(),
                c["id"].get<unsigned>(),
                c["before"].is_null() ? "(none)" : ("0x" + c["before"].get<std::string>()).c_str(),
                c["after"].is_null() ? "(none)" : ("0x" + c["after"].get<std::string>()).c_str());
        else
            printf("  %s: %zu range%s changed%s\n", c["record"].get<std::string>().c_str(),
                   c["ranges"].size(), c["ranges"].size() == 1 ? "" : "s",
                   c.contains("boot_entry")
                       ? (", boot entry " +
                          std::to_string(c["boot_entry"]["before"].get<uint32_t>()) + " -> " +
                          std::to_string(c["boot_entry"]["after"].get<uint32_t>()))
                             .c_str()
                       : "");
    }
    section("key store", keystore.empty());
    for (const json &k : keystore) {
        if (k.contains("after"))
            printf("  %-10s %s\n  %-10s -> %s\n", k["field"].get<std::string>().c_str(),
                   k["before"].get<std::string>().c_str(), "",
                   k["after"].get<std::string>().c_str());
        else
            printf("  %s changed\n", k["field"].get<std::string>().c_str());
    }
    section("partition table", table.is_null());
    if (!table.is_null())
        printf("  entry 1: type 0x%02x, first sector %u, %u sectors (was type 0x%02x, %u, %u)\n",
               table["after"]["type"].get<unsigned>(),
               table["after"]["first_sector"].get<uint32_t>(),
               table["after"]["sectors"].get<uint32_t>(), table["before"]["type"].get<unsigned>(),
               table["before"]["first_sector"].get<uint32_t>(),
               table["before"]["sectors"].get<uint32_t>());
    section("formatted volume (/dev/sda1)", volume.is_null());
    if (!volume.is_null()) {
        auto fs = [](const json &v) {
            std::string t = v.is_object() && !v["file_system"].is_null()
                                ? v["file_system"].get<std::string>()
                                : std::string("no file system");
            if (v.is_object() && v.contains("label"))
                t += ", label \"" + v["label"].get<std::string>() + "\"";
            return t;
        };
        printf("  %s (before: %s; %llu bytes written)\n", fs(volume["after"]).c_str(),
               fs(volume["before"]).c_str(),
               static_cast<unsigned long long>(volume["bytes"].get<uint64_t>()));
    }
    section("flash", flash.is_null());
    if (!flash.is_null()) {
        std::vector<range> rs;
        for (const json &x : flash["ranges"]) rs.push_back({x["offset"], x["length"]});
        printf("  %llu bytes changed at %s\n",
               static_cast<unsigned long long>(flash["bytes"].get<uint64_t>()),
               ranges_text(rs).c_str());
    }
    section("UI client command lines", ui.empty());
    for (const json &l : ui) printf("  %s\n", l.get<std::string>().c_str());
    if (!installed.err.empty()) {
        printf("\nconsole:\n");
        for (const std::string &l : lines_of(installed.err)) printf("  %s\n", l.c_str());
    }
    if (!keep.empty()) printf("\nthe box stays in %s\n", box.c_str());
    return installed.status;
}
