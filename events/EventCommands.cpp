#include "EventCommands.h"

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <utility>

#include <QDeadlineTimer>
#include <QProcess>

namespace events {

namespace {

// More than this many commands still running means they hang; further ones are refused
// rather than piling up processes.
constexpr int mostRunning = 8;
// How long the end of the program waits for the commands still running.
constexpr std::chrono::milliseconds closingWait{5000};

} // namespace

EventCommands::EventCommands(QObject* parent) : QObject(parent) {}

EventCommands::~EventCommands()
{
    // Nobody hears of them any more; a command still running at the end of the program is
    // given a moment to finish (an end command copying a clip), then ended, so none
    // outlives the program unseen.
    disconnect(this, nullptr, nullptr, nullptr);
    const QDeadlineTimer deadline(closingWait);
    for (QProcess* process : findChildren<QProcess*>(Qt::FindDirectChildrenOnly)) {
        process->disconnect();
        if (!process->waitForFinished(int(std::max<qint64>(1, deadline.remainingTime())))) {
            process->kill();
            process->waitForFinished(int(closingWait.count()));
        }
    }
}

void EventCommands::setCommands(const QStringList& onStart, const QStringList& onEnd)
{
    onStart_ = onStart;
    onEnd_ = onEnd;
}

void EventCommands::eventStarted(const Event& event)
{
    run(onStart_, event, event.start, "start");
}

void EventCommands::eventEnded(const Event& event)
{
    run(onEnd_, event, event.end, "end");
}

QStringList EventCommands::expand(const QStringList& command, const Event& event, TimePoint time)
{
    const std::pair<QString, QString> values[] = {
        {QStringLiteral("{id}"), QString::number(event.id)},
        {QStringLiteral("{time}"), QString::fromStdString(localText(time))},
        {QStringLiteral("{clip}"), QString::fromStdString(event.clip)},
        {QStringLiteral("{thumbnail}"), QString::fromStdString(event.thumbnail)},
        {QStringLiteral("{peak}"), QString::number(event.peakCount)},
    };
    QStringList expanded;
    for (const QString& argument : command) {
        // In one pass: what a placeholder gives (a folder named "x{peak}y") is never read again.
        QString result;
        for (qsizetype at = 0; at < argument.size();) {
            const auto found = std::find_if(std::begin(values), std::end(values), [&](const auto& value) {
                return QStringView(argument).sliced(at).startsWith(value.first);
            });
            if (found == std::end(values)) {
                result += argument[at++];
            } else {
                result += found->second;
                at += found->first.size();
            }
        }
        expanded << result;
    }
    return expanded;
}

void EventCommands::run(const QStringList& command, const Event& event, TimePoint time, const QString& when)
{
    if (command.isEmpty() || command.front().isEmpty())
        return;
    const QString name = command.front();
    if (running_ >= mostRunning) {
        emit failed(QStringLiteral("Command on event %1 not run: %2 earlier commands are still running").arg(when).arg(running_));
        return;
    }
    const QStringList arguments = expand(command, event, time);
    auto* process = new QProcess(this);
    process->setProgram(arguments.front());
    process->setArguments(arguments.mid(1));
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::SeparateChannels);
    // The last words on standard error explain a failure best.
    auto lastWords = std::make_shared<QByteArray>();
    connect(process, &QProcess::readyReadStandardError, process, [process, lastWords] {
        lastWords->append(process->readAllStandardError());
        if (lastWords->size() > 300)
            *lastWords = lastWords->right(300);
    });
    connect(process, &QProcess::errorOccurred, this, [this, process, name, when](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        emit failed(QStringLiteral("Command on event %1 (%2) cannot start: %3").arg(when, name, process->errorString()));
        --running_;
        process->deleteLater();
        emit commandFinished();
    });
    connect(process, &QProcess::finished, this,
            [this, process, name, when, lastWords](int exitCode, QProcess::ExitStatus status) {
                lastWords->append(process->readAllStandardError());
                const QString said = QString::fromLocal8Bit(*lastWords).trimmed().section('\n', -1);
                if (status == QProcess::CrashExit)
                    emit failed(QStringLiteral("Command on event %1 (%2) crashed").arg(when, name));
                else if (exitCode != 0)
                    emit failed(QStringLiteral("Command on event %1 (%2) failed with exit status %3%4")
                                    .arg(when, name)
                                    .arg(exitCode)
                                    .arg(said.isEmpty() ? QString() : ": " + said));
                --running_;
                process->deleteLater();
                emit commandFinished();
            });
    ++running_;
    process->start();
}

std::optional<QStringList> splitCommandLine(const QString& line, QString& error)
{
    QStringList words;
    QString word;
    bool inWord = false;
    enum class Quote { None, Single, Double } quote = Quote::None;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quote == Quote::Single) {
            if (c == '\'')
                quote = Quote::None;
            else
                word += c;
        } else if (quote == Quote::Double) {
            if (c == '"') {
                quote = Quote::None;
            } else if (c == '\\' && i + 1 < line.size() && QStringLiteral("\\\"$`").contains(line[i + 1])) {
                word += line[++i];
            } else {
                word += c;
            }
        } else if (c.isSpace()) {
            if (inWord)
                words << word;
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == '\'') {
                quote = Quote::Single;
            } else if (c == '"') {
                quote = Quote::Double;
            } else if (c == '\\') {
                if (i + 1 == line.size()) {
                    error = QStringLiteral("the command ends in a backslash");
                    return std::nullopt;
                }
                word += line[++i];
            } else {
                word += c;
            }
        }
    }
    if (quote != Quote::None) {
        error = quote == Quote::Single ? QStringLiteral("a ' is not closed") : QStringLiteral("a \" is not closed");
        return std::nullopt;
    }
    if (inWord)
        words << word;
    return words;
}

QString joinCommandLine(const QStringList& words)
{
    QStringList quoted;
    for (const QString& word : words) {
        const bool plain = !word.isEmpty() && std::all_of(word.begin(), word.end(), [](QChar c) {
            return c.isLetterOrNumber() || QStringLiteral("-_./:=,+%@{}").contains(c);
        });
        quoted << (plain ? word : '\'' + QString(word).replace("'", "'\\''") + '\'');
    }
    return quoted.join(' ');
}

} // namespace events
