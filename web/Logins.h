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

// Slows the guessing of passwords. Per client address (an IPv6 one by its /64, which one
// machine may hold whole): one try at a time, and after the n-th wrong password in a row
// the next only after 2^(n-1) seconds (at most 5 minutes). Across all addresses: at most
// two passwords hashed at once (each hashing takes megabytes), and no more than a burst of
// ten tries and then one a second, so that many addresses do not make many guesses. A
// try refused is refused at once, without hashing and without holding a server thread.
// Thread-safe.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds longest{300};
    static constexpr std::size_t mostAddresses = 10'000;
    static constexpr int mostChecking = 2;
    static constexpr double burst = 10;

    // Zero when the address's password may be checked now: the try has begun, and end()
    // must follow. Otherwise how long to wait before the next try.
    std::chrono::seconds begin(const std::string& address, Clock::time_point now = Clock::now());
    void end(const std::string& address, bool matched, Clock::time_point now = Clock::now());

    // The address as it is kept: an IPv6 address by its first 64 bits.
    static std::string keyOf(const std::string& address);

private:
    struct Record {
        int failures = 0;
        Clock::time_point allowed;
        bool checking = false;
    };
    std::mutex mutex_;
    std::map<std::string, Record> records_;
    int checking_ = 0;
    double tries_ = burst; // tries left in the burst
    Clock::time_point refilled_ = Clock::now();
};

} // namespace web
