#pragma once

#include "fakes.h"
#include "form1.h"
#include "serialportadapter.h"
#include "wavedevice.h"

// The window on the real sound device and the real serial adapter; only the dialogs are
// fakes, which record what they were asked.
struct RealStation
{
    Journal journal;
    WaveDevice device;
    SerialPortAdapter serial;
    FakeFileDialog dialog {journal};
    FakeMessageBox messages {journal};
    Form1 form {device, serial, dialog, messages};
};
