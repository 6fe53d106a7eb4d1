#pragma once

#include "fakes.h"
#include "form1.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

// The window on fakes of all it drives, every one writing the one journal.
struct FakeStation
{
    Journal journal;
    FakeAudioDevice device {journal};
    FakeSerialPort serial {journal};
    FakeFileDialog dialog {journal};
    FakeMessageBox messages {journal};
    Form1 form {device, serial, dialog, messages};

    // The path typed in, naming a file the device opens.
    void bind(const QString &path = QStringLiteral("/m/cq.wav"))
    {
        device.openable << path;
        form.Text1->setText(path);
    }
    // ΑΝΑΠΑΡΑΓΩΓΗ+ΕΚΠΟΜΠΗ on a bound file: true once the radio is keyed.
    bool keyOn()
    {
        bind();
        form.cmdPlayTr->click();
        return QTest::qWaitFor([this] { return serial.rts; });
    }
};
