#include "CamerasWindow.h"

#include <QGridLayout>
#include <QLabel>
#include <QMenu>
#include <QToolButton>
#include <QVBoxLayout>

#include "CameraMenu.h"
#include "ClipboardFrame.h"
#include "LiveSource.h"
#include "Session.h"

namespace app {

namespace {

constexpr int columns = 3;
const QSize thumbnail(160, 120);

using State = platform::LiveSource::State;

QString stateWords(const platform::LiveSource& source, bool eventOpen)
{
    switch (source.state()) {
    case State::Closed: return QStringLiteral("closed");
    case State::Connecting: return QStringLiteral("connecting");
    case State::Running: return eventOpen ? QStringLiteral("event") : QStringLiteral("watching");
    case State::Reconnecting: return QStringLiteral("reconnecting");
    case State::Stopped: return QStringLiteral("failed");
    }
    return {};
}

} // namespace

struct CamerasWindow::Tile {
    platform::ConfiguredSource source;
    QToolButton* picture = nullptr;
    QLabel* state = nullptr;
    std::unique_ptr<platform::LiveSource> own; // while the main window does not show this camera
    std::uint64_t lastFrame = 0;
};

CamerasWindow::CamerasWindow(CameraMenu& menu, watch::Session& shown, QWidget* parent)
    : QWidget(parent, Qt::Window), menu_(menu), shown_(shown), grid_(new QGridLayout),
      empty_(new QLabel("No camera found, and no sources are configured (CAPTURE_SOURCES)."))
{
    setObjectName("CamerasWindow");
    setWindowTitle("Cameras");
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid_);
    layout->addWidget(empty_);
    layout->addStretch();
    refresh_.setInterval(refreshMs);
    connect(&refresh_, &QTimer::timeout, this, &CamerasWindow::refresh);
    connect(&menu_, &CameraMenu::sourcesChanged, this, &CamerasWindow::rebuild);
    menu_.findCameras();
    rebuild();
}

CamerasWindow::~CamerasWindow() = default;

void CamerasWindow::rebuild()
{
    tiles_.clear(); // their sources close; the widgets go below
    while (QLayoutItem* item = grid_->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const std::vector<platform::ConfiguredSource>& sources = menu_.sources();
    for (std::size_t i = 0; i < sources.size(); ++i) {
        auto tile = std::make_unique<Tile>();
        tile->source = sources[i];
        auto* cell = new QWidget;
        auto* column = new QVBoxLayout(cell);
        column->setContentsMargins(2, 2, 2, 2);
        tile->picture = new QToolButton;
        tile->picture->setObjectName(QStringLiteral("Camera%1").arg(i));
        tile->picture->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        tile->picture->setIconSize(thumbnail);
        tile->picture->setText(QString::fromStdString(sources[i].name));
        tile->picture->setToolTip("Show " + tile->picture->text() + " in the main window");
        tile->state = new QLabel;
        tile->state->setObjectName(QStringLiteral("CameraState%1").arg(i));
        tile->state->setAlignment(Qt::AlignHCenter);
        column->addWidget(tile->picture);
        column->addWidget(tile->state);
        grid_->addWidget(cell, int(i) / columns, int(i) % columns);
        connect(tile->picture, &QToolButton::clicked, this, [this, t = tile.get()] { open(*t); });
        tiles_.push_back(std::move(tile));
    }
    empty_->setVisible(tiles_.empty());
    refresh();
}

void CamerasWindow::open(Tile& tile)
{
    // The main window opens the camera next, which it could not while this window holds it.
    tile.own.reset();
    const QString name = QString::fromStdString(tile.source.name);
    menu_.choose({name, QString::fromStdString(tile.source.description), {}});
}

void CamerasWindow::refresh()
{
    const platform::LiveSource& main = shown_.source();
    for (const auto& tile : tiles_) {
        const bool inMain = main.state() != State::Closed && main.name() == tile->source.name;
        if (inMain || !isVisible()) {
            tile->own.reset();
        } else if (!tile->own) {
            tile->own = std::make_unique<platform::LiveSource>();
            // A few pictures a second are all a thumbnail needs: no more are decoded.
            tile->own->setFrameInterval(std::chrono::milliseconds(refreshMs));
            tile->own->setRetryFirstConnect(true);
            tile->own->open({tile->source.name, tile->source.description, {}});
        }
        const platform::LiveSource* source = inMain ? &main : tile->own.get();
        if (!source)
            continue;
        tile->state->setText(stateWords(*source, inMain && shown_.events().eventOpen()));
        const platform::LiveSource::Frame frame = source->newest();
        if (source->state() == State::Running && frame.number != tile->lastFrame && !frame.empty()) {
            tile->lastFrame = frame.number;
            tile->picture->setIcon(QPixmap::fromImage(platform::sharedImage(frame.pixels)
                                                          .scaled(thumbnail, Qt::KeepAspectRatio,
                                                                  Qt::FastTransformation)));
        }
    }
}

void CamerasWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refresh_.start();
    refresh();
}

void CamerasWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    refresh_.stop();
    for (const auto& tile : tiles_)
        tile->own.reset(); // costs nothing while nobody looks
}

void addCamerasItem(QMenu& videoMenu, CameraMenu& cameras, watch::Session& shown, QWidget* parent)
{
    auto* action = new QAction("Ca&meras...", &videoMenu);
    action->setObjectName("Cameras1");
    const QList<QAction*> items = videoMenu.actions();
    const qsizetype camera = items.indexOf(cameras.menu()->menuAction());
    videoMenu.insertAction(camera >= 0 && camera + 1 < items.size() ? items[camera + 1] : nullptr, action);
    // Made when first asked for: until then no camera is looked for.
    QObject::connect(action, &QAction::triggered, parent, [&cameras, &shown, parent] {
        auto* window = parent->findChild<CamerasWindow*>("CamerasWindow", Qt::FindDirectChildrenOnly);
        if (!window)
            window = new CamerasWindow(cameras, shown, parent);
        window->show();
        window->raise();
        window->activateWindow();
    });
}

} // namespace app
