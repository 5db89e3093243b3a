#include "VideoFormUnit.h"

#include <QLabel>

#include "WindowSetup.h"

TVideoForm::TVideoForm(QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setUpOwnedWindow(this, "VideoForm", "Live Video", {5, 200});
    setFixedSize(320, 240);

    // Its caption is in the default text colour, so it does not show on the black ground.
    VideoArea = new QLabel("VideoArea", this);
    VideoArea->setObjectName("VideoArea");
    VideoArea->setAlignment(Qt::AlignCenter);
    setBackground(VideoArea, Qt::black);
    QPalette palette = VideoArea->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    VideoArea->setPalette(palette);
    VideoArea->setGeometry(0, 0, 320, 240);
}
