// Client side of the UI daemon: every update to the screen is one command line
// for /bin/zui, run through the shell.
#pragma once

// Command lines are formatted into a buffer of this size, so they are cut at
// 254 characters.
inline constexpr int zui_command_size = 255;

// How a command line reaches the UI daemon, and the progress client's memory.
struct zui_client {
    int (*run)(const char *command); // the standard system call on the device
    int last_percent;                // the last percent zui_progress sent
};

// The process's client.
zui_client &zui();

// Formats a command line (cut at 254 characters) and runs it; returns what
// run returned (0 means delivered). Only for the program's own words and
// numbers: a text from outside goes through zui_send_text.
int zui_send(zui_client &client, const char *format, ...) __attribute__((format(printf, 2, 3)));
int zui_send(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Sends head (the program's own words, as they stand) followed by text as one
// double-quoted shell word, so that the client receives the text as one
// argument whatever it holds. A line that cannot hold the whole text within
// 254 characters holds as much of the text as fits, still quoted. Returns what
// run returned.
int zui_send_text(zui_client &client, const char *head, const char *text);
int zui_send_text(const char *head, const char *text);

// Progress of done out of total as a percent: when it differs from the last
// one sent, prints "<percent>/100" on standard error and sends
// "/bin/zui -c progress -f <percent x 10>". A failed delivery is reported and
// the percent is still remembered. Returns the delivery status (0 when
// nothing needed sending).
int zui_progress(zui_client &client, long long done, long long total);
int zui_progress(long long done, long long total);
