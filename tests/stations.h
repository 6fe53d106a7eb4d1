#pragma once

#include "fakes.h"
#include "form1.h"
#include "serialportadapter.h"
#include "wavedevice.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <type_traits>

// The window on a sound device, a serial port and a file dialog, each real or fake; the
// message boxes are fakes that record what they were asked; every fake writes the one
// journal.
template<typename Device, typename Serial, typename Dialog = FakeFileDialog>
struct StationOn
{
    Journal journal;
    Device device = make<Device>(journal);
    Serial serial = make<Serial>(journal);
    Dialog dialog = make<Dialog>(journal);
    FakeMessageBox messages {journal};
    Form1 form {device, serial, dialog, messages};

    // The path typed in, naming a file the fake device opens.
    void bind(const QString &path = QStringLiteral("/m/cq.wav"))
    {
        device.openable << path;
        form.Text1->setText(path);
    }
    // ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ on a bound file: true once the fake radio is keyed.
    bool keyOn()
    {
        bind();
        form.cmdPlayTr->click();
        return QTest::qWaitFor([this] { return serial.rts; });
    }

private:
    template<typename T>
    static T make(Journal &journal)
    {
        if constexpr (std::is_constructible_v<T, Journal &>)
            return T(journal);
        else
            return T();
    }
};

using FakeStation = StationOn<FakeAudioDevice, FakeSerialPort>;
using RealStation = StationOn<WaveDevice, SerialPortAdapter>;
