#pragma once

#include <cstdio>
#include <string>

#include <QDir>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A FIFO in the temporary folder that nobody writes to: a source reading it waits for
// pictures that never come. When the FIFO goes, a reader still waiting gets an empty
// stream and ends.
struct SilentFifo {
    SilentFifo() : path((QDir::tempPath() + "/fifo-" + QString::number(getpid())).toStdString())
    {
        std::remove(path.c_str());
        made = mkfifo(path.c_str(), 0600) == 0;
    }
    ~SilentFifo()
    {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            close(fd);
        std::remove(path.c_str());
    }
    SilentFifo(const SilentFifo&) = delete;
    SilentFifo& operator=(const SilentFifo&) = delete;

    // A capture source description that reads it.
    std::string source() const { return "Silent|filesrc location=" + path + " ! decodebin"; }

    std::string path;
    bool made = false;
};
