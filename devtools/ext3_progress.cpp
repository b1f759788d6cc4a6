// e2fsck's completion lines ("pass current maximum device") give 200 per mille per pass;
// mke2fs's counter, redrawn with backspaces, goes through a state machine fed byte by byte,
// whose first backspace and final newline also send the formatting messages.
#include "devtools/ext3_progress.h"

#include <climits>
#include <cmath>
#include <cstring>

bool fsck_progress_value(int pass, int current, int maximum, int &value) {
    if (maximum == 0) return false;
    float v = static_cast<float>(200LL * (static_cast<long long>(pass) - 1)) +
              (static_cast<float>(current) / static_cast<float>(maximum)) * 200.0f;
    // Only values that fit an int are sent (no NaN or infinity either).
    if (!(v > static_cast<float>(INT_MIN) && v < static_cast<float>(INT_MAX))) return false;
    value = static_cast<int>(v);
    return true;
}

bool fsck_parse_piece(zui_client &client, bool banner, const char *piece) {
    int pass, current, maximum, value;
    char device[fsck_piece_size];
    if (sscanf(piece, " %d %d %d %31s", &pass, &current, &maximum, device) != 4) return false;
    if (!fsck_progress_value(pass, current, maximum, value)) return false;
    zui_send(client, banner ? "/bin/zui -c bannerprogress -f %d" : "/bin/zui -c progress -f %d",
             value);
    return true;
}

int fsck_parse_stream(FILE *in, zui_client &client, bool banner) {
    char piece[fsck_piece_size];
    while (fgets(piece, sizeof piece, in) != nullptr) fsck_parse_piece(client, banner, piece);
    return 0;
}

namespace {

// "Formating <name> Disk..." or, once the inode tables are written,
// "Formating <name> Disk, Please wait..."; without a name, without it.
void mkfs_message(mkfs_parser &p, bool please_wait) {
    char text[zui_command_size];
    if (p.disk[0] == '\0')
        snprintf(text, sizeof text,
                 please_wait ? "Formating Disk, Please wait..." : "Formating Disk...");
    else
        snprintf(text, sizeof text,
                 please_wait ? "Formating %s Disk, Please wait..." : "Formating %s Disk...",
                 p.disk);
    zui_send_text(*p.client,
                  p.banner ? "/bin/zui -c bannerprogress -t " : "/bin/zui -c message -t ", text);
}

void mkfs_progress(mkfs_parser &p, int current, int maximum) {
    if (maximum == 0) return;
    // 64-bit, so that counters above two million do not overflow.
    long long value = static_cast<long long>(current) * 1000 / maximum;
    if (value > 1000) value = 1000;
    if (value < 0) value = 0;
    zui_send(*p.client,
             p.banner ? "/bin/zui -c bannerprogress -f %d" : "/bin/zui -c progress -f %d ",
             static_cast<int>(value));
}

void mkfs_say(const char *line) {
    puts(line);
    fflush(stdout);
}

} // namespace

void mkfs_parser_init(mkfs_parser &p, zui_client &client, bool banner, const char *disk) {
    p = mkfs_parser{};
    p.client = &client;
    p.banner = banner;
    snprintf(p.disk, sizeof p.disk, "%s", disk != nullptr ? disk : "");
}

void mkfs_parser_feed(mkfs_parser &p, unsigned char byte) {
    constexpr unsigned char backspace = 8, newline = 10;
    switch (p.state) {
    case mkfs_waiting:
        if (byte != backspace) return;
        mkfs_message(p, false);
        mkfs_say("creating inodes");
        p.state = mkfs_between;
        return;
    case mkfs_between:
        if (byte == backspace) return;
        p.text[0] = static_cast<char>(byte);
        p.length = 1;
        p.state = mkfs_collecting;
        return;
    case mkfs_collecting:
        if (byte == backspace) {
            p.text[p.length] = '\0';
            // A text that does not parse leaves the earlier values in use.
            sscanf(p.text, " %d/%d", &p.current, &p.maximum);
            mkfs_progress(p, p.current, p.maximum);
            p.length = 0;
            p.state = mkfs_between;
        } else if (byte == newline) {
            mkfs_progress(p, 1000, 1000);
            mkfs_message(p, true);
            mkfs_say("creating blocks");
            p.state = mkfs_done;
        } else if (p.length < mkfs_text_size - 1) {
            // A text too long for the buffer keeps its beginning.
            p.text[p.length++] = static_cast<char>(byte);
        }
        return;
    default: return;
    }
}

int mkfs_parse_stream(FILE *in, mkfs_parser &p) {
    for (int c; (c = getc(in)) != EOF;) mkfs_parser_feed(p, static_cast<unsigned char>(c));
    return 0;
}
