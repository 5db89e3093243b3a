// Runs GoogleTest inside a QApplication, so that widgets, timers and the clipboard work,
// with a configuration folder of the run's own, so that no setting, credential or file
// of the user's is read or written and nothing leaks from one run to the next.

#include <cstdlib>

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QTemporaryDir config;
    if (config.isValid())
        ::setenv("XDG_CONFIG_HOME", config.path().toLocal8Bit().constData(), 1);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
