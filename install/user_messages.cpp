// The English text of a message, and the message for a result: invalid file for an open
// failure, an early end or a malformed head or chunk; copy failed, too old, or internal error.
#include "install/user_messages.h"

#include "update/results.h"

const char *user_message_text(int i) {
    if (i < 0 || i >= user_message_count) return "";
    return user_messages[i][language_english];
}

int failure_message(int result) {
    if (result == oza_open_failed || result == oza_end_of_file ||
        (result >= oza_bad_magic && result <= oza_bad_chunk))
        return message_invalid_file;
    if (result == oza_copy_failed) return message_copy_failed;
    if (result == oza_version_too_old) return message_too_old;
    return message_internal_error;
}
