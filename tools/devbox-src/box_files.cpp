// Small file helpers of the device box tool.
#include "box_tool.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

void box_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("devbox: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
}

bool make_dirs(const std::string &path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            box_error("mkdir %s: %s", prefix.c_str(), strerror(errno));
            return false;
        }
    }
    return true;
}

namespace {

std::string parent_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, const std::string &data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool put_file(const std::string &path, const std::string &data, mode_t mode) {
    if (!make_dirs(parent_of(path))) return false;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        box_error("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = write_all(fd, data) && fchmod(fd, mode) == 0;
    if (close(fd) != 0) ok = false;
    if (!ok) box_error("%s: write failed", path.c_str());
    return ok;
}

bool put_at(const std::string &path, off_t offset, const std::string &data) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 &&
              pwrite(fd, data.data(), data.size(), offset) == static_cast<ssize_t>(data.size());
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (!ok) box_error("%s: write at %lld failed", path.c_str(), static_cast<long long>(offset));
    return ok;
}

bool make_sparse(const std::string &path, off_t size) {
    if (!put_file(path, "")) return false;
    if (truncate(path.c_str(), size) != 0) {
        box_error("%s: %s", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool make_link(const std::string &target, const std::string &path) {
    if (!make_dirs(parent_of(path))) return false;
    unlink(path.c_str());
    if (symlink(target.c_str(), path.c_str()) != 0) {
        box_error("symlink %s: %s", path.c_str(), strerror(errno));
        return false;
    }
    return true;
}

bool get_file(const std::string &path, std::string &out) {
    out.clear();
    FILE *f = fopen(path.c_str(), "rbe");
    if (f == nullptr) return false;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool install_file(const std::string &from, const std::string &to, mode_t mode) {
    std::string data;
    if (!get_file(from, data)) {
        box_error("%s: cannot read", from.c_str());
        return false;
    }
    std::string tmp = to + ".new." + std::to_string(getpid());
    if (!put_file(tmp, data, mode)) return false;
    if (rename(tmp.c_str(), to.c_str()) != 0) {
        box_error("rename %s: %s", to.c_str(), strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

std::string le32(unsigned v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
    return s;
}
