#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace web {

// The password's hash as the settings keep it: yescrypt ("$y$..."), the hash the system's
// own logins use, through libxcrypt. It is deliberately slow and memory-hard, so a copied
// settings file is costly to guess from; the salt comes from the kernel's random source.
// Empty, with `error`, when no hash can be made.
std::string hashPassword(std::string_view password, std::string& error);

// Whether `password` hashes to `hash`, compared in constant time; false for a malformed hash.
bool passwordMatches(std::string_view password, const std::string& hash);

// Whether `hash` is one hashPassword could have made (a settings value worth using).
bool looksLikeHash(const std::string& hash);

// `bytes` random bytes from getrandom, as lowercase hex.
std::string randomToken(std::size_t bytes = 32);

// Compares in time that depends only on the lengths, so a guess learns nothing from how
// long the answer took.
bool sameText(std::string_view a, std::string_view b);

} // namespace web
