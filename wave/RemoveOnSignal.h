// Removing a half-written file when a signal ends the program.
//
// While a path is armed, SIGINT, SIGTERM, SIGHUP and SIGXFSZ (a write past the file size limit)
// remove the file before the program ends as the signal would have ended it. Only signals whose
// disposition is the default one are taken over, from the first arm until the last disarm; a
// program that handles or ignores a signal itself keeps doing so. Up to kMaxArmed paths may be
// armed at once in the whole process; a path armed beyond that is not guarded.
//
// Threads: any; the signal may arrive on any thread.
#pragma once

#include <cstddef>
#include <string>

class CRemoveOnSignal {
  public:
    static constexpr std::size_t kMaxArmed = 8;

    CRemoveOnSignal() = default;
    CRemoveOnSignal(const CRemoveOnSignal&) = delete;
    CRemoveOnSignal& operator=(const CRemoveOnSignal&) = delete;
    ~CRemoveOnSignal() { Disarm(); }

    // From now on the file at path (which need not exist yet) is removed by the signals.
    void Arm(const std::string& path);
    // The file is the program's own business again (renamed into place, or removed).
    void Disarm();

  private:
    // The process-wide slot that holds the path; -1 when not armed.
    int m_slot = -1;
};
