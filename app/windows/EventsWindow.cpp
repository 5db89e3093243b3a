#include "EventsWindow.h"

#include <algorithm>
#include <filesystem>

#include <QAction>
#include <QDate>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTabBar>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include "EventListModel.h"
#include "EventLog.h"
#include "EventPlayer.h"
#include "EventWatcher.h"

namespace app {

namespace {

constexpr const char* logName = "events.sqlite";

// The local day of "2026-12-08" as the times its events may start at.
events::TimeRange dayRange(const QString& date)
{
    const QDate day = QDate::fromString(date, Qt::ISODate);
    return {events::fromMilliseconds(day.startOfDay().toMSecsSinceEpoch()),
            events::fromMilliseconds(day.addDays(1).startOfDay().toMSecsSinceEpoch())};
}

} // namespace

EventsWindow::EventsWindow(events::EventWatcher& watcher, QWidget* parent)
    : QWidget(parent, Qt::Window), watcher_(watcher), model_(new EventListModel(this)), days_(new QTabBar),
      view_(new QTableView), player_(new EventPlayer), deleteButton_(new QPushButton("&Delete")), status_(new QLabel)
{
    setObjectName("EventsForm");
    setWindowTitle("Events");
    resize(1000, 560);

    days_->setObjectName("DayStrip");
    days_->setAccessibleName("Days with events");
    days_->setExpanding(false);
    days_->setUsesScrollButtons(true);
    days_->setDocumentMode(true);

    view_->setObjectName("EventList");
    view_->setAccessibleName("Events");
    view_->setModel(model_);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->setIconSize(EventListModel::pictureSize);
    view_->verticalHeader()->hide();
    // Rows of one height let the view ask only for the rows it shows.
    view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view_->verticalHeader()->setDefaultSectionSize(EventListModel::pictureSize.height() + 4);
    view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    view_->horizontalHeader()->setStretchLastSection(true);
    view_->setColumnWidth(EventListModel::Thumbnail, EventListModel::pictureSize.width() + 8);
    view_->setColumnWidth(EventListModel::Time, 210);
    view_->setColumnWidth(EventListModel::Duration, 70);
    // Delete asks, as the button does, whenever the list has the keyboard.
    auto* deleteKey = new QAction("Delete", view_);
    deleteKey->setShortcut(QKeySequence::Delete);
    deleteKey->setShortcutContext(Qt::WidgetShortcut);
    view_->addAction(deleteKey);

    auto* openFolderButton = new QPushButton("Open &Folder");
    openFolderButton->setObjectName("OpenFolderButton");
    auto* openPlayerButton = new QPushButton("Open in &Player");
    openPlayerButton->setObjectName("OpenPlayerButton");
    openPlayerButton->setToolTip("Play the clip in the desktop's player");
    deleteButton_->setObjectName("DeleteButton");
    status_->setObjectName("EventsStatus");
    status_->setWordWrap(true);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(openFolderButton);
    buttons->addWidget(openPlayerButton);
    buttons->addWidget(deleteButton_);
    buttons->addStretch();
    auto* list = new QWidget;
    auto* listLayout = new QVBoxLayout(list);
    listLayout->setContentsMargins(0, 0, 0, 0);
    listLayout->addWidget(view_);
    listLayout->addLayout(buttons);
    auto* split = new QSplitter;
    split->addWidget(list);
    split->addWidget(player_);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    split->setSizes({500, 500});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(days_);
    layout->addWidget(split, 1);
    layout->addWidget(status_);

    connect(view_, &QTableView::activated, this, [this](const QModelIndex& index) {
        view_->selectRow(index.row());
        player_->play();
    });
    connect(view_->selectionModel(), &QItemSelectionModel::currentRowChanged, this, &EventsWindow::showChosen);
    connect(model_, &EventListModel::modelReset, this, &EventsWindow::showChosen);
    connect(model_, &EventListModel::dataChanged, this, [this](const QModelIndex& from, const QModelIndex& to) {
        const int row = view_->currentIndex().row();
        if (row >= from.row() && row <= to.row())
            showChosen();
    });
    connect(days_, &QTabBar::currentChanged, this, [this](int tab) {
        const QString date = days_->tabData(tab).toString();
        model_->setRange(date.isEmpty() ? events::TimeRange{} : dayRange(date));
        showOpenEvent();
    });
    connect(deleteKey, &QAction::triggered, this, &EventsWindow::deleteSelected);
    connect(openFolderButton, &QPushButton::clicked, this, &EventsWindow::openFolder);
    connect(openPlayerButton, &QPushButton::clicked, this, [this] { openClip(view_->currentIndex().row()); });
    connect(deleteButton_, &QPushButton::clicked, this, &EventsWindow::deleteSelected);
    connect(&watcher_, &events::EventWatcher::opened, this, &EventsWindow::showLog);
    connect(&watcher_, &events::EventWatcher::eventStarted, this, &EventsWindow::showOpenEvent);
    connect(&watcher_, &events::EventWatcher::eventUpdated, this, &EventsWindow::showOpenEvent);
    // Its movement over, the event is no longer in progress, though its clip may still be written.
    connect(&watcher_, &events::EventWatcher::movementEnded, model_, &EventListModel::addEvent);
    connect(&watcher_, &events::EventWatcher::eventEnded, this, [this](const events::Event& event) {
        model_->addEvent(event);
        showDays();
    });
    connect(&watcher_, &events::EventWatcher::eventRemoved, this, [this](std::int64_t id) {
        model_->removeEvent(id);
        showDays();
    });
    connect(&watcher_, &events::EventWatcher::clipSaved, model_,
            [this](std::int64_t id, const QString&) { model_->refreshEvent(id); });
    showLog();
}

EventsWindow::~EventsWindow()
{
    // The list lets go of the log it reads before the log goes.
    model_->setLog(nullptr);
}

QString EventsWindow::folder() const
{
    return watcher_.folder().isEmpty() ? folder_ : watcher_.folder();
}

void EventsWindow::showFolder(const QString& folder)
{
    if (folder == folder_)
        return;
    folder_ = folder;
    showLog();
}

void EventsWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // A log read as it is may have grown since (another program saving into the folder),
    // or been made since.
    if (!watcher_.log())
        showLog();
}

void EventsWindow::showLog()
{
    events::EventLog* log = watcher_.log();
    reader_.reset();
    QString problem;
    const QString path = folder().isEmpty() ? QString() : QDir(folder()).filePath(logName);
    if (!log && !path.isEmpty() && QFileInfo::exists(path)) {
        std::string error;
        reader_ = events::EventLog::openToRead(path.toStdString(), error);
        problem = QString::fromStdString(error);
        log = reader_.get();
    }
    // The event chosen stays chosen when the same log is read through another connection.
    const int row = view_->currentIndex().row();
    const std::int64_t chosen = row >= 0 && row < model_->rowCount() ? model_->eventAt(row).id : 0;
    model_->setLog(log);
    showDays();
    showOpenEvent();
    for (int r = 0; chosen != 0 && r < model_->rowCount(); ++r)
        if (model_->eventAt(r).id == chosen)
            view_->selectRow(r);
    status_->setText(!problem.isEmpty()          ? problem
                     : watcher_.folder().isEmpty() ? QStringLiteral("Events are recorded while Save On Move is on.")
                     : log                         ? QString()
                                                   : "No events have been recorded in " + folder() + " yet.");
}

void EventsWindow::showDays()
{
    const QString chosen = days_->tabData(days_->currentIndex()).toString();
    const QSignalBlocker quiet(days_);
    while (days_->count() > 0)
        days_->removeTab(0);
    days_->addTab("All days");
    int current = 0;
    if (events::EventLog* log = model_->log())
        for (const events::EventDay& day : log->eventDays()) {
            const QString date = QString::fromStdString(day.date);
            const int tab = days_->addTab(QStringLiteral("%1 (%2)")
                                              .arg(QLocale().toString(QDate::fromString(date, Qt::ISODate), "ddd d MMM"))
                                              .arg(day.events));
            days_->setTabData(tab, date);
            if (date == chosen)
                current = tab;
        }
    days_->setCurrentIndex(current);
    // The day shown went (its last event deleted): all days are shown again.
    if (current == 0 && !chosen.isEmpty())
        model_->setRange({});
}

void EventsWindow::showOpenEvent()
{
    // Only the watcher's own log holds the event in progress.
    if (const events::Event* open = watcher_.openEvent(); open && model_->log() == watcher_.log())
        model_->showOpenEvent(*open, watcher_.openPeakFrame());
}

void EventsWindow::showChosen()
{
    const int row = view_->currentIndex().row();
    player_->setEvent(row >= 0 && row < model_->rowCount() ? &model_->eventAt(row) : nullptr);
}

bool EventsWindow::openClip(int row)
{
    if (row < 0 || row >= model_->rowCount())
        return false;
    const events::Event& e = model_->eventAt(row);
    const QString clip = QString::fromStdString(e.clip);
    std::error_code ec;
    if (e.clip.empty() || !std::filesystem::exists(e.clip, ec)) {
        const std::string why = model_->log() && !e.clip.empty() ? model_->log()->removalReason(e.clip) : std::string();
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
    if (events::EventLog* log = model_->log())
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
    // The log is only read while the watcher keeps no records in its folder; while it
    // does, it opens the log to change it (the list then shows that one).
    if (!watcher_.log() && (watcher_.folder().isEmpty() || !watcher_.ensureOpen())) {
        status_->setText(QStringLiteral("Events can be deleted while Save On Move is on."));
        return;
    }
    QStringList notes;
    for (const std::int64_t id : ids) {
        QString message;
        const bool deleted = watcher_.deleteEvent(id, message);
        if (!message.isEmpty())
            notes << message;
        if (!deleted)
            break;
    }
    status_->setText(notes.join('\n'));
}

void EventsWindow::openFolder()
{
    if (folder().isEmpty() || !QDesktopServices::openUrl(QUrl::fromLocalFile(folder())))
        status_->setText(QStringLiteral("The folder of the events cannot be opened."));
}

} // namespace app
