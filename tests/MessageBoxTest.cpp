// Message routing: the default line on standard error, an installed handler, several threads.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/MessageBox.h"

namespace {

TEST(MessageBoxTest, HandlerReceivesTheTextAndWithoutOneItIsALineOnStandardError) {
    std::vector<std::string> texts;
    platform::SetMessageHandler([&texts](std::string_view text) { texts.emplace_back(text); });
    platform::ShowMessageBox("ファイルが見つかりませんでした。");
    platform::SetMessageHandler({});
    EXPECT_EQ(texts, std::vector<std::string>{"ファイルが見つかりませんでした。"});
    // Written as it is: not as a C string, nor as a format.
    testing::internal::CaptureStderr();
    platform::ShowMessageBox(std::string_view("a\0b%s", 5));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), std::string("a\0b%s\n", 6));
}

TEST(MessageBoxTest, MessagesFromSeveralThreadsAreWholeLines) {
    const std::string line(200, 'x');
    testing::internal::CaptureStderr();
    {
        std::vector<std::jthread> threads;  // joined when they go out of scope
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&line] {
                for (int i = 0; i < 1000; ++i) {
                    platform::ShowMessageBox(line);
                }
            });
        }
    }
    std::string expected;
    for (int i = 0; i < 8000; ++i) {
        expected += line + "\n";
    }
    EXPECT_TRUE(testing::internal::GetCapturedStderr() == expected);
}

}  // namespace
