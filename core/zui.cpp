// Commands are formatted into one buffer of zui_command_size (longer ones are cut) and run by
// the client's runner. A text goes in as one quoted word, cut to fit; progress goes out in per
// mille, and only when the percentage changes.
#include "core/zui.h"

#include "core/shell_word.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace {

int vsend(zui_client &client, const char *format, va_list ap) {
    char command[zui_command_size];
    vsnprintf(command, sizeof command, format, ap);
    return client.run(command);
}

} // namespace

zui_client &zui() {
    static zui_client client{::system, 0};
    return client;
}

int zui_send(zui_client &client, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = vsend(client, format, ap);
    va_end(ap);
    return r;
}

int zui_send(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    int r = vsend(zui(), format, ap);
    va_end(ap);
    return r;
}

int zui_send_text(zui_client &client, const char *head, const char *text) {
    char command[zui_command_size];
    command_line line{command, sizeof command};
    if (!command_start(line, head)) return -1;
    command_append_cut(line, text);
    return client.run(command);
}

int zui_send_text(const char *head, const char *text) {
    return zui_send_text(zui(), head, text);
}

int zui_progress(zui_client &client, long long done, long long total) {
    if (total <= 0) return 0;
    int percent = static_cast<int>(done * 100 / total);
    if (percent == client.last_percent) return 0;
    fprintf(stderr, "%d/100\n", percent);
    int r = zui_send(client, "/bin/zui -c progress -f %d", percent * 10);
    if (r != 0)
        fprintf(stderr, "%s: Could not send update progress bar to ZUID !\n", "zui_progress");
    client.last_percent = percent;
    return r;
}

int zui_progress(long long done, long long total) {
    return zui_progress(zui(), done, total);
}
