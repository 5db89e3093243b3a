#pragma once

#include <optional>

#include <QObject>
#include <QStringList>

#include "Event.h"

namespace events {

// Runs the user's commands when an event starts and when it ends: a program and its
// arguments, no shell, with placeholders {id}, {time}, {clip}, {thumbnail}, {peak} filled
// in from the event. Never waits for a command while it runs; one that cannot start or
// ends with a failure is reported. Those still running when it goes (the program ends)
// get a few seconds to finish and are then killed.
class EventCommands : public QObject {
    Q_OBJECT
public:
    explicit EventCommands(QObject* parent = nullptr);
    ~EventCommands() override;

    void setCommands(const QStringList& onStart, const QStringList& onEnd);

    void eventStarted(const Event& event);
    void eventEnded(const Event& event);

    // `command` with the placeholders filled in; {time} is `time` in local time.
    static QStringList expand(const QStringList& command, const Event& event, TimePoint time);

signals:
    void failed(const QString& reason);
    // A command ended (successfully or not): for whoever waits for them.
    void commandFinished();

private:
    void run(const QStringList& command, const Event& event, TimePoint time, const QString& when);

    QStringList onStart_;
    QStringList onEnd_;
    int running_ = 0;
};

// A command typed on one line, split into words as a shell splits them: blanks separate,
// 'single quotes' keep everything, "double quotes" keep all but \\ \" \$ \` escapes, and a
// backslash outside quotes keeps the next character. Nothing else of a shell applies (no
// variables, globs or pipes): the words are run as they are. Nothing with `error` set
// when a quote is not closed or the line ends in a backslash.
std::optional<QStringList> splitCommandLine(const QString& line, QString& error);
// The words as one line that splitCommandLine gives back as they are.
QString joinCommandLine(const QStringList& words);

} // namespace events
