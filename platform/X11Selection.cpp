#include "X11Selection.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>

#include <poll.h>
#include <xcb/xcb.h>

namespace platform {

namespace {

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeReply>;

// The next event that `wanted` accepts; the others are dropped. Throws at the deadline
// or when the connection breaks.
Reply<xcb_generic_event_t> waitFor(xcb_connection_t* connection, X11Selection::Deadline deadline,
                                   const std::function<bool(const xcb_generic_event_t&)>& wanted)
{
    for (;;) {
        while (Reply<xcb_generic_event_t> event{xcb_poll_for_event(connection)})
            if (wanted(*event))
                return event;
        if (xcb_connection_has_error(connection))
            throw std::runtime_error("The connection to the display broke while reading the clipboard");
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            throw X11Selection::Timeout();
        pollfd socket{xcb_get_file_descriptor(connection), POLLIN, 0};
        poll(&socket, 1, static_cast<int>(left.count()));
    }
}

std::uint8_t kind(const xcb_generic_event_t& event)
{
    return event.response_type & 0x7F;
}

} // namespace

X11Selection::X11Selection()
{
    int screenNumber = 0;
    connection_ = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(connection_))
        return;
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection_));
    for (int i = 0; i < screenNumber && screens.rem; ++i)
        xcb_screen_next(&screens);
    if (!screens.rem)
        return;
    clipboard_ = atom("CLIPBOARD");
    targets_ = atom("TARGETS");
    incr_ = atom("INCR");
    property_ = atom("VIDEO_CLIPBOARD_FRAME");
    const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    const xcb_window_t window = xcb_generate_id(connection_);
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window, screens.data->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    xcb_flush(connection_);
    window_ = window;
}

X11Selection::~X11Selection()
{
    xcb_disconnect(connection_); // also destroys the window
}

std::uint32_t X11Selection::atom(const std::string& name)
{
    const Reply<xcb_intern_atom_reply_t> reply{xcb_intern_atom_reply(
        connection_, xcb_intern_atom(connection_, 0, static_cast<std::uint16_t>(name.size()), name.c_str()),
        nullptr)};
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::vector<std::string> X11Selection::targets(Deadline deadline)
{
    const Reply<xcb_get_selection_owner_reply_t> owner{
        xcb_get_selection_owner_reply(connection_, xcb_get_selection_owner(connection_, clipboard_), nullptr)};
    if (!owner || owner->owner == XCB_NONE)
        return {};
    const std::optional<QByteArray> list = convert(targets_, deadline, 64 * 1024);
    std::vector<std::string> names;
    if (!list)
        return names;
    std::vector<xcb_get_atom_name_cookie_t> cookies;
    for (qsizetype i = 0; i + 4 <= list->size(); i += 4) {
        std::uint32_t atom = 0;
        std::memcpy(&atom, list->constData() + i, 4);
        cookies.push_back(xcb_get_atom_name(connection_, atom));
    }
    for (const xcb_get_atom_name_cookie_t cookie : cookies) {
        const Reply<xcb_get_atom_name_reply_t> reply{xcb_get_atom_name_reply(connection_, cookie, nullptr)};
        if (reply)
            names.emplace_back(xcb_get_atom_name_name(reply.get()), xcb_get_atom_name_name_length(reply.get()));
    }
    return names;
}

std::optional<QByteArray> X11Selection::read(const std::string& type, Deadline deadline, std::size_t limit)
{
    return convert(atom(type), deadline, limit);
}

std::optional<QByteArray> X11Selection::convert(std::uint32_t target, Deadline deadline, std::size_t limit)
{
    xcb_delete_property(connection_, window_, property_);
    xcb_convert_selection(connection_, window_, clipboard_, target, property_, XCB_CURRENT_TIME);
    xcb_flush(connection_);
    const Reply<xcb_generic_event_t> notified = waitFor(connection_, deadline, [this](const xcb_generic_event_t& e) {
        return kind(e) == XCB_SELECTION_NOTIFY &&
               reinterpret_cast<const xcb_selection_notify_event_t&>(e).requestor == window_;
    });
    if (reinterpret_cast<const xcb_selection_notify_event_t*>(notified.get())->property == XCB_NONE)
        return std::nullopt;

    // Reads and deletes the property; deleting it asks an incremental sender for more.
    const auto units = static_cast<std::uint32_t>(limit / 4 + 1);
    auto take = [&] {
        Reply<xcb_get_property_reply_t> reply{xcb_get_property_reply(
            connection_,
            xcb_get_property(connection_, 1, window_, property_, XCB_GET_PROPERTY_TYPE_ANY, 0, units), nullptr)};
        if (!reply)
            throw std::runtime_error("The clipboard's data could not be read");
        if (reply->bytes_after > 0)
            throw std::length_error("clipboard data too large");
        return reply;
    };
    const Reply<xcb_get_property_reply_t> first = take();
    auto bytesOf = [](const xcb_get_property_reply_t* reply) {
        return QByteArray(static_cast<const char*>(xcb_get_property_value(reply)),
                          xcb_get_property_value_length(reply));
    };
    if (first->type != incr_)
        return bytesOf(first.get());
    xcb_flush(connection_);
    QByteArray bytes;
    for (;;) {
        waitFor(connection_, deadline, [this](const xcb_generic_event_t& e) {
            const auto& change = reinterpret_cast<const xcb_property_notify_event_t&>(e);
            return kind(e) == XCB_PROPERTY_NOTIFY && change.window == window_ && change.atom == property_ &&
                   change.state == XCB_PROPERTY_NEW_VALUE;
        });
        const Reply<xcb_get_property_reply_t> chunk = take();
        xcb_flush(connection_);
        if (xcb_get_property_value_length(chunk.get()) == 0)
            return bytes;
        bytes += bytesOf(chunk.get());
        if (std::size_t(bytes.size()) > limit)
            throw std::length_error("clipboard data too large");
    }
}

} // namespace platform
