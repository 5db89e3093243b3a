#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include <QObject>
#include <QString>

#include "Settings.h"

namespace watch {
class Session;
}

namespace web {
class SessionFeed;
class WebServer;
} // namespace web

namespace app {

// The web page of a run, as the [http] settings and the command line ask for it: its
// server and the sessions it shows. Both drivers hand it their sessions; the windows may
// change its address and password while it runs. Lives on the GUI thread.
class WebPage : public QObject {
    Q_OBJECT
public:
    explicit WebPage(QObject* parent = nullptr);
    ~WebPage() override;

    // Serves as `settings` say (no address: no server); false, with `error` in words, when
    // it cannot, and the page stays as it was.
    bool use(const HttpSettings& settings, QString& error);
    const HttpSettings& settings() const { return settings_; }
    // The server while one runs.
    web::WebServer* server() const { return server_.get(); }
    // Where the page is, as a browser is pointed at it; empty while there is no server.
    QString address() const;

    // Shows `session` on the page from now on (and on every server started later), under
    // `name` (empty: its source's). `automatic` says whether its driver evaluates on its own.
    // The session must outlive the page.
    void serve(watch::Session& session, std::function<bool()> automatic, const QString& name = {});

private:
    struct Served {
        watch::Session* session;
        std::function<bool()> automatic;
        QString name;
    };
    void feedAll();
    void feed(const Served& served);

    HttpSettings settings_;
    std::vector<Served> served_;
    // The feeds go before the server they feed.
    std::unique_ptr<web::WebServer> server_;
    std::vector<std::unique_ptr<web::SessionFeed>> feeds_;
};

// The settings file's line with the hash of the password read from `in` (one line);
// false, with `error`, when there is none or it cannot be hashed.
bool passwordHashLine(std::FILE* in, QString& line, QString& error);

} // namespace app
