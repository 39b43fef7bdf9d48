#include "server/HttpReply.h"

#include <charconv>

#include "common/Text.h"

namespace zel {

namespace {

constexpr std::string_view HEAD_END = "\r\n\r\n";
constexpr std::size_t MAX_HEAD_BYTES = 16u << 10;

}  // namespace

std::string PostRequestText(std::string_view path, std::string_view host, std::string_view body,
                            std::string_view accessKey) {
    std::string text;
    text.reserve(160 + body.size());
    text.append("POST ").append(path).append(" HTTP/1.1\r\nHost: ").append(host);
    text.append("\r\nAccept: application/json\r\nContent-Type: application/json\r\n");
    if (!accessKey.empty()) {
        text.append("Authorization: Bearer ").append(accessKey).append("\r\n");
    }
    text.append("Content-Length: ").append(std::to_string(body.size())).append("\r\n\r\n");
    text.append(body);
    return text;
}

HttpReplyReader::State HttpReplyReader::ParseHead(std::string_view head) {
    // "HTTP/1.x NNN reason"
    if (head.size() < 12 || !head.starts_with("HTTP/1.") || head[8] != ' ') {
        return Refuse();
    }
    const auto [statusEnd, statusError] =
        std::from_chars(head.data() + 9, head.data() + 12, status_);
    if (statusError != std::errc() || statusEnd != head.data() + 12 || status_ < 100) {
        return Refuse();
    }
    keepAlive_ = head[7] == '1';
    bool haveLength = false;
    std::size_t lineStart = head.find("\r\n");
    while (lineStart != std::string_view::npos && lineStart + 2 < head.size()) {
        lineStart += 2;
        const std::size_t lineEnd = head.find("\r\n", lineStart);
        const std::string_view line = head.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd;
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return Refuse();
        }
        const std::string_view name = line.substr(0, colon);
        const std::string_view value = Trim(line.substr(colon + 1));
        if (EqualsIgnoringCase(name, "content-length")) {
            const auto [end, error] =
                std::from_chars(value.data(), value.data() + value.size(), length_);
            if (haveLength || error != std::errc() || end != value.data() + value.size()) {
                return Refuse();
            }
            haveLength = true;
        } else if (EqualsIgnoringCase(name, "transfer-encoding")) {
            return Refuse();
        } else if (EqualsIgnoringCase(name, "connection")) {
            const std::string lower = AsciiLower(value);
            keepAlive_ = lower.find("close") == std::string::npos &&
                         (keepAlive_ || lower.find("keep-alive") != std::string::npos);
        }
    }
    if (!haveLength || length_ > maxBytes_) {
        return Refuse();
    }
    return State::Incomplete;
}

HttpReplyReader::State HttpReplyReader::Feed(std::string_view bytes) {
    if (state_ != State::Incomplete) {
        return bytes.empty() ? state_ : Refuse();
    }
    buffer_.append(bytes);
    if (!inBody_) {
        const std::size_t end = buffer_.find(HEAD_END);
        if (end == std::string::npos) {
            return buffer_.size() > MAX_HEAD_BYTES ? Refuse() : state_;
        }
        if (ParseHead(std::string_view(buffer_).substr(0, end + 2)) == State::Refused) {
            return state_;
        }
        inBody_ = true;
        buffer_.erase(0, end + HEAD_END.size());
    }
    if (buffer_.size() > length_) {
        return Refuse();
    }
    if (buffer_.size() == length_) {
        body_ = std::move(buffer_);
        buffer_.clear();
        state_ = State::Complete;
    }
    return state_;
}

}  // namespace zel
