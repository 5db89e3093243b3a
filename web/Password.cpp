#include "Password.h"

#include <cerrno>
#include <memory>
#include <string>
#include <stdexcept>
#include <vector>

#include <crypt.h>
#include <sys/random.h>

namespace web {

namespace {

void fillRandom(unsigned char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = ::getrandom(data, size, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error("no random numbers from the kernel");
        }
        data += got;
        size -= std::size_t(got);
    }
}

} // namespace

// crypt_data (some 32 KiB) lives on the heap: too much for a server thread's small stack.
std::string hashPassword(std::string_view password, std::string& error)
{
    if (password.empty()) {
        error = "the password is empty";
        return {};
    }
    if (password.size() >= CRYPT_MAX_PASSPHRASE_SIZE) {
        error = "the password is longer than " + std::to_string(CRYPT_MAX_PASSPHRASE_SIZE - 1) + " characters";
        return {};
    }
    if (password.find('\0') != std::string_view::npos) {
        error = "the password holds a NUL character";
        return {};
    }
    unsigned char entropy[32];
    fillRandom(entropy, sizeof entropy);
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (!crypt_gensalt_rn("$y$", 0, reinterpret_cast<const char*>(entropy), sizeof entropy, salt, sizeof salt)) {
        error = "the system's crypt library cannot make a yescrypt salt";
        return {};
    }
    auto data = std::make_unique<crypt_data>();
    const std::string text(password);
    const char* hash = crypt_rn(text.c_str(), salt, data.get(), sizeof *data);
    if (!hash || hash[0] == '*') {
        error = "the system's crypt library cannot hash with yescrypt";
        return {};
    }
    return hash;
}

bool passwordMatches(std::string_view password, const std::string& hash)
{
    if (!looksLikeHash(hash) || password.find('\0') != std::string_view::npos)
        return false;
    auto data = std::make_unique<crypt_data>();
    const std::string text(password);
    const char* computed = crypt_rn(text.c_str(), hash.c_str(), data.get(), sizeof *data);
    return computed && computed[0] != '*' && sameText(computed, hash);
}

bool looksLikeHash(const std::string& hash)
{
    return hash.starts_with("$y$") && hash.size() > 20 && hash.find_first_of(" \t\r\n:") == std::string::npos;
}

std::string randomToken(std::size_t bytes)
{
    std::vector<unsigned char> raw(bytes);
    fillRandom(raw.data(), raw.size());
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes * 2);
    for (const unsigned char b : raw) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

bool sameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

} // namespace web
