#include "serialportadapter.h"

#include "helperprocess.h"
#include "mailbox.h"
#include "shutdownsignals.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QPointer>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <cerrno>
#include <deque>
#include <mutex>
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
    return Failure::Other;
}

} // namespace

class SerialPortAdapter::Impl : public QObject
{
public:
    // One command sent to the helper, awaiting its answer.
    struct Request
    {
        quint64 id = 0;
        bool waitedFor = false;
        bool answered = false;
        bool ok = false;
        Failure failure = Failure::None;
        QString reason;
    };

    Impl() { mailbox->receiver = this; }

    ~Impl() override
    {
        mailbox->close();
        // The helper reads the end of its input as the end of its work: RTS down, the
        // port closed. It is not waited for.
        delete notifier;
        helper.release();
    }

    bool startHelper()
    {
        if (helper.running())
            return true;
        delete notifier;
        notifier = nullptr;
        input.clear();
        if (!helper.start(QStringLiteral("vendrel9-port"), {QString::number(::getpid())}))
            return false;
        notifier = new QSocketNotifier(helper.socket(), QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this, [this] { readAnswers(); });
        return true;
    }

    // Sends a command; its answer comes later, in order.
    std::shared_ptr<Request> send(const QByteArray &command, bool waitedFor)
    {
        auto request = std::make_shared<Request>();
        request->id = ++sent;
        request->waitedFor = waitedFor;
        const QByteArray line = command + '\n';
        const ssize_t put = helper.running() ? ::write(helper.socket(), line.constData(), size_t(line.size())) : -1;
        if (put != line.size()) {
            request->answered = true;
            request->failure = Failure::Other;
            request->reason = QStringLiteral("the port's helper has ended");
            return request;
        }
        pending.push_back(request);
        return request;
    }

    void readAnswers()
    {
        char buffer[4096];
        for (;;) {
            const ssize_t got = ::read(helper.socket(), buffer, sizeof buffer);
            if (got > 0) {
                input.append(buffer, got);
                continue;
            }
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                break;
            helperEnded();
            return;
        }
        qsizetype end = -1;
        while ((end = input.indexOf('\n')) >= 0 && !pending.empty()) {
            const QByteArray line = input.left(end);
            input.remove(0, end + 1);
            const std::shared_ptr<Request> request = pending.front();
            pending.pop_front();
            request->answered = true;
            request->ok = line == "ok";
            if (!request->ok) {
                const QList<QByteArray> parts = line.split(' ');
                request->failure = failureOf(parts.value(1));
                request->reason = QString::fromUtf8(line.mid(qMin<qsizetype>(line.size(), 6 + parts.value(1).size())));
                if (!request->waitedFor)
                    tellLateFailure(request->failure, request->reason);
            }
        }
        wake();
    }

    void helperEnded()
    {
        delete notifier;
        notifier = nullptr;
        helper.release();
        open = false;
        for (const auto &request : pending) {
            request->answered = true;
            request->failure = Failure::Other;
            request->reason = QStringLiteral("the port's helper has ended");
        }
        pending.clear();
        wake();
    }

    void tellLateFailure(Failure kind, const QString &reason)
    {
        failure = kind;
        error = reason;
        if (failureListener)
            failureListener();
    }

    // Runs the window's events until done() holds or the wait is called off: an unkey
    // since `since`, a shutdown signal, the program quitting. False when called off.
    bool waitUntil(const std::function<bool()> &done, quint64 since)
    {
        const auto calledOff = [&] { return unkeys != since || ShutdownSignals::requested(); };
        if (loop)
            return done() && !calledOff(); // one wait at a time; the handlers never nest two
        QEventLoop waiting;
        loop = &waiting;
        // Woken for any news; the program quitting makes exec() return at once, below 0.
        while (!done() && !calledOff()) {
            if (waiting.exec() < 0)
                break;
        }
        loop = nullptr;
        return done() && !calledOff();
    }

    void wake()
    {
        if (loop)
            loop->quit();
    }

    // An unkey calls off whatever open or raise is still waiting, for good.
    void callOff()
    {
        ++unkeys;
        wake();
    }

    // The COM link looked up on a thread of its own: a stalled disk under the user's
    // settings holds that thread only, and an unkey calls the wait off.
    bool resolve(qint16 port, QString *device, quint64 since)
    {
        struct Lookup
        {
            std::mutex mutex;
            bool done = false;
            QString device;
        };
        auto lookup = std::make_shared<Lookup>();
        std::thread([box = mailbox, lookup, port] {
            const QString name = portDeviceName(port);
            {
                std::lock_guard lock(lookup->mutex);
                lookup->device = name;
                lookup->done = true;
            }
            box->deliver([box] {
                if (auto *self = static_cast<Impl *>(box->receiver))
                    self->wake();
            });
        }).detach();
        const bool found = waitUntil(
            [lookup] {
                std::lock_guard lock(lookup->mutex);
                return lookup->done;
            },
            since);
        if (found) {
            std::lock_guard lock(lookup->mutex);
            *device = lookup->device;
        }
        return found;
    }

    bool fail(const QString &reason, Failure kind = Failure::Other)
    {
        error = reason;
        failure = kind;
        return false;
    }

    bool calledOff() { return fail(QStringLiteral("called off"), Failure::Cancelled); }

    const std::shared_ptr<Mailbox> mailbox = std::make_shared<Mailbox>();
    HelperProcess helper;
    QSocketNotifier *notifier = nullptr;
    QByteArray input;
    std::deque<std::shared_ptr<Request>> pending;
    quint64 sent = 0;
    QEventLoop *loop = nullptr;
    quint64 unkeys = 0;

    qint16 commPort = 1;
    bool open = false;
    bool rtsEnable = false;
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

bool SerialPortAdapter::setPortOpen(bool open)
{
    d->error.clear();
    d->failure = Failure::None;
    if (!open) {
        d->callOff();
        if (d->open)
            d->send("close", false);
        d->open = false;
        return true;
    }
    if (d->open)
        return d->fail(QStringLiteral("port already open"));
    if (d->commPort < 1 || d->commPort > 6)
        return d->fail(QStringLiteral("no such port"));

    // Only ever the one port asked for: probing others (as QSerialPortInfo does) would
    // pulse RTS on every idle port and key any radio wired to one.
    const quint64 since = d->unkeys;
    QString device;
    if (!d->resolve(d->commPort, &device, since))
        return d->calledOff();
    d->device = device;
    if (!d->startHelper())
        return d->fail(QStringLiteral("the port's helper could not be started: %1")
                           .arg(HelperProcess::programPath(QStringLiteral("vendrel9-port"))));
    const auto request = d->send("open " + device.toUtf8(), true);
    if (!d->waitUntil([request] { return request->answered; }, since)) {
        // Called off: whatever the helper opens is closed again, and RTS never raised.
        d->send("close", false);
        return d->calledOff();
    }
    if (!request->ok)
        return d->fail(request->reason, request->failure);
    d->open = true;
    return true;
}

bool SerialPortAdapter::portOpen() const
{
    return d->open;
}

bool SerialPortAdapter::setRTSEnable(bool enable)
{
    d->error.clear();
    d->failure = Failure::None;
    d->rtsEnable = enable;
    if (!enable) {
        d->callOff();
        if (d->open)
            d->send("rts 0", false);
        return true;
    }
    if (!d->open)
        return true;
    // A shutdown signal that came before RTS rose means it never rises.
    if (ShutdownSignals::requested())
        return d->calledOff();
    const quint64 since = d->unkeys;
    const auto request = d->send("rts 1", true);
    if (!d->waitUntil([request] { return request->answered; }, since))
        return d->calledOff();
    if (!request->ok)
        return d->fail(request->reason, request->failure);
    return true;
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
