#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QAbstractTableModel>
#include <QCache>
#include <QPixmap>

#include "Bitmap.h"
#include "Event.h"
#include "EventLog.h"
#include "Thumbnail.h"

namespace app {

// The logged events for a list, newest first. Rows come from the log a page at a time as
// the view scrolls, and a thumbnail is read from its file only when its row is shown, so
// a log of many thousand events opens at once. The event in progress, if any, is on top
// and follows its event live.
class EventListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Thumbnail, Time, Duration, Peak, ColumnCount };
    static constexpr int pageSize = 200;
    // The size the pictures are shown at: half the thumbnail's.
    static constexpr QSize pictureSize{events::thumbnailWidth / 2, events::thumbnailWidth * 3 / 8};

    explicit EventListModel(QObject* parent = nullptr);

    // Shows the events of `log` (null: none).
    void setLog(events::EventLog* log);
    events::EventLog* log() const { return log_; }
    // Shows only the events that started within `range`.
    void setRange(const events::TimeRange& range);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    const events::Event& eventAt(int row) const { return rows_[static_cast<std::size_t>(row)]; }
    // The event in progress, with the frame of its busiest cycle so far for its picture:
    // on top while it runs, updated in place as it moves on.
    void showOpenEvent(const events::Event& event, std::shared_ptr<const analysis::Bitmap> peakFrame);
    // A newly ended event goes on top, or takes the place of its row in progress; a
    // removed one leaves; a changed one is read again.
    void addEvent(const events::Event& event);
    void removeEvent(std::int64_t id);
    void refreshEvent(std::int64_t id);

    // How many thumbnails were read from their files.
    int thumbnailsRead() const { return thumbnailsRead_; }

private:
    int rowOf(std::int64_t id) const;
    bool inRange(const events::Event& event) const;
    // The rows read from the log (all but the one in progress).
    std::int64_t loggedRows() const { return static_cast<std::int64_t>(rows_.size()) - (openId_ != 0); }
    void reload();
    QPixmap picture(const events::Event& event) const;
    QString accessibleText(const events::Event& event) const;

    events::EventLog* log_ = nullptr;
    events::TimeRange range_;
    std::vector<events::Event> rows_;
    std::int64_t total_ = 0;
    std::int64_t openId_ = 0; // the row in progress; 0: none
    std::shared_ptr<const analysis::Bitmap> openFrame_;
    mutable QPixmap openPicture_;
    mutable const analysis::Bitmap* openPictureOf_ = nullptr;
    mutable QCache<std::int64_t, QPixmap> thumbnails_{500};
    mutable int thumbnailsRead_ = 0;
};

} // namespace app
