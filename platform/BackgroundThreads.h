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

    // The process's own, which goes at its exit.
    static BackgroundThreads& shared();

    static constexpr std::chrono::seconds exitWait{5};

private:
    struct Entry {
        std::thread thread;
        bool done = false;
    };
    // Shared with the threads, so that one left running at exit still has it.
    struct State {
        std::mutex mutex;
        std::condition_variable ended;
        std::list<Entry> threads;
    };
    static void reap(State& state, std::unique_lock<std::mutex>& lock);

    std::shared_ptr<State> state_ = std::make_shared<State>();
};

} // namespace platform
