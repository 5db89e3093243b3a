#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <sys/resource.h>

// The processor time the whole process has used, all threads, user and system.
inline double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The share of one core the process used while the event loop ran for `seconds`.
inline double coreShare(double seconds)
{
    const double before = cpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(static_cast<int>(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    return (cpuSeconds() - before) / (static_cast<double>(wall.nsecsElapsed()) / 1e9);
}
