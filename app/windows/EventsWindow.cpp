#include "EventsWindow.h"

#include <algorithm>
#include <filesystem>

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include "EventListModel.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "Thumbnail.h"

namespace app {

EventsWindow::EventsWindow(events::EventWatcher& watcher, QWidget* parent)
    : QWidget(parent, Qt::Window), watcher_(watcher), model_(new EventListModel(this)), view_(new QTableView),
      deleteButton_(new QPushButton("&Delete")), status_(new QLabel)
{
    setObjectName("EventsForm");
    setWindowTitle("Events");
    resize(560, 480);

    view_->setObjectName("EventList");
    view_->setModel(model_);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setIconSize(QSize(events::thumbnailWidth / 2, events::thumbnailWidth * 3 / 8));
    view_->verticalHeader()->hide();
    // Rows of one height let the view ask only for the rows it shows.
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(events::thumbnailWidth * 3 / 8 + 4);
    view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view_->horizontalHeader()->setStretchLastSection(true);
    view_->setColumnWidth(EventListModel::Thumbnail, events::thumbnailWidth / 2 + 8);
    view_->setColumnWidth(EventListModel::Time, 190);
    view_->setColumnWidth(EventListModel::Duration, 80);

    auto* openFolderButton = new QPushButton("Open &Folder");
    openFolderButton->setObjectName("OpenFolderButton");
    deleteButton_->setObjectName("DeleteButton");
    status_->setObjectName("EventsStatus");
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(openFolderButton);
    buttons->addWidget(deleteButton_);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(view_);
    layout->addLayout(buttons);
    layout->addWidget(status_);

    connect(view_, &QTableView::doubleClicked, this, [this](const QModelIndex& index) { openClip(index.row()); });
    connect(openFolderButton, &QPushButton::clicked, this, &EventsWindow::openFolder);
    connect(deleteButton_, &QPushButton::clicked, this, &EventsWindow::deleteSelected);
    connect(&watcher_, &events::EventWatcher::opened, this, &EventsWindow::showLog);
    connect(&watcher_, &events::EventWatcher::eventEnded, model_, &EventListModel::addEvent);
    connect(&watcher_, &events::EventWatcher::eventRemoved, model_, &EventListModel::removeEvent);
    connect(&watcher_, &events::EventWatcher::clipSaved, model_,
            [this](std::int64_t id, const QString&) { model_->refreshEvent(id); });
    showLog();
}

void EventsWindow::showLog()
{
    watcher_.ensureOpen();
    model_->setLog(watcher_.log());
    status_->setText(watcher_.isOpen() ? QString()
                                       : QStringLiteral("Events are recorded while Save On Move is on."));
}

bool EventsWindow::openClip(int row)
{
    if (row < 0 || row >= model_->rowCount())
        return false;
    const events::Event& e = model_->eventAt(row);
    const QString clip = QString::fromStdString(e.clip);
    std::error_code ec;
    if (e.clip.empty() || !std::filesystem::exists(e.clip, ec)) {
        const std::string why = watcher_.log() && !e.clip.empty() ? watcher_.log()->removalReason(e.clip) : std::string();
        status_->setText(e.clip.empty() ? QStringLiteral("This event has no clip.")
                         : why.empty()  ? "The clip " + clip + " is not there."
                                        : "The clip " + clip + " was removed: " + QString::fromStdString(why) + ".");
        return false;
    }
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(clip))) {
        status_->setText("No player opens " + clip + ".");
        return false;
    }
    status_->clear();
    return true;
}

void EventsWindow::deleteSelected()
{
    const QModelIndexList rows = view_->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    std::vector<std::int64_t> ids;
    for (const QModelIndex& index : rows)
        ids.push_back(model_->eventAt(index.row()).id);
    // The frames saved during an event go with it: the question says how many.
    std::size_t frames = 0;
    if (events::EventLog* log = watcher_.log())
        for (const std::int64_t id : ids)
            for (const events::StoredFile& file : log->filesOf(id))
                frames += file.kind == events::FileKind::Frame;
    const QString savedFrames = frames == 0   ? QString()
                                : frames == 1 ? QStringLiteral(" and the frame saved during it")
                                              : QStringLiteral(" and the %1 frames saved during %2")
                                                    .arg(frames)
                                                    .arg(ids.size() == 1 ? "it" : "them");
    const QString question =
        ids.size() == 1
            ? QStringLiteral("Delete this event with its clip, its picture%1?").arg(savedFrames)
            : QStringLiteral("Delete these %1 events with their clips, their pictures%2?").arg(ids.size()).arg(savedFrames);
    if (QMessageBox::question(this, "Events", question) != QMessageBox::Yes)
        return;
    for (const std::int64_t id : ids) {
        QString error;
        if (!watcher_.deleteEvent(id, error)) {
            status_->setText(error);
            return;
        }
    }
    status_->clear();
}

void EventsWindow::openFolder()
{
    if (watcher_.folder().isEmpty() || !QDesktopServices::openUrl(QUrl::fromLocalFile(watcher_.folder())))
        status_->setText(QStringLiteral("The folder of the events cannot be opened."));
}

} // namespace app
