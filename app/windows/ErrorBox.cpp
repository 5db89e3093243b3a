#include "ErrorBox.h"

#include <exception>

#include <QMessageBox>

#include "ApplicationTitle.h"
#include "VideoCap.h"

namespace app {

QString errorBoxText(const QString& error)
{
    if (!error.isEmpty() && error.back() > QChar('.'))
        return error + '.';
    return error;
}

namespace {
int openBoxes = 0;
} // namespace

bool errorBoxOpen()
{
    return openBoxes > 0;
}

void showErrorBox(const QString& error)
{
    struct Open {
        Open() { ++openBoxes; }
        ~Open() { --openBoxes; }
    } open;
    QMessageBox box(QMessageBox::Critical, platform::applicationTitle(), errorBoxText(error), QMessageBox::Ok);
    box.setObjectName("ErrorBox");
    box.setWindowModality(Qt::ApplicationModal);
    box.exec();
}

void runCommand(const std::function<void()>& command, bool interrupts)
{
    if (CapWaiting() && !interrupts)
        return;
    try {
        command();
    } catch (const std::exception& e) {
        showErrorBox(QString::fromLocal8Bit(e.what()));
    }
}

} // namespace app
