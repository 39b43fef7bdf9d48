#include "srv_zel/HttpRequestParser.h"

#include <algorithm>
#include <charconv>

#include "common/Text.h"

namespace zel {

namespace {

constexpr std::size_t MAX_CHUNK_LINE_BYTES = 256;  // hex size and extensions
constexpr std::size_t MAX_BODY_DIGITS = 18;        // fits std::size_t with room

bool IsTokenChar(unsigned char c) {
    return c > 0x20 && c < 0x7F &&
           std::string_view("()<>@,;:\\\"/[]?={}").find(c) == std::string_view::npos;
}

// Lines of the head without their line ends.
std::vector<std::string_view> SplitLines(std::string_view head) {
    std::vector<std::string_view> lines;
    while (!head.empty()) {
        const auto end = head.find('\n');
        std::string_view line = head.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        head.remove_prefix(end + 1);
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    return lines;
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

HttpRequestParser::HttpRequestParser(HttpLimits limits) : limits_(limits) {}

void HttpRequestParser::Fail(int status, std::string reason) {
    state_ = State::Failed;
    errorStatus_ = status;
    errorReason_ = std::move(reason);
}

std::size_t HttpRequestParser::Feed(std::string_view bytes) {
    std::size_t pos = 0;
    while (pos < bytes.size() && state_ != State::Done && state_ != State::Failed) {
        switch (state_) {
            case State::Head: {
                const char c = bytes[pos++];
                if (head_.empty() && (c == '\r' || c == '\n')) {
                    break;  // blank lines before a request are allowed
                }
                started_ = true;
                head_ += c;
                if (c == '\n' && (head_.ends_with("\n\n") || head_.ends_with("\n\r\n"))) {
                    ParseHead();
                } else if (head_.size() > limits_.MaxHeadBytes) {
                    Fail(431, "request line and headers over " +
                                  std::to_string(limits_.MaxHeadBytes) + " bytes");
                } else if (c == '\n' && ++headLines_ > limits_.MaxHeaders + 1) {
                    Fail(431, "more than " + std::to_string(limits_.MaxHeaders) + " headers");
                }
                break;
            }
            case State::Body:
            case State::ChunkData: {
                const std::size_t n = std::min(remaining_, bytes.size() - pos);
                request_.Body.append(bytes.substr(pos, n));
                pos += n;
                remaining_ -= n;
                if (remaining_ == 0) {
                    state_ = state_ == State::Body ? State::Done : State::ChunkEnd;
                }
                break;
            }
            case State::ChunkSize:
                if (TakeLine(bytes, pos, MAX_CHUNK_LINE_BYTES)) {
                    OnChunkSizeLine();
                }
                break;
            case State::ChunkEnd:
                if (TakeLine(bytes, pos, 2)) {
                    if (line_.empty()) {
                        state_ = State::ChunkSize;
                    } else {
                        Fail(400, "a chunk is longer than its size");
                    }
                }
                break;
            case State::Trailers:
                if (TakeLine(bytes, pos, limits_.MaxHeadBytes)) {
                    OnTrailerLine();
                }
                break;
            case State::Done:
            case State::Failed:
                break;
        }
    }
    return pos;
}

// Collects one line into line_ (without its line end); true once it is whole.
bool HttpRequestParser::TakeLine(std::string_view bytes, std::size_t& pos, std::size_t maxBytes) {
    while (pos < bytes.size()) {
        const char c = bytes[pos++];
        if (c == '\n') {
            if (!line_.empty() && line_.back() == '\r') {
                line_.pop_back();
            }
            return true;
        }
        line_ += c;
        if (line_.size() > maxBytes + 1) {
            Fail(400, "a line of the chunked body is too long");
            return false;
        }
    }
    return false;
}

void HttpRequestParser::ParseHead() {
    const auto lines = SplitLines(head_);
    // METHOD SP target SP HTTP/1.x
    const std::string_view first = lines.empty() ? std::string_view() : lines[0];
    const auto sp1 = first.find(' ');
    const auto sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || first.find(' ', sp2 + 1) != std::string_view::npos ||
        sp1 == 0 || sp2 == sp1 + 1) {
        Fail(400, "the request line is not \"METHOD TARGET HTTP/1.1\"");
        return;
    }
    request_.Method = first.substr(0, sp1);
    request_.Target = first.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string_view version = first.substr(sp2 + 1);
    if (!std::all_of(request_.Method.begin(), request_.Method.end(),
                     [](unsigned char c) { return IsTokenChar(c); }) ||
        request_.Target[0] != '/') {
        Fail(400, "the request line is not \"METHOD TARGET HTTP/1.1\"");
        return;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        Fail(505, "only HTTP/1.0 and HTTP/1.1 are served");
        return;
    }
    request_.Path = request_.Target.substr(0, request_.Target.find('?'));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const auto colon = line.find(':');
        if (colon == 0 || colon == std::string_view::npos ||
            !std::all_of(line.begin(), line.begin() + static_cast<long>(colon),
                         [](unsigned char c) { return IsTokenChar(c); })) {
            Fail(400, "a header line is not \"Name: value\"");
            return;
        }
        request_.Headers.emplace_back(AsciiLower(line.substr(0, colon)),
                                      std::string(Trim(line.substr(colon + 1))));
    }
    const std::string connection = AsciiLower(request_.Header("connection"));
    request_.KeepAlive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                               : connection.find("keep-alive") != std::string::npos;
    StartBody();
}

void HttpRequestParser::StartBody() {
    const std::string encoding = AsciiLower(request_.Header("content-encoding"));
    if (!encoding.empty() && encoding != "identity") {
        Fail(415, "Content-Encoding \"" + encoding + "\" is not accepted; send the body as it is");
        return;
    }
    std::size_t lengths = 0;
    std::size_t transfers = 0;
    for (const auto& [name, value] : request_.Headers) {
        lengths += name == "content-length" ? 1 : 0;
        transfers += name == "transfer-encoding" ? 1 : 0;
    }
    if (transfers > 0) {
        if (lengths > 0 || transfers > 1 ||
            AsciiLower(request_.Header("transfer-encoding")) != "chunked") {
            Fail(lengths > 0 || transfers > 1 ? 400 : 501,
                 "only \"Transfer-Encoding: chunked\" alone frames a body here");
            return;
        }
        wantsContinue_ = AsciiLower(request_.Header("expect")) == "100-continue";
        state_ = State::ChunkSize;
        return;
    }
    if (lengths > 1) {
        Fail(400, "Content-Length appears more than once");
        return;
    }
    const std::string_view text = request_.Header("content-length");
    std::size_t length = 0;
    if (lengths == 1) {
        const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        if (!digits) {
            Fail(400, "Content-Length \"" + std::string(text.substr(0, 40)) + "\" is not a size");
            return;
        }
        if (text.size() > MAX_BODY_DIGITS) {
            Fail(413, "body of " + std::string(text.substr(0, 40)) + " bytes; at most " +
                          std::to_string(limits_.MaxBodyBytes) + " are taken");
            return;
        }
        std::from_chars(text.data(), text.data() + text.size(), length);
    }
    if (length > limits_.MaxBodyBytes) {
        Fail(413, "body of " + std::to_string(length) + " bytes; at most " +
                      std::to_string(limits_.MaxBodyBytes) + " are taken");
        return;
    }
    remaining_ = length;
    wantsContinue_ = length > 0 && AsciiLower(request_.Header("expect")) == "100-continue";
    state_ = length > 0 ? State::Body : State::Done;
}

void HttpRequestParser::OnChunkSizeLine() {
    const std::string_view size = Trim(std::string_view(line_).substr(0, line_.find(';')));
    std::size_t n = 0;
    const auto [end, ec] = std::from_chars(size.data(), size.data() + size.size(), n, 16);
    if (size.empty() || end != size.data() + size.size() ||
        (ec != std::errc() && ec != std::errc::result_out_of_range)) {
        Fail(400, "a chunk size is not hexadecimal");
        return;
    }
    line_.clear();
    if (ec == std::errc::result_out_of_range || n > limits_.MaxBodyBytes - request_.Body.size()) {
        Fail(413, "chunked body over " + std::to_string(limits_.MaxBodyBytes) + " bytes");
        return;
    }
    remaining_ = n;
    state_ = n == 0 ? State::Trailers : State::ChunkData;
}

void HttpRequestParser::OnTrailerLine() {
    const bool last = line_.empty();
    head_ += line_ + "\r\n";
    line_.clear();
    if (last) {
        state_ = State::Done;
    } else if (head_.size() > limits_.MaxHeadBytes || ++headLines_ > limits_.MaxHeaders + 1) {
        Fail(431, "trailers push the headers over their limits");
    }
}

HttpRequest HttpRequestParser::Take() {
    HttpRequest done = std::move(request_);
    *this = HttpRequestParser(limits_);
    return done;
}

}  // namespace zel
