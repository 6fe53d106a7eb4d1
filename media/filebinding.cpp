#include "filebinding.h"

namespace {

const QString kFilter = QStringLiteral("(*.wav)|*.wav");

// Steps shared by both ways of picking a file, from the filter to the final "Open".
void chooseAndOpen(FileBindingControls &c)
{
    c.dlgOpen.setFilter(kFilter);
    // The rest follows the dialog's answer; the window's loop goes on meanwhile.
    c.dlgOpen.showOpen([&c](bool chosen) {
        // A cancel keeps the path the user typed rather than writing the dialog's old
        // name over it; the device is reopened on that path all the same.
        const QString name = chosen ? c.dlgOpen.fileName() : c.Text1.text();
        c.Text1.setText(name); // runs Text1_Change here when the text differs
        c.MMControl1.setFileName(name);
        c.MMControl1.setCommand(QStringLiteral("Open"));
    });
}

} // namespace

void Text1_Change(FileBindingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Close"));
    c.MMControl1.setFileName(c.Text1.text());
    c.MMControl1.setCommand(QStringLiteral("Open"));
}

void cmdFile_Click(FileBindingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Close"));
    c.MMControl1.setNotify(false);
    c.MMControl1.setWait(true);
    c.MMControl1.setShareable(false);
    c.MMControl1.setDeviceType(QStringLiteral("WaveAudio"));
    chooseAndOpen(c);
}

void cmdWav_Click(FileBindingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Close"));
    chooseAndOpen(c);
}

void cmdSave_Click(FileBindingControls &c)
{
    c.MMControl1.setCommand(QStringLiteral("Save"));
}
