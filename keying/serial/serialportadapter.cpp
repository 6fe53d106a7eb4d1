#include "serialportadapter.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QStandardPaths>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_UNIX
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
#endif

} // namespace

SerialPortAdapter::SerialPortAdapter() : m_port(std::make_unique<QSerialPort>()) {}

SerialPortAdapter::~SerialPortAdapter()
{
    closePort();
}

void SerialPortAdapter::closePort()
{
    if (!m_port->isOpen())
        return;
    m_port->setRequestToSend(false);
#ifdef Q_OS_UNIX
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
#else
    m_port->close();
#endif
}

void SerialPortAdapter::setCommPort(qint16 port)
{
    m_commPort = port;
}

qint16 SerialPortAdapter::commPort() const
{
    return m_commPort;
}

bool SerialPortAdapter::fail(const QString &reason, Failure failure)
{
    m_error = reason;
    m_failure = failure;
    return false;
}

// Qt's error, sorted for the operator: a missing device, one another program holds (its
// lock file or exclusive use), or one the user may not open.
bool SerialPortAdapter::failFromPort()
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

bool SerialPortAdapter::setPortOpen(bool open)
{
    m_error.clear();
    m_failure = Failure::None;
    if (!open) {
        closePort();
        return true;
    }
    if (m_port->isOpen())
        return fail(QStringLiteral("port already open"));
    if (m_commPort < 1 || m_commPort > 6)
        return fail(QStringLiteral("no such port"));

    // Only ever the one port asked for: probing others (as QSerialPortInfo does) would
    // pulse RTS on every idle port and key any radio wired to one.
    m_port->setPortName(portDeviceName(m_commPort));
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
    if (!m_port->setRequestToSend(m_rtsEnable)) {
        failFromPort();
        closePort();
        return false;
    }
#ifdef Q_OS_UNIX
    QString reason;
    if (!setHangupOnClose(int(m_port->handle()), &reason)) {
        closePort();
        return fail(reason);
    }
#endif
    return true;
}

bool SerialPortAdapter::portOpen() const
{
    return m_port->isOpen();
}

bool SerialPortAdapter::setRTSEnable(bool enable)
{
    m_error.clear();
    m_failure = Failure::None;
    m_rtsEnable = enable;
    if (!m_port->isOpen())
        return true;
    if (!m_port->setRequestToSend(enable))
        return failFromPort();
    return true;
}

QString SerialPortAdapter::errorString() const
{
    return m_error;
}

ISerialPort::Failure SerialPortAdapter::failure() const
{
    return m_failure;
}

QString SerialPortAdapter::portName() const
{
    return m_port->isOpen() ? m_port->portName() : portDeviceName(m_commPort);
}
