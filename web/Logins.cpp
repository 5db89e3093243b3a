#include "Logins.h"

#include <algorithm>
#include <cstdint>

#include <arpa/inet.h>

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

std::string LoginThrottle::keyOf(const std::string& address)
{
    in6_addr v6{};
    if (address.find(':') == std::string::npos || inet_pton(AF_INET6, address.c_str(), &v6) != 1)
        return address;
    std::fill(v6.s6_addr + 8, v6.s6_addr + 16, 0);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &v6, text, sizeof text);
    return std::string(text) + "/64";
}

std::chrono::seconds LoginThrottle::begin(const std::string& address, Clock::time_point now)
{
    const std::lock_guard lock(mutex_);
    const std::string key = keyOf(address);
    tries_ = std::min(burst, tries_ + std::chrono::duration<double>(now - refilled_).count());
    refilled_ = now;
    const auto found = records_.find(key);
    if (found != records_.end() && found->second.allowed > now)
        // Rounded up: a client that waits as told is let in.
        return std::chrono::ceil<std::chrono::seconds>(found->second.allowed - now);
    if ((found != records_.end() && found->second.checking) || checking_ >= mostChecking || tries_ < 1)
        return std::chrono::seconds(1);
    if (found == records_.end() && records_.size() >= mostAddresses) {
        std::erase_if(records_, [&](const auto& r) { return !r.second.checking && r.second.allowed + longest < now; });
        if (records_.size() >= mostAddresses)
            return std::chrono::seconds(1);
    }
    records_[key].checking = true;
    ++checking_;
    tries_ -= 1;
    return std::chrono::seconds(0);
}

void LoginThrottle::end(const std::string& address, bool matched, Clock::time_point now)
{
    const std::lock_guard lock(mutex_);
    const auto found = records_.find(keyOf(address));
    if (found == records_.end())
        return;
    --checking_;
    if (matched) {
        records_.erase(found);
        return;
    }
    Record& r = found->second;
    r.checking = false;
    r.failures = std::min(r.failures + 1, 20);
    r.allowed =
        now + std::min<std::chrono::seconds>(std::chrono::seconds(std::int64_t(1) << (r.failures - 1)), longest);
}

} // namespace web
