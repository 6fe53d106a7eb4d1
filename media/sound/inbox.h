#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

// Messages for one thread from any others. Pushing takes a short lock of the inbox's own
// and never waits on the receiving thread, whatever it is doing. The receiver either
// waits here or is woken by a hook of its own (the sound engine's main loop polls an
// eventfd, not a condition variable).
template<typename T>
class Inbox
{
public:
    explicit Inbox(std::function<void()> wake = nullptr) : m_wake(std::move(wake)) {}

    // False once the receiver has closed the inbox: nobody will ever take the item.
    bool push(T item)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_closed)
                return false;
            m_items.push_back(std::move(item));
        }
        notify();
        return true;
    }

    // Wakes the receiver without a message, for news it looks for itself; rings that
    // come before it wakes are one.
    void ring()
    {
        {
            std::lock_guard lock(m_mutex);
            m_rung = true;
        }
        notify();
    }

    // A message is waiting: a receiver busy with a long job can stop and look.
    bool hasMessages() const
    {
        std::lock_guard lock(m_mutex);
        return !m_items.empty();
    }

    std::vector<T> take()
    {
        std::lock_guard lock(m_mutex);
        m_rung = false;
        return std::exchange(m_items, {});
    }

    // For a receiver that ends: takes what is left and refuses every later push, so that
    // a sender learns what will never be carried out rather than leave it waiting.
    std::vector<T> close()
    {
        std::lock_guard lock(m_mutex);
        m_closed = true;
        m_rung = false;
        return std::exchange(m_items, {});
    }

    // Waits for a message or a ring, at most `timeout` when it is above zero, then
    // takes what there is.
    std::vector<T> wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock lock(m_mutex);
        const auto ready = [this] { return m_rung || !m_items.empty(); };
        if (timeout.count() > 0)
            m_cv.wait_for(lock, timeout, ready);
        else
            m_cv.wait(lock, ready);
        m_rung = false;
        return std::exchange(m_items, {});
    }

private:
    void notify()
    {
        m_cv.notify_one();
        if (m_wake)
            m_wake();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<T> m_items;
    bool m_rung = false;
    bool m_closed = false;
    const std::function<void()> m_wake;
};
