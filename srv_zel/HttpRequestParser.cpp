#include "srv_zel/HttpRequestParser.h"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

#include <algorithm>
#include <cctype>

#include "common/Text.h"

namespace zel {

namespace http = boost::beast::http;
using boost::beast::error_code;

namespace {

constexpr std::string_view HEAD_END = "\r\n\r\n";
constexpr std::size_t MAX_SIZE_DIGITS = 18;  // a body size that fits std::size_t with room
constexpr std::size_t QUOTED_VALUE_BYTES = 40;
// Blank lines allowed before a request (some clients end a body with one).
constexpr std::size_t MAX_BLANK_BYTES = 4;
constexpr std::string_view CONTROL_BYTE = "a header value holds a control byte";

bool IsControl(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

// The value of the last header of that name (lower case) in a head, or empty.
std::string_view ValueIn(std::string_view head, std::string_view lowerName) {
    std::string_view found;
    for (std::size_t at = head.find("\r\n"); at != std::string_view::npos;
         at = head.find("\r\n", at + 2)) {
        const std::string_view line = head.substr(at + 2, head.find("\r\n", at + 2) - at - 2);
        const auto colon = line.find(':');
        if (colon != std::string_view::npos && AsciiLower(line.substr(0, colon)) == lowerName) {
            found = Trim(line.substr(colon + 1));
        }
    }
    return found;
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

// Beast's request syntax with this server's rules and limits on top; a rule
// broken sets status_ and stops Beast with an error of its own.
class HttpRequestParser::Impl : public http::basic_parser<true> {
public:
    explicit Impl(HttpLimits limits) : limits_(limits) {
        eager(true);
        body_limit(limits_.MaxBodyBytes);
        // A normalised head may have a CR added to each line; the head's own
        // limit is applied before Beast sees it.
        header_limit(static_cast<std::uint32_t>(2 * limits_.MaxHeadBytes + HEAD_END.size()));
    }

    std::size_t Feed(std::string_view bytes) {
        std::size_t pos = 0;
        if (!headDone_) {
            pos = TakeHead(bytes);
            if (!headDone_ || Failed()) {
                return pos;
            }
            body_.assign(head_);
            head_.clear();
        }
        body_.append(bytes.substr(pos));
        std::size_t used = 0;
        while (!Done() && !Failed()) {
            const std::string_view unparsed = std::string_view(body_).substr(used);
            CheckChunkEnd(unparsed);
            error_code ec;
            const std::size_t n = Failed() ? 0 : put(boost::asio::buffer(unparsed), ec);
            used += n;
            if (ec == http::error::need_more) {
                break;
            }
            if (ec) {
                OnError(ec, std::string_view(body_).substr(used));
            } else if (is_done()) {
                done_ = true;
            } else if (n == 0) {
                break;
            }
        }
        const std::size_t left = body_.size() - used;
        body_.erase(0, used);
        if (Done()) {
            body_.clear();
            return bytes.size() - std::min(left, bytes.size() - pos);
        }
        return bytes.size();
    }

    bool Started() const { return started_; }
    bool Done() const { return done_; }
    bool Failed() const { return status_ != 0; }
    bool WantsContinue() const { return wantsContinue_; }
    std::size_t BodyAnnounced() const { return announced_; }
    int Status() const { return status_; }
    const std::string& Reason() const { return reason_; }
    HttpRequest& Request() { return request_; }

private:
    // Gathers the head up to its blank line, a bare LF taken as CRLF; what
    // comes before the first line's first byte (blank lines) is dropped.
    std::size_t TakeHead(std::string_view bytes) {
        std::size_t pos = 0;
        while (pos < bytes.size() && !headDone_) {
            const char c = bytes[pos++];
            if (head_.empty() && (c == '\r' || c == '\n')) {
                if (++blankBytes_ > MAX_BLANK_BYTES) {
                    started_ = true;
                    Fail(400, "blank lines where a request should be");
                    return pos;
                }
                continue;
            }
            started_ = true;
            if (c == '\n' && head_.back() != '\r') {
                head_ += '\r';
            }
            head_ += c;
            if (c == '\n' && request_.Method.empty()) {
                NameFromFirstLine();
            }
            if (head_.size() > limits_.MaxHeadBytes + HEAD_END.size()) {
                Fail(431, "request line and headers over " + std::to_string(limits_.MaxHeadBytes) +
                              " bytes");
                return pos;
            }
            headDone_ = c == '\n' && head_.ends_with(HEAD_END);
        }
        return pos;
    }

    // A chunk's data ends with CRLF; Beast looks for it only with the next
    // chunk's size, this says at once that a chunk is longer than its size.
    void CheckChunkEnd(std::string_view unparsed) {
        if (chunkEnded_ && ((!unparsed.empty() && unparsed[0] != '\r') ||
                            (unparsed.size() > 1 && unparsed[1] != '\n'))) {
            Fail(400, "a chunk is longer than its size");
        }
    }

    // Method and path as soon as the first line is whole, so that a request
    // whose head never ends is still named in the log; Beast's reading of the
    // whole head replaces them.
    void NameFromFirstLine() {
        const std::string_view line(head_.data(), head_.size() - 2);
        const auto sp1 = line.find(' ');
        const auto sp2 = line.find(' ', sp1 == std::string_view::npos ? sp1 : sp1 + 1);
        if (sp2 != std::string_view::npos && line[sp1 + 1] == '/') {
            request_.Method = line.substr(0, sp1);
            request_.Target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            request_.Path = request_.Target.substr(0, request_.Target.find('?'));
        }
    }

    void Fail(int status, std::string reason) {
        if (status_ == 0) {
            status_ = status;
            reason_ = std::move(reason);
        }
    }

    // Beast stopped: says why in this server's terms, unless a rule here did.
    void OnError(const error_code& ec, std::string_view unparsed) {
        const std::string max = std::to_string(limits_.MaxBodyBytes);
        if (ec == http::error::body_limit || ec == http::error::bad_content_length ||
            ec == http::error::bad_chunk) {
            const std::string_view length = ValueIn(body_, "content-length");
            const bool over = ec == http::error::body_limit || LongChunkSize(unparsed);
            if (chunked()) {
                Fail(over ? 413 : 400, over ? "chunked body over " + max + " bytes"
                                            : "the chunked body is malformed");
            } else if (ec == http::error::body_limit ||
                       (length.size() > MAX_SIZE_DIGITS &&
                        std::all_of(length.begin(), length.end(),
                                    [](char c) { return c >= '0' && c <= '9'; }))) {
                Fail(413, "body of " + std::string(length.substr(0, QUOTED_VALUE_BYTES)) +
                              " bytes; at most " + max + " are taken");
            } else if (ec == http::error::bad_content_length) {
                Fail(400, "Content-Length \"" + std::string(length.substr(0, QUOTED_VALUE_BYTES)) +
                              "\" is not a size, or another framing is given too");
            }
        }
        if (ec == http::error::bad_transfer_encoding) {
            Fail(400, "only \"Transfer-Encoding: chunked\" alone frames a body here");
        } else if (ec == http::error::bad_version) {
            Fail(505, "only HTTP/1.0 and HTTP/1.1 are served");
        } else if (ec == http::error::bad_value) {
            Fail(400, std::string(CONTROL_BYTE));  // what Beast finds in a value
        } else if (ec == http::error::header_limit) {
            Fail(431, "trailers push the headers over their limits");
        } else if (request_.Method.empty()) {
            Fail(400, "the request line is not \"METHOD TARGET HTTP/1.1\"");
        } else {
            Fail(400, "a header line is not \"Name: value\"");
        }
    }

    // The chunk size under way has more hexadecimal digits than a size holds.
    static bool LongChunkSize(std::string_view unparsed) {
        if (unparsed.starts_with("\r\n")) {
            unparsed.remove_prefix(2);  // the end of the chunk before
        }
        const auto digits = std::find_if(unparsed.begin(), unparsed.end(), [](char c) {
            return !std::isxdigit(static_cast<unsigned char>(c));
        });
        return static_cast<std::size_t>(digits - unparsed.begin()) > 2 * sizeof(std::uint64_t);
    }

    void on_request_impl(http::verb, boost::beast::string_view method,
                         boost::beast::string_view target, int version, error_code& ec) override {
        request_.Method = std::string(method);
        request_.Target = std::string(target);
        request_.Path = request_.Target.substr(0, request_.Target.find('?'));
        version_ = version;
        if (request_.Target.empty() || request_.Target[0] != '/') {
            Fail(400, "the request line is not \"METHOD TARGET HTTP/1.1\"");
        } else if (version != 10 && version != 11) {
            Fail(505, "only HTTP/1.0 and HTTP/1.1 are served");
        }
        Stop(ec);
    }

    void on_response_impl(int, boost::beast::string_view, int, error_code& ec) override {
        ec = http::error::bad_version;  // a request parser reads no answers
    }

    void on_field_impl(http::field, boost::beast::string_view name, boost::beast::string_view value,
                       error_code& ec) override {
        std::string lower = AsciiLower(std::string_view(name.data(), name.size()));
        const std::string_view text(value.data(), value.size());
        if (++headers_ > limits_.MaxHeaders) {
            Fail(431, "more than " + std::to_string(limits_.MaxHeaders) + " headers");
        } else if (std::any_of(text.begin(), text.end(),
                               [](char c) { return IsControl(static_cast<unsigned char>(c)); })) {
            Fail(400, std::string(CONTROL_BYTE));
        } else if (lower == "content-length" && !request_.Header("content-length").empty()) {
            Fail(400, "Content-Length appears more than once");
        } else if (lower == "content-length" && !std::all_of(text.begin(), text.end(), [](char c) {
                       return c >= '0' && c <= '9';
                   })) {
            Fail(400, "Content-Length \"" + std::string(text.substr(0, QUOTED_VALUE_BYTES)) +
                          "\" is not a size");
        } else if (lower == "transfer-encoding" && AsciiLower(text) != "chunked") {
            Fail(501, "only \"Transfer-Encoding: chunked\" alone frames a body here");
        }
        request_.Headers.emplace_back(std::move(lower), std::string(text));
        Stop(ec);
    }

    void on_header_impl(error_code& ec) override {
        const std::string encoding = AsciiLower(request_.Header("content-encoding"));
        if (version_ == 11 && std::none_of(request_.Headers.begin(), request_.Headers.end(),
                                           [](const auto& h) { return h.first == "host"; })) {
            Fail(400, "an HTTP/1.1 request names its Host");
        } else if (!encoding.empty() && encoding != "identity") {
            Fail(415,
                 "Content-Encoding \"" + encoding + "\" is not accepted; send the body as it is");
        }
        request_.KeepAlive = keep_alive();
        const auto length = content_length();
        wantsContinue_ = (chunked() || (length && *length > 0)) &&
                         AsciiLower(request_.Header("expect")) == "100-continue";
        Stop(ec);
    }

    void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code&) override {
        announced_ = length ? static_cast<std::size_t>(*length) : 0;
    }

    std::size_t on_body_impl(boost::beast::string_view body, error_code&) override {
        request_.Body.append(body.data(), body.size());
        return body.size();
    }

    void on_chunk_header_impl(std::uint64_t size, boost::beast::string_view, error_code&) override {
        chunkEnded_ = false;
        announced_ += static_cast<std::size_t>(size);
    }

    std::size_t on_chunk_body_impl(std::uint64_t remain, boost::beast::string_view body,
                                   error_code&) override {
        chunkEnded_ = remain == body.size();
        request_.Body.append(body.data(), body.size());
        return body.size();
    }

    void on_finish_impl(error_code&) override {}

    void Stop(error_code& ec) const {
        if (status_ != 0) {
            ec = http::error::bad_value;
        }
    }

    HttpLimits limits_;
    HttpRequest request_;
    std::string head_;
    std::string body_;  // bytes of the body (and, at first, the head) not yet parsed
    bool started_ = false;
    bool headDone_ = false;
    bool done_ = false;
    bool wantsContinue_ = false;
    bool chunkEnded_ = false;  // its CRLF is still to come
    int version_ = 11;
    std::size_t headers_ = 0;
    std::size_t blankBytes_ = 0;
    std::size_t announced_ = 0;
    int status_ = 0;
    std::string reason_;
};

HttpRequestParser::HttpRequestParser(HttpLimits limits)
    : limits_(limits), impl_(std::make_unique<Impl>(limits)) {}
HttpRequestParser::~HttpRequestParser() = default;
HttpRequestParser::HttpRequestParser(HttpRequestParser&&) noexcept = default;
HttpRequestParser& HttpRequestParser::operator=(HttpRequestParser&&) noexcept = default;

std::size_t HttpRequestParser::Feed(std::string_view bytes) {
    return Done() || Failed() ? 0 : impl_->Feed(bytes);
}
bool HttpRequestParser::Started() const {
    return impl_->Started();
}
bool HttpRequestParser::Done() const {
    return impl_->Done();
}
bool HttpRequestParser::Failed() const {
    return impl_->Failed();
}
bool HttpRequestParser::WantsContinue() const {
    return impl_->WantsContinue();
}
std::size_t HttpRequestParser::BodyAnnounced() const {
    return impl_->BodyAnnounced();
}
int HttpRequestParser::ErrorStatus() const {
    return impl_->Status();
}
const std::string& HttpRequestParser::ErrorReason() const {
    return impl_->Reason();
}
const HttpRequest& HttpRequestParser::Partial() const {
    return impl_->Request();
}

HttpRequest HttpRequestParser::Take() {
    HttpRequest done = std::move(impl_->Request());
    impl_ = std::make_unique<Impl>(limits_);
    return done;
}

}  // namespace zel
