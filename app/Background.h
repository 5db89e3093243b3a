#pragma once

#include <QColor>
#include <QPalette>
#include <QWidget>

// Fills the widget's background with one colour.
inline void setBackground(QWidget* widget, const QColor& colour)
{
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
}
