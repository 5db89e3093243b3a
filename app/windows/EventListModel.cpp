#include "EventListModel.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QLocale>

#include "EventLog.h"
#include "Thumbnail.h"

namespace app {

EventListModel::EventListModel(QObject* parent) : QAbstractTableModel(parent) {}

void EventListModel::setLog(events::EventLog* log)
{
    beginResetModel();
    log_ = log;
    rows_.clear();
    thumbnails_.clear();
    total_ = log ? log->eventCount() : 0;
    if (log)
        rows_ = log->events(0, pageSize);
    endResetModel();
}

int EventListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EventListModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

bool EventListModel::canFetchMore(const QModelIndex& parent) const
{
    return !parent.isValid() && log_ && static_cast<std::int64_t>(rows_.size()) < total_;
}

void EventListModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    std::vector<events::Event> page = log_->events(static_cast<std::int64_t>(rows_.size()), pageSize);
    if (page.empty()) {
        total_ = static_cast<std::int64_t>(rows_.size());
        return;
    }
    const int first = static_cast<int>(rows_.size());
    beginInsertRows({}, first, first + static_cast<int>(page.size()) - 1);
    rows_.insert(rows_.end(), page.begin(), page.end());
    endInsertRows();
}

QVariant EventListModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const events::Event& e = rows_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case Thumbnail:
        if (role == Qt::DecorationRole && !e.thumbnail.empty()) {
            if (const QPixmap* cached = thumbnails_.object(e.id))
                return *cached;
            ++thumbnailsRead_;
            // Shown at the list's icon size (half the thumbnail's): a pixmap is drawn as it
            // is, and a whole one would be cut to its top-left corner.
            const QImage image = QImage(QString::fromStdString(e.thumbnail))
                                     .scaled(QSize(events::thumbnailWidth / 2, events::thumbnailWidth * 3 / 8),
                                             Qt::KeepAspectRatio, Qt::SmoothTransformation);
            auto* pixmap = new QPixmap(QPixmap::fromImage(image));
            const QPixmap copy = *pixmap;
            thumbnails_.insert(e.id, pixmap);
            return copy;
        }
        if (role == Qt::ToolTipRole)
            return QString::fromStdString(e.clip);
        break;
    case Time:
        if (role == Qt::DisplayRole) {
            const QString when = QDateTime::fromMSecsSinceEpoch(events::toMilliseconds(e.start))
                                     .toString("yyyy-MM-dd HH:mm:ss");
            return e.interrupted ? when + " (interrupted)" : when;
        }
        if (role == Qt::ToolTipRole)
            return QString::fromStdString(events::localText(e.start) + "\n" + events::utcText(e.start));
        break;
    case Duration:
        if (role == Qt::DisplayRole)
            return QString::number(double((e.end - e.start).count()) / 1000, 'f', 1) + " s";
        if (role == Qt::TextAlignmentRole)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    case Peak:
        if (role == Qt::DisplayRole)
            return QStringLiteral("%1 (%2 %)").arg(e.peakCount).arg(e.peakPercent, 0, 'f', 1);
        if (role == Qt::TextAlignmentRole)
            return int(Qt::AlignRight | Qt::AlignVCenter);
        break;
    default:
        break;
    }
    return {};
}

QVariant EventListModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Thumbnail:
        return QStringLiteral("Picture");
    case Time:
        return QStringLiteral("Date and time");
    case Duration:
        return QStringLiteral("Duration");
    case Peak:
        return QStringLiteral("Peak");
    default:
        return {};
    }
}

int EventListModel::rowOf(std::int64_t id) const
{
    for (std::size_t row = 0; row < rows_.size(); ++row)
        if (rows_[row].id == id)
            return static_cast<int>(row);
    return -1;
}

void EventListModel::addEvent(const events::Event& event)
{
    if (!log_ || event.id == 0 || rowOf(event.id) >= 0)
        return;
    beginInsertRows({}, 0, 0);
    rows_.insert(rows_.begin(), event);
    ++total_;
    endInsertRows();
}

void EventListModel::removeEvent(std::int64_t id)
{
    const int row = rowOf(id);
    if (row < 0)
        return;
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    --total_;
    thumbnails_.remove(id);
    endRemoveRows();
}

void EventListModel::refreshEvent(std::int64_t id)
{
    const int row = rowOf(id);
    if (row < 0 || !log_)
        return;
    if (const std::optional<events::Event> e = log_->event(id)) {
        rows_[static_cast<std::size_t>(row)] = *e;
        thumbnails_.remove(id);
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
    }
}

} // namespace app
