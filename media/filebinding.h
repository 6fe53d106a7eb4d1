#pragma once

#include "filedialog.h"
#include "mediacontrol.h"
#include "textfield.h"

// What the file-binding handlers work on; the window owns each of them.
struct FileBindingControls
{
    ITextField &Text1;
    IMediaControl &MMControl1;
    IFileDialog &dlgOpen;
};

// Rebinds the device to the path in Text1 on every change of its text.
void Text1_Change(FileBindingControls &c);
// Picks a WAV file, setting the device up for wave audio first.
void cmdFile_Click(FileBindingControls &c);
// Picks a WAV file with the device set up as it is.
void cmdWav_Click(FileBindingControls &c);
// Writes the recording into the bound file.
void cmdSave_Click(FileBindingControls &c);
