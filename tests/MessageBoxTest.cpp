// Message routing: the default line on standard error, an installed handler, and messages shown
// from several threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/MessageBox.h"

namespace {

using Messages = std::vector<std::string>;

// Collects what a handler receives; usable from any thread.
class Recorder {
  public:
    platform::MessageHandler Handler() {
        return [this](std::string_view text) { Add(text); };
    }
    void Add(std::string_view text) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_texts.emplace_back(text);
    }
    Messages Texts() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_texts;
    }

  private:
    mutable std::mutex m_mutex;
    Messages m_texts;
};

class MessageBoxTest : public testing::Test {
  protected:
    void SetUp() override { platform::SetMessageHandler({}); }
    void TearDown() override { platform::SetMessageHandler({}); }
};

std::string ThreadMessage(int thread, int index) {
    return "スレッド " + std::to_string(thread) + " / " + std::to_string(index);
}

constexpr int kThreads = 8;
constexpr int kPerThread = 3000;

// Shows kPerThread messages from each of kThreads threads, all started together.
void ShowFromManyThreads() {
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &go] {
            while (!go.load()) {
                std::this_thread::yield();
            }
            for (int i = 0; i < kPerThread; ++i) {
                platform::ShowMessageBox(ThreadMessage(t, i));
            }
        });
    }
    go.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
}

// Every message arrived exactly once, and each thread's messages in the order it showed them.
void ExpectAllThreadMessages(const Messages& received) {
    std::map<std::string, std::pair<int, int>> origin;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            origin[ThreadMessage(t, i)] = {t, i};
        }
    }
    std::vector<int> next(kThreads, 0);
    Messages unexpected;
    Messages outOfOrder;
    for (const std::string& text : received) {
        const auto found = origin.find(text);
        if (found == origin.end()) {
            unexpected.push_back(text);
            continue;
        }
        const auto [thread, index] = found->second;
        if (index != next[static_cast<std::size_t>(thread)]) {
            outOfOrder.push_back(text);
        }
        next[static_cast<std::size_t>(thread)] = index + 1;
    }
    EXPECT_EQ(received.size(), origin.size());
    EXPECT_EQ(next, std::vector<int>(kThreads, kPerThread));
    const auto first = [](Messages texts) {
        texts.resize(std::min<std::size_t>(texts.size(), 3));
        return testing::PrintToString(texts);
    };
    EXPECT_TRUE(unexpected.empty())
        << unexpected.size() << " texts that no thread showed, such as " << first(unexpected);
    EXPECT_TRUE(outOfOrder.empty())
        << outOfOrder.size() << " texts out of order, such as " << first(outOfOrder);
}

TEST_F(MessageBoxTest, WithoutHandlerEachMessageIsOneLineOnStandardError) {
    // A text is written as it is: not as a C string (it may hold a zero byte and need not end
    // in one) and not as a format ("%s" must not be expanded).
    const char buffer[] = "abc\0def";
    const std::string_view withZero(buffer, 7);
    const std::string_view cut("truncated here", 9);

    testing::internal::CaptureStderr();
    platform::ShowMessageBox("ファイルが見つかりませんでした。");
    platform::ShowMessageBox("");
    platform::ShowMessageBox(cut);
    platform::ShowMessageBox(withZero);
    platform::ShowMessageBox("100% %s %n");
    const std::string written = testing::internal::GetCapturedStderr();

    const std::string expected = "ファイルが見つかりませんでした。\n\ntruncated\n" +
                                 std::string(withZero) + "\n100% %s %n\n";
    EXPECT_EQ(written, expected);
}

TEST_F(MessageBoxTest, InstalledHandlerReceivesEveryTextInsteadOfStandardError) {
    Recorder recorder;
    bool finished = false;
    platform::SetMessageHandler([&](std::string_view text) {
        // The caller must wait until the user has dismissed the message.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        recorder.Add(text);
        finished = true;
    });

    const char buffer[] = "x\0y";
    testing::internal::CaptureStderr();
    platform::ShowMessageBox("ビット数を変更しました。");
    EXPECT_TRUE(finished);
    platform::ShowMessageBox(std::string_view(buffer, 3));
    platform::ShowMessageBox("");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(recorder.Texts(), (Messages{"ビット数を変更しました。", std::string(buffer, 3), ""}));
}

TEST_F(MessageBoxTest, LaterHandlerTakesOverAndEmptyHandlerRestoresTheDefault) {
    Recorder first;
    Recorder second;
    platform::SetMessageHandler(first.Handler());
    platform::ShowMessageBox("one");
    platform::SetMessageHandler(second.Handler());
    platform::ShowMessageBox("two");
    platform::SetMessageHandler({});
    testing::internal::CaptureStderr();
    platform::ShowMessageBox("three");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "three\n");

    EXPECT_EQ(first.Texts(), Messages{"one"});
    EXPECT_EQ(second.Texts(), Messages{"two"});

    // A handler object that holds no function counts as none.
    platform::SetMessageHandler(platform::MessageHandler());
    testing::internal::CaptureStderr();
    platform::ShowMessageBox("four");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "four\n");
}

TEST_F(MessageBoxTest, HandlerMayReplaceItselfAndShowAMessageWhileItRuns) {
    // The running handler must stay alive after it has been replaced (it still uses what it
    // captured), and no lock may be held while it runs, or the nested message would deadlock.
    Recorder outer;
    Recorder inner;
    auto state = std::make_shared<std::string>("state captured by the first handler");
    platform::SetMessageHandler([&outer, &inner, state](std::string_view text) {
        platform::SetMessageHandler(inner.Handler());
        platform::ShowMessageBox("nested");
        outer.Add(std::string(text) + " / " + *state);
    });
    state.reset();

    platform::ShowMessageBox("first");
    platform::ShowMessageBox("second");

    EXPECT_EQ(outer.Texts(), Messages{"first / state captured by the first handler"});
    EXPECT_EQ(inner.Texts(), (Messages{"nested", "second"}));
}

TEST_F(MessageBoxTest, MessagesFromSeveralThreadsAllReachTheHandler) {
    Recorder recorder;
    platform::SetMessageHandler(recorder.Handler());
    ShowFromManyThreads();
    ExpectAllThreadMessages(recorder.Texts());
}

TEST_F(MessageBoxTest, HandlerReplacedWhileThreadsShowMessagesLosesNone) {
    Recorder a;
    Recorder b;
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        bool useA = true;
        while (!done.load()) {
            platform::SetMessageHandler(useA ? a.Handler() : b.Handler());
            useA = !useA;
            std::this_thread::yield();
        }
    });
    platform::SetMessageHandler(a.Handler());
    ShowFromManyThreads();
    done.store(true);
    swapper.join();

    Messages all = a.Texts();
    const Messages fromB = b.Texts();
    all.insert(all.end(), fromB.begin(), fromB.end());
    std::sort(all.begin(), all.end());
    Messages expected;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kPerThread; ++i) {
            expected.push_back(ThreadMessage(t, i));
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(all, expected);
}

TEST_F(MessageBoxTest, MessagesFromSeveralThreadsAreWholeLinesOnStandardError) {
    // Two messages shown at the same moment must not run into one line.
    testing::internal::CaptureStderr();
    ShowFromManyThreads();
    const std::string written = testing::internal::GetCapturedStderr();

    Messages lines;
    std::istringstream stream(written);
    for (std::string line; std::getline(stream, line);) {
        lines.push_back(line);
    }
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), '\n');
    ExpectAllThreadMessages(lines);
}

}  // namespace
