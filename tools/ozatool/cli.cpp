// Command-line conventions shared by the subcommands (cli.h).
#include "tools/ozatool/cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef OZATOOL_VERSION
#define OZATOOL_VERSION "unknown"
#endif

int verbosity = 1;

const char *ozatool_version() {
    return "ozatool " OZATOOL_VERSION;
}

int cli_option(int argc, char **argv, const char *shortopts, const option *longopts) {
    static std::string shorts;
    static std::vector<option> longs;
    if (optind <= 1) {
        // ':' first: a missing value comes back as ':' rather than '?'.
        shorts = std::string(":") + shortopts;
        for (char c : {'h', 'q', 'v'})
            if (!strchr(shortopts, c)) shorts += c;
        longs.clear();
        for (const option *o = longopts; o && o->name; o++) longs.push_back(*o);
        const bool own_h = strchr(shortopts, 'h'), own_q = strchr(shortopts, 'q'),
                   own_v = strchr(shortopts, 'v');
        longs.push_back({"help", no_argument, nullptr, own_h ? int(cli_help) : int('h')});
        longs.push_back({"quiet", no_argument, nullptr, own_q ? 0x10002 : 'q'});
        longs.push_back({"verbose", no_argument, nullptr, own_v ? 0x10003 : 'v'});
        longs.push_back({nullptr, 0, nullptr, 0});
    }
    opterr = 0;
    for (;;) {
        const int opt = getopt_long(argc, argv, shorts.c_str(), longs.data(), nullptr);
        const bool own = opt > 0 && opt < 256 && strchr(shortopts, opt);
        if (opt == -1) return -1;
        if (opt == cli_help || (opt == 'h' && !own)) return cli_help;
        if (opt == 0x10002 || (opt == 'q' && !own)) {
            verbosity = 0;
            continue;
        }
        if (opt == 0x10003 || (opt == 'v' && !own)) {
            verbosity = 2;
            continue;
        }
        if (opt == '?' || opt == ':') {
            // The option as it was written: a long option's whole word, or
            // the letter.
            const char *word = argv[optind - 1];
            std::string named = optopt && !(word[0] == '-' && word[1] == '-')
                                    ? std::string("-") + char(optopt)
                                    : std::string(word);
            const size_t eq = named.find('=');
            if (eq != std::string::npos) named.erase(eq);
            fprintf(stderr, "ozatool %s: %s '%s'\n", argv[0],
                    opt == ':' ? "missing value for option" : "unknown option", named.c_str());
            return cli_bad;
        }
        return opt;
    }
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

output_file::~output_file() {
    if (fd >= 0) close(fd);
    if (!temporary.empty()) unlink(temporary.c_str());
}

bool output_file::open(const std::string &output, const std::vector<std::string> &inputs,
                       unsigned mode, std::string *error) {
    path = output;
    for (const std::string &in : inputs)
        if (output != "-" && !in.empty() && in != "-" && same_file(output, in)) {
            *error = "the output " + output + " is one of the inputs (" + in +
                     "): write it somewhere else";
            return false;
        }
    std::string dir;
    if (output == "-") {
        const char *tmp = getenv("TMPDIR");
        dir = tmp && *tmp ? tmp : "/tmp";
    } else {
        const size_t slash = output.rfind('/');
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : output.substr(0, slash);
    }
    const std::string base = output == "-" ? "stdout" : output.substr(output.rfind('/') + 1);
    std::string pattern = dir + "/." + base + ".ozatool-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot create a file in " + dir + ": " + strerror(errno);
        return false;
    }
    temporary = name.data();
    if (fchmod(fd, mode_t(mode)) != 0) {
        *error = "cannot set the mode of " + temporary + ": " + strerror(errno);
        return false;
    }
    return true;
}

namespace {

bool full_write(int fd, const void *data, size_t n) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= size_t(w);
    }
    return true;
}

} // namespace

bool output_file::write(const void *data, size_t n) {
    return full_write(fd, data, n);
}

bool output_file::write_at(uint64_t offset, const void *data, size_t n) {
    const unsigned char *p = static_cast<const unsigned char *>(data);
    while (n > 0) {
        const ssize_t w = pwrite(fd, p, n, off_t(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w, n -= size_t(w), offset += uint64_t(w);
    }
    return true;
}

bool output_file::commit(std::string *error) {
    if (path == "-") {
        // Standard output gets the bytes once they are all written.
        bool ok = lseek(fd, 0, SEEK_SET) == 0;
        unsigned char buffer[65536];
        ssize_t n = 0;
        while (ok && ((n = read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)))
            if (n > 0) ok = full_write(1, buffer, size_t(n));
        ok = ok && n == 0;
        if (!ok) *error = std::string("cannot write standard output: ") + strerror(errno);
        return ok;
    }
    if (fsync(fd) != 0 || close(fd) != 0) {
        fd = -1;
        *error = "cannot write " + temporary + ": " + strerror(errno);
        return false;
    }
    fd = -1;
    if (rename(temporary.c_str(), path.c_str()) != 0) {
        *error = "cannot rename " + temporary + " to " + path + ": " + strerror(errno);
        return false;
    }
    temporary.clear();
    // The rename is durable once the folder is synced.
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : path.substr(0, slash);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

int write_small_output(const char *name, const std::string &path,
                       const std::vector<std::string> &inputs, const void *data, size_t n,
                       unsigned mode) {
    output_file out;
    std::string error;
    if (!out.open(path, inputs, mode, &error)) return fail(name, "%s", error.c_str());
    if (!out.write(data, n))
        return fail(name, "cannot write %s: %s", path.c_str(), strerror(errno));
    if (!out.commit(&error)) return fail(name, "%s", error.c_str());
    return 0;
}

namespace {

constexpr uint64_t progress_threshold = 8u << 20;

} // namespace

progress_line::progress_line(const char *command, uint64_t work) : name(command), total(work) {
    shown = verbosity > 0 && total > progress_threshold && isatty(2);
}

progress_line::~progress_line() {
    done();
}

void progress_line::update(uint64_t now) {
    if (!shown || total == 0) return;
    const int percent = int(std::min<uint64_t>(now, total) * 100 / total);
    if (percent == last) return;
    last = percent;
    fprintf(stderr, "\rozatool %s: %3d%%", name, percent);
    fflush(stderr);
}

void progress_line::done() {
    if (!shown) return;
    fprintf(stderr, "\r\033[K");
    fflush(stderr);
    shown = false;
}

std::string nearest_name(const std::string &word, const std::vector<std::string> &candidates) {
    // Edit distance with swaps of neighbours (optimal string alignment),
    // letters compared without case.
    auto lower = [](char c) { return char(c >= 'A' && c <= 'Z' ? c + 32 : c); };
    auto distance = [&](const std::string &a, const std::string &b) {
        const size_t n = a.size(), m = b.size();
        std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1));
        for (size_t i = 0; i <= n; i++) d[i][0] = i;
        for (size_t j = 0; j <= m; j++) d[0][j] = j;
        for (size_t i = 1; i <= n; i++)
            for (size_t j = 1; j <= m; j++) {
                const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
                if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
                    lower(a[i - 2]) == lower(b[j - 1]))
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[n][m];
    };
    std::string best;
    size_t best_distance = 3;
    for (const std::string &c : candidates) {
        const size_t dist = distance(word, c);
        // Short words need a closer match: "ab" is not a misspelling of "cd".
        if (dist < best_distance && dist <= c.size() / 2) {
            best = c;
            best_distance = dist;
        }
    }
    return best;
}
