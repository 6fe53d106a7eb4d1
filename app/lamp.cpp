#include "lamp.h"

#include <QPainter>

Lamp::Lamp(const QColor &fill, QWidget *parent) : QWidget(parent), m_fill(fill)
{
    setFocusPolicy(Qt::NoFocus);
}

void Lamp::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(m_fill);
    painter.drawEllipse(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
}
