// Fuzzes the e2fsck completion-output parser with arbitrary input.
#include "devtools/ext3_progress.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int check(const char *command) {
    if (strlen(command) >= zui_command_size) abort();
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (in == nullptr) abort();
    zui_client client{check, 0};
    fsck_parse_stream(in, client, (data[0] & 1) != 0);
    fclose(in);
    return 0;
}
