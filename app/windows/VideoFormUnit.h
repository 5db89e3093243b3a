#pragma once

#include <QWidget>

class QLabel;

// The live video window: a black panel, `VideoArea`, 320 x 240 at first and following
// the window's size, in which the capture session's window shows the camera.
class TVideoForm : public QWidget {
    Q_OBJECT
public:
    explicit TVideoForm(QWidget* owner);
    QLabel* VideoArea;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
