// acat: copies a file to standard output in 1 KiB blocks, showing the
// progress on the UI.
#include "core/applet.h"
#include "core/fullio.h"
#include "core/unique.h"
#include "core/zui.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr size_t acat_block = 1024;

// Copies n bytes from in to standard output. False on a read or write
// error, or when the file ends first (what did arrive is written).
bool copy_part(int in, unsigned char *buffer, size_t n) {
    const ssize_t got = full_read(in, buffer, n);
    if (got < 0) return false;
    if (got > 0 && full_write(STDOUT_FILENO, buffer, static_cast<size_t>(got)) < 0) return false;
    return static_cast<size_t>(got) == n;
}

int acat_main(int argc, char **argv) {
    if (argc != 2) return 1;
    unique_fd in(open(argv[1], O_RDONLY | O_CLOEXEC));
    if (!in.valid()) return 1;
    const off_t length = lseek(in.get(), 0, SEEK_END);
    if (length < 0 || lseek(in.get(), 0, SEEK_SET) != 0) return 1;
    const long long blocks = length / static_cast<off_t>(acat_block);
    const long long rest = length % static_cast<off_t>(acat_block);
    fprintf(stderr, "%s : len : %lld \n", "acat", static_cast<long long>(length));
    fprintf(stderr, "%s : blk : %lld \n", "acat", blocks);
    fprintf(stderr, "%s : rst : %lld \n", "acat", rest);

    unsigned char buffer[acat_block];
    for (long long i = 1; i <= blocks; ++i) {
        if (!copy_part(in.get(), buffer, acat_block)) return 1;
        zui_progress(i, blocks);
    }
    if (!copy_part(in.get(), buffer, static_cast<size_t>(rest))) return 1;
    zui_progress(100, 100);
    return 0;
}

} // namespace

VARITOOL_APPLET(acat, acat_main);
