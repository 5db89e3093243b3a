#include "WebPage.h"

#include <cstdio>
#include <string>

#include <QFile>
#include <termios.h>
#include <unistd.h>

#include "CameraSlot.h"
#include "Password.h"
#include "Session.h"
#include "SessionFeed.h"
#include "WebServer.h"

namespace app {

namespace {

bool readPem(const QString& path, std::string& pem, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read \"%1\": %2").arg(path, file.errorString());
        return false;
    }
    pem = file.readAll().toStdString();
    return true;
}

} // namespace

WebPage::WebPage(QObject* parent) : QObject(parent)
{
}

WebPage::~WebPage()
{
    feeds_.clear();
    server_.reset();
}

bool WebPage::use(const HttpSettings& settings, QString& error)
{
    if (settings.listen.isEmpty()) {
        feeds_.clear();
        server_.reset();
        settings_ = settings;
        return true;
    }
    std::string problem;
    const std::optional<web::ListenAddress> listen = web::parseListen(settings.listen.toStdString(), problem);
    if (!listen) {
        error = QStringLiteral("The web page's address: ") + QString::fromStdString(problem) + '.';
        return false;
    }
    web::ServerConfig config;
    config.listen = *listen;
    config.passwordHash = settings.passwordHash.toStdString();
    if (settings.certificate.isEmpty() != settings.key.isEmpty()) {
        error = QStringLiteral("The web page's HTTPS needs both a certificate and its key.");
        return false;
    }
    if (!settings.certificate.isEmpty() && (!readPem(settings.certificate, config.certificatePem, error) ||
                                            !readPem(settings.key, config.keyPem, error))) {
        error = QStringLiteral("The web page's HTTPS: ") + error + '.';
        return false;
    }
    // The old server lets go of its port first: a new one on the same port could not bind.
    const bool samePort = server_ && listen->port == server_->port();
    if (samePort) {
        feeds_.clear();
        server_.reset();
    }
    std::unique_ptr<web::WebServer> started = web::WebServer::start(config, problem);
    if (!started) {
        error = QStringLiteral("The web page cannot start: ") + QString::fromStdString(problem) + '.';
        if (samePort) {
            // What ran before runs on.
            QString ignored;
            use(HttpSettings(settings_), ignored);
        }
        return false;
    }
    feeds_.clear();
    server_ = std::move(started);
    settings_ = settings;
    feedAll();
    return true;
}

QString WebPage::address() const
{
    if (!server_)
        return {};
    std::string problem;
    const std::string host = web::parseListen(settings_.listen.toStdString(), problem)->address;
    return QStringLiteral("%1://%2:%3/")
        .arg(server_->secure() ? "https" : "http", host.find(':') == std::string::npos
                                                       ? QString::fromStdString(host)
                                                       : '[' + QString::fromStdString(host) + ']')
        .arg(server_->port());
}

void WebPage::serve(watch::Session& session, std::function<bool()> automatic, const QString& name)
{
    served_.push_back({&session, std::move(automatic), name});
    if (server_)
        feed(served_.back());
}

void WebPage::feedAll()
{
    for (const Served& s : served_)
        feed(s);
}

void WebPage::feed(const Served& s)
{
    feeds_.push_back(
        std::make_unique<web::SessionFeed>(*s.session, server_->addCamera(), s.automatic, s.name.toStdString()));
}

bool passwordHashLine(std::FILE* in, QString& line, QString& error)
{
    // Typed at a terminal: asked for, and not shown.
    const int fd = ::fileno(in);
    termios shown{};
    const bool typed = ::isatty(fd) && ::tcgetattr(fd, &shown) == 0;
    if (typed) {
        std::fputs("Password: ", stderr);
        termios hidden = shown;
        hidden.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(fd, TCSAFLUSH, &hidden);
    }
    std::string password;
    for (int c = std::fgetc(in); c != EOF && c != '\n'; c = std::fgetc(in))
        password += char(c);
    if (typed) {
        ::tcsetattr(fd, TCSAFLUSH, &shown);
        std::fputs("\n", stderr);
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    std::string problem;
    const std::string hash = web::hashPassword(password, problem);
    if (hash.empty()) {
        error = QString::fromStdString(problem);
        return false;
    }
    line = QStringLiteral("passwordHash=") + QString::fromStdString(hash);
    return true;
}

} // namespace app
