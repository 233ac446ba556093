// Message routing: the default line on standard error, an installed handler, several threads;
// and text from outside made printable.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/MessageBox.h"
#include "platform/PrintableText.h"

namespace {

TEST(MessageBoxTest, HandlerReceivesTheTextAndWithoutOneItIsALineOnStandardError) {
    std::vector<std::string> texts;
    platform::SetMessageHandler(
        [&texts](std::string_view text, const platform::MessageSubject& subject) {
            texts.emplace_back(std::string(text) + "|" + std::string(subject.path));
        });
    platform::ShowMessageBox("ファイルが見つかりませんでした。");
    platform::SetMessageHandler({});
    EXPECT_EQ(texts, std::vector<std::string>{"ファイルが見つかりませんでした。|"});
    // Written as it is: not as a C string, nor as a format.
    testing::internal::CaptureStderr();
    platform::ShowMessageBox(std::string_view("a\0b%s", 5));
    platform::ShowMessageBox("text", {"dir/\x1b[2Jout.wav", ENOENT});
    EXPECT_EQ(
        testing::internal::GetCapturedStderr(),
        std::string("a\0b%s\n", 6) + "dir/\\033[2Jout.wav: text (No such file or directory)\n");
}

TEST(PrintableTextTest, ControlCharactersAndBrokenUtf8AreEscapedEverythingElseKept) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain/ファイル 1.wav", "plain/ファイル 1.wav"},
        {"\x1b]0;title\x07\x1b[31m", "\\033]0;title\\007\\033[31m"},
        {"a\nb\tc\rd\x7f", "a\\012b\\011c\\015d\\177"},
        {"back\\slash", "back\\\\slash"},
        {"\xc2\x9b"
         "1m",
         "\\302\\2331m"},  // C1 control (CSI) in UTF-8
        {"\x9b"
         "1m \xe9t\xe9",
         "\\2331m \\351t\\351"},  // bytes that are not UTF-8
        {"\xc0\xaf \xed\xa0\x80 \xf4\x90\x80\x80",
         "\\300\\257 \\355\\240\\200 \\364\\220\\200\\200"},
        {"\xe3\x81", "\\343\\201"},                 // cut short
        {"x\xe2\x80\xaeyz", "x\\342\\200\\256yz"},  // right-to-left override
        {"\xe2\x80\xa8", "\\342\\200\\250"},        // line separator
        {"\xf0\x9f\x8e\xb5", "\xf0\x9f\x8e\xb5"},   // a four-byte character
        {std::string("nul\0", 4), "nul\\000"},
    };
    for (const auto& [text, shown] : cases) {
        EXPECT_EQ(platform::EscapeForDisplay(text), shown) << text;
    }
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
