#include "BackgroundThreads.h"

#include <vector>

namespace platform {

BackgroundThreads::~BackgroundThreads()
{
    std::unique_lock lock(mutex_);
    ended_.wait_for(lock, exitWait, [this] {
        for (const Entry& entry : threads_)
            if (!entry.done)
                return false;
        return true;
    });
    reap(lock);
    // The last resort, and only as the process ends: a thread still stuck in the kernel
    // (a read of a dead network mount) would otherwise keep the program from ending at
    // all. The process takes it with it.
    for (Entry& entry : threads_)
        entry.thread.detach();
}

void BackgroundThreads::run(std::function<void()> job)
{
    std::unique_lock lock(mutex_);
    reap(lock);
    auto entry = threads_.emplace(threads_.end());
    entry->thread = std::thread([this, entry, job = std::move(job)]() mutable {
        job();
        job = nullptr; // what it holds goes before the thread counts as ended
        std::lock_guard ended(mutex_);
        entry->done = true;
        ended_.notify_all();
    });
}

std::size_t BackgroundThreads::count()
{
    std::unique_lock lock(mutex_);
    reap(lock);
    return threads_.size();
}

void BackgroundThreads::reap(std::unique_lock<std::mutex>& lock)
{
    std::vector<std::thread> finished;
    for (auto it = threads_.begin(); it != threads_.end();)
        if (it->done) {
            finished.push_back(std::move(it->thread));
            it = threads_.erase(it);
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
