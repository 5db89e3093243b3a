#pragma once

#include <QWidget>

class QLabel;

// The live video window: a fixed 320 x 240 black panel, `VideoArea`, in which the
// capture session's window shows the camera.
class TVideoForm : public QWidget {
    Q_OBJECT
public:
    explicit TVideoForm(QWidget* owner);
    QLabel* VideoArea;
};
