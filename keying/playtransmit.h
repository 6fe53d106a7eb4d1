#pragma once

#include "mediacontrol.h"
#include "messagebox.h"
#include "serialport.h"

class QLabel;
class QLineEdit;
class QWidget;

// What the keying handlers work on; the window owns each of them.
struct KeyingControls
{
    QLineEdit &Text1;
    QWidget &cmdPlayTr;
    QWidget &cmdFile;
    QWidget &cmdStop;
    QLabel &Label10;
    QWidget &Shape1; // red lamp: keyed
    QWidget &Shape2; // green lamp: idle
    IMediaControl &MMControl1;
    ISerialPort &MSComm1;
    IMessageBox &messages;
    qint16 &PortNumber;
};

// What the operator is told of a port that failed: the COM number and the device it
// stood for, what is wrong in Greek where that is known, and the system's own words.
QString portFailureText(const ISerialPort &port, ISerialPort::Failure failure, const QString &reason);

// Keys the transmitter on COM<PortNumber> and plays the bound file into it.
void cmdPlayTr_Click(KeyingControls &c);
// Stops the sound, unkeys and closes the port.
void cmdStop_Click(KeyingControls &c);
// The window is closing: stop the sound, unkey and close the port. Never refuses the close.
void Form_Unload(KeyingControls &c);
