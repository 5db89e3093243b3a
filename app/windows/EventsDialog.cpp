#include "EventsDialog.h"

#include <chrono>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "EventCommands.h"
#include "BackgroundThreads.h"
#include "Broker.h"
#include "Password.h"
#include "Session.h"
#include "EventWatcher.h"
#include "Settings.h"
#include "WebPage.h"

namespace app {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::int64_t megabyte = std::int64_t(1) << 20;
constexpr std::int64_t gigabyte = std::int64_t(1) << 30;

QSpinBox* spinBox(const char* name, int least, int most, std::int64_t value, const QString& suffix)
{
    auto* box = new QSpinBox;
    box->setObjectName(name);
    box->setRange(least, most);
    box->setValue(int(std::clamp<std::int64_t>(value, least, most)));
    box->setSuffix(suffix);
    return box;
}

int secondsOf(milliseconds value)
{
    return int(duration_cast<seconds>(value).count());
}

QLineEdit* commandEdit(const char* name, const QStringList& command)
{
    auto* edit = new QLineEdit(events::joinCommandLine(command));
    edit->setObjectName(name);
    edit->setMinimumWidth(360);
    edit->setPlaceholderText("none");
    return edit;
}

} // namespace

EventsDialog::EventsDialog(const events::EventSettings& settings, watch::Session* outputs, QWidget* parent,
                           WebPage* web)
    : QDialog(parent), base_(settings), outputs_(outputs), web_(web)
{
    setObjectName("EventsDialog");
    setWindowTitle("Event Settings");
    auto* form = new QFormLayout;
    before_ = spinBox("BeforeSpinBox", 0, eventLimits::rollSeconds, secondsOf(settings.preRoll), " s");
    form->addRow("Clip: seconds before the event", before_);
    after_ = spinBox("AfterSpinBox", 0, eventLimits::rollSeconds, secondsOf(settings.postRoll), " s");
    form->addRow("Clip: seconds after the event", after_);

    // Whole gigabytes show as such; anything else in megabytes.
    const bool inGigabytes = settings.retentionBytes % gigabyte == 0;
    retentionSize_ = spinBox("RetentionSizeSpinBox", 1, eventLimits::retentionMB,
                             settings.retentionBytes / (inGigabytes ? gigabyte : megabyte), QString());
    retentionUnit_ = new QComboBox;
    retentionUnit_->setObjectName("RetentionUnitBox");
    retentionUnit_->addItems({"MB", "GB"});
    retentionUnit_->setCurrentIndex(inGigabytes ? 1 : 0);
    auto* size = new QHBoxLayout;
    size->addWidget(retentionSize_, 1);
    size->addWidget(retentionUnit_);
    form->addRow("Keep clips and frames up to", size);
    retentionDays_ = spinBox("RetentionDaysSpinBox", 1, eventLimits::retentionDays,
                             settings.retentionAge.count() / 24, " days");
    form->addRow("Keep them for at most", retentionDays_);

    notify_ = new QCheckBox("Desktop notification when an event starts");
    notify_->setObjectName("NotifyBox");
    notify_->setChecked(settings.notify);
    form->addRow(notify_);
    cooldown_ = spinBox("CooldownSpinBox", 0, eventLimits::cooldownSeconds, secondsOf(settings.notifyCooldown), " s");
    cooldown_->setEnabled(notify_->isChecked());
    connect(notify_, &QCheckBox::toggled, cooldown_, &QWidget::setEnabled);
    form->addRow("No further notification for", cooldown_);

    onStart_ = commandEdit("StartCommandEdit", settings.commandOnStart);
    form->addRow("Command when an event starts", onStart_);
    onEnd_ = commandEdit("EndCommandEdit", settings.commandOnEnd);
    form->addRow("Command when an event ends", onEnd_);
    auto* hint = new QLabel("A program and its arguments, split into words as a shell would (quotes, "
                            "backslash) but run without a shell. In the words, {id} {time} {clip} "
                            "{thumbnail} {peak} stand for the event's number, time, clip file, picture "
                            "file and peak count.");
    hint->setWordWrap(true);
    form->addRow(hint);
    if (outputs_) {
        shownFolder_ = outputs_->saveFolderPath();
        folder_ = new QLineEdit(shownFolder_);
        folder_->setObjectName("SaveFolderEdit");
        auto* choose = new QPushButton("Save folder...");
        choose->setObjectName("SaveFolderButton");
        connect(choose, &QPushButton::clicked, this, &EventsDialog::chooseFolder);
        auto* row = new QHBoxLayout;
        row->addWidget(folder_, 1);
        row->addWidget(choose);
        form->addRow("Saved frames, event log and clips in", row);
        broker_ = new QLineEdit(outputs_->broker());
        broker_->setObjectName("BrokerEdit");
        broker_->setPlaceholderText("none (HOST or HOST:PORT)");
        form->addRow("Publish events to the MQTT broker", broker_);
    }
    if (web_) {
        webAddress_ = new QLineEdit(web_->settings().listen);
        webAddress_->setObjectName("WebAddressEdit");
        webAddress_->setPlaceholderText("off ([ADDRESS:]PORT, 8080 for this machine only)");
        form->addRow("Web page on", webAddress_);
        webPassword_ = new QLabel;
        webPassword_->setObjectName("WebPasswordLabel");
        auto* choose = new QPushButton("Set password...");
        choose->setObjectName("WebPasswordButton");
        connect(choose, &QPushButton::clicked, this, &EventsDialog::askPassword);
        auto* row = new QHBoxLayout;
        row->addWidget(webPassword_, 1);
        row->addWidget(choose);
        form->addRow("Web page password", row);
        showPassword();
    }
    error_ = new QLabel;
    error_->setObjectName("ErrorLabel");
    error_->setStyleSheet("color: #b00000");
    error_->setWordWrap(true);
    error_->hide();
    form->addRow(error_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (apply())
            accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &EventsDialog::apply);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(buttons);
}

std::optional<events::EventSettings> EventsDialog::settings(QString& error) const
{
    events::EventSettings s = base_;
    s.preRoll = seconds(before_->value());
    s.postRoll = seconds(after_->value());
    s.retentionBytes = retentionSize_->value() * (retentionUnit_->currentIndex() == 1 ? gigabyte : megabyte);
    s.retentionAge = std::chrono::hours(24 * retentionDays_->value());
    s.notify = notify_->isChecked();
    s.notifyCooldown = seconds(cooldown_->value());
    QString why;
    const std::optional<QStringList> onStart = events::splitCommandLine(onStart_->text(), why);
    if (!onStart) {
        error = "The command when an event starts: " + why + '.';
        return std::nullopt;
    }
    const std::optional<QStringList> onEnd = events::splitCommandLine(onEnd_->text(), why);
    if (!onEnd) {
        error = "The command when an event ends: " + why + '.';
        return std::nullopt;
    }
    s.commandOnStart = *onStart;
    s.commandOnEnd = *onEnd;
    return s;
}

bool EventsDialog::apply()
{
    QString error;
    const std::optional<events::EventSettings> s = settings(error);
    // All or nothing: what the dialog refuses leaves every setting as it was.
    const bool taken = s && applyOutputs(error) && applyWeb(error);
    error_->setText(error);
    error_->setVisible(!taken);
    fitWrappedText();
    if (taken)
        emit applied(*s);
    return taken;
}

void EventsDialog::fitWrappedText()
{
    // A dialog's layout takes the height wrapped lines need at its width only as it first
    // shows: an error that appears later would squeeze the help above it.
    layout()->activate();
    const int needed = heightForWidth(width());
    if (needed > height())
        resize(width(), needed);
}

bool EventsDialog::applyOutputs(QString& error)
{
    if (!outputs_)
        return true;
    // The broker is checked first, so that a bad one leaves the folder as it was too.
    const QString problem = watch::brokerProblem(broker_->text());
    if (!problem.isEmpty()) {
        error = problem;
        return false;
    }
    const QString folder = folder_->text().trimmed();
    if (folder != shownFolder_) {
        if (!outputs_->setSaveFolder(folder, error))
            return false;
        shownFolder_ = outputs_->saveFolderPath();
        folder_->setText(shownFolder_);
    }
    return outputs_->setBroker(broker_->text(), error);
}

bool EventsDialog::applyWeb(QString& error)
{
    if (!web_)
        return true;
    if (hashing_) {
        error = "The password is still being hashed; try again in a moment.";
        return false;
    }
    HttpSettings wanted = web_->settings();
    wanted.listen = webAddress_->text().trimmed();
    if (newHash_)
        wanted.passwordHash = *newHash_;
    // An unchanged page keeps running: its viewers stay connected.
    if (wanted == web_->settings())
        return true;
    if (!web_->use(wanted, error))
        return false;
    newHash_.reset();
    showPassword();
    return true;
}

void EventsDialog::askPassword()
{
    // Not the static dialog: it would block the windows' event loop until it closes.
    auto* ask = new QInputDialog(this);
    ask->setObjectName("WebPasswordDialog");
    ask->setWindowTitle("Web page password");
    ask->setLabelText("The password the web page asks for (empty: none, for this machine only):");
    ask->setTextEchoMode(QLineEdit::Password);
    ask->setAttribute(Qt::WA_DeleteOnClose);
    connect(ask, &QInputDialog::textValueSelected, this, [this](const QString& password) {
        if (password.isEmpty()) {
            newHash_ = QString();
            showPassword();
            return;
        }
        // Hashing is slow on purpose: it runs off the windows' thread.
        hashing_ = true;
        showPassword();
        platform::BackgroundThreads::shared().run([dialog = QPointer<EventsDialog>(this), password] {
            std::string problem;
            const std::string hash = web::hashPassword(password.toStdString(), problem);
            QMetaObject::invokeMethod(QCoreApplication::instance(), [dialog, hash, problem] {
                if (dialog)
                    dialog->passwordHashed(QString::fromStdString(hash), QString::fromStdString(problem));
            });
        });
    });
    ask->open();
}

void EventsDialog::passwordHashed(const QString& hash, const QString& problem)
{
    hashing_ = false;
    if (hash.isEmpty()) {
        error_->setText("The password cannot be hashed: " + problem + '.');
        error_->show();
    } else {
        newHash_ = hash;
    }
    showPassword();
}

void EventsDialog::showPassword()
{
    const bool set = newHash_ ? !newHash_->isEmpty() : !web_->settings().passwordHash.isEmpty();
    if (hashing_)
        webPassword_->setText("being hashed...");
    else if (newHash_)
        webPassword_->setText(set ? "a new one, set by OK or Apply" : "none, from OK or Apply on");
    else
        webPassword_->setText(set ? "set" : "none");
}

void EventsDialog::chooseFolder()
{
    // Not the static chooser: it would block the windows' event loop until it closes.
    auto* chooser = new QFileDialog(this, "Save folder", folder_->text());
    chooser->setObjectName("SaveFolderChooser");
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    chooser->setAttribute(Qt::WA_DeleteOnClose);
    connect(chooser, &QFileDialog::fileSelected, folder_, &QLineEdit::setText);
    chooser->open();
}

QAction* addEventsItem(QMenu& menu, watch::Session& session, QWidget* parent, WebPage* web)
{
    auto* action = new QAction("&Events...", &menu);
    action->setObjectName("Events1");
    const QList<QAction*> items = menu.actions();
    qsizetype format = -1;
    for (qsizetype i = 0; i < items.size(); ++i) {
        if (items[i]->objectName() == "VideoFormat1")
            format = i;
    }
    menu.insertAction(format >= 0 && format + 1 < items.size() ? items[format + 1] : nullptr, action);
    QObject::connect(action, &QAction::triggered, parent, [&session, parent, web] {
        events::EventWatcher& watcher = session.events();
        auto* dialog = new EventsDialog(watcher.settings(), &session, parent, web);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        // The gap is set in the Detection dialog, maybe while this one is open.
        QObject::connect(dialog, &EventsDialog::applied, &watcher, [&watcher](events::EventSettings settings) {
            settings.gap = watcher.settings().gap;
            watcher.setSettings(settings);
        });
        dialog->open();
    });
    return action;
}

} // namespace app
