#include "EventListModel.h"

#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QLocale>

#include "ClipboardFrame.h"

namespace app {

EventListModel::EventListModel(QObject* parent) : QAbstractTableModel(parent) {}

namespace {

QString durationText(const events::Event& e)
{
    return QString::number(double((e.end - e.start).count()) / 1000, 'f', 1) + " s";
}

} // namespace

void EventListModel::setLog(events::EventLog* log)
{
    log_ = log;
    reload();
}

void EventListModel::setRange(const events::TimeRange& range)
{
    range_ = range;
    reload();
}

void EventListModel::reload()
{
    beginResetModel();
    // The event in progress is not in the log's list: it stays on top when it belongs.
    std::vector<events::Event> open;
    if (openId_ != 0 && log_ && inRange(rows_.front()))
        open.push_back(rows_.front());
    else
        openId_ = 0;
    rows_ = std::move(open);
    thumbnails_.clear();
    total_ = log_ ? log_->eventCount(range_) : 0;
    if (log_) {
        const std::vector<events::Event> page = log_->events(0, pageSize, range_);
        rows_.insert(rows_.end(), page.begin(), page.end());
    }
    endResetModel();
}

bool EventListModel::inRange(const events::Event& event) const
{
    return event.start >= range_.from && event.start < range_.to;
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
    return !parent.isValid() && log_ && loggedRows() < total_;
}

void EventListModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    std::vector<events::Event> page = log_->events(loggedRows(), pageSize, range_);
    if (page.empty()) {
        total_ = loggedRows();
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
        if (role == Qt::DecorationRole)
            return picture(e);
        if (role == Qt::ToolTipRole)
            return QString::fromStdString(e.clip);
        if (role == Qt::AccessibleTextRole)
            return accessibleText(e);
        break;
    case Time:
        if (role == Qt::DisplayRole) {
            const QString when = QDateTime::fromMSecsSinceEpoch(events::toMilliseconds(e.start))
                                     .toString("yyyy-MM-dd HH:mm:ss");
            return !e.ended ? when + " (in progress)" : e.interrupted ? when + " (interrupted)" : when;
        }
        if (role == Qt::ToolTipRole)
            return QString::fromStdString(events::localText(e.start) + "\n" + events::utcText(e.start));
        break;
    case Duration:
        if (role == Qt::DisplayRole)
            return durationText(e);
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

QPixmap EventListModel::picture(const events::Event& e) const
{
    // Shown at the list's icon size (half the thumbnail's): a pixmap is drawn as it is,
    // and a whole one would be cut to its top-left corner.
    if (e.id == openId_ && openFrame_) {
        // The busiest frame so far, made small once each time it changes.
        if (openPictureOf_ != openFrame_.get()) {
            openPictureOf_ = openFrame_.get();
            const QImage frame = platform::sharedImage(openFrame_);
            openPicture_ = QPixmap::fromImage(frame.scaled(pictureSize * 2, Qt::KeepAspectRatio, Qt::FastTransformation)
                                                  .scaled(pictureSize, Qt::KeepAspectRatio, Qt::SmoothTransformation));
        }
        return openPicture_;
    }
    if (e.thumbnail.empty())
        return {};
    if (const QPixmap* cached = thumbnails_.object(e.id))
        return *cached;
    ++thumbnailsRead_;
    const QImage image =
        QImage(QString::fromStdString(e.thumbnail)).scaled(pictureSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    auto* pixmap = new QPixmap(QPixmap::fromImage(image));
    const QPixmap copy = *pixmap;
    thumbnails_.insert(e.id, pixmap);
    return copy;
}

QString EventListModel::accessibleText(const events::Event& e) const
{
    const QString time = QDateTime::fromMSecsSinceEpoch(events::toMilliseconds(e.start)).toString("HH:mm:ss");
    const QString peak = QLocale().toString(qint64(e.peakCount));
    return e.ended ? QStringLiteral("Event at %1, %2, peak %3 pixels").arg(time, durationText(e), peak)
                   : QStringLiteral("Event in progress since %1, %2 so far, peak %3 pixels").arg(time, durationText(e), peak);
}

int EventListModel::rowOf(std::int64_t id) const
{
    for (std::size_t row = 0; row < rows_.size(); ++row)
        if (rows_[row].id == id)
            return static_cast<int>(row);
    return -1;
}

void EventListModel::showOpenEvent(const events::Event& event, std::shared_ptr<const analysis::Bitmap> peakFrame)
{
    if (!log_ || event.id == 0 || !inRange(event))
        return;
    openFrame_ = std::move(peakFrame);
    const int row = rowOf(event.id);
    if (row >= 0) {
        rows_[static_cast<std::size_t>(row)] = event;
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
        return;
    }
    beginInsertRows({}, 0, 0);
    rows_.insert(rows_.begin(), event);
    openId_ = event.id;
    endInsertRows();
}

void EventListModel::addEvent(const events::Event& event)
{
    if (!log_ || event.id == 0)
        return;
    const int row = rowOf(event.id);
    if (row >= 0 && event.id == openId_) {
        // It ended: now it is one of the log's.
        openId_ = 0;
        openFrame_.reset();
        openPictureOf_ = nullptr;
        ++total_;
        rows_[static_cast<std::size_t>(row)] = event;
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
        return;
    }
    if (row >= 0) {
        // Told again once its clip is settled.
        rows_[static_cast<std::size_t>(row)] = event;
        emit dataChanged(index(row, 0), index(row, ColumnCount - 1));
        return;
    }
    if (!inRange(event))
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
    if (id == openId_)
        openId_ = 0;
    else
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
