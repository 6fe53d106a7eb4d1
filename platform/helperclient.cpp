#include "helperclient.h"

#include <QDeadlineTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

qint64 now()
{
    return QDeadlineTimer::current().deadline();
}

} // namespace

HelperClient::HelperClient(QObject *parent) : QObject(parent), m_deadline(new QTimer(this))
{
    m_deadline->setSingleShot(true);
    connect(m_deadline, &QTimer::timeout, this, [this] {
        for (const Pending &pending : m_pending) {
            if (pending.deadline <= now())
                return ended(End::NoAnswer);
        }
        armDeadline();
    });
}

HelperClient::~HelperClient()
{
    release();
}

bool HelperClient::start(const QString &name, const QStringList &arguments, int third)
{
    if (m_helper.running())
        return true;
    drop();
    if (!m_helper.start(name, arguments, third))
        return false;
    m_notifier = new QSocketNotifier(m_helper.socket(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HelperClient::readAnswers);
    return true;
}

void HelperClient::request(const frames::Fields &message, int deadlineMs, Answer answer)
{
    const QByteArray bytes = frames::encode(message);
    // Requests are a few bytes and answered before the next: the socket's buffer never
    // fills, so one write puts all of it, or the helper is gone.
    const ssize_t put = m_helper.running() ? ::send(m_helper.socket(), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) : -1;
    m_pending.push_back({std::move(answer), now() + deadlineMs});
    if (put != bytes.size()) {
        // Told as the helper's end, from the event loop, never inside the caller's step.
        QTimer::singleShot(0, this, [this] {
            if (!m_pending.empty())
                ended(m_helper.running() ? End::Broken : End::Exited);
        });
        return;
    }
    armDeadline();
}

void HelperClient::setMessageListener(std::function<void(const frames::Fields &)> listener)
{
    m_messageListener = std::move(listener);
}

void HelperClient::setEndListener(std::function<void(End)> listener)
{
    m_endListener = std::move(listener);
}

bool HelperClient::settle()
{
    while (!m_pending.empty() && m_helper.running()) {
        const qint64 left = earliestDeadline() - now();
        if (left <= 0)
            return false;
        pollfd fd {m_helper.socket(), POLLIN, 0};
        if (::poll(&fd, 1, int(left)) < 0 && errno != EINTR)
            return false;
        readAnswers();
    }
    return m_pending.empty();
}

void HelperClient::setLettingGo(std::function<void()> listener)
{
    m_lettingGo = std::move(listener);
}

void HelperClient::letGo()
{
    drop();
    if (m_helper.running() && m_lettingGo)
        m_lettingGo();
}

void HelperClient::kill()
{
    letGo();
    m_helper.kill();
}

void HelperClient::release()
{
    letGo();
    m_helper.release();
}

void HelperClient::readAnswers()
{
    char buffer[4096];
    bool gone = false;
    for (;;) {
        const ssize_t got = ::read(m_helper.socket(), buffer, sizeof buffer);
        if (got > 0) {
            m_input.append(buffer, got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            break;
        gone = true;
        break;
    }
    frames::Fields fields;
    for (;;) {
        const frames::Take taken = frames::take(m_input, &fields);
        if (taken == frames::Take::Broken)
            return ended(End::Broken);
        if (taken == frames::Take::NeedMore)
            break;
        if (m_pending.empty()) {
            if (m_messageListener)
                m_messageListener(fields);
            // The listener may have let the helper go.
            if (!m_helper.running())
                return;
            continue;
        }
        const Answer answer = std::move(m_pending.front().answer);
        m_pending.pop_front();
        armDeadline();
        if (answer)
            answer(fields);
        if (!m_helper.running())
            return;
    }
    if (gone)
        ended(End::Exited);
}

void HelperClient::armDeadline()
{
    if (m_pending.empty()) {
        m_deadline->stop();
        return;
    }
    m_deadline->start(int(qMax<qint64>(0, earliestDeadline() - now())));
}

// A short deadline may stand behind a long one (a close behind a slow open).
qint64 HelperClient::earliestDeadline() const
{
    qint64 earliest = m_pending.front().deadline;
    for (const Pending &pending : m_pending)
        earliest = qMin(earliest, pending.deadline);
    return earliest;
}

void HelperClient::ended(End why)
{
    kill();
    if (m_endListener)
        m_endListener(why);
}

void HelperClient::drop()
{
    delete m_notifier;
    m_notifier = nullptr;
    m_deadline->stop();
    m_pending.clear();
    m_input.clear();
}
