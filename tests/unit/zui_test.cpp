#include "core/zui.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> sent;
int status_to_return = 0;

int record(const char *command) {
    sent.emplace_back(command);
    return status_to_return;
}

class Zui : public ::testing::Test {
protected:
    zui_client client{record, 0};
    void SetUp() override {
        sent.clear();
        status_to_return = 0;
    }
};

TEST_F(Zui, CommandsAreCutAt254Characters) {
    std::string text(300, 'm');
    zui_send(client, "%s \"%s\"", "/bin/zui -c message -a centered -t", text.c_str());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].size(), 254u);
    EXPECT_EQ(sent[0].substr(0, 36), "/bin/zui -c message -a centered -t \"");
}

TEST_F(Zui, ProgressSendsEachNewPercentOnce) {
    testing::internal::CaptureStderr();
    zui_progress(client, 0, 2); // 0 %: the starting percent, nothing sent
    zui_progress(client, 1, 2); // 50 %
    zui_progress(client, 1, 2); // repeated
    zui_progress(client, 2, 2); // 100 %
    zui_progress(client, 100, 100);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sent, (std::vector<std::string>{"/bin/zui -c progress -f 500",
                                              "/bin/zui -c progress -f 1000"}));
    EXPECT_EQ(err, "50/100\n100/100\n");
}

TEST_F(Zui, FailedDeliveryIsReportedAndThePercentKept) {
    status_to_return = 256;
    testing::internal::CaptureStderr();
    EXPECT_NE(zui_progress(client, 1, 4), 0);
    EXPECT_EQ(zui_progress(client, 1, 4), 0); // same percent: not sent again
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sent.size(), 1u);
    EXPECT_EQ(client.last_percent, 25);
    EXPECT_EQ(err, "25/100\nzui_progress: Could not send update progress bar to ZUID !\n");
}

TEST_F(Zui, ZeroTotalSendsNothing) {
    EXPECT_EQ(zui_progress(client, 5, 0), 0);
    EXPECT_TRUE(sent.empty());
}

} // namespace
