// What sonorette-gain tells its user: messages on standard error, one line each, prefixed with the
// program's name and the file they are about; results on standard output, one line per file; and,
// on a terminal, a progress line for a long batch. Every path is shown escaped (control characters
// as \ooo), so that no file name can move the cursor, change colours or split a line.
//
// Each file gets at most kMaxLinesPerFile message lines; the last of them says that the rest is
// left out. A write to standard output that fails is remembered, and FinishOutput reports it.
//
// Threads: Message may be called from any thread (the wave document's and the player's messages
// arrive there); everything else on the main thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/MessageBox.h"
#include "wave/StreamingGain.h"

class CReporter {
  public:
    static constexpr int kMaxLinesPerFile = 20;

    explicit CReporter(std::size_t fileCount);

    // The file that messages without a path of their own are about from now on.
    void BeginFile(std::size_t index, const std::string& path);
    // One message line about subject.path, or about the current file when the subject names none,
    // with the system's reason after the text.
    void Message(std::string_view text, const platform::MessageSubject& subject = {});
    // One message line about the program as a whole, with the system's reason when there is one.
    void ProgramMessage(std::string_view text, int systemError = 0);
    // One result line on standard output (the caller has escaped any path in it).
    void Result(const std::string& line);
    void EraseProgress();
    // Flushes standard output; false, after telling the user, when anything written there was
    // lost (a full disk, a closed pipe or descriptor).
    bool FinishOutput();

  private:
    void WriteLine(const std::string& line);

    std::size_t m_fileCount;
    bool m_isTerminal;
    std::chrono::steady_clock::time_point m_start;
    std::mutex m_mutex;
    std::string m_currentPath;
    int m_linesForFile = 0;
    bool m_progressShown = false;
    // The errno value of the first failed write to standard output; 0 while none failed.
    int m_outputError = 0;
    bool m_outputFailed = false;
};

// The gain as a result line shows it: the whole percentage ("250%"), or for a gain given in
// decibels the factor as a percentage to two decimals ("89.13%").
std::string GainText(const GainOutcome& outcome);
// The message about samples that a gain clipped.
std::string ClipNotice(std::uint64_t clippedSamples);

// Makes sure that standard input, output and error are open descriptors. One that is closed gets
// /dev/null opened for reading only: no file that the program opens later can take its number
// (and receive its output), and writes to it fail, so that a closed standard output is reported.
void KeepStandardStreamsOpen();
