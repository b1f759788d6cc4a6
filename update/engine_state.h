// The engine's state for one run, shared by the pipeline, the walk and the
// chunk handlers. One instance lives module-wide (oza_state); each entry
// point resets what it uses.
#pragma once

#include "update/engine.h"
#include "update/fileio.h"
#include "update/progress.h"
#include "update/reader.h"

#include <cstddef>
#include <cstdint>

struct oza_engine {
    oza_callbacks cb{};                    // the installed table (get_mountpoint always set)
    oza_context *context = nullptr;        // the caller's; null outside OZA_run
    char path[oza_context_path_size] = {}; // its path, always terminated
    int fd = -1;                           // the update file (FRMT's host may replace it)
    int64_t size = 0;                      // taken once, when the file is opened
    file_identity verified;                // the file as it was when it was verified
    int slot = 1;                          // signature slot 1 to 5
    uint32_t boot = 0, autodelete = 0, coldflash = 0;
    oza_progress progress;
    chunk_reader reader = plain_reader;
    int64_t chunk_start = 0; // where the chunk being read starts
};

// The module-wide engine.
oza_engine &oza_state();

// Reads up to n bytes through the chunk reader: the count delivered (fewer
// at the end of the file or on an error).
size_t chunk_read(oza_engine &e, void *buffer, size_t n);
// Seeks the chunk reader to an absolute position. The position, or -1.
int64_t chunk_seek(oza_engine &e, int64_t position);
// The position of the file itself (the chunk's position right after a seek).
int64_t chunk_tell(const oza_engine &e);
// Bytes of the file after the first `read` bytes of the current chunk's
// payload (0 past the end). The reader's own position cannot tell: the
// deciphering reader reads ahead.
uint64_t payload_left(const oza_engine &e, uint64_t read);

// Formats a text into a 256-byte buffer and hands it to the host's trace
// callback (step texts of the flash and area chunks).
void host_trace(oza_engine &e, const char *format, ...) __attribute__((format(printf, 2, 3)));
// Resolves a mount-point index through the installed table: 0 and the path,
// or non-zero for an unknown index.
int resolve_mountpoint(oza_engine &e, uint32_t index, const char **path);

// True when the update file open in e is still the file that was verified
// (file_identity): a file changed in place since would feed the chunks bytes
// the signature never covered.
bool oza_file_unchanged(const oza_engine &e);
// Takes the identity of the descriptor in e as the verified one after the
// host replaced the file by its copy (FRMT): false, with nothing taken, when
// the copy is not a regular file of the verified size.
bool oza_file_replaced(oza_engine &e);

// Opens the file at path into e and checks it as far as the start of "UNIT":
// size, magic, signature, cipher chunk; selects the chunk reader. announce
// gives the stage texts to the host's status callback. 0 or the result code.
int oza_open_and_verify(oza_engine &e, const char *path, bool announce);
// Closes the update file if it is open.
void oza_close(oza_engine &e);
