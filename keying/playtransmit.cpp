#include "playtransmit.h"

#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace {

const QString kTitle = QStringLiteral("Vendrel9");

// Names the COM number and the device it stands for, says in Greek what is wrong where
// it is known, and gives the system's own words.
void reportPortFailure(KeyingControls &c, ISerialPort::Failure failure, const QString &reason)
{
    QString meaning;
    switch (failure) {
    case ISerialPort::Failure::NotFound:
        meaning = QStringLiteral("δεν υπαρχει τετοια συσκευη (αποσυνδεθηκε ο προσαρμογεας;)");
        break;
    case ISerialPort::Failure::Busy:
        meaning = QStringLiteral("τη χρησιμοποιει αλλο προγραμμα");
        break;
    case ISerialPort::Failure::PermissionDenied:
        meaning = QStringLiteral("δεν επιτρεπεται η προσβαση: ο χρηστης πρεπει να ανηκει στην ομαδα dialout");
        break;
    case ISerialPort::Failure::None:
    case ISerialPort::Failure::Other:
        break;
    }
    const QString port = QStringLiteral("COM%1 (%2)").arg(c.MSComm1.commPort()).arg(c.MSComm1.portName());
    const QString text = meaning.isEmpty()
        ? QStringLiteral("Η θυρα %1 δεν λειτουργει: %2").arg(port, reason)
        : QStringLiteral("Η θυρα %1 δεν λειτουργει: %2\n(%3)").arg(port, meaning, reason);
    c.messages.show(text, kTitle, IMessageBox::Icon::Warning);
}

} // namespace

void cmdPlayTr_Click(KeyingControls &c)
{
    if (c.Text1.text().isEmpty()) {
        c.messages.show(QStringLiteral("Παρακαλω επιλεξτε καποιο αρχειο Wav"), kTitle, IMessageBox::Icon::None);
        return;
    }
    c.cmdPlayTr.hide();
    c.cmdFile.hide();
    c.MSComm1.setCommPort(c.PortNumber);
    c.Label10.setText(QString::number(c.PortNumber));
    // A port that cannot be opened or keyed leaves the station idle and the program
    // running: an error here must never cost the operator the contact.
    if (!c.MSComm1.setPortOpen(true)) {
        const QString reason = c.MSComm1.errorString();
        const ISerialPort::Failure failure = c.MSComm1.failure();
        c.cmdPlayTr.show();
        c.cmdFile.show();
        reportPortFailure(c, failure, reason);
        return;
    }
    if (!c.MSComm1.setRTSEnable(true)) {
        const QString reason = c.MSComm1.errorString();
        const ISerialPort::Failure failure = c.MSComm1.failure();
        c.MSComm1.setRTSEnable(false);
        c.MSComm1.setPortOpen(false);
        c.cmdPlayTr.show();
        c.cmdFile.show();
        reportPortFailure(c, failure, reason);
        return;
    }
    c.MMControl1.setCommand(QStringLiteral("Play"));
    c.Shape1.show();
    c.Shape2.hide();
    c.cmdStop.show();
    // The hidden button's focus would fall to the path box, path selected, where the
    // next Space would blank it on air. On the stop button, Space unkeys instead.
    c.cmdStop.setFocus(Qt::OtherFocusReason);
}

void cmdStop_Click(KeyingControls &c)
{
    c.cmdFile.show();
    c.MMControl1.setCommand(QStringLiteral("Stop"));
    // Every unkeying step runs even when one fails; closing the port lets the kernel
    // drop RTS where the line could not be switched.
    QString failure;
    ISerialPort::Failure kind = ISerialPort::Failure::None;
    if (!c.MSComm1.setRTSEnable(false)) {
        failure = c.MSComm1.errorString();
        kind = c.MSComm1.failure();
    }
    c.cmdPlayTr.show();
    if (c.MSComm1.portOpen() && !c.MSComm1.setPortOpen(false) && failure.isEmpty()) {
        failure = c.MSComm1.errorString();
        kind = c.MSComm1.failure();
    }
    c.Shape1.hide();
    c.Shape2.show();
    c.cmdPlayTr.setFocus(Qt::OtherFocusReason);
    if (!failure.isEmpty())
        reportPortFailure(c, kind, failure);
}

void Form_Unload(KeyingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Stop"));
    c.MSComm1.setRTSEnable(false);
    c.MMControl1.setCommand(QStringLiteral("Close"));
}
