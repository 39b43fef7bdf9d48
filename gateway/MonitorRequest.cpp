#include "gateway/MonitorRequest.h"

#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

#include <limits>

namespace zel {

namespace http = boost::beast::http;

struct MonitorRequest::Parser {
    http::request_parser<http::empty_body> Beast;

    Parser() {
        Beast.header_limit(static_cast<std::uint32_t>(kMaxHeadBytes));
        // The body is refused on the head, by its announced size: Beast is
        // never to refuse a length before the head is complete.
        Beast.body_limit(std::numeric_limits<std::uint64_t>::max());
    }
};

MonitorRequest::MonitorRequest() = default;
MonitorRequest::~MonitorRequest() = default;
MonitorRequest::MonitorRequest(MonitorRequest&&) noexcept = default;
MonitorRequest& MonitorRequest::operator=(MonitorRequest&&) noexcept = default;

void MonitorRequest::Add(std::string_view bytes) {
    pending_.append(bytes);
}

RequestOutcome MonitorRequest::Take() {
    if (pending_.empty()) {
        return MoreBytes{};
    }
    if (!parser_) {
        parser_ = std::make_unique<Parser>();
    }
    http::request_parser<http::empty_body>& beast = parser_->Beast;
    boost::beast::error_code error;
    const std::size_t used = beast.put(boost::asio::buffer(pending_), error);
    pending_.erase(0, used);
    taken_ += used;
    if (error == http::error::need_more && taken_ + pending_.size() <= kMaxHeadBytes) {
        return MoreBytes{};
    }
    if (error == http::error::need_more || error == http::error::header_limit) {
        return RequestRefusal{431, "the request line and headers are over " +
                                       std::to_string(kMaxHeadBytes) + " bytes"};
    }
    if (error) {
        return RequestRefusal{400, "not an HTTP/1.x request (" + error.message() + ")"};
    }
    const auto& message = beast.get();
    if (message.method() != http::verb::get && message.method() != http::verb::head) {
        return RequestRefusal{405, "only GET and HEAD are answered here"};
    }
    if (beast.chunked()) {
        return RequestRefusal{411, "no request body is taken here"};
    }
    if (beast.content_length().value_or(0) > 0) {
        return RequestRefusal{413, "no request body is taken here"};
    }
    RequestHead head{message.method() == http::verb::head, std::string(message.target()),
                     message.version(), message.keep_alive()};
    parser_.reset();
    taken_ = 0;
    return head;
}

}  // namespace zel
