#include "serialline.h"

#include <QSerialPort>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// QSerialPort leaves HUPCL as it finds it and other programs clear it. With it set the
// kernel drops RTS when the last descriptor goes, so a crash cannot leave the radio keyed.
bool setHangupOnClose(int fd, QString *reason)
{
    termios tio {};
    if (::tcgetattr(fd, &tio) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (tio.c_cflag & HUPCL)
        return true;
    tio.c_cflag |= HUPCL;
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        *reason = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

SerialLine::SerialLine() : m_port(std::make_unique<QSerialPort>()) {}

SerialLine::~SerialLine()
{
    close();
}

bool SerialLine::isOpen() const
{
    return m_port->isOpen();
}

int SerialLine::handle() const
{
    return m_port->isOpen() ? int(m_port->handle()) : -1;
}

bool SerialLine::fail(const QString &reason, Failure failure)
{
    m_reason = reason;
    m_failure = failure;
    return false;
}

// Qt's error, sorted for the operator: a missing device, one another program holds (its
// lock file or exclusive use), or one the user may not open.
bool SerialLine::failFromPort()
{
    const QString reason = m_port->errorString();
    switch (m_port->error()) {
    case QSerialPort::DeviceNotFoundError:
        return fail(reason, Failure::NotFound);
    case QSerialPort::PermissionError:
        if (reason.contains(QStringLiteral("lock"), Qt::CaseInsensitive)
            || reason.contains(QStringLiteral("busy"), Qt::CaseInsensitive))
            return fail(reason, Failure::Busy);
        return fail(reason, Failure::PermissionDenied);
    default:
        return fail(reason, Failure::Other);
    }
}

bool SerialLine::open(const QString &device)
{
    m_failure = Failure::None;
    m_reason.clear();
    if (m_port->isOpen())
        return fail(QStringLiteral("port already open"));
    m_port->setPortName(device);
    m_port->setBaudRate(QSerialPort::Baud9600);
    m_port->setDataBits(QSerialPort::Data8);
    m_port->setParity(QSerialPort::NoParity);
    m_port->setStopBits(QSerialPort::OneStop);
    // No handshaking: RTS belongs to the program alone.
    m_port->setFlowControl(QSerialPort::NoFlowControl);
    // Nothing is ever received, and a port open for reading whose device goes away
    // (a USB adapter pulled out) wakes the event loop without end.
    if (!m_port->open(QIODevice::WriteOnly))
        return failFromPort();
    // The kernel raises RTS on open; drop it at once so the radio stays unkeyed until asked.
    if (!m_port->setRequestToSend(false)) {
        failFromPort();
        const Failure failure = m_failure;
        const QString reason = m_reason;
        close();
        return fail(reason, failure);
    }
    QString reason;
    if (!setHangupOnClose(int(m_port->handle()), &reason)) {
        close();
        return fail(reason);
    }
    return true;
}

bool SerialLine::setRts(bool high)
{
    m_failure = Failure::None;
    m_reason.clear();
    if (!m_port->isOpen())
        return true;
    if (!m_port->setRequestToSend(high))
        return failFromPort();
    return true;
}

bool SerialLine::close()
{
    if (!m_port->isOpen())
        return true;
    const bool dropped = m_port->setRequestToSend(false) || failFromPort();
    // QSerialPort puts back the settings it found at open before it closes, HUPCL
    // cleared among them, and the close would then leave RTS as it stands. A copy of the
    // descriptor outlives that close and is closed last, with HUPCL set, so the kernel
    // drops the lines even when the line could not be switched just above.
    const int last = ::fcntl(int(m_port->handle()), F_DUPFD_CLOEXEC, 0);
    m_port->close();
    if (last >= 0) {
        QString ignored;
        setHangupOnClose(last, &ignored);
        ::close(last);
    }
    return dropped;
}
