// What the command line prints: message lines naming their file, bounded per file; results.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "cli/Reporter.h"

namespace {

TEST(ReporterTest, MessagesNameTheirFileEscapedWithTheReasonAndAreBoundedPerFile) {
    CReporter reporter(2);
    testing::internal::CaptureStderr();
    reporter.BeginFile(0, "in\n.wav");
    reporter.Message("text");
    reporter.Message("saved", {"out\x1b.wav", ENOSPC});
    for (int i = 0; i < 30; ++i) {
        reporter.Message("again");
    }
    reporter.BeginFile(1, "next.wav");
    reporter.Message("text");
    reporter.ProgramMessage("whole", EBADF);
    std::string expected =
        "sonorette-gain: in\\012.wav: text\n"
        "sonorette-gain: out\\033.wav: saved (No space left on device)\n";
    for (int i = 0; i < CReporter::kMaxLinesPerFile - 3; ++i) {
        expected += "sonorette-gain: in\\012.wav: again\n";
    }
    expected +=
        "sonorette-gain: in\\012.wav: これ以上のメッセージは省略します。\n"
        "sonorette-gain: next.wav: text\n"
        "sonorette-gain: whole (Bad file descriptor)\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected);
}

}  // namespace
