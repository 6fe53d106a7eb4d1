#pragma once

#include "frames.h"
#include "helperprocess.h"

#include <QObject>

#include <deque>
#include <functional>

class QSocketNotifier;
class QTimer;

// The window's side of one helper process: framed messages over its socket, requests
// answered in order, each with a deadline. Nothing here waits: an answer or a deadline
// comes back as a call on the window's thread. A helper that misses a deadline is killed
// and reaped, and its end is told like any other.
class HelperClient final : public QObject
{
public:
    // Why a request got no answer, or why the helper is gone.
    enum class End { Exited, NoAnswer, Broken };
    using Answer = std::function<void(const frames::Fields &answer)>;

    explicit HelperClient(QObject *parent = nullptr);
    ~HelperClient() override;

    // Starts the helper unless it runs; false when it could not be started.
    bool start(const QString &name, const QStringList &arguments, int third = -1);
    bool running() const { return m_helper.running(); }
    pid_t pid() const { return m_helper.pid(); }

    // Sends a request; `answer` gets the helper's answer, in order of the requests. A
    // helper that has not answered within `deadlineMs` is killed.
    void request(const frames::Fields &message, int deadlineMs, Answer answer);
    // What the helper says of its own accord (nothing is waiting for an answer).
    void setMessageListener(std::function<void(const frames::Fields &)> listener);
    // Called once when the helper ends or is killed for a missed deadline; never for
    // kill() or release(). Answers still pending are dropped.
    void setEndListener(std::function<void(End)> listener);
    // Called before the helper is killed or let go of, whatever the cause: whoever else
    // holds its pid must drop it before the pid goes to a reaper.
    void setLettingGo(std::function<void()> listener);
    // Once the event loop has ended, and so its deadlines: takes the answers pending as
    // they come, blocking until the earliest deadline at most. True once none is left.
    bool settle();
    // Kills the helper and reaps it later; nothing pending is called.
    void kill();
    // Closes our end, which the helper takes as its end of work, and lets it finish.
    void release();

private:
    struct Pending
    {
        Answer answer;
        qint64 deadline = 0; // on the monotonic clock, ms
    };

    void readAnswers();
    void armDeadline();
    qint64 earliestDeadline() const;
    void letGo();
    void ended(End why);
    void drop();

    HelperProcess m_helper;
    QSocketNotifier *m_notifier = nullptr;
    QTimer *m_deadline = nullptr;
    QByteArray m_input;
    std::deque<Pending> m_pending;
    std::function<void(const frames::Fields &)> m_messageListener;
    std::function<void(End)> m_endListener;
    std::function<void()> m_lettingGo;
};
