// The web server as a browser meets it: real HTTP over sockets to a real server on
// 127.0.0.1, fed by a real session watching a test pattern, with its event log in a
// folder of the test's own.

#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QtTest/QTest>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include "CameraSlot.h"
#include "ClipboardFrame.h"
#include "EventLog.h"
#include "EventWatcher.h"
#include "HttpExchange.h"
#include "Logins.h"
#include "Password.h"
#include "Session.h"
#include "SessionFeed.h"
#include "WebServer.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string camera = "test_camera";

// A server showing one session of a test pattern, whose event log is in a folder of its own.
class Served {
public:
    explicit Served(web::ServerConfig config = {})
    {
        events::EventSettings settings;
        settings.recordClips = false;
        settings.gap = 200ms;
        session_.events().setSettings(settings);
        QDir().mkpath(folder());
        session_.restore(folder(), {});
        QString error;
        EXPECT_TRUE(session_.openRecords(error)) << error.toStdString();
        session_.source().open({"test camera", "videotestsrc is-live=true pattern=ball", {}});
        std::string problem;
        server_ = web::WebServer::start(config, problem);
        EXPECT_TRUE(server_) << problem;
        if (server_)
            feed_ = std::make_unique<web::SessionFeed>(session_, server_->addCamera(), [] { return true; });
    }

    int port() const { return server_->port(); }
    QString folder() const { return dir_.path() + "/events"; }
    events::EventLog& log() { return *session_.events().log(); }

    // An ended event of three moving cycles, written to the log; the log's row names
    // `clip` as its clip when given.
    std::int64_t recordEvent(const std::string& clip = {})
    {
        QSignalSpy ended(&session_.events(), &events::EventWatcher::eventEnded);
        for (int x : {20, 80, 140}) {
            QImage picture(160, 120, QImage::Format_BGR888);
            picture.fill(Qt::darkGreen);
            events::CycleSummary s;
            s.time = events::now();
            s.moving = s.confirmed = true;
            s.changed = 500 + x;
            s.percent = 2.5;
            s.centre = analysis::Point{x, 60};
            s.frame = std::make_shared<const analysis::Bitmap>(platform::bitmapFromImage(picture));
            session_.events().cycleEvaluated(s);
        }
        EXPECT_TRUE(QTest::qWaitFor([&] { return ended.size() == 1; }, 30'000));
        EXPECT_TRUE(log().waitWritten(30s));
        const std::int64_t id = ended.isEmpty() ? 0 : ended[0][0].value<events::Event>().id;
        if (!clip.empty()) {
            sqlite3* db = nullptr;
            sqlite3_open((folder() + "/events.sqlite").toStdString().c_str(), &db);
            sqlite3_busy_timeout(db, 30'000);
            const std::string sql = "UPDATE events SET clip = '" + clip + "' WHERE id = " + std::to_string(id);
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
            sqlite3_close(db);
        }
        return id;
    }

    // Asks on a thread of its own while this (the session's) thread handles its events,
    // as the program's would.
    template <typename Call> auto onThread(Call call)
    {
        auto answer = std::async(std::launch::async, call);
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.wait_for(0s) == std::future_status::ready; }, 60'000));
        return answer.get();
    }
    HttpAnswer ask(const std::string& method, const std::string& path, const std::string& headers = {},
                   const std::string& body = {})
    {
        return onThread([=, this] { return http(port(), method, path, headers, body); });
    }

    // The session's first frame reached the server.
    bool live()
    {
        return QTest::qWaitFor([&] { return ask("GET", "/api/cameras/" + camera + "/snapshot.jpg").status == 200; },
                               30'000);
    }

private:
    QTemporaryDir dir_;
    watch::Session session_;
    std::unique_ptr<web::WebServer> server_;
    std::unique_ptr<web::SessionFeed> feed_;
};

QJsonObject json(const HttpAnswer& answer)
{
    return QJsonDocument::fromJson(QByteArray::fromStdString(answer.body)).object();
}

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string passwordHash(const std::string& password)
{
    std::string error;
    const std::string hash = web::hashPassword(password, error);
    EXPECT_FALSE(hash.empty()) << error;
    return hash;
}

} // namespace

TEST(WebServer, ServesCamerasEventsPicturesAndClipRanges)
{
    Served served;
    ASSERT_TRUE(served.live());
    std::string clip;
    for (int i = 0; i < 1000; ++i)
        clip += char('a' + i % 26);
    writeFile(served.folder().toStdString() + "/clip.webm", clip);
    const std::int64_t id = served.recordEvent(served.folder().toStdString() + "/clip.webm");

    HttpAnswer cameras = served.ask("GET", "/api/cameras");
    EXPECT_EQ(cameras.headers.at("cache-control"), "no-store");
    EXPECT_EQ(cameras.headers.at("x-content-type-options"), "nosniff");
    const QJsonObject c = json(cameras)["cameras"].toArray().at(0).toObject();
    EXPECT_EQ(c["id"].toString().toStdString(), camera);
    EXPECT_EQ(c["state"].toString(), "live");
    EXPECT_EQ(c["width"].toInt(), 320);
    EXPECT_TRUE(c["auto"].toBool());

    HttpAnswer snapshot = served.ask("GET", "/api/cameras/" + camera + "/snapshot.jpg");
    EXPECT_EQ(snapshot.headers.at("content-type"), "image/jpeg");
    EXPECT_TRUE(snapshot.body.starts_with("\xff\xd8")) << "a JPEG";
    const std::string stream = served.onThread([&] {
        return rawExchange(served.port(),
                           "GET /api/cameras/" + camera + "/live.mjpeg HTTP/1.1\r\nHost: localhost\r\n\r\n", 200'000,
                           5s);
    });
    EXPECT_NE(stream.find("multipart/x-mixed-replace; boundary=frame"), std::string::npos);
    EXPECT_NE(stream.find("--frame\r\nContent-Type: image/jpeg"), stream.rfind("--frame\r\nContent-Type: image/jpeg"))
        << "two pictures or more";

    const QJsonObject list = json(served.ask("GET", "/api/events?camera=" + camera + "&limit=10"));
    ASSERT_EQ(list["total"].toInt(), 1);
    const QJsonObject e = list["events"].toArray().at(0).toObject();
    EXPECT_EQ(e["id"].toInteger(), id);
    EXPECT_EQ(e["clipType"].toString(), "video/webm");
    EXPECT_EQ(e["peakPixels"].toInt(), 640);
    EXPECT_TRUE(QDateTime::fromString(e["start"].toString(), Qt::ISODate).isValid())
        << e["start"].toString().toStdString();
    EXPECT_EQ(json(served.ask("GET", "/api/events/" + camera + "/" + std::to_string(id)))["id"].toInteger(), id);
    EXPECT_TRUE(served.ask("GET", e["thumbnail"].toString().toStdString()).body.starts_with("\xff\xd8"));
    EXPECT_EQ(json(served.ask("GET", "/api/events?from=2000-01-01&to=2000-01-02"))["total"].toInt(), 0);
    EXPECT_EQ(served.ask("GET", "/api/events?from=yesterday").status, 400);

    // Ranges: whole, a part, a suffix, one past the end.
    const std::string clipPath = e["clip"].toString().toStdString();
    HttpAnswer whole = served.ask("GET", clipPath);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, clip);
    EXPECT_EQ(whole.headers.at("accept-ranges"), "bytes");
    const struct {
        std::string range;
        int status;
        std::string contentRange;
        std::string body;
    } ranges[] = {{"bytes=10-19", 206, "bytes 10-19/1000", clip.substr(10, 10)},
                  {"bytes=990-", 206, "bytes 990-999/1000", clip.substr(990)},
                  {"bytes=-5", 206, "bytes 995-999/1000", clip.substr(995)},
                  {"bytes=995-5000", 206, "bytes 995-999/1000", clip.substr(995)},
                  {"bytes=1000-", 416, "bytes */1000", ""}};
    for (const auto& r : ranges) {
        HttpAnswer part = served.ask("GET", clipPath, "Range: " + r.range + "\r\n");
        EXPECT_EQ(part.status, r.status) << r.range;
        EXPECT_EQ(part.headers["content-range"], r.contentRange) << r.range;
        EXPECT_EQ(part.body, r.body) << r.range;
    }
}

TEST(WebServer, RefusesEveryPathOutsideItsRoutesAndTheSaveFolder)
{
    Served served;
    QTemporaryDir outside;
    const std::string secret = outside.path().toStdString() + "/secret.webm";
    writeFile(secret, "SECRET-BYTES");
    // A log that names a file outside the folder, and a link inside it that points out.
    const std::int64_t named = served.recordEvent(secret);
    fs::create_symlink(secret, served.folder().toStdString() + "/link.webm");
    const std::int64_t linked = served.recordEvent(served.folder().toStdString() + "/link.webm");
    const std::string base = "/api/events/" + camera + "/";
    const std::vector<std::string> paths = {base + std::to_string(named) + "/clip",
                                            base + std::to_string(linked) + "/clip",
                                            "/static/../events.html",
                                            "/static/..%2f..%2f..%2fetc%2fpasswd",
                                            "/static/%2e%2e/%2e%2e/etc/passwd",
                                            "/%2e%2e/%2e%2e/etc/passwd",
                                            "/static/%252e%252e%252fetc%252fpasswd",
                                            "/static/..\\..\\etc\\passwd",
                                            "/static/..%5c..%5cetc%5cpasswd",
                                            "/static/" + secret,
                                            "/static//etc/passwd",
                                            secret,
                                            "/etc/passwd",
                                            "/static/",
                                            "/static/.hidden",
                                            base + "..%2f" + std::to_string(named) + "/clip",
                                            base + std::to_string(named) + "/..%2fclip",
                                            base + std::to_string(named) + "/clip/..",
                                            "/api/events/..%2f..%2f/1/clip",
                                            "/api/cameras/../cameras",
                                            "/api/cameras/" + camera + "/..%2f..%2fsnapshot.jpg",
                                            "/events/",
                                            "/index.html"};
    for (const std::string& path : paths) {
        HttpAnswer answer = served.ask("GET", path);
        EXPECT_TRUE(answer.status == 404 || answer.status == 400) << path << ": " << answer.status;
        EXPECT_EQ(answer.body.find("SECRET"), std::string::npos) << path;
        EXPECT_EQ(answer.body.find("root:"), std::string::npos) << path;
    }
}

TEST(WebServer, PasswordSlowsGuessesAndChangesNeedTheSessionsToken)
{
    web::ServerConfig config;
    config.passwordHash = passwordHash("open sesame");
    Served served(config);
    const std::int64_t id = served.recordEvent();
    const std::string event = "/api/events/" + camera + "/" + std::to_string(id);

    EXPECT_EQ(served.ask("GET", "/api/cameras").status, 401);
    HttpAnswer page = served.ask("GET", "/");
    EXPECT_EQ(page.status, 303);
    EXPECT_EQ(page.headers["location"], "/login");
    const QJsonObject anonymous = json(served.ask("GET", "/api/session"));
    EXPECT_TRUE(anonymous["passwordRequired"].toBool());
    EXPECT_FALSE(anonymous["authenticated"].toBool());
    EXPECT_EQ(anonymous["csrf"].toString(), "");

    const std::string asJson = "Content-Type: application/json\r\n";
    EXPECT_EQ(served.ask("POST", "/api/login", asJson, R"({"password":"guess"})").status, 401);
    // The right password too waits while the address is slowed.
    HttpAnswer slowed = served.ask("POST", "/api/login", asJson, R"({"password":"open sesame"})");
    EXPECT_EQ(slowed.status, 429);
    ASSERT_GE(std::stoi(slowed.headers["retry-after"]), 1);
    std::this_thread::sleep_for(std::chrono::seconds(std::stoi(slowed.headers["retry-after"])));
    EXPECT_EQ(served.ask("POST", "/api/login", asJson, R"({"password":"still wrong"})").status, 401);
    EXPECT_GE(std::stoi(served.ask("POST", "/api/login", asJson, R"({"password":"x"})").headers["retry-after"]), 2)
        << "the wait doubles";
    std::this_thread::sleep_for(2s);

    HttpAnswer login = served.ask("POST", "/api/login", asJson, R"({"password":"open sesame"})");
    ASSERT_EQ(login.status, 200);
    const std::string cookieHeader = login.headers["set-cookie"];
    EXPECT_NE(cookieHeader.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookieHeader.find("SameSite=Strict"), std::string::npos);
    EXPECT_EQ(cookieHeader.find("Secure"), std::string::npos) << "plain HTTP";
    const std::string cookie = "Cookie: " + cookieHeader.substr(0, cookieHeader.find(';')) + "\r\n";
    const std::string csrf = json(login)["csrf"].toString().toStdString();
    EXPECT_EQ(csrf.size(), 64u);
    EXPECT_EQ(served.ask("GET", "/api/cameras", cookie).status, 200);
    EXPECT_EQ(json(served.ask("GET", "/api/session", cookie))["csrf"].toString().toStdString(), csrf);

    EXPECT_EQ(served.ask("DELETE", event, cookie).status, 403);
    EXPECT_EQ(served.ask("DELETE", event, cookie + "X-CSRF-Token: " + std::string(64, '0') + "\r\n").status, 403);
    EXPECT_EQ(served.ask("DELETE", event, "X-CSRF-Token: " + csrf + "\r\n").status, 401)
        << "the token without the session";
    EXPECT_TRUE(served.log().event(id));
    EXPECT_EQ(served.ask("DELETE", event, cookie + "X-CSRF-Token: " + csrf + "\r\n").status, 204);
    ASSERT_TRUE(served.log().waitWritten(30s));
    EXPECT_FALSE(served.log().event(id));
    EXPECT_EQ(served.ask("GET", event, cookie).status, 404);
    EXPECT_EQ(served.ask("DELETE", event, cookie + "X-CSRF-Token: " + csrf + "\r\n").status, 404);

    EXPECT_EQ(served.ask("POST", "/api/logout", cookie + "X-CSRF-Token: " + csrf + "\r\n").status, 204);
    EXPECT_EQ(served.ask("GET", "/api/cameras", cookie).status, 401);
}

// Many tries at once, or from many addresses, make no more guesses than one at a time.
TEST(LoginThrottle, OneTryAtATimeAnAddressTwoHashingsAtOnceAndABurstAcrossAddresses)
{
    using namespace std::chrono;
    web::LoginThrottle throttle;
    const auto now = web::LoginThrottle::Clock::now();
    EXPECT_EQ(throttle.begin("10.0.0.1", now), 0s);
    EXPECT_GT(throttle.begin("10.0.0.1", now), 0s) << "the same address while its try is checked";
    EXPECT_EQ(throttle.begin("2001:db8::1", now), 0s);
    EXPECT_GT(throttle.begin("10.0.0.2", now), 0s) << "a third hashing at once";
    throttle.end("2001:db8::1", false, now);
    EXPECT_GT(throttle.begin("2001:db8::ffff", now), 0s) << "the same /64 after its failure";
    throttle.end("10.0.0.1", true, now);
    // Ten tries in a burst, then one a second, across any number of addresses.
    int let = 0;
    for (int i = 0; i < 40; ++i) {
        const std::string address = "10.1.0." + std::to_string(i);
        if (throttle.begin(address, now + 1s) == 0s) {
            ++let;
            throttle.end(address, false, now + 1s);
        }
    }
    EXPECT_LE(let, 10);
    EXPECT_EQ(throttle.begin("10.2.0.1", now + 5s), 0s) << "the burst refills";
}

TEST(WebServer, WithoutPasswordOnlyThisMachinesNamesAnswerAndChangesNeedTheRunsToken)
{
    Served served;
    const std::int64_t id = served.recordEvent();
    const std::string event = "/api/events/" + camera + "/" + std::to_string(id);
    const QJsonObject session = json(served.ask("GET", "/api/session"));
    EXPECT_TRUE(session["authenticated"].toBool());
    EXPECT_FALSE(session["passwordRequired"].toBool());
    EXPECT_EQ(served.ask("DELETE", event).status, 403);
    // A name of another site pointed at 127.0.0.1 reads nothing.
    EXPECT_EQ(served
                  .onThread([&] {
                      return parseAnswer(rawExchange(
                          served.port(), "GET /api/cameras HTTP/1.1\r\nConnection: close\r\nHost: evil.example:" +
                                             std::to_string(served.port()) + "\r\n\r\n"));
                  })
                  .status,
              403);
    // Two names at once, or none, are no name.
    for (const char* hosts : {"Host: localhost\r\nHost: evil.example\r\n", ""})
        EXPECT_EQ(served
                      .onThread([&] {
                          return parseAnswer(rawExchange(
                              served.port(), std::string("GET /api/cameras HTTP/1.1\r\nConnection: close\r\n") + hosts + "\r\n"));
                      })
                      .status,
                  400);
    for (const std::string host : {"localhost", "127.0.0.1", "[::1]"})
        EXPECT_EQ(served.ask("GET", "/api/cameras", "Host: " + host + ":80\r\n").status, 200) << host;
    EXPECT_EQ(served.ask("DELETE", event, "X-CSRF-Token: " + session["csrf"].toString().toStdString() + "\r\n").status,
              204);
}

TEST(WebServer, HoldsItsLimits)
{
    Served served;
    HttpAnswer body = served.ask("POST", "/api/login", "Content-Type: application/json\r\n",
                                 std::string(web::WebServer::mostBodyBytes + 1, 'x'));
    EXPECT_EQ(body.status, 413);
    // A body of unannounced length is read to its end and refused all the same.
    std::string chunked = "POST /api/login HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                          "Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 20; ++i)
        chunked += "400\r\n" + std::string(1024, 'x') + "\r\n";
    EXPECT_EQ(parseAnswer(rawExchange(served.port(), chunked + "0\r\n\r\n")).status, 413);
    EXPECT_EQ(served.ask("GET", "/api/session", "X-Padding: " + std::string(64 * 1024, 'p') + "\r\n").status, 431);

    // 200 clients that connect and never finish their requests leave room for more.
    std::vector<int> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(connectTo(served.port()));
        ASSERT_GE(idle.back(), 0) << i;
        ::send(idle.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
    }
    EXPECT_EQ(served.ask("GET", "/api/session").status, 200) << "while 200 wait";
    for (int fd : idle)
        ::close(fd);
    EXPECT_EQ(served.ask("GET", "/api/cameras").status, 200) << "once they went";
}

TEST(WebServer, RefusesOtherMachinesWithoutPasswordAndPortsInUse)
{
    struct {
        std::string text;
        bool valid;
        std::string address;
        int port;
    } listens[] = {{"8080", true, "127.0.0.1", 8080}, {"0.0.0.0:80", true, "0.0.0.0", 80},
                   {"[::1]:8080", true, "::1", 8080}, {"::1:8080", false, "", 0},
                   {"localhost:8080", false, "", 0},  {"8080x", false, "", 0},
                   {"65536", false, "", 0},           {"0", false, "", 0},
                   {"[::1]8080", false, "", 0},       {"1.2.3:80", false, "", 0}};
    for (const auto& l : listens) {
        std::string error;
        const std::optional<web::ListenAddress> parsed = web::parseListen(l.text, error);
        ASSERT_EQ(parsed.has_value(), l.valid) << l.text;
        if (parsed)
            EXPECT_TRUE(parsed->address == l.address && parsed->port == l.port) << l.text;
        else
            EXPECT_FALSE(error.empty()) << l.text;
    }
    EXPECT_TRUE(web::isLoopback("127.3.4.5") && web::isLoopback("::1") && !web::isLoopback("0.0.0.0") &&
                !web::isLoopback("::"));

    std::string error;
    web::ServerConfig open;
    open.listen.address = "0.0.0.0";
    EXPECT_FALSE(web::WebServer::start(open, error));
    EXPECT_NE(error.find("password"), std::string::npos) << error;
    const std::unique_ptr<web::WebServer> first = web::WebServer::start({}, error);
    ASSERT_TRUE(first) << error;
    web::ServerConfig same;
    same.listen.port = first->port();
    EXPECT_FALSE(web::WebServer::start(same, error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;

    // The program says so and stops before it watches anything.
    const struct {
        QString listen;
        const char* message;
    } refused[] = {{"0.0.0.0:1", "without a password"}, {QString::number(first->port()), "in use"}};
    for (const auto& r : refused) {
        QProcess program;
        program.start(VIDEO_PROGRAM, {"--headless", "--source", "videotestsrc is-live=true", "--http", r.listen});
        ASSERT_TRUE(program.waitForFinished(60'000));
        EXPECT_EQ(program.exitCode(), 2) << r.message;
        EXPECT_TRUE(program.readAllStandardError().contains(r.message)) << r.message;
    }

    // The hash to set a password by.
    QProcess hash;
    hash.start(VIDEO_PROGRAM, {"--http-password-hash"});
    hash.write("correct horse\n");
    hash.closeWriteChannel();
    ASSERT_TRUE(hash.waitForFinished(60'000));
    const std::string line = hash.readAllStandardOutput().trimmed().toStdString();
    ASSERT_TRUE(line.starts_with("passwordHash=$y$")) << line;
    EXPECT_TRUE(web::passwordMatches("correct horse", line.substr(13)));
    EXPECT_FALSE(web::passwordMatches("correct horsE", line.substr(13)));
}

TEST(WebServer, ServesOverTlsWithSecureCookies)
{
    QTemporaryDir dir;
    const QString key = dir.filePath("key.pem"), certificate = dir.filePath("certificate.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                              "-keyout", key, "-out", certificate});
    ASSERT_TRUE(openssl.waitForFinished(60'000) && openssl.exitCode() == 0)
        << openssl.readAllStandardError().toStdString();
    web::ServerConfig config;
    config.passwordHash = passwordHash("tls");
    std::ifstream k(key.toStdString()), c(certificate.toStdString());
    config.keyPem.assign(std::istreambuf_iterator<char>(k), {});
    config.certificatePem.assign(std::istreambuf_iterator<char>(c), {});
    Served served(config);

    QSslSocket socket;
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(QSslCertificate::fromPath(certificate));
    socket.setSslConfiguration(tls);
    socket.connectToHostEncrypted("127.0.0.1", quint16(served.port()), "localhost");
    ASSERT_TRUE(socket.waitForEncrypted(30'000)) << socket.errorString().toStdString();
    const QByteArray body = R"({"password":"tls"})";
    socket.write(
        "POST /api/login HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Type: application/json\r\n"
        "Content-Length: " +
        QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray raw;
    while (socket.waitForReadyRead(10'000))
        raw += socket.readAll();
    HttpAnswer answer = parseAnswer(raw.toStdString());
    EXPECT_EQ(answer.status, 200) << raw.toStdString();
    EXPECT_NE(answer.headers["set-cookie"].find("; Secure"), std::string::npos);
    EXPECT_EQ(answer.status, 200);
    EXPECT_EQ(http(served.port(), "GET", "/api/session").status, 0) << "no plain HTTP on the TLS port";
}
