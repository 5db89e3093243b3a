#include "Credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

struct Entry {
    std::string hostPort;
    Credential credential;
};

std::mutex runMutex;
std::vector<Entry>& runEntries()
{
    static std::vector<Entry> entries;
    return entries;
}

const Entry* lookUp(const std::vector<Entry>& entries, const std::string& hostPort, const std::string& user)
{
    for (const Entry& entry : entries)
        if (entry.hostPort == hostPort && (user.empty() || entry.credential.user == user))
            return &entry;
    return nullptr;
}

std::string trimmed(std::string_view s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    return std::string(s.substr(first, s.find_last_not_of(" \t\r") - first + 1));
}

struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// The file's entries; a missing file has none. False with `error` when it must not be used.
bool readFile(const std::string& path, std::vector<Entry>& entries, std::string& error)
{
    Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
    if (file.fd < 0) {
        if (errno == ENOENT)
            return true;
        error = "The credential file " + path + " cannot be read: " + std::strerror(errno);
        return false;
    }
    struct stat status = {};
    if (::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        error = "The credential file " + path + " is not a regular file";
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        error = "The credential file " + path + " belongs to another user; it is not used";
        return false;
    }
    if ((status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(status.st_mode & 07777));
        error = "The credential file " + path + " can be read by others (mode " + mode +
                "); it is not used until only you can read it: chmod 600 " + path;
        return false;
    }
    std::string text;
    char chunk[4096];
    for (ssize_t n; (n = ::read(file.fd, chunk, sizeof chunk)) != 0;) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = "The credential file " + path + " cannot be read: " + std::strerror(errno);
            return false;
        }
        text.append(chunk, std::size_t(n));
        if (text.size() > (1u << 20)) {
            error = "The credential file " + path + " is larger than 1 MB: it holds no credentials";
            return false;
        }
    }
    int number = 0;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string line = trimmed(std::string_view(text).substr(start, end - start));
        start = end + 1;
        ++number;
        if (line.empty() || line.starts_with('#'))
            continue;
        const auto hostEnd = line.find_first_of(" \t");
        const auto userStart = hostEnd == std::string::npos ? hostEnd : line.find_first_not_of(" \t", hostEnd);
        const auto userEnd = userStart == std::string::npos ? userStart : line.find_first_of(" \t", userStart);
        const auto passwordStart = userEnd == std::string::npos ? userEnd : line.find_first_not_of(" \t", userEnd);
        if (passwordStart == std::string::npos) {
            // The line is not quoted: it may hold a password with its separator mistyped.
            error = "The credential file " + path + " has a line that is not \"HOST[:PORT] USER PASSWORD\" (line " +
                    std::to_string(number) + ")";
            return false;
        }
        entries.push_back({line.substr(0, hostEnd),
                           {line.substr(userStart, userEnd - userStart), line.substr(passwordStart)}});
    }
    return true;
}

bool writeAll(int fd, const std::string& text)
{
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

std::string credentialFilePath()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config == '/')
        return std::string(config) + "/Video/credentials";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config/Video/credentials";
}

void rememberForRun(const std::string& hostPort, const Credential& credential)
{
    std::lock_guard lock(runMutex);
    std::vector<Entry>& entries = runEntries();
    std::erase_if(entries,
                  [&](const Entry& e) { return e.hostPort == hostPort && e.credential.user == credential.user; });
    entries.insert(entries.begin(), {hostPort, credential});
}

bool findCredential(const std::string& hostPort, const std::string& user, std::optional<Credential>& found,
                    std::string& error)
{
    found.reset();
    {
        std::lock_guard lock(runMutex);
        if (const Entry* entry = lookUp(runEntries(), hostPort, user)) {
            found = entry->credential;
            return true;
        }
    }
    std::vector<Entry> entries;
    if (!readFile(credentialFilePath(), entries, error))
        return false;
    if (const Entry* entry = lookUp(entries, hostPort, user))
        found = entry->credential;
    return true;
}

bool storeCredential(const std::string& hostPort, const Credential& credential, std::string& error)
{
    if (hostPort.empty() || credential.user.empty() ||
        (hostPort + credential.user).find_first_of(" \t\r\n") != std::string::npos ||
        credential.password.find_first_of("\r\n") != std::string::npos || credential.password.empty() ||
        credential.password.front() == ' ' || credential.password.back() == ' ') {
        error = "The credential file takes a host and a user without spaces and a password without line breaks "
                "or spaces at its ends";
        return false;
    }
    const std::string path = credentialFilePath();
    std::vector<Entry> entries;
    if (!readFile(path, entries, error))
        return false;
    std::erase_if(entries,
                  [&](const Entry& e) { return e.hostPort == hostPort && e.credential.user == credential.user; });
    entries.push_back({hostPort, credential});

    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string parent = folder.substr(0, folder.rfind('/'));
    ::mkdir(parent.c_str(), 0700);
    ::mkdir(folder.c_str(), 0700);
    std::string text = "# Network cameras' passwords: HOST[:PORT] USER PASSWORD. Keep this file private (mode 0600).\n";
    for (const Entry& e : entries)
        text += e.hostPort + ' ' + e.credential.user + ' ' + e.credential.password + '\n';
    std::string temporary = path + ".XXXXXX";
    Descriptor file{::mkstemp(temporary.data())}; // made with mode 0600
    if (file.fd < 0) {
        error = "The credential file " + path + " cannot be written: " + std::strerror(errno);
        return false;
    }
    const bool written = writeAll(file.fd, text) && ::fsync(file.fd) == 0;
    const int writeErrno = errno;
    if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "The credential file " + path + " cannot be written: " + std::strerror(written ? errno : writeErrno);
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

std::string withoutPasswords(std::string_view text)
{
    std::string s;
    for (std::size_t at = 0;;) {
        const std::size_t scheme = text.find("://", at);
        if (scheme == std::string_view::npos) {
            s += text.substr(at);
            return s;
        }
        const std::size_t authority = scheme + 3;
        s += text.substr(at, authority - at);
        // The user and password end at the last '@' before the path.
        const std::size_t end = std::min(text.find_first_of("/?# \t\r\n\"'<>", authority), text.size());
        const std::size_t userEnd = text.substr(authority, end - authority).rfind('@');
        at = authority;
        if (userEnd == std::string_view::npos)
            continue;
        const std::string_view userInfo = text.substr(authority, userEnd);
        s += userInfo.substr(0, userInfo.find(':'));
        at = authority + userEnd;
    }
}

} // namespace platform
