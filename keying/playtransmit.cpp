#include "playtransmit.h"

#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace {

const QString kTitle = QStringLiteral("Vendrel9");

void reportPortFailure(KeyingControls &c, const QString &reason)
{
    c.messages.show(QStringLiteral("Η θυρα COM%1 δεν λειτουργει: %2").arg(c.PortNumber).arg(reason), kTitle,
                    IMessageBox::Icon::Warning);
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
        c.cmdPlayTr.show();
        c.cmdFile.show();
        reportPortFailure(c, reason);
        return;
    }
    if (!c.MSComm1.setRTSEnable(true)) {
        const QString reason = c.MSComm1.errorString();
        c.MSComm1.setRTSEnable(false);
        c.MSComm1.setPortOpen(false);
        c.cmdPlayTr.show();
        c.cmdFile.show();
        reportPortFailure(c, reason);
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
    if (!c.MSComm1.setRTSEnable(false))
        failure = c.MSComm1.errorString();
    c.cmdPlayTr.show();
    if (c.MSComm1.portOpen() && !c.MSComm1.setPortOpen(false) && failure.isEmpty())
        failure = c.MSComm1.errorString();
    c.Shape1.hide();
    c.Shape2.show();
    c.cmdPlayTr.setFocus(Qt::OtherFocusReason);
    if (!failure.isEmpty())
        reportPortFailure(c, failure);
}

void Form_Unload(KeyingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Stop"));
    c.MSComm1.setRTSEnable(false);
    c.MMControl1.setCommand(QStringLiteral("Close"));
}
