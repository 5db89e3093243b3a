#include "CommandLine.h"

#include <limits>
#include <utility>

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>

#include "Listen.h"

namespace app {

namespace {

const QString usageTail = QStringLiteral(
    "\nWithout options the program opens its windows with the values it remembered from the\n"
    "last run (in Video/Video.conf of the configuration folder, ~/.config by default);\n"
    "--headless reads Video/video-headless.conf there instead and never writes it.\n"
    "Options given here hold for this run only.\n"
    "\n"
    "Exit status: 0 when it ended normally, 1 when it cannot run (no display, no camera),\n"
    "2 for arguments or a settings file it cannot use.\n");

// An integer within [minimum, maximum], or a message naming the option and the bounds.
std::optional<int> integerOption(const QCommandLineParser& parser, const QString& name, int minimum, int maximum,
                                 QString& error)
{
    const QString text = parser.value(name).trimmed();
    bool ok = false;
    const qlonglong value = text.toLongLong(&ok);
    if (!ok || value < minimum || value > maximum) {
        error = QStringLiteral("--%1: \"%2\" is not a whole number from %3 to %4")
                    .arg(name, parser.value(name))
                    .arg(minimum)
                    .arg(maximum);
        return std::nullopt;
    }
    return static_cast<int>(value);
}

CommandLine exitWith(int code, const QString& output, const QString& error)
{
    CommandLine result;
    result.action = CommandLine::Action::Exit;
    result.exitCode = code;
    result.output = output;
    result.error = error;
    return result;
}

CommandLine badArguments(const QString& message)
{
    return exitWith(badArgumentsExit, {}, message + QStringLiteral("\nTry --help for the options.\n"));
}

} // namespace

QString programVersion()
{
    return QStringLiteral(VIDEO_VERSION);
}

CommandLine parseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QStringLiteral(
        "Watches one camera for movement: compares each grabbed frame with the one before,\n"
        "shows the changed pixels and where they moved, and beeps, saves the frame and records\n"
        "an event when enough pixels changed."));
    const QCommandLineOption help({"h", "help"}, "Show this help and exit.");
    const QCommandLineOption version({"v", "version"}, "Show the program's version and exit.");
    const QCommandLineOption listCameras("list-cameras",
                                         "List the cameras (or the CAPTURE_SOURCES entries) by index, name and "
                                         "GStreamer description, one a line, and exit.");
    const QCommandLineOption camera("camera",
                                    "Watch this camera: its name as --list-cameras shows it, its index, or a network "
                                    "camera's address: rtsp://, rtsps:// or http(s):// MJPEG, with an optional "
                                    "user:password@ (better kept in the credential file). With --headless it may "
                                    "be given again (and with --source) to watch several cameras at once.",
                                    "NAME|INDEX|URL");
    const QCommandLineOption rtspTransport("rtsp-transport",
                                           "How an RTSP camera's pictures travel: inside the TCP connection (the "
                                           "default) or as UDP packets.",
                                           "tcp|udp");
    const QCommandLineOption source("source",
                                    "Watch this GStreamer source instead of a camera, for example "
                                    "\"videotestsrc is-live=true\" or \"filesrc location=hall.avi ! decodebin\".",
                                    "DESCRIPTION");
    const QCommandLineOption saveDir("save-dir", "Save frames (and events) in this existing folder instead of images/.",
                                     "DIR");
    const QCommandLineOption threshold("threshold", "Pixel Variations: the gray-level change, 0 to 255, a pixel must "
                                                    "exceed to count.",
                                       "N");
    const QCommandLineOption minMovement("min-movement",
                                         "Minimal Movement: the number of changed pixels that must be exceeded "
                                         "to count as movement.",
                                         "N");
    const QCommandLineOption period("period", "Capturing Period: milliseconds between evaluations under Auto.", "MS");
    const QCommandLineOption detection("detection",
                                       "\"robust\" turns on every detection mechanism (light changes, noise, "
                                       "specks, mask, confirmation) with tuned defaults; \"off\" turns them all off.",
                                       "off|robust");
    const QCommandLineOption mask("mask", "Ignore the pixels that are black in this 8-bit PGM picture.",
                                  "FILE.pgm");
    const QCommandLineOption autoStart("auto", "Start the video and the automatic evaluation at once.");
    const QCommandLineOption headless("headless",
                                      "Watch without windows and without a display: one JSON line per event start "
                                      "and end on standard output, progress on standard error; SIGINT or SIGTERM "
                                      "end it.");
    const QCommandLineOption logCycles("log-cycles", "With --headless: also one JSON line per evaluation.");
    const QCommandLineOption mqtt("mqtt",
                                  "Publish each event's start and end to this MQTT broker, as JSON on "
                                  "video/<camera>/event and a retained ON or OFF on video/<camera>/motion.",
                                  "HOST[:PORT]");
    const QCommandLineOption discoveryPrefix(
        "mqtt-discovery-prefix",
        "With an MQTT broker, announce the camera to a home-automation hub under this discovery prefix "
        "(\"homeassistant\" unless the settings say otherwise): its motion, changed pixels and latest event's "
        "picture.",
        "PREFIX");
    const QCommandLineOption noDiscovery("no-mqtt-discovery",
                                         "Do not announce the camera to a home-automation hub; events are still "
                                         "published.");
    const QCommandLineOption desktopClipboard("desktop-clipboard",
                                              "Hand grabbed frames over through the desktop's clipboard, so that "
                                              "another program can feed them.");
    const QCommandLineOption config("config",
                                    "Read the settings from this file, and with the windows save them into it, "
                                    "instead of the default one; a missing file is made when they are saved.",
                                    "FILE");
    const QCommandLineOption http("http",
                                  "Serve the web page (the cameras' live pictures and the events) on this "
                                  "address and port; 127.0.0.1 unless an address is given. Any other address "
                                  "than this machine's own needs a password (--http-password-hash).",
                                  "[ADDRESS:]PORT");
    const QCommandLineOption httpCertificate("http-certificate",
                                             "Serve the web page over HTTPS with this PEM certificate (and "
                                             "--http-key).",
                                             "FILE");
    const QCommandLineOption httpKey("http-key", "The PEM private key of --http-certificate.", "FILE");
    const QCommandLineOption httpPasswordHash("http-password-hash",
                                              "Read the web page's password on standard input, print the line "
                                              "to put into the [http] group of the settings file, and exit.");
    parser.addOptions({help, version, listCameras, camera, rtspTransport, source, saveDir, threshold, minMovement,
                       period, detection, mask, autoStart, headless, logCycles, mqtt, discoveryPrefix, noDiscovery,
                       desktopClipboard, config, http, httpCertificate, httpKey, httpPasswordHash});

    // Qt's own arguments (-platform offscreen, -style fusion, ...) are left for QApplication,
    // which takes them out of the arguments it is given.
    for (const char* name : {"platform", "platformpluginpath", "platformtheme", "plugin", "display", "style",
                             "stylesheet", "qwindowgeometry", "geometry", "qwindowtitle", "title", "qwindowicon",
                             "session"}) {
        QCommandLineOption qtOption(name, {}, "value");
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }
    for (const char* name : {"reverse", "widgetcount", "nograb", "dograb", "sync"}) {
        QCommandLineOption qtOption(name);
        qtOption.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(qtOption);
    }

    if (!parser.parse(arguments))
        return badArguments(parser.errorText());
    if (parser.isSet(help)) {
        // The parser names the program after the application object, which may not exist
        // yet; the usage line names it after the arguments given.
        QString text = parser.helpText();
        const QString program = arguments.isEmpty() ? QStringLiteral("Video") : QFileInfo(arguments[0]).fileName();
        const qsizetype end = text.indexOf(QStringLiteral(" [options]"));
        if (text.startsWith(QStringLiteral("Usage: ")) && end > 0)
            text.replace(7, end - 7, program);
        return exitWith(0, text + usageTail, {});
    }
    if (parser.isSet(version))
        return exitWith(0, QStringLiteral("Video %1\n").arg(programVersion()), {});
    if (!parser.positionalArguments().isEmpty())
        return badArguments(QStringLiteral("Unexpected argument \"%1\".").arg(parser.positionalArguments().first()));
    for (const QString& name : parser.optionNames()) {
        if (name != "list-cameras" && name != "auto" && name != "headless" && name != "log-cycles" &&
            name != "desktop-clipboard" && name != "no-mqtt-discovery" && name != "camera" && name != "source" &&
            name != "http-password-hash" &&
            parser.values(name).size() > 1)
            return badArguments(QStringLiteral("--%1 is given more than once.").arg(name));
    }

    CommandLine result;
    Options& o = result.options;
    QString error;
    o.listCameras = parser.isSet(listCameras);
    o.autoStart = parser.isSet(autoStart);
    o.headless = parser.isSet(headless);
    o.logCycles = parser.isSet(logCycles);
    o.desktopClipboard = parser.isSet(desktopClipboard);

    for (const QString& value : parser.values(camera)) {
        if (value.trimmed().isEmpty())
            return badArguments(QStringLiteral("--camera: give a camera's name or index."));
        // The address is not repeated in the message: it may hold a password.
        std::string problem;
        if (platform::looksLikeNetworkAddress(value.trimmed().toStdString()) &&
            !platform::parseNetworkAddress(value.trimmed().toStdString(), problem))
            return badArguments(QStringLiteral("--camera: ") + QString::fromStdString(problem) + '.');
        o.cameras << value.trimmed();
    }
    if (parser.isSet(rtspTransport)) {
        o.rtspTransport = platform::parseRtspTransport(parser.value(rtspTransport).trimmed().toStdString());
        if (!o.rtspTransport)
            return badArguments(QStringLiteral("--rtsp-transport: \"%1\" is neither \"tcp\" nor \"udp\".")
                                    .arg(parser.value(rtspTransport)));
    }
    for (const QString& value : parser.values(source)) {
        if (value.trimmed().isEmpty())
            return badArguments(QStringLiteral("--source: give a GStreamer source description."));
        o.sources << value.trimmed();
    }
    if (!o.cameras.isEmpty())
        o.camera = o.cameras.front();
    if (!o.sources.isEmpty())
        o.source = o.sources.front();
    if (!o.headless && o.camera && o.source)
        return badArguments(QStringLiteral("--camera and --source each choose the source: give one of them."));
    if (!o.headless && o.cameras.size() + o.sources.size() > 1)
        return badArguments(QStringLiteral("--camera and --source choose one camera for the windows; several "
                                           "cameras are watched with --headless."));
    if (parser.isSet(saveDir)) {
        const QFileInfo folder(parser.value(saveDir));
        if (!folder.isDir())
            return badArguments(QStringLiteral("--save-dir: \"%1\" is not an existing folder.").arg(folder.filePath()));
        if (!folder.isWritable())
            return badArguments(QStringLiteral("--save-dir: \"%1\" is not writable.").arg(folder.filePath()));
        o.saveDir = folder.absoluteFilePath();
    }
    if (parser.isSet(threshold) && !(o.threshold = integerOption(parser, "threshold", 0, 255, error)))
        return badArguments(error);
    if (parser.isSet(minMovement) &&
        !(o.minMovement = integerOption(parser, "min-movement", std::numeric_limits<int>::min(),
                                        std::numeric_limits<int>::max(), error)))
        return badArguments(error);
    if (parser.isSet(period) &&
        !(o.period = integerOption(parser, "period", 1, std::numeric_limits<int>::max(), error)))
        return badArguments(error);
    if (parser.isSet(detection)) {
        const QString value = parser.value(detection).trimmed().toLower();
        if (value != "off" && value != "robust")
            return badArguments(
                QStringLiteral("--detection: \"%1\" is neither \"off\" nor \"robust\".").arg(parser.value(detection)));
        o.robustDetection = value == "robust";
    }
    if (parser.isSet(mask)) {
        const QFileInfo file(parser.value(mask));
        if (!file.isFile() || !file.isReadable())
            return badArguments(QStringLiteral("--mask: \"%1\" is not a readable file.").arg(file.filePath()));
        o.mask = file.absoluteFilePath();
    }
    if (parser.isSet(mqtt)) {
        o.mqtt = parseBrokerAddress(parser.value(mqtt).trimmed(), error);
        if (!o.mqtt)
            return badArguments(QStringLiteral("--mqtt: ") + error + '.');
    }
    if (parser.isSet(discoveryPrefix) && parser.isSet(noDiscovery))
        return badArguments(QStringLiteral("--mqtt-discovery-prefix and --no-mqtt-discovery contradict each other."));
    if (parser.isSet(discoveryPrefix)) {
        o.discoveryPrefix = parser.value(discoveryPrefix).trimmed();
        const QString problem = watch::discoveryPrefixProblem(*o.discoveryPrefix);
        if (o.discoveryPrefix->isEmpty() || !problem.isEmpty())
            return badArguments(QStringLiteral("--mqtt-discovery-prefix: %1.")
                                    .arg(problem.isEmpty() ? QStringLiteral("give a prefix, or --no-mqtt-discovery")
                                                           : problem));
    }
    if (parser.isSet(noDiscovery))
        o.discoveryPrefix = QString();
    if (parser.isSet(config)) {
        const QFileInfo file(parser.value(config));
        if (file.exists() ? !file.isFile() : !file.dir().exists())
            return badArguments(QStringLiteral("--config: \"%1\" is %2.")
                                    .arg(file.filePath(), file.exists() ? QStringLiteral("not a file")
                                                                        : QStringLiteral("in a folder that does not exist")));
        o.config = file.absoluteFilePath();
    }
    if (parser.isSet(http)) {
        std::string problem;
        if (!web::parseListen(parser.value(http).trimmed().toStdString(), problem))
            return badArguments(QStringLiteral("--http: ") + QString::fromStdString(problem) + '.');
        o.http = parser.value(http).trimmed();
    }
    for (const auto& [option, value] : {std::pair{&httpCertificate, &o.httpCertificate}, {&httpKey, &o.httpKey}}) {
        if (!parser.isSet(*option))
            continue;
        const QFileInfo file(parser.value(*option));
        if (!file.isFile() || !file.isReadable())
            return badArguments(QStringLiteral("--%1: \"%2\" is not a readable file.")
                                    .arg(option->names().first(), file.filePath()));
        *value = file.absoluteFilePath();
    }
    if (o.httpCertificate.has_value() != o.httpKey.has_value())
        return badArguments(QStringLiteral("--http-certificate and --http-key go together: give both."));
    o.httpPasswordHash = parser.isSet(httpPasswordHash);
    if (o.logCycles && !o.headless)
        return badArguments(QStringLiteral("--log-cycles needs --headless."));
    if (o.desktopClipboard && o.headless)
        return badArguments(QStringLiteral("--desktop-clipboard needs the windows; --headless has none."));
    return result;
}

} // namespace app
