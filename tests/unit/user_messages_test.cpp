// The message table, every text inside its field, and the message each engine result gives.
#include "install/user_messages.h"
#include "update/results.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(UserMessages, EveryTextEndsInsideItsField) {
    for (int i = 0; i < user_message_count; ++i)
        for (int l = 0; l < language_count; ++l)
            EXPECT_LT(strnlen(user_messages[i][l], user_message_size), size_t(user_message_size))
                << i << " " << l;
    EXPECT_STREQ(user_message_text(message_in_progress), "Update in progress...");
    EXPECT_STREQ(user_message_text(message_none), "");
    EXPECT_STREQ(user_message_text(-1), "");
    EXPECT_STREQ(user_message_text(user_message_count), "");
}

TEST(UserMessages, EachResultHasItsMessage) {
    struct {
        int result;
        int message;
        const char *text;
    } cases[] = {
        {oza_open_failed, message_invalid_file, "Error.  Update file is not valid."},
        {202, message_internal_error, "Internal error. Press a key to reboot."},
        {oza_bad_magic, message_invalid_file, nullptr},
        {oza_bad_signature_fourcc, message_invalid_file, nullptr},
        {oza_signature_mismatch, message_invalid_file, nullptr},
        {208, message_invalid_file, nullptr},
        {oza_bad_chunk, message_invalid_file, nullptr},
        {oza_unit_missing, message_internal_error, nullptr},
        {oza_copy_failed, message_copy_failed,
         "Internal error. Copy failed. Press a key to reboot"},
        {oza_version_too_old, message_too_old,
         "This firmware update is too old for your hardware version."},
        {oza_end_of_file, message_invalid_file, nullptr},
        {oza_callbacks_incomplete, message_internal_error, nullptr},
        {oza_chunk_not_allowed, message_internal_error, nullptr},
        {238, message_internal_error, nullptr},
        {oza_system_too_old, message_internal_error, nullptr},
        {-1, message_internal_error, nullptr},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(failure_message(c.result), c.message) << c.result;
        if (c.text) {
            EXPECT_STREQ(user_message_text(c.message), c.text) << c.result;
        }
    }
}

} // namespace
