#pragma once

#include <QColor>
#include <QWidget>

// A filled circle in one colour: the on-air (red) and idle (green) lamps.
class Lamp final : public QWidget
{
public:
    Lamp(const QColor &fill, QWidget *parent);
    QColor fill() const { return m_fill; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QColor m_fill;
};
