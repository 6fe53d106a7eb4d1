#pragma once

#include "filedialog.h"
#include "form1.h"
#include "messagebox.h"
#include "serialport.h"
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
