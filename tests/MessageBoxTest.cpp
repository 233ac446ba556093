// Message routing: the default line on standard error, an installed handler, and messages shown
// from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/MessageBox.h"

namespace {

using Messages = std::vector<std::string>;

// Collects what its handlers receive, from any thread.
struct Recorder {
    std::mutex mutex;
    Messages texts;

    platform::MessageHandler Handler() {
        return [this](std::string_view text) {
            std::lock_guard<std::mutex> lock(mutex);
            texts.emplace_back(text);
        };
    }
};

class MessageBoxTest : public testing::Test {
  protected:
    void SetUp() override { platform::SetMessageHandler({}); }
    void TearDown() override { platform::SetMessageHandler({}); }
};

constexpr int kThreads = 8;
constexpr int kPerThread = 3000;

std::string ThreadPrefix(int thread) {
    return "スレッド " + std::to_string(thread) + " / ";
}

// Shows kPerThread messages from each of kThreads threads at once.
void ShowFromManyThreads() {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kPerThread; ++i) {
                platform::ShowMessageBox(ThreadPrefix(t) + std::to_string(i));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Every message arrived whole and once.
void ExpectAllThreadMessages(Messages received) {
    Messages expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            expected.push_back(ThreadPrefix(t) + std::to_string(i));
        }
    }
    std::sort(received.begin(), received.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_TRUE(received == expected) << received.size() << " messages";
}

TEST_F(MessageBoxTest, HandlerReceivesEveryTextUntilRemovedThenStandardErrorDoes) {
    Recorder outer;
    Recorder inner;
    // The running handler must stay alive after it has been replaced (it still uses what it
    // captured), and no lock may be held while it runs, or the nested message would deadlock.
    auto state = std::make_shared<std::string>(" / captured");
    platform::SetMessageHandler([&outer, &inner, state](std::string_view text) {
        platform::SetMessageHandler(inner.Handler());
        platform::ShowMessageBox("nested");
        // The caller must wait until the user has dismissed the message.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        outer.Handler()(std::string(text) + *state);
    });
    state.reset();
    testing::internal::CaptureStderr();
    platform::ShowMessageBox(std::string_view("x\0y", 3));
    EXPECT_EQ(outer.texts, Messages{std::string("x\0y", 3) + " / captured"});
    platform::ShowMessageBox("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(inner.texts, (Messages{"nested", ""}));

    // Without a handler, each text is one line on standard error, written as it is: not as a C
    // string (it may hold a zero byte and need not end in one) and not as a format.
    platform::SetMessageHandler({});
    const std::string_view withZero("abc\0def", 7);
    testing::internal::CaptureStderr();
    platform::ShowMessageBox("ファイルが見つかりませんでした。");
    platform::ShowMessageBox("");
    platform::ShowMessageBox(std::string_view("truncated here", 9));
    platform::ShowMessageBox(withZero);
    platform::ShowMessageBox("100% %s %n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "ファイルが見つかりませんでした。\n\ntruncated\n" + std::string(withZero) +
                  "\n100% %s %n\n");
}

TEST_F(MessageBoxTest, HandlerReplacedWhileThreadsShowMessagesLosesNone) {
    Recorder recorder;
    platform::SetMessageHandler(recorder.Handler());
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done.load()) {
            platform::SetMessageHandler(recorder.Handler());
            std::this_thread::yield();
        }
    });
    ShowFromManyThreads();
    done.store(true);
    swapper.join();
    ExpectAllThreadMessages(recorder.texts);
}

TEST_F(MessageBoxTest, MessagesFromSeveralThreadsAreWholeLinesOnStandardError) {
    // Two messages shown at the same moment must not run into one line.
    testing::internal::CaptureStderr();
    ShowFromManyThreads();
    const std::string written = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(written.ends_with('\n'));
    Messages lines;
    std::istringstream stream(written);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ExpectAllThreadMessages(lines);
}

}  // namespace
