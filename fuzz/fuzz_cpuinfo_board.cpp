// Fuzzes the board identification from /proc/cpuinfo text: the board name
// of the Hardware line, the Revision number, and the lookup in the board
// table that the identification makes from a cpuinfo file.
#include "core/hostops.h"
#include "fuzz/fuzz_support.h"
#include "sysinfo/board.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int quiet(const char *, ...) {
    return 0;
}

bool in_table(const board_record *row, std::span<const board_record> table) {
    return row >= table.data() && row < table.data() + table.size();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    host_operations ops{};
    ops.print = quiet;
    register_host_operations(&ops);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);

    char name[board_name_max + 1];
    memset(name, 'x', sizeof name);
    const int r = board_name_from_cpuinfo(text.c_str(), name);
    if (r == 0 && strnlen(name, sizeof name) > board_name_max) abort();
    if (r != 0 && r != -1) abort();
    board_revision_from_cpuinfo(text.c_str());

    // The file form: the same text (with any NUL bytes) as the cpuinfo file.
    const char *path = memory_file("cpuinfo", data, size);
    read_board_revision(path);
    board_identity id;
    const int found = identify_board(id, board_table(), path);
    if ((found != 0 && found != -1) || !id.identified) abort();
    if (strnlen(id.name, sizeof id.name) > board_name_max) abort();
    if (id.current != nullptr && !in_table(id.current, board_table())) abort();
    const board_record &row = board_or_default(id, board_table());
    if (strnlen(row.product_name, sizeof row.product_name) == sizeof row.product_name) abort();
    return 0;
}
