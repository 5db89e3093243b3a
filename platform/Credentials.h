#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The passwords of network cameras, kept apart from their addresses so that no address
// the program shows, logs, publishes or remembers holds one. A password comes from the
// run (an address given with it on the command line or in the Network Camera dialog,
// kept in memory) or from the credential file, one camera a line:
//     HOST[:PORT] USER PASSWORD
// (the password is the rest of the line; '#' starts a comment line). The file must be
// the user's own and readable by nobody else: any other is refused.
struct Credential {
    std::string user;
    std::string password;
};

// <XDG_CONFIG_HOME, else ~/.config>/Video/credentials.
std::string credentialFilePath();

// Keeps `credential` for `hostPort` ("host" or "host:port") until the program ends.
void rememberForRun(const std::string& hostPort, const Credential& credential);

// The credential for `hostPort` and `user` (empty: the first one kept for the host), the
// run's before the file's; empty when there is none. False, with `error` saying why and
// how to mend it, when the file cannot be used (readable by others, not the user's,
// unreadable, a line that is no entry).
bool findCredential(const std::string& hostPort, const std::string& user, std::optional<Credential>& found,
                    std::string& error);

// Puts `credential` for `hostPort` into the credential file in place of the one for the
// same host and user, making the file (mode 0600) and its folder when missing. The file
// is written whole under another name and renamed, so no reader sees half of it.
bool storeCredential(const std::string& hostPort, const Credential& credential, std::string& error);

// `text` with the password of every address in it taken out ("rtsp://user:pw@host" ->
// "rtsp://user@host"): for texts that come from elsewhere (GStreamer's errors, a source
// description written by hand) before they are shown or logged.
std::string withoutPasswords(std::string_view text);

} // namespace platform
