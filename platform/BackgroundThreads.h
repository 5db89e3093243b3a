#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

// The threads of work that may block for as long as a source wants: opening a source
// (a FIFO nobody writes to never opens) and ending a pipeline (a source stuck in a read
// of a stale network mount never stops). Each job gets a thread of its own, so no job
// waits behind a stuck one, and every thread is joined here: those that ended whenever a
// new one starts, the rest when the owner goes.
class BackgroundThreads {
public:
    BackgroundThreads() = default;
    // Joins every thread that ends within `exitWait`.
    ~BackgroundThreads();
    BackgroundThreads(const BackgroundThreads&) = delete;
    BackgroundThreads& operator=(const BackgroundThreads&) = delete;

    void run(std::function<void()> job);
    // Threads not joined yet.
    std::size_t count();

    // The process's own, which goes at its exit.
    static BackgroundThreads& shared();

    static constexpr std::chrono::seconds exitWait{5};

private:
    struct Entry {
        std::thread thread;
        bool done = false;
    };
    void reap(std::unique_lock<std::mutex>& lock);

    std::mutex mutex_;
    std::condition_variable ended_;
    std::list<Entry> threads_;
};

} // namespace platform
