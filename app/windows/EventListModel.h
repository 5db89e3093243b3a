#pragma once

#include <cstdint>
#include <vector>

#include <QAbstractTableModel>
#include <QCache>
#include <QPixmap>

#include "Event.h"

namespace events {
class EventLog;
}

namespace app {

// The logged events for a list, newest first. Rows come from the log a page at a time as
// the view scrolls, and a thumbnail is read from its file only when its row is shown, so
// a log of many thousand events opens at once.
class EventListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Thumbnail, Time, Duration, Peak, ColumnCount };
    static constexpr int pageSize = 200;

    explicit EventListModel(QObject* parent = nullptr);

    // Shows the events of `log` (null: none).
    void setLog(events::EventLog* log);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    const events::Event& eventAt(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    // A newly ended event goes on top; a removed one leaves; a changed one is read again.
    void addEvent(const events::Event& event);
    void removeEvent(std::int64_t id);
    void refreshEvent(std::int64_t id);

    // How many thumbnails were read from their files.
    int thumbnailsRead() const { return thumbnailsRead_; }

private:
    int rowOf(std::int64_t id) const;

    events::EventLog* log_ = nullptr;
    std::vector<events::Event> rows_;
    std::int64_t total_ = 0;
    mutable QCache<std::int64_t, QPixmap> thumbnails_{500};
    mutable int thumbnailsRead_ = 0;
};

} // namespace app
