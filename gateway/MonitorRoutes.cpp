#include "gateway/MonitorRoutes.h"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include "server/HttpResponseBytes.h"

namespace zel {
namespace {

namespace http = boost::beast::http;
using Response = http::response<http::string_body>;

constexpr const char* ALLOWED = "GET, HEAD";

Response Started(int status, unsigned version, bool keepAlive) {
    Response response(static_cast<http::status>(status), version);
    response.set(http::field::cache_control, "no-store");
    response.set("X-Content-Type-Options", "nosniff");
    response.keep_alive(keepAlive);
    return response;
}

// The answer's bytes; only its head for a HEAD request.
std::string Serialized(Response& response, bool headOnly) {
    response.prepare_payload();
    return HttpResponseBytes(response, headOnly);
}

std::string_view PathOf(std::string_view target) {
    return target.substr(0, target.find('?'));
}

}  // namespace

std::string MonitorAnswer(const MonitorRouteTable& routes, const RequestHead& head) {
    const std::string_view path = PathOf(head.Target);
    for (const MonitorRoute& route : routes) {
        if (route.Path == path) {
            Response response = Started(200, head.Version, head.KeepAlive);
            response.set(http::field::content_type, route.ContentType);
            for (const auto& [name, value] : route.Headers) {
                response.set(name, value);
            }
            response.body() = route.Body();
            return Serialized(response, head.HeadOnly);
        }
    }
    Response response = Started(404, head.Version, head.KeepAlive);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = "nothing is served at this path\n";
    return Serialized(response, head.HeadOnly);
}

std::string MonitorRefusal(const RequestRefusal& refusal) {
    Response response = Started(refusal.Status, 11, false);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    if (refusal.Status == 405) {
        response.set(http::field::allow, ALLOWED);
    }
    response.body() = refusal.Reason + "\n";
    return Serialized(response, false);
}

}  // namespace zel
