#include "Logins.h"

#include <algorithm>
#include <cstdint>

#include "Password.h"

namespace web {

std::string Logins::open(std::string& csrf)
{
    const std::lock_guard lock(mutex_);
    const Clock::time_point now = Clock::now();
    std::erase_if(sessions_, [&](const auto& s) { return now - s.second.opened > lifetime; });
    if (sessions_.size() >= mostSessions)
        sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(), [](const auto& a, const auto& b) {
            return a.second.opened < b.second.opened;
        }));
    std::string id = randomToken();
    csrf = randomToken();
    sessions_[id] = {csrf, now};
    return id;
}

std::optional<std::string> Logins::csrfOf(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    const auto found = sessions_.find(id);
    if (found == sessions_.end())
        return std::nullopt;
    if (Clock::now() - found->second.opened > lifetime) {
        sessions_.erase(found);
        return std::nullopt;
    }
    return found->second.csrf;
}

void Logins::close(const std::string& id)
{
    const std::lock_guard lock(mutex_);
    sessions_.erase(id);
}

std::chrono::seconds LoginThrottle::wait(const std::string& address, Clock::time_point now)
{
    const std::lock_guard lock(mutex_);
    const auto found = records_.find(address);
    if (found == records_.end() || found->second.allowed <= now)
        return std::chrono::seconds(0);
    // Rounded up: a client that waits as told is let in.
    return std::chrono::ceil<std::chrono::seconds>(found->second.allowed - now);
}

void LoginThrottle::failed(const std::string& address, Clock::time_point now)
{
    const std::lock_guard lock(mutex_);
    if (records_.size() >= mostAddresses && !records_.contains(address))
        std::erase_if(records_, [&](const auto& r) { return r.second.allowed + longest < now; });
    if (records_.size() >= mostAddresses && !records_.contains(address))
        records_.erase(records_.begin());
    Record& r = records_[address];
    r.failures = std::min(r.failures + 1, 20);
    r.allowed =
        now + std::min<std::chrono::seconds>(std::chrono::seconds(std::int64_t(1) << (r.failures - 1)), longest);
}

void LoginThrottle::succeeded(const std::string& address)
{
    const std::lock_guard lock(mutex_);
    records_.erase(address);
}

} // namespace web
