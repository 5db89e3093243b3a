#include "ApplicationTitle.h"

#include <QCoreApplication>

namespace platform {

QString titleFromProgramPath(const QString& path)
{
    QString name = path.mid(path.lastIndexOf('/') + 1);
    name.truncate(name.indexOf('.') < 0 ? name.size() : name.indexOf('.'));
    return name.left(1) + name.mid(1).toLower();
}

QString applicationTitle()
{
    return titleFromProgramPath(QCoreApplication::applicationFilePath());
}

} // namespace platform
