#pragma once

#include <optional>

#include <QString>
#include <QStringList>

#include "Broker.h"
#include "NetworkAddress.h"

namespace app {

using watch::BrokerAddress;
using watch::parseBrokerAddress;

// What the user asked for on the command line. An option not given is empty, so the
// remembered settings stand for it.
struct Options {
    bool listCameras = false;
    std::optional<QString> camera; // a driver's name, its index 0 to 9, or a network camera's address
    std::optional<platform::RtspTransport> rtspTransport;
    std::optional<QString> source; // a GStreamer source description
    // Every --camera and --source given, in the order of each option (`camera` and `source`
    // are the first): with --headless, more than one watches several cameras at once.
    QStringList cameras;
    QStringList sources;
    std::optional<QString> saveDir;
    std::optional<int> threshold;
    std::optional<int> minMovement;
    std::optional<int> period;
    std::optional<bool> robustDetection;
    std::optional<QString> mask;
    bool autoStart = false;
    bool headless = false;
    bool logCycles = false;
    std::optional<BrokerAddress> mqtt;
    std::optional<QString> discoveryPrefix; // empty: the camera is not announced
    bool desktopClipboard = false;
    // The settings file to read and write instead of the default one; absolute.
    std::optional<QString> config;
    std::optional<QString> http; // [ADDRESS:]PORT the web page listens on
    std::optional<QString> httpCertificate; // PEM files for HTTPS; absolute
    std::optional<QString> httpKey;
    // Read a password on standard input, print the settings line with its hash, and exit.
    bool httpPasswordHash = false;
};

// The outcome of reading the arguments: run with `options`, or end at once with
// `exitCode` after printing `output` on standard output and `error` on standard error.
struct CommandLine {
    enum class Action { Run, Exit };
    Action action = Action::Run;
    int exitCode = 0;
    QString output;
    QString error;
    Options options;
};

// Exit status for arguments the program cannot use.
constexpr int badArgumentsExit = 2;

// Reads the program's arguments (`arguments[0]` is the program) into options, or into
// the help, the version, or a message naming the bad value.
CommandLine parseCommandLine(const QStringList& arguments);

// The program's version, as --version prints it.
QString programVersion();

} // namespace app
