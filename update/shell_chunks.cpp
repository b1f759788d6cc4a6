// The chunks that hand work to other programs: SHEL runs a command through
// busybox's shell, FRMT asks the host to format.
#include "core/byteorder.h"
#include "core/unique.h"
#include "update/chunks.h"
#include "update/engine_state.h"
#include "update/results.h"

#include <cerrno>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr const char busybox[] = "/bin/busybox";

// Runs text with "/bin/busybox ash -c" and an empty environment; the wait
// status, or -1 when no child could be started.
int run_shell(const char *text) {
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        const char *argv[] = {busybox, "ash", "-c", text, nullptr};
        const char *envp[] = {nullptr};
        execve(busybox, const_cast<char *const *>(argv), const_cast<char *const *>(envp));
        _exit(1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR) return -1;
    return status;
}

} // namespace

// The fixed payload is the command's length; the command follows it.
int chunk_shell(oza_engine &e, fixed_payload fixed) {
    const uint32_t length = load_le32(fixed.data());
    // A command longer than the rest of the file is short whatever memory there is.
    if (length > payload_left(e, fixed.size())) return oza_shell_short;
    const uint64_t size = uint64_t(length) + 1;
    if (static_cast<size_t>(size) != size) return oza_shell_no_memory;
    byte_buffer text = make_buffer(static_cast<size_t>(size));
    if (!text) return oza_shell_no_memory;
    if (chunk_read(e, text.get(), length) != length) return oza_shell_short;
    text[length] = '\0';
    const int status = run_shell(reinterpret_cast<const char *>(text.get()));
    if (status == -1) return oza_shell_fork;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? oza_ok : oza_shell_status;
}

// The fixed payload: format type, cleanup flag.
int chunk_format(oza_engine &e, fixed_payload fixed) {
    int r = e.cb.format(load_le32(fixed.data()), load_le32(fixed.data() + 4), e.path, &e.fd);
    // A host that formatted the partition holding the file hands back its
    // copy: the walk goes on in it when it has the verified size.
    if (r == oza_ok && !oza_file_unchanged(e) && !oza_file_replaced(e))
        return oza_digest_read_short;
    return r;
}
