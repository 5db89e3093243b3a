#pragma once

#include <QStatusBar>

namespace app {

// A status bar whose messages are read whole: a message longer than the window is wide
// wraps onto further lines, the bar growing to hold them, and the whole text is also
// its tooltip. Messages come and go through QStatusBar's own showMessage.
class StatusLine : public QStatusBar {
    Q_OBJECT
public:
    explicit StatusLine(QWidget* parent = nullptr);

    // The main window makes its own least size from this.
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void fitMessage();
};

} // namespace app
