#include "cli/Reporter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/PrintableText.h"

namespace {

// A batch shows its progress line once it has taken longer than this.
constexpr std::chrono::milliseconds kProgressDelay{500};

constexpr const char* kProgramPrefix = "sonorette-gain: ";

}  // namespace

CReporter::CReporter(std::size_t fileCount)
    : m_fileCount(fileCount),
      m_isTerminal(::isatty(STDERR_FILENO) == 1),
      m_start(std::chrono::steady_clock::now()) {}

void CReporter::BeginFile(std::size_t index, const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_currentPath = path;
    m_linesForFile = 0;
    if (m_isTerminal && m_fileCount > 1 &&
        std::chrono::steady_clock::now() - m_start >= kProgressDelay) {
        std::fprintf(stderr, "\r\033[K[%zu/%zu] %s", index + 1, m_fileCount,
                     platform::EscapeForDisplay(path).c_str());
        std::fflush(stderr);
        m_progressShown = true;
    }
}

void CReporter::Message(std::string_view text, const platform::MessageSubject& subject) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_linesForFile >= kMaxLinesPerFile) {
        return;
    }
    const std::string_view path = subject.path.empty() ? m_currentPath : subject.path;
    std::string line = kProgramPrefix + platform::EscapeForDisplay(path) + ": ";
    if (++m_linesForFile == kMaxLinesPerFile) {
        line += "これ以上のメッセージは省略します。";
    } else {
        line.append(text);
        if (subject.systemError != 0) {
            line += " (" + platform::SystemErrorText(subject.systemError) + ")";
        }
    }
    WriteLine(line);
}

void CReporter::ProgramMessage(std::string_view text, int systemError) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string line = kProgramPrefix;
    line.append(text);
    if (systemError != 0) {
        line += " (" + platform::SystemErrorText(systemError) + ")";
    }
    WriteLine(line);
}

void CReporter::WriteLine(const std::string& line) {
    if (m_progressShown) {
        std::fputs("\r\033[K", stderr);
        m_progressShown = false;
    }
    std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
}

void CReporter::Result(const std::string& line) {
    EraseProgress();
    // Flushed line by line, so that a failure is seen with its own reason.
    if (std::fprintf(stdout, "%s\n", line.c_str()) < 0 || std::fflush(stdout) != 0) {
        if (!m_outputFailed) {
            m_outputError = errno;
        }
        m_outputFailed = true;
    }
}

void CReporter::EraseProgress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_progressShown) {
        std::fputs("\r\033[K", stderr);
        m_progressShown = false;
    }
}

bool CReporter::FinishOutput() {
    if (std::fflush(stdout) != 0 && !m_outputFailed) {
        m_outputError = errno;
        m_outputFailed = true;
    }
    if (std::ferror(stdout) != 0) {
        m_outputFailed = true;
    }
    if (m_outputFailed) {
        ProgramMessage("標準出力に書き込めませんでした。", m_outputError);
    }
    return !m_outputFailed;
}

std::string GainText(const GainOutcome& outcome) {
    if (outcome.percent) {
        return std::to_string(*outcome.percent) + "%";
    }
    char text[64] = {};
    std::snprintf(text, sizeof text, "%.2f%%", outcome.factor * 100.0);
    return text;
}

std::string ClipNotice(std::uint64_t clippedSamples) {
    return "音量を上げすぎたため、" + std::to_string(clippedSamples) +
           " 個のサンプルがクリップしました。";
}

void KeepStandardStreamsOpen() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free number is this one, since the ones below it are open by now.
            static_cast<void>(::open("/dev/null", O_RDONLY));
        }
    }
}
