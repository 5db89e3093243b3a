#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <microhttpd.h>

class QJsonObject;

namespace web {

class CameraSlot;
class WebServer;

// One request to the web server: its connection, what it asks and the body it sent, and
// the answer to it by the routes of the page and its API. Lives from the request's first
// line to its completion, on the connection's thread.
class Request {
public:
    Request(WebServer& server, MHD_Connection* connection) : server_(server), connection_(connection) { }

    std::string body;
    bool bodyTooLarge = false;

    // Queues the answer; MHD_NO closes the connection.
    MHD_Result answer(const std::string& method, const std::string& url);

private:
    std::string header(const char* name, MHD_ValueKind kind = MHD_HEADER_KIND) const
    {
        const char* value = MHD_lookup_connection_value(connection_, kind, name);
        return value ? value : "";
    }
    std::string clientAddress() const;
    // The CSRF token of this request's session; none when it is not signed in.
    std::optional<std::string> csrf();
    bool authenticated();
    bool csrfHolds();

    MHD_Result send(unsigned status, MHD_Response* response, bool api);
    MHD_Result bytes(unsigned status, const std::string& type, const std::string& data, bool api = true);
    MHD_Result json(unsigned status, const QJsonObject& object);
    MHD_Result error(unsigned status, const std::string& message);
    MHD_Result redirect(const std::string& where);
    MHD_Result page(const std::string& file);
    MHD_Result file(const std::string& root, const std::string& path, const std::string& type);

    MHD_Result api(const std::string& method, const std::vector<std::string>& parts);
    MHD_Result session();
    MHD_Result login();
    MHD_Result cameraList();
    MHD_Result snapshot(const std::shared_ptr<CameraSlot>& camera);
    MHD_Result live(const std::shared_ptr<CameraSlot>& camera);
    MHD_Result eventList();
    MHD_Result event(const std::string& method, const std::vector<std::string>& parts);

    WebServer& server_;
    MHD_Connection* connection_;
};

} // namespace web
