// The update engine: verifies, deciphers and applies one update file. The
// embedding applet supplies the run context and the callback table; the
// engine keeps its state module-wide, so one run at a time per process.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t oza_context_path_size = 256;

// The caller's run context. The engine reads only path (at most 255
// characters, NUL-terminated); a caller keeps its own fields after it, by
// making this the first member of its context.
struct oza_context {
    char path[oza_context_path_size];
};

// The host's side of a run, in slot order. Slots 1 to 12 are required; a
// missing get_mountpoint (slot 13) is replaced by the built-in table
// (update/mountpoint.h). Status results: 0 or positive for success, negative for
// failure.
struct oza_callbacks {
    void (*progress)(int done, int total); // total is always 1000
    void (*status)(const char *text);      // stage texts and one line per chunk
    void (*trace)(const char *text);       // step texts of the flash and area chunks
    int (*message)(const char *text);      // MSGB: the result becomes the chunk's
    void (*aux)(const void *data);         // not called by the engine
    void (*removed)(const char *path);     // a file left /mnt/system/, or the update file went
    void (*create_file)(const char *path); // a file arrived in /mnt/system/
    void (*load_hdd_param)();              // after PARM changed the parameter file
    void (*load_flash_param)();            // after FPAR changed ParamStore_3b
    // FRMT: may close the update file, reformat and reopen it, storing the
    // new descriptor through update_fd. Its result becomes the chunk's.
    int (*format)(uint32_t type, uint32_t cleanup, const char *update_path, int *update_fd);
    int (*get_min_sys_version)(uint32_t *major, uint32_t *minor, uint32_t *revision);
    int (*get_sys_version)(uint32_t *major, uint32_t *minor, uint32_t *revision);
    int (*get_mountpoint)(uint32_t index, const char **path); // 0 found, non-zero not
};

// Installs the update file at context->path: opens it, checks its signature,
// unit and version, and runs its chunks in order. 0 on success, otherwise
// the first failure's result code (update/results.h). Chunks applied before
// a failure keep their effect. The file is closed on every path, and removed
// (then reported through removed) when the file asked for it with "ADEL".
int OZA_run(oza_context *context, const oza_callbacks *callbacks);

// Whether a device at version major.minor.revision may install the file at
// path: 0 when it may, 283 when an "MVER" chunk asks for a higher version,
// otherwise the result code of opening and verifying the file (or 235 for a
// short "MVER", 209 for a chunk length below 8).
int OZA_check_file(uint32_t major, uint32_t minor, uint32_t revision, const char *path);

// The value of the last "EXT0" chunk of the file at path (0 when it has
// none), or -1 when the file cannot be opened, verified or read.
int OZA_check_coldflash(const char *path);

// The last "BOOT" and "ADEL" values of the last run (0 when it had none).
uint32_t OZA_boot_flag();
uint32_t OZA_autodelete_flag();
