#include "playtransmit.h"

#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace {

const QString kTitle = QStringLiteral("Vendrel9");

// The station back to idle after a transmission that never started: the focus goes back
// to ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ, never to the path box, unless the operator called the start off
// and put it elsewhere. Only a failure is told.
void backToIdle(KeyingControls &c, ISerialPort::Failure failure, const QString &reason)
{
    c.cmdPlayTr.show();
    c.cmdFile.show();
    const bool calledOff = failure == ISerialPort::Failure::Cancelled;
    if (!calledOff || !c.cmdPlayTr.window()->focusWidget())
        c.cmdPlayTr.setFocus(Qt::OtherFocusReason);
    if (!calledOff)
        c.messages.show(portFailureText(c.MSComm1, failure, reason), kTitle, IMessageBox::Icon::Warning);
}

} // namespace

QString portFailureText(const ISerialPort &port, ISerialPort::Failure failure, const QString &reason)
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
    case ISerialPort::Failure::NoAnswer:
        meaning = QStringLiteral("δεν απαντησε εγκαιρα και το προγραμμα την εκλεισε");
        break;
    case ISerialPort::Failure::HelperGone:
        meaning = QStringLiteral("η διεργασια που την κρατουσε σταματησε και η θυρα εκλεισε");
        break;
    case ISerialPort::Failure::None:
    case ISerialPort::Failure::Other:
    case ISerialPort::Failure::Cancelled:
        break;
    }
    const QString name = QStringLiteral("COM%1 (%2)").arg(port.commPort()).arg(port.portName());
    return meaning.isEmpty() ? QStringLiteral("Η θυρα %1 δεν λειτουργει: %2").arg(name, reason)
                             : QStringLiteral("Η θυρα %1 δεν λειτουργει: %2\n(%3)").arg(name, meaning, reason);
}

void cmdPlayTr_Click(KeyingControls &c)
{
    if (c.Text1.text().isEmpty()) {
        c.messages.show(QStringLiteral("Παρακαλω επιλεξτε καποιο αρχειο Wav"), kTitle, IMessageBox::Icon::None);
        return;
    }
    // Hiding the focused button would hand the focus on to the path box, the whole path
    // selected, where the next Space would blank it.
    if (c.cmdPlayTr.hasFocus() || c.cmdFile.hasFocus())
        c.cmdPlayTr.window()->focusWidget()->clearFocus();
    c.cmdPlayTr.hide();
    c.cmdFile.hide();
    // ΔΙΑΚΟΠΗ from the start of the wait: a port slow to answer can be called off, and
    // an attempt called off never keys, whenever the port answers.
    c.cmdStop.show();
    c.cmdStop.setFocus(Qt::OtherFocusReason);
    c.MSComm1.setCommPort(c.PortNumber);
    c.Label10.setText(QString::number(c.PortNumber));
    // A port that cannot be opened or keyed leaves the station idle and the program
    // running: an error here must never cost the operator the contact.
    c.MSComm1.setPortOpen(true, [&c](bool opened) {
        if (!opened)
            return backToIdle(c, c.MSComm1.failure(), c.MSComm1.errorString());
        c.MSComm1.setRTSEnable(true, [&c](bool raised) {
            if (!raised) {
                // What went wrong is kept before the unkeying steps clear it.
                const ISerialPort::Failure failure = c.MSComm1.failure();
                const QString reason = c.MSComm1.errorString();
                c.MSComm1.setRTSEnable(false);
                c.MSComm1.setPortOpen(false);
                return backToIdle(c, failure, reason);
            }
            c.MMControl1.setCommand(QStringLiteral("Play"));
            c.Shape1.show();
            c.Shape2.hide();
            // On the stop button Space unkeys, and stays there: pressing it again only
            // stops again.
            c.cmdStop.setFocus(Qt::OtherFocusReason);
        });
    });
}

void cmdStop_Click(KeyingControls &c)
{
    c.cmdFile.show();
    c.MMControl1.setCommand(QStringLiteral("Stop"));
    // Neither step waits, and a failure of either comes back through the port's failure
    // listener; closing the port lets the kernel drop RTS where the line could not be
    // switched.
    c.MSComm1.setRTSEnable(false);
    c.cmdPlayTr.show();
    c.MSComm1.setPortOpen(false);
    c.Shape1.hide();
    c.Shape2.show();
    // The focus stays on ΔΙΑΚΟΠΗ: a second Space stops again and never keys. Keying
    // takes a deliberate move to ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ.
}

void Form_Unload(KeyingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Stop"));
    c.MSComm1.setRTSEnable(false);
    // Closed here, not at the helper's end: the exit may still wait on a save, and an
    // open port holds DTR high, which keys an interface wired to DTR.
    c.MSComm1.setPortOpen(false);
    c.MMControl1.setCommand(QStringLiteral("Close"));
}
