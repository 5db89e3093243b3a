#include "WindowSetup.h"

#include <QPalette>
#include <QVBoxLayout>
#include <QWidget>

#include "PictureView.h"

namespace app {

void setBackground(QWidget* widget, const QColor& colour)
{
    widget->setAutoFillBackground(true);
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Window, colour);
    widget->setPalette(palette);
}

void setUpOwnedWindow(QWidget* window, const char* name, const QString& caption, QPoint position)
{
    window->setObjectName(name);
    window->setWindowTitle(caption);
    window->setAttribute(Qt::WA_QuitOnClose, false);
    window->move(position);
}

PictureView* addPictureFilling(QWidget* window)
{
    auto* view = new PictureView(window);
    view->setObjectName("Image");
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(view);
    return view;
}

} // namespace app
