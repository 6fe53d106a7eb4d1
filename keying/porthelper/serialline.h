#pragma once

#include <QString>

#include <memory>

class QSerialPort;

// The one serial port the helper holds: opened with RTS low and HUPCL set, its RTS line
// switched, and closed so that the kernel drops the lines whatever happened before.
class SerialLine
{
public:
    // Why a step failed, as the program tells the operator.
    enum class Failure { None, NotFound, Busy, PermissionDenied, Other };

    SerialLine();
    ~SerialLine();

    bool open(const QString &device);
    bool setRts(bool high);
    // Closes even when RTS could not be dropped first (the kernel drops it, HUPCL set);
    // false then, with the reason.
    bool close();
    bool isOpen() const;
    // The open port's descriptor, -1 when closed.
    int handle() const;

    Failure failure() const { return m_failure; }
    QString reason() const { return m_reason; }

private:
    bool fail(const QString &reason, Failure failure = Failure::Other);
    bool failFromPort();

    std::unique_ptr<QSerialPort> m_port;
    Failure m_failure = Failure::None;
    QString m_reason;
};
