#include "savetracker.h"

void SaveTracker::accept()
{
    std::lock_guard lock(m_mutex);
    ++m_pending;
    m_lastProgress = std::chrono::steady_clock::now();
}

void SaveTracker::finish()
{
    {
        std::lock_guard lock(m_mutex);
        m_pending = qMax(0, m_pending - 1);
        m_lastProgress = std::chrono::steady_clock::now();
    }
    m_cv.notify_all();
}

void SaveTracker::progressed()
{
    std::lock_guard lock(m_mutex);
    m_lastProgress = std::chrono::steady_clock::now();
}

void SaveTracker::addTemporary(const std::string &path)
{
    std::lock_guard lock(m_mutex);
    m_temporaries.insert(path);
}

void SaveTracker::removeTemporary(const std::string &path)
{
    std::lock_guard lock(m_mutex);
    m_temporaries.erase(path);
}

int SaveTracker::pending() const
{
    std::lock_guard lock(m_mutex);
    return m_pending;
}

bool SaveTracker::waitAll(std::chrono::milliseconds stall, std::set<std::string> *left)
{
    std::unique_lock lock(m_mutex);
    while (m_pending > 0) {
        if (std::chrono::steady_clock::now() - m_lastProgress > stall) {
            if (left)
                *left = m_temporaries;
            return false;
        }
        m_cv.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}
