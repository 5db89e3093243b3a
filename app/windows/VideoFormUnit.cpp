#include "VideoFormUnit.h"

#include <QEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "WindowSetup.h"
using app::setBackground;
using app::setUpOwnedWindow;

TVideoForm::TVideoForm(QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setUpOwnedWindow(this, "VideoForm", "Live Video", {5, 200});
    resize(320, 240);

    // Its caption is in the default text colour, so it does not show on the black ground.
    VideoArea = new QLabel("VideoArea", this);
    VideoArea->setObjectName("VideoArea");
    VideoArea->setAlignment(Qt::AlignCenter);
    setBackground(VideoArea, Qt::black);
    QPalette palette = VideoArea->palette();
    palette.setColor(QPalette::WindowText, Qt::black);
    VideoArea->setPalette(palette);
    VideoArea->setMinimumSize(1, 1); // its caption must not hold the window open
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(VideoArea);
    VideoArea->resize(320, 240); // before the layout first runs, for a session opened while hidden
    VideoArea->installEventFilter(this);
}

// The capture window inside `VideoArea` follows its size.
bool TVideoForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == VideoArea && event->type() == QEvent::Resize)
        for (QWidget* child : VideoArea->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            child->setGeometry(VideoArea->rect());
    return QWidget::eventFilter(watched, event);
}
