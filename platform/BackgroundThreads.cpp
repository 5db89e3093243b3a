#include "BackgroundThreads.h"

#include <vector>

namespace platform {

BackgroundThreads::~BackgroundThreads()
{
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    state.ended.wait_for(lock, exitWait, [&state] {
        for (const Entry& entry : state.threads)
            if (!entry.done)
                return false;
        return true;
    });
    reap(state, lock);
    // The last resort, and only as the process ends: a thread still stuck in the kernel
    // (a read of a dead network mount) would otherwise keep the program from ending at
    // all. The process takes it with it.
    for (Entry& entry : state.threads)
        entry.thread.detach();
}

void BackgroundThreads::run(std::function<void()> job)
{
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    reap(state, lock);
    auto entry = state.threads.emplace(state.threads.end());
    entry->thread = std::thread([shared = state_, entry, job = std::move(job)]() mutable {
        job();
        job = nullptr; // what it holds goes before the thread counts as ended
        std::lock_guard ended(shared->mutex);
        entry->done = true;
        shared->ended.notify_all();
    });
}

void BackgroundThreads::reap(State& state, std::unique_lock<std::mutex>& lock)
{
    std::vector<std::thread> finished;
    for (auto it = state.threads.begin(); it != state.threads.end();)
        if (it->done) {
            finished.push_back(std::move(it->thread));
            it = state.threads.erase(it);
        } else {
            ++it;
        }
    // A finished thread may still be leaving the lock it last took.
    lock.unlock();
    for (std::thread& thread : finished)
        thread.join();
    lock.lock();
}

BackgroundThreads& BackgroundThreads::shared()
{
    static BackgroundThreads threads;
    return threads;
}

} // namespace platform
