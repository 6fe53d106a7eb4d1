#pragma once

#include <QString>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

// The saves the operator has asked for that are not finished yet, across every binding:
// the program finishes them before it exits, however slow the disk, as long as it
// answers. Shared by the window's thread, which counts a save in when it posts it, and
// the bindings' threads, which count it out when it is written, failed or had nothing
// to write.
class SaveTracker
{
public:
    void accept();
    void finish();
    // The disk answered a save: what the exit waits for is progress, not a deadline.
    void progressed();
    // A temporary file beside the target, under that name, while it is written.
    void addTemporary(const std::string &path);
    void removeTemporary(const std::string &path);

    int pending() const;
    // Waits until every save is finished, or none has progressed for `stall`. Then the
    // temporary files still beside their targets are named in *left. True when all
    // finished.
    bool waitAll(std::chrono::milliseconds stall, std::set<std::string> *left);

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_pending = 0;
    std::chrono::steady_clock::time_point m_lastProgress = std::chrono::steady_clock::now();
    std::set<std::string> m_temporaries;
};
