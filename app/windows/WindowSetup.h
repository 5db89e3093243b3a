#pragma once

#include <QColor>
#include <QPoint>
#include <QString>

class QWidget;

namespace app {

class PictureView;

// Fills the widget's background with one colour.
void setBackground(QWidget* widget, const QColor& colour);

// Names, captions and places a window the main window owns; closing it only hides it.
void setUpOwnedWindow(QWidget* window, const char* name, const QString& caption, QPoint position);

// A picture view named "Image" that fills `window`.
PictureView* addPictureFilling(QWidget* window);

} // namespace app
