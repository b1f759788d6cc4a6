// The UI client against a recording runner: commands cut at 254 characters, texts quoted and
// cut inside their quotes, and progress sent once for each new percentage.
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

TEST_F(Zui, AnOrdinaryTextIsSentBetweenDoubleQuotes) {
    zui_send_text(client, "/bin/zui -c message -a centered -t  ", "Hello from the update");
    EXPECT_EQ(sent, std::vector<std::string>{
                        "/bin/zui -c message -a centered -t  \"Hello from the update\""});
}

TEST_F(Zui, ATextTooLongIsCutInsideItsQuotes) {
    const std::string head = "/bin/zui -c message -a centered -t  ";
    for (const std::string &text :
         {std::string(300, 'm'), std::string(300, '$'), std::string(217, 'm') + "\"$(x)\""}) {
        sent.clear();
        zui_send_text(client, head.c_str(), text.c_str());
        ASSERT_EQ(sent.size(), 1u);
        const std::string &line = sent[0];
        EXPECT_LE(line.size(), 254u);
        EXPECT_GE(line.size(), 253u) << "no more than an escape's length is left unused";
        EXPECT_EQ(line.substr(0, head.size() + 1), head + "\"");
        EXPECT_EQ(line.back(), '"');
        // Whole escapes only: the characters between the quotes unescape to a
        // prefix of the text.
        std::string inner = line.substr(head.size() + 1, line.size() - head.size() - 2), back;
        for (size_t i = 0; i < inner.size(); ++i) {
            if (inner[i] == '\\') {
                ASSERT_LT(++i, inner.size()) << "a split escape";
            }
            back += inner[i];
        }
        EXPECT_EQ(text.compare(0, back.size(), back), 0);
    }
}

TEST_F(Zui, AHeadThatDoesNotFitSendsNothing) {
    const std::string head(300, 'h');
    EXPECT_EQ(zui_send_text(client, head.c_str(), "x"), -1);
    EXPECT_TRUE(sent.empty());
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
