#include "srv_zel/HttpRequestReader.h"

#include <algorithm>
#include <boost/beast/http/error.hpp>

#include "common/Text.h"

namespace zel {

namespace http = boost::beast::http;
using boost::system::error_code;

namespace {

// Blank lines allowed before a request (some clients end a body with one).
constexpr std::size_t MAX_BLANK_BYTES = 4;
constexpr std::size_t QUOTED_VALUE_BYTES = 40;
// Bytes a client may send ahead of the request under way (pipelining).
constexpr std::size_t MAX_READ_AHEAD = 64u << 10;
constexpr std::string_view HEAD_END = "\r\n\r\n";
constexpr std::string_view CONTROL_BYTE = "a header value holds a control byte";
constexpr std::string_view BAD_LINE = "the request line is not \"METHOD TARGET HTTP/1.1\"";
constexpr std::string_view CHUNKED_ONLY =
    "only \"Transfer-Encoding: chunked\" alone frames a body here";

bool IsControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

bool IsBlank(char c) {
    return c == '\r' || c == '\n';
}

std::string Quoted(boost::beast::string_view value) {
    return std::string(value.substr(0, QUOTED_VALUE_BYTES));
}

}  // namespace

std::string_view HttpRequest::Header(std::string_view lowerName) const {
    for (const auto& [name, value] : Headers) {
        if (name == lowerName) {
            return value;
        }
    }
    return {};
}

HttpRequestReader::HttpRequestReader(HttpLimits limits, Charge charge)
    : limits_(limits),
      charge_(std::move(charge)),
      onChunk_([this](std::uint64_t size, boost::beast::string_view ext, error_code& ec) {
          OnChunk(size, ext, ec);
      }) {
    Reset();
}

std::size_t HttpRequestReader::BufferBytes(const HttpLimits& limits) {
    return limits.MaxHeadBytes + HEAD_END.size() + MAX_READ_AHEAD;
}

void HttpRequestReader::Reset() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.MaxHeadBytes + HEAD_END.size()));
    parser_->body_limit(limits_.MaxBodyBytes);
    parser_->on_chunk_header(onChunk_);
    overBudget_ = false;
    wantsContinue_ = false;
    status_ = 0;
    reason_.clear();
}

bool HttpRequestReader::AboutTheRequest(const error_code& ec) {
    return !ec || (ec.category() == http::make_error_code(http::error::bad_method).category() &&
                   ec != http::error::end_of_stream && ec != http::error::partial_message);
}

HttpRequestReader::Step HttpRequestReader::HeadRead(const error_code& ec,
                                                    boost::beast::flat_buffer& buffer) {
    if (ec == http::error::bad_method && buffer.size() > 0 &&
        IsBlank(*static_cast<const char*>(buffer.data().data()))) {
        const auto* bytes = static_cast<const char*>(buffer.data().data());
        const std::size_t blank = static_cast<std::size_t>(
            std::find_if_not(bytes, bytes + buffer.size(), IsBlank) - bytes);
        buffer.consume(blank);
        blankBytes_ += blank;
        if (blankBytes_ > MAX_BLANK_BYTES) {
            return Fail(400, "blank lines where a request should be");
        }
        Reset();
        return Step::ReadHead;
    }
    if (ec == http::error::bad_version) {
        // Beast's word for another version, and for a line ended by a bare LF.
        const std::string_view bytes(static_cast<const char*>(buffer.data().data()), buffer.size());
        const auto lf = bytes.find('\n');
        return lf == std::string_view::npos || (lf > 0 && bytes[lf - 1] == '\r')
                   ? Fail(505, "only HTTP/1.0 and HTTP/1.1 are served")
                   : Fail(400, "lines end with CRLF");
    }
    if (ec) {
        return Refusal(ec);
    }
    blankBytes_ = 0;
    return CheckHead();
}

HttpRequestReader::Step HttpRequestReader::BodyRead(const error_code& ec) {
    return ec ? Refusal(ec) : CheckFields();  // with the trailers
}

HttpRequestReader::Step HttpRequestReader::Fail(int status, std::string reason) {
    status_ = status;
    reason_ = std::move(reason);
    return Step::Failed;
}

// The headers, and a chunked body's trailers with them: how many, and no
// control bytes in their values.
HttpRequestReader::Step HttpRequestReader::CheckFields() {
    const auto& m = parser_->get();
    if (static_cast<std::size_t>(std::distance(m.begin(), m.end())) > limits_.MaxHeaders) {
        return Fail(431, "more than " + std::to_string(limits_.MaxHeaders) + " headers");
    }
    for (const auto& field : m) {
        const auto value = field.value();
        if (std::any_of(value.begin(), value.end(),
                        [](char c) { return IsControl(static_cast<unsigned char>(c)); })) {
            return Fail(400, std::string(CONTROL_BYTE));
        }
    }
    return Step::Done;
}

// What Beast takes but this server does not serve.
HttpRequestReader::Step HttpRequestReader::CheckHead() {
    const auto& m = parser_->get();
    const std::string target(m.target());
    if (target.empty() || target[0] != '/') {
        return Fail(400, std::string(BAD_LINE));
    }
    if (m.version() != 10 && m.version() != 11) {
        return Fail(505, "only HTTP/1.0 and HTTP/1.1 are served");
    }
    if (CheckFields() == Step::Failed) {
        return Step::Failed;
    }
    if (std::count_if(m.begin(), m.end(), [](const auto& field) {
            return field.name() == http::field::content_length;
        }) > 1) {
        return Fail(400, "Content-Length appears more than once");
    }
    const auto encoding = m.find(http::field::transfer_encoding);
    if (encoding != m.end() &&
        AsciiLower(std::string_view(encoding->value().data(), encoding->value().size())) !=
            "chunked") {
        return Fail(501, std::string(CHUNKED_ONLY));
    }
    if (m.version() == 11 && m.find(http::field::host) == m.end()) {
        return Fail(400, "an HTTP/1.1 request names its Host");
    }
    const auto coding = m[http::field::content_encoding];
    const std::string lowerCoding = AsciiLower(std::string_view(coding.data(), coding.size()));
    if (!lowerCoding.empty() && lowerCoding != "identity") {
        return Fail(415, "Content-Encoding \"" + lowerCoding +
                             "\" is not accepted; send the body as it is");
    }
    const auto length = parser_->content_length();
    if (length && *length > 0) {
        if (charge_ && !charge_(static_cast<std::size_t>(*length))) {
            return Fail(503, std::string(BUDGET_FULL));
        }
        charged_ += static_cast<std::size_t>(*length);
    }
    if (parser_->is_done()) {
        return Step::Done;
    }
    wantsContinue_ = AsciiLower(std::string_view(m[http::field::expect].data(),
                                                 m[http::field::expect].size())) == "100-continue";
    return Step::ReadBody;
}

void HttpRequestReader::OnChunk(std::uint64_t size, boost::beast::string_view, error_code& ec) {
    if (size == 0 || size > limits_.MaxBodyBytes) {
        return;  // the last chunk; or one Beast refuses as over the body limit
    }
    if (charge_ && !charge_(static_cast<std::size_t>(size))) {
        overBudget_ = true;
        ec = http::error::body_limit;
        return;
    }
    charged_ += static_cast<std::size_t>(size);
}

// Beast stopped: says why in this server's terms.
HttpRequestReader::Step HttpRequestReader::Refusal(const error_code& ec) {
    if (overBudget_) {
        return Fail(503, std::string(BUDGET_FULL));
    }
    const std::string max = std::to_string(limits_.MaxBodyBytes);
    const auto& m = parser_->get();
    switch (static_cast<http::error>(ec.value())) {
        case http::error::header_limit:
        case http::error::buffer_overflow:
            return parser_->is_header_done()
                       ? Fail(431, "trailers push the headers over their limits")
                       : Fail(431, "request line and headers over " +
                                       std::to_string(limits_.MaxHeadBytes) + " bytes");
        case http::error::body_limit:
            return parser_->chunked()
                       ? Fail(413, "chunked body over " + max + " bytes")
                       : Fail(413, "body of " + Quoted(m[http::field::content_length]) +
                                       " bytes; at most " + max + " are taken");
        case http::error::bad_content_length:
            return Fail(400, "Content-Length \"" + Quoted(m[http::field::content_length]) +
                                 "\" is not a size, or another framing is given too");
        case http::error::bad_transfer_encoding:
            return Fail(400, std::string(CHUNKED_ONLY));
        case http::error::bad_value:
            return Fail(400, std::string(CONTROL_BYTE));
        case http::error::bad_chunk:
        case http::error::bad_chunk_extension:
            return Fail(400, "the chunked body is malformed");
        case http::error::bad_method:
        case http::error::bad_target:
            return Fail(400, std::string(BAD_LINE));
        default:
            return Fail(400, m.method_string().empty() ? std::string(BAD_LINE)
                                                       : "a header line is not \"Name: value\"");
    }
}

HttpRequest HttpRequestReader::Take() {
    auto message = parser_->release();
    HttpRequest request;
    request.Method = std::string(message.method_string());
    request.Target = std::string(message.target());
    request.Path = request.Target.substr(0, request.Target.find('?'));
    for (const auto& field : message) {
        request.Headers.emplace_back(
            AsciiLower(std::string_view(field.name_string().data(), field.name_string().size())),
            std::string(field.value()));
    }
    request.KeepAlive = message.keep_alive();
    request.Body = std::move(message.body());
    Reset();
    return request;
}

HttpRequestReader::Step HttpRequestReader::Feed(boost::beast::flat_buffer& buffer) {
    for (;;) {
        Parser& parser = *parser_;
        const bool head = !parser.is_header_done();
        parser.eager(!head);
        error_code ec;
        const std::size_t used = parser.put(buffer.data(), ec);
        buffer.consume(used);
        if (ec == http::error::need_more && buffer.size() >= buffer.max_size()) {
            ec = http::error::buffer_overflow;  // as Beast's reads say it
        } else if (ec == http::error::need_more) {
            return head ? Step::ReadHead : Step::ReadBody;
        }
        if (!ec && !(head ? parser.is_header_done() : parser.is_done())) {
            if (used == 0) {
                return head ? Step::ReadHead : Step::ReadBody;
            }
            continue;
        }
        if (!head) {
            return BodyRead(ec);
        }
        const Step step = HeadRead(ec, buffer);
        if (step != Step::ReadHead && step != Step::ReadBody) {
            return step;
        }
        if (buffer.size() == 0) {
            return step;
        }
    }
}

}  // namespace zel
