#pragma once

#include "form1.h"
#include "qtfiledialog.h"
#include "qtmessagebox.h"
#include "serialportadapter.h"
#include "shutdownsignals.h"
#include "wavedevice.h"

// The composition root: the real adapters, the window they serve, and the signals that
// close it. Members are built in order and torn down in reverse, so the window goes
// before the devices it drives.
struct Station
{
    Station();

    WaveDevice device;
    SerialPortAdapter serial;
    QtFileDialog dialog;
    QtMessageBox messages;
    Form1 window {device, serial, dialog, messages};
    ShutdownSignals shutdown;
};
