#pragma once

#include <QtGlobal>

class QLabel;

struct PortControls
{
    QLabel &Label10;
    qint16 &PortNumber;
};

// One handler per item of the port menu; each stores its own port, whatever the index.
void cmdcom1_Click(PortControls &c, qint16 Index);
void cmdcom2_Click(PortControls &c, qint16 Index);
void cmdcom3_Click(PortControls &c, qint16 Index);
void cmdcom4_Click(PortControls &c, qint16 Index);
void cmdcom5_Click(PortControls &c, qint16 Index);
void cmdcom6_Click(PortControls &c, qint16 Index);
