// The monitor's request path as a connection drives it: bytes in pieces of
// any size, every head taken as soon as it is complete and answered from a
// route table, until a refusal closes the connection. Whatever the bytes,
// an unfinished head is never held past its limit, a refusal is one of the
// statuses the monitor answers with, and every answer is one whole HTTP
// response by Beast's own reading of it.
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <variant>

#include "FuzzInput.h"
#include "gateway/MonitorRoutes.h"

namespace {

namespace http = boost::beast::http;
using zel::fuzz::Check;

void CheckWhole(const std::string& answer, bool headOnly) {
    http::response_parser<http::string_body> parser;
    parser.skip(headOnly);
    parser.eager(true);
    boost::beast::error_code error;
    const std::size_t used = parser.put(boost::asio::buffer(answer), error);
    Check(!error && parser.is_done() && used == answer.size(), "one whole response");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const zel::MonitorRouteTable routes = {
        {"/", "text/html", [] { return std::string("page"); }, {{"X-Own", "1"}}},
        {"/status", "application/json", [] { return std::string(); }},
    };
    zel::fuzz::FuzzInput input(data, size);
    const std::size_t piece = input.Take<std::uint16_t>() % 1024 + 1;
    const std::string bytes = input.Rest();
    std::string_view rest(bytes);
    zel::MonitorRequest request;
    while (!rest.empty()) {
        request.Add(rest.substr(0, piece));
        rest.remove_prefix(std::min(piece, rest.size()));
        for (;;) {
            const zel::RequestOutcome outcome = request.Take();
            if (std::holds_alternative<zel::MoreBytes>(outcome)) {
                Check(request.Held() <= zel::kMaxHeadBytes, "an unfinished head within its limit");
                break;
            }
            if (const auto* refusal = std::get_if<zel::RequestRefusal>(&outcome)) {
                const int s = refusal->Status;
                Check(s == 400 || s == 405 || s == 411 || s == 413 || s == 431, "refusal status");
                CheckWhole(zel::MonitorRefusal(*refusal), false);
                return 0;
            }
            const auto& head = std::get<zel::RequestHead>(outcome);
            Check(head.Version == 10 || head.Version == 11, "HTTP/1.x");
            CheckWhole(zel::MonitorAnswer(routes, head), head.HeadOnly);
        }
    }
    return 0;
}
