#include "CameraMenu.h"

#include <cstdlib>
#include <vector>

#include <QActionGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QUrl>
#include <QVBoxLayout>

#include "CameraWatch.h"
#include "CaptureDrivers.h"
#include "Credentials.h"

namespace app {

namespace {

// The mnemonic of the n-th source of the list: 1 to 9, 0, then letters the menu's
// other items do not use.
QString numbered(std::size_t n, const QString& name)
{
    static const QString keys = QStringLiteral("1234567890bcdeghijklmopqrstuwxyz");
    QString text = name;
    text.replace('&', QStringLiteral("&&"));
    return n < std::size_t(keys.size()) ? QStringLiteral("&%1 %2").arg(keys.at(qsizetype(n))).arg(text) : text;
}

bool isFile(const QString& description)
{
    return description.startsWith("filesrc ");
}

} // namespace

CameraMenu::CameraMenu(QMenu& videoMenu, QWidget* window)
    : QObject(window), window_(window), menu_(new QMenu("C&amera", window)), group_(new QActionGroup(this)),
      cameras_(new CameraWatch(this))
{
    menu_->setObjectName("Camera1");
    // First in the Video menu: the source comes before its format and picture.
    QAction* first = videoMenu.actions().value(0);
    videoMenu.insertMenu(first, menu_);
    videoMenu.insertSeparator(first);
    // The device monitor starts when the menu is first opened, and then follows the cameras.
    connect(menu_, &QMenu::aboutToShow, cameras_, &CameraWatch::start);
    connect(cameras_, &CameraWatch::changed, this, &CameraMenu::rebuild);
    rebuild();
}

void CameraMenu::showRemembered(const QString& name, const QString& remembered, platform::RtspTransport transport)
{
    choice_ = {name, remembered, remembered};
    transport_ = transport;
    rebuildLater();
}

void CameraMenu::rebuild()
{
    menu_->clear();
    auto item = [this](const QString& text, bool checked) {
        QAction* action = menu_->addAction(text);
        action->setCheckable(true);
        action->setChecked(checked);
        group_->addAction(action);
        return action;
    };
    QAction* any = item("&Any: the first camera that answers", choice_.name.isEmpty());
    any->setObjectName("AnyCamera1");
    connect(any, &QAction::triggered, this, [this] { choose({}); });

    std::vector<platform::ConfiguredSource> listed;
    for (const platform::Driver& camera : cameras_->cameras())
        listed.push_back({camera.name, platform::sourceDescription(camera)});
    if (const char* configured = std::getenv("CAPTURE_SOURCES"))
        for (platform::ConfiguredSource& source : platform::parseCaptureSources(configured))
            listed.push_back(std::move(source));
    if (listed != sources_) {
        sources_ = listed;
        emit sourcesChanged();
    }
    if (!listed.empty())
        menu_->addSeparator();
    for (std::size_t i = 0; i < listed.size(); ++i) {
        const QString name = QString::fromStdString(listed[i].name);
        QAction* action = item(numbered(i, name), choice_.remembered.isEmpty() && choice_.name == name);
        action->setData(name);
        connect(action, &QAction::triggered, this,
                [this, name, description = QString::fromStdString(listed[i].description)] {
                    choose({name, description, {}});
                });
    }

    menu_->addSeparator();
    const bool other = !choice_.remembered.isEmpty();
    QAction* network = item("&Network Camera...", other && !isFile(choice_.remembered));
    network->setObjectName("NetworkCamera1");
    connect(network, &QAction::triggered, this, &CameraMenu::askNetworkCamera);
    QAction* file = item("Video &File...", other && isFile(choice_.remembered));
    file->setObjectName("VideoFile1");
    connect(file, &QAction::triggered, this, &CameraMenu::askVideoFile);
}

void CameraMenu::choose(const ChosenSource& source)
{
    choice_ = source;
    chosen_ = true;
    useChosenSource(choice_);
    rebuildLater();
    emit sourceChosen();
}

void CameraMenu::findCameras()
{
    cameras_->start();
}

void CameraMenu::rebuildLater()
{
    // Not while one of the menu's own actions is being triggered: the rebuild deletes them.
    QMetaObject::invokeMethod(this, &CameraMenu::rebuild, Qt::QueuedConnection);
}

void CameraMenu::askNetworkCamera()
{
    auto* dialog = new QDialog(window_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setObjectName("NetworkCameraDialog");
    dialog->setWindowTitle("Network Camera");
    auto* url = new QLineEdit;
    url->setObjectName("url");
    url->setPlaceholderText("rtsp://camera.local:554/stream or http://camera.local/video.mjpg");
    if (!choice_.remembered.isEmpty() && !isFile(choice_.remembered))
        url->setText(QString::fromStdString(platform::descriptionLocation(choice_.remembered.toStdString())));
    auto* user = new QLineEdit;
    user->setObjectName("user");
    user->setText(QString::fromStdString(platform::descriptionProperty(choice_.remembered.toStdString(), "user-id")));
    auto* password = new QLineEdit;
    password->setObjectName("password");
    password->setEchoMode(QLineEdit::Password);
    auto* transport = new QComboBox;
    transport->setObjectName("transport");
    transport->addItems({"TCP: through firewalls, nothing lost", "UDP: less delay, pictures may break up"});
    transport->setCurrentIndex(transport_ == platform::RtspTransport::Udp ? 1 : 0);
    auto* keep = new QCheckBox("&Keep the password in " + QString::fromStdString(platform::credentialFilePath()) +
                               ", which only you can read");
    keep->setObjectName("keepPassword");
    auto* note = new QLabel("Otherwise the password is kept for this run only. The settings file remembers the "
                            "address without it, and the windows and logs name the camera by its host and path.");
    note->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow("&Address", url);
    form->addRow("&User", user);
    form->addRow("&Password", password);
    form->addRow("RTSP &over", transport);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    auto* layout = new QVBoxLayout(dialog);
    layout->addLayout(form);
    layout->addWidget(keep);
    layout->addWidget(note);
    layout->addWidget(buttons);
    dialog->resize(460, dialog->sizeHint().height());
    connect(dialog, &QDialog::finished, this, [this, url, user, password, transport, keep](int result) {
        const QString address = url->text().trimmed();
        if (result != QDialog::Accepted || address.isEmpty()) {
            rebuildLater(); // the mark goes back to the source still chosen
            return;
        }
        transport_ = transport->currentIndex() == 1 ? platform::RtspTransport::Udp : platform::RtspTransport::Tcp;
        QString error;
        const ChosenSource camera = networkCamera(address, user->text(), password->text(), transport_, error);
        if (!camera.name.isEmpty() && keep->isChecked())
            keepPassword(address, user->text(), password->text(), error);
        if (!camera.name.isEmpty())
            choose(camera);
        else
            rebuildLater();
        if (!error.isEmpty()) {
            auto* box = new QMessageBox(QMessageBox::Warning, "Network Camera", error, QMessageBox::Ok, window_);
            box->setObjectName("NetworkCameraProblem");
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        }
    });
    dialog->open();
}

void CameraMenu::askVideoFile()
{
    auto* chooser = new QFileDialog(window_, "Video File", QString(),
                                    "Videos (*.avi *.mkv *.mp4 *.mov *.webm *.mpg *.ogv);;All files (*)");
    chooser->setObjectName("VideoFileDialog");
    chooser->setFileMode(QFileDialog::ExistingFile);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QFileDialog::fileSelected, this, [this](const QString& path) { choose(videoFile(path)); });
    connect(chooser, &QFileDialog::rejected, this, &CameraMenu::rebuildLater);
    chooser->open();
}

} // namespace app
