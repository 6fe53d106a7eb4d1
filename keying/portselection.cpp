#include "portselection.h"

#include <QLabel>

namespace {

void selectPort(PortControls &c, qint16 port)
{
    c.PortNumber = port;
    c.Label10.setText(QString::number(c.PortNumber));
}

} // namespace

void cmdcom1_Click(PortControls &c, qint16)
{
    selectPort(c, 1);
}

void cmdcom2_Click(PortControls &c, qint16)
{
    selectPort(c, 2);
}

void cmdcom3_Click(PortControls &c, qint16)
{
    selectPort(c, 3);
}

void cmdcom4_Click(PortControls &c, qint16)
{
    selectPort(c, 4);
}

void cmdcom5_Click(PortControls &c, qint16)
{
    selectPort(c, 5);
}

void cmdcom6_Click(PortControls &c, qint16)
{
    selectPort(c, 6);
}
