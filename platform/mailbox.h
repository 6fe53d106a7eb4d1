#pragma once

#include <QObject>

#include <mutex>

// News from other threads for an object on the window's thread. A thread that outlives
// the object (one stuck on a disk may report long after) posts into nothing: the
// receiver is cleared, under the mailbox's own lock, before the object goes.
struct Mailbox
{
    std::mutex mutex;
    QObject *receiver = nullptr;

    template<typename Job>
    void deliver(Job job)
    {
        std::lock_guard lock(mutex);
        // Posting only: whatever is queued for a receiver that goes is dropped with it.
        if (receiver)
            QMetaObject::invokeMethod(receiver, std::move(job), Qt::QueuedConnection);
    }

    void close()
    {
        std::lock_guard lock(mutex);
        receiver = nullptr;
    }
};
