// MonitorRoutes: the monitor's answers, as the bytes that go on the wire.
// A table names what is served at each path (the query is not looked at):
// its content type, headers of its own, and the function that makes the
// body when it is asked for. Every answer, refusals included, says
// Cache-Control: no-store (figures of the moment: a cached copy would be a
// wrong one) and X-Content-Type-Options: nosniff. A refusal closes the
// connection; a 405 says Allow.
//
// Pure: the bodies are whatever the table's functions make.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gateway/MonitorRequest.h"

namespace zel {

struct MonitorRoute {
    std::string Path;
    std::string ContentType;
    std::function<std::string()> Body;
    std::vector<std::pair<std::string, std::string>> Headers = {};
};

using MonitorRouteTable = std::vector<MonitorRoute>;

// The answer to a head: the route's, or 404. Whether the connection is kept
// follows the request.
std::string MonitorAnswer(const MonitorRouteTable& routes, const RequestHead& head);

// The answer that refuses a request, its reason as the body.
std::string MonitorRefusal(const RequestRefusal& refusal);

}  // namespace zel
