#include "GstErrors.h"

#include "Credentials.h"
#include "GstHandles.h"

namespace platform::gst {

namespace {

// Elements often leave the message generic ("Resource not found.", "Could not write to
// resource.") and name what failed only in the last line of the debug text: the file or
// the device, or the system's reason after a last ": ". The lines before it are the
// source location and the element's path, of no use to the user.
std::string detailOf(const std::string& debug)
{
    const std::size_t lineBreak = debug.find_last_of('\n');
    const std::string last = lineBreak == std::string::npos ? debug : debug.substr(lineBreak + 1);
    if (last.empty() || last.find("): ") != std::string::npos)
        return {};
    if (last.size() <= 160)
        return last;
    const std::size_t colon = last.rfind(": ");
    if (colon != std::string::npos && last.size() - colon < 80)
        return last.substr(colon + 2);
    return {};
}

} // namespace

std::string errorText(GstMessage* message)
{
    GError* raw = nullptr;
    gchar* rawDebug = nullptr;
    gst_message_parse_error(message, &raw, &rawDebug);
    const Error error(raw);
    const String debug(rawDebug);
    std::string text = error ? error->message : "Unknown error";
    if (debug) {
        const std::string detail = detailOf(debug.get());
        if (!detail.empty() && text.find(detail) == std::string::npos)
            text += " (" + detail + ")";
    }
    // A source's messages quote its address, which a description written by hand may
    // give with a password.
    return withoutPasswords(text);
}

} // namespace platform::gst
