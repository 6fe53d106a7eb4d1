#include "serialportadapter.h"

#include "helperclient.h"
#include "mailbox.h"
#include "shutdownsignals.h"
#include "unkeywatch.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTimer>

#include <cstring>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

QString portDeviceName(qint16 port)
{
#ifdef Q_OS_WIN
    return QStringLiteral("COM%1").arg(port);
#else
    const QFileInfo link(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                         + QStringLiteral("/vendrel9/com%1").arg(port));
    if (link.isSymLink()) {
        // The device itself, so that its lock file is the one every program takes (a
        // by-id name is itself a link); a link to nothing still names what it meant.
        const QString device = link.canonicalFilePath();
        return device.isEmpty() ? link.symLinkTarget() : device;
    }
    return QStringLiteral("/dev/ttyS%1").arg(port - 1);
#endif
}

namespace {

using Failure = ISerialPort::Failure;

Failure failureOf(const QByteArray &kind)
{
    if (kind == "notfound")
        return Failure::NotFound;
    if (kind == "busy")
        return Failure::Busy;
    if (kind == "permission")
        return Failure::PermissionDenied;
    if (kind == "cancelled")
        return Failure::Cancelled;
    return Failure::Other;
}

} // namespace

class SerialPortAdapter::Impl : public QObject
{
public:
    Impl()
    {
        mailbox->receiver = this;
        attemptTimer.setSingleShot(true);
        connect(&attemptTimer, &QTimer::timeout, this, [this] {
            // Still looking the COM link up: the settings folder does not answer.
            // The look-up's late answer is for an attempt given up: it must not open a port
            // for the next one.
            if (waiting && lookingUp) {
                ++unkeys;
                lookingUp = false;
                finish(false, Failure::NoAnswer, noAnswerReason());
            }
        });
        client.setEndListener([this](HelperClient::End why) { helperEnded(why); });
        // The watch must let go of the helper before its pid goes to a reaper, which may
        // free it for another process to take.
        client.setLettingGo([] { unkey::detach(); });
    }

    ~Impl() override
    {
        mailbox->close();
        // The helper takes the end of its input as the end of its work: RTS down, the
        // port closed. It is not waited for.
        client.release();
    }

    bool startHelper()
    {
        if (client.running())
            return true;
        int pair[2] = {-1, -1};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
            return false;
        const bool started = client.start(QStringLiteral("vendrel9-port"), {QString::number(::getpid())}, pair[1]);
        ::close(pair[1]);
        if (!started) {
            ::close(pair[0]);
            return false;
        }
        killsAtStart = unkey::killsSoFar();
        unkey::attach(pair[0], client.pid(), [box = mailbox](int error) {
            box->deliver([box, error] {
                if (auto *self = static_cast<Impl *>(box->receiver))
                    self->tellLate(Failure::Other, QString::fromLocal8Bit(std::strerror(error)));
            });
        });
        return true;
    }

    void helperEnded(HelperClient::End why)
    {
        // Whether the watch killed it is known before its socket's end can be seen here.
        const bool killedForDrop = unkey::killsSoFar() != killsAtStart;
        // A helper that ends before its close is answered took the port with it, RTS
        // dropped by the kernel's hang-up: that is worth telling too.
        const bool wasOpen = open || waiting || closing;
        open = false;
        closing = false;
        const Failure kind = why == HelperClient::End::NoAnswer || killedForDrop ? Failure::NoAnswer : Failure::HelperGone;
        const QString reason = killedForDrop
            ? QStringLiteral("RTS was not dropped within %1 ms").arg(unkey::kDropDeadlineMs)
            : why == HelperClient::End::NoAnswer ? QStringLiteral("no answer in time")
                                                 : QStringLiteral("the port's helper has ended");
        if (waiting)
            return finish(false, kind, reason);
        // The program's own end takes its helper with it: nothing to tell then.
        if (wasOpen && !ShutdownSignals::requested())
            tellLate(kind, reason);
    }

    // Once for each port opened: a drop and the close after it fail for the same cause.
    void tellLate(Failure kind, const QString &reason)
    {
        if (told)
            return;
        told = true;
        failure = kind;
        error = reason;
        if (failureListener)
            failureListener();
    }

    // The continuation of the step waiting, once; nothing if it was called off.
    void finish(bool ok, Failure kind = Failure::None, const QString &reason = {})
    {
        attemptTimer.stop();
        failure = kind;
        error = reason;
        const Done done = std::move(waiting);
        waiting = nullptr;
        if (done)
            done(ok);
    }

    // Answers after the call, never inside it, as every step's answer comes.
    void finishLater(bool ok, Failure kind, const QString &reason)
    {
        QTimer::singleShot(0, this, [this, since = unkeys, ok, kind, reason] {
            if (since == unkeys)
                finish(ok, kind, reason);
        });
    }

    void answered(const frames::Fields &answer, quint64 since, bool opening)
    {
        if (since != unkeys)
            return; // called off: the helper closes what it opened, and never raises RTS
        if (answer.value(0) == "ok") {
            if (opening) {
                open = true;
                told = false;
            }
            return finish(true);
        }
        finish(false, failureOf(answer.value(1)), QString::fromUtf8(answer.value(2)));
    }

    // What is left of the attempt's deadline: the open and the raise after it together
    // follow the click within it, or not at all.
    int remainingMs() const
    {
        if (attemptDeadline.isForever())
            return kOpenDeadlineMs;
        return int(qBound<qint64>(0, attemptDeadline.remainingTime(), qint64(kOpenDeadlineMs)));
    }

    // Too little of the deadline is left for the helper to answer in: the step is not
    // sent at all, rather than open the port or raise RTS only to be killed for it.
    bool tooLate() const { return remainingMs() < kCloseDeadlineMs; }

    static QString noAnswerReason() { return QStringLiteral("no answer within %1 s").arg(kOpenDeadlineMs / 1000); }

    // An unkey calls off whatever open or raise is still waiting, for good.
    void callOff()
    {
        ++unkeys;
        waiting = nullptr;
        attemptTimer.stop();
    }

    const std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
    HelperClient client;
    QTimer attemptTimer; // the COM link's look-up
    QDeadlineTimer attemptDeadline {QDeadlineTimer::Forever}; // the open and the raise, from the click
    Done waiting;
    quint64 unkeys = 0;
    unsigned killsAtStart = 0;
    bool lookingUp = false;
    bool told = false;
    bool closing = false;

    qint16 commPort = 1;
    bool open = false;
    bool opening = false;
    QString device;
    QString error;
    Failure failure = Failure::None;
    std::function<void()> failureListener;
};

SerialPortAdapter::SerialPortAdapter() : d(std::make_unique<Impl>())
{
    // Started at once, so the first transmission does not wait for it.
    d->startHelper();
}

SerialPortAdapter::~SerialPortAdapter() = default;

void SerialPortAdapter::setCommPort(qint16 port)
{
    d->commPort = port;
}

qint16 SerialPortAdapter::commPort() const
{
    return d->commPort;
}

void SerialPortAdapter::setPortOpen(bool open, Done done)
{
    d->error.clear();
    d->failure = Failure::None;
    if (!open) {
        d->callOff();
        if (d->opening) {
            // Its helper may be waiting in the open for as long as the device likes: it
            // is killed, so nothing opens the port for an attempt called off.
            d->client.kill();
        } else if (d->open) {
            d->closing = true;
            d->client.request({"close"}, kCloseDeadlineMs, [this](const frames::Fields &answer) {
                d->closing = false;
                if (answer.value(0) != "ok")
                    d->tellLate(failureOf(answer.value(1)), QString::fromUtf8(answer.value(2)));
            });
        }
        d->open = false;
        d->opening = false;
        return;
    }
    d->waiting = std::move(done);
    if (d->open)
        return d->finishLater(false, Failure::Other, QStringLiteral("port already open"));
    if (d->commPort < 1 || d->commPort > 6)
        return d->finishLater(false, Failure::Other, QStringLiteral("no such port"));
    d->attemptDeadline.setRemainingTime(kOpenDeadlineMs);
    d->attemptTimer.start(kOpenDeadlineMs);
    d->lookingUp = true;

    // Only ever the one port asked for: probing others (as QSerialPortInfo does) would
    // pulse RTS on every idle port and key any radio wired to one. The COM link is looked
    // up on a thread of its own: a stalled disk under the user's settings holds that
    // thread only.
    const quint64 since = d->unkeys;
    std::thread([box = d->mailbox, port = d->commPort, since] {
        const QString device = portDeviceName(port);
        box->deliver([box, device, since] {
            auto *self = static_cast<Impl *>(box->receiver);
            if (!self || since != self->unkeys || !self->waiting)
                return;
            self->lookingUp = false;
            self->device = device;
            // The program is ending: an open would raise DTR for nothing.
            if (ShutdownSignals::requested())
                return self->finish(false, Failure::Cancelled, QStringLiteral("called off"));
            if (!self->startHelper())
                return self->finish(false, Failure::Other,
                                    QStringLiteral("the port's helper could not be started: %1")
                                        .arg(HelperProcess::programPath(QStringLiteral("vendrel9-port"))));
            if (self->tooLate())
                return self->finish(false, Failure::NoAnswer, Impl::noAnswerReason());
            self->opening = true;
            self->client.request({"open", QFile::encodeName(device), QByteArray::number(unkey::requestsSoFar())},
                                 self->remainingMs(),
                                 [self, since](const frames::Fields &answer) {
                                     if (since == self->unkeys)
                                         self->opening = false;
                                     self->answered(answer, since, true);
                                 });
        });
    }).detach();
}

bool SerialPortAdapter::portOpen() const
{
    return d->open;
}

void SerialPortAdapter::setRTSEnable(bool enable, Done done)
{
    d->error.clear();
    d->failure = Failure::None;
    if (!enable) {
        d->callOff();
        unkey::request();
        return;
    }
    d->waiting = std::move(done);
    if (!d->open)
        return d->finishLater(true, Failure::None, {});
    // A shutdown signal that came before RTS rose means it never rises.
    if (ShutdownSignals::requested())
        return d->finishLater(false, Failure::Cancelled, QStringLiteral("called off"));
    if (d->tooLate()) {
        d->attemptDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
        return d->finishLater(false, Failure::NoAnswer, Impl::noAnswerReason());
    }
    const quint64 since = d->unkeys;
    d->client.request({"rts", "1"}, d->remainingMs(),
                      [this, since](const frames::Fields &answer) { d->answered(answer, since, false); });
    // Spent: a raise asked for apart from an open gets a deadline of its own.
    d->attemptDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
}

QString SerialPortAdapter::errorString() const
{
    return d->error;
}

ISerialPort::Failure SerialPortAdapter::failure() const
{
    return d->failure;
}

QString SerialPortAdapter::portName() const
{
    return d->device.isEmpty() ? QStringLiteral("COM%1").arg(d->commPort) : d->device;
}

void SerialPortAdapter::setFailureListener(std::function<void()> listener)
{
    d->failureListener = std::move(listener);
}

void SerialPortAdapter::giveUpUnansweredClose()
{
    // Nobody is left to tell: a box now would stand with no event loop to answer it.
    d->failureListener = nullptr;
    if (d->closing && !d->client.settle())
        d->client.kill();
    d->closing = false;
}
