// OZA_run: installs the callback table, opens and verifies the update file,
// reads the fixed chunks and walks the operation chunks; the accessors of
// the last run; the chunk reader and host helpers the handlers share.
#include "update/engine.h"

#include "core/trace.h"
#include "update/engine_state.h"
#include "update/fileio.h"
#include "update/mountpoint.h"
#include "update/results.h"
#include "update/walk.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

oza_engine engine;

// Slots 7 to 12 with the texts that name them when missing.
struct required_slot {
    bool (*present)(const oza_callbacks &);
    const char *missing;
};

constexpr required_slot later_slots[] = {
    {[](const oza_callbacks &c) { return c.create_file != nullptr; },
     "OZA callbacks misses create_file\r\n"},
    {[](const oza_callbacks &c) { return c.load_hdd_param != nullptr; },
     "OZA callbacks misses load_hdd_param\r\n"},
    {[](const oza_callbacks &c) { return c.load_flash_param != nullptr; },
     "OZA callbacks misses load_flash_param\r\n"},
    {[](const oza_callbacks &c) { return c.format != nullptr; }, "OZA callbacks misses format\r\n"},
    {[](const oza_callbacks &c) { return c.get_min_sys_version != nullptr; },
     "OZA callbacks misses get_min_sys_version\r\n"},
    {[](const oza_callbacks &c) { return c.get_sys_version != nullptr; },
     "OZA callbacks misses get_sys_version\r\n"},
};

int install_callbacks(oza_engine &e, const oza_callbacks *table) {
    if (table == nullptr || table->progress == nullptr || table->status == nullptr ||
        table->trace == nullptr || table->message == nullptr || table->aux == nullptr ||
        table->removed == nullptr)
        return oza_callbacks_incomplete;
    for (const required_slot &slot : later_slots) {
        if (!slot.present(*table)) {
            oza_debug("%s", slot.missing);
            return oza_callbacks_incomplete;
        }
    }
    e.cb = *table;
    if (e.cb.get_mountpoint == nullptr) {
        e.cb.get_mountpoint = get_mountpoint;
        oza_debug("OZA callbacks misses get_mountpoint : fallback to builtin\r\n");
    }
    return oza_ok;
}

int run_pipeline(oza_engine &e, const char *path) {
    int r = oza_open_and_verify(e, path, true);
    if (r != oza_ok) return r;
    e.cb.status("parsing unit");
    if ((r = parse_unit(e)) != oza_ok) return r;
    e.cb.status("parsing version");
    if ((r = parse_version(e)) != oza_ok) return r;
    e.cb.status("parsing duration");
    if ((r = parse_duration(e)) != oza_ok) return r;
    do r = walk_step(e);
    while (r == oza_ok);
    return r == oza_end_of_file ? oza_ok : r;
}

} // namespace

oza_engine &oza_state() {
    return engine;
}

int OZA_run(oza_context *context, const oza_callbacks *callbacks) {
    oza_engine &e = engine;
    e.slot = 1;
    e.boot = e.autodelete = e.coldflash = 0;
    progress_reset(e.progress);
    int r = install_callbacks(e, callbacks);
    if (r != oza_ok) return r;
    if (context == nullptr) return oza_open_failed;
    e.context = context;
    // The path ends at its NUL or at the end of its field.
    const size_t length = strnlen(context->path, sizeof e.path - 1);
    memcpy(e.path, context->path, length);
    e.path[length] = '\0';

    r = run_pipeline(e, e.path);
    progress_reset(e.progress);
    oza_close(e);
    if (e.autodelete != 0) {
        file_remove(e.path);
        e.cb.removed(context->path);
    }
    e.context = nullptr;
    return r;
}

uint32_t OZA_boot_flag() {
    return engine.boot;
}

uint32_t OZA_autodelete_flag() {
    return engine.autodelete;
}

size_t chunk_read(oza_engine &e, void *buffer, size_t n) {
    if (n == 0) return 0;
    ssize_t got = e.reader.read(e.fd, buffer, n);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

int64_t chunk_seek(oza_engine &e, int64_t position) {
    return e.reader.seek(e.fd, position, SEEK_SET);
}

int64_t chunk_tell(const oza_engine &e) {
    return file_tell(e.fd);
}

uint64_t payload_left(const oza_engine &e, uint64_t read) {
    const uint64_t at = uint64_t(e.chunk_start) + oza_header_size + read;
    return at < uint64_t(e.size) ? uint64_t(e.size) - at : 0;
}

bool oza_file_unchanged(const oza_engine &e) {
    file_identity now;
    return file_identity_of(e.fd, now) && same_file_identity(now, e.verified);
}

bool oza_file_replaced(oza_engine &e) {
    file_identity now;
    if (!file_identity_of(e.fd, now) || now.size != e.verified.size) return false;
    e.verified = now;
    return true;
}

void host_trace(oza_engine &e, const char *format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    e.cb.trace(text);
}

int resolve_mountpoint(oza_engine &e, uint32_t index, const char **path) {
    *path = nullptr;
    int r = e.cb.get_mountpoint(index, path);
    return r == 0 && *path != nullptr ? 0 : 1;
}
