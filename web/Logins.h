#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace web {

// The signed-in browsers: a random session id (the cookie) for each, with the CSRF token
// its changes must carry. Thread-safe. Kept in memory only: a restart signs everyone out.
class Logins {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t mostSessions = 1000;
    static constexpr std::chrono::hours lifetime{24 * 7};

    // A new session; returns its id and sets `csrf`. The oldest session goes beyond the most.
    std::string open(std::string& csrf);
    // The CSRF token of a live session; none when the id is unknown or expired.
    std::optional<std::string> csrfOf(const std::string& id);
    void close(const std::string& id);

private:
    struct Entry {
        std::string csrf;
        Clock::time_point opened;
    };
    std::mutex mutex_;
    std::map<std::string, Entry> sessions_;
};

// Slows the guessing of passwords per client address: after the n-th wrong password in a
// row the address may try again only after 2^(n-1) seconds (at most 5 minutes); tries
// before are refused at once, without hashing and without holding a server thread.
// Thread-safe.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds longest{300};
    static constexpr std::size_t mostAddresses = 10'000;

    // How long the address must still wait; zero when it may try now.
    std::chrono::seconds wait(const std::string& address, Clock::time_point now = Clock::now());
    void failed(const std::string& address, Clock::time_point now = Clock::now());
    void succeeded(const std::string& address);

private:
    struct Record {
        int failures = 0;
        Clock::time_point allowed;
    };
    std::mutex mutex_;
    std::map<std::string, Record> records_;
};

} // namespace web
