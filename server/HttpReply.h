// HttpReply: the one request the gateway sends on its own loop (BuscaPrecio
// on a kept-alive connection) and an incremental reader of its answer.
//
// The reader takes only what srv_zel writes: a status line, headers and a
// body of Content-Length bytes. An answer without a length, a chunked one,
// one over the size limit or one that is not HTTP/1.x is refused, and the
// caller sends the call again through the full client, which reads any
// answer and words every failure.
//
// Pure: no sockets, no clock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zel {

// "POST path HTTP/1.1" with Host, Accept, Content-Type, Content-Length and,
// when a key is given, "Authorization: Bearer <key>".
std::string PostRequestText(std::string_view path, std::string_view host, std::string_view body,
                            std::string_view accessKey);

class HttpReplyReader {
public:
    enum class State { Incomplete, Complete, Refused };

    explicit HttpReplyReader(std::size_t maxBytes = 1u << 20) : maxBytes_(maxBytes) {}

    // Takes the next bytes of the connection. Bytes after a complete answer
    // (none are expected: one call at a time) refuse it.
    State Feed(std::string_view bytes);
    State Current() const { return state_; }

    int Status() const { return status_; }
    bool KeepAlive() const { return keepAlive_; }
    const std::string& Body() const { return body_; }

private:
    State Refuse() { return state_ = State::Refused; }
    State ParseHead(std::string_view head);

    std::size_t maxBytes_;
    State state_ = State::Incomplete;
    std::string buffer_;  // the head until it is whole, then the body
    bool inBody_ = false;
    std::size_t length_ = 0;
    int status_ = 0;
    bool keepAlive_ = true;
    std::string body_;
};

}  // namespace zel
