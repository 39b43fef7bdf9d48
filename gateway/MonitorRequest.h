// MonitorRequest: the head of each request on one of the monitor's
// connections, read from its bytes as they come by Boost.Beast's parser.
// The monitor answers heads alone, so a request is decided on its head and
// no byte of a body is ever read:
//   - the request line and headers: at most kMaxHeadBytes, else 431;
//   - GET and HEAD only, else 405 (its answer says Allow);
//   - a body announced: Content-Length above 0 is 413, chunked is 411;
//   - bytes that are no HTTP/1.x request: 400.
// Bytes after a head belong to the next request (pipelining): they are kept,
// and Take reads them after the first has been answered.
//
// Pure: bytes in, heads or refusals out.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

namespace zel {

inline constexpr std::size_t kMaxHeadBytes = 8 * 1024;

struct RequestHead {
    bool HeadOnly = false;  // HEAD: the answer without its body
    std::string Target;     // as sent, the query included
    unsigned Version = 11;  // 10 or 11
    bool KeepAlive = true;
};

struct RequestRefusal {
    int Status = 400;
    std::string Reason;  // for the answer's body
};

// Nothing yet: the head is not complete.
struct MoreBytes {};

using RequestOutcome = std::variant<MoreBytes, RequestHead, RequestRefusal>;

class MonitorRequest {
public:
    MonitorRequest();
    ~MonitorRequest();
    MonitorRequest(MonitorRequest&&) noexcept;
    MonitorRequest& operator=(MonitorRequest&&) noexcept;

    void Add(std::string_view bytes);
    // The next request's head from the bytes added, a refusal (after which
    // the connection is closed: nothing more is read), or MoreBytes.
    RequestOutcome Take();
    // Whether a byte of a request not yet taken has come.
    bool Started() const { return Held() > 0; }
    // Bytes held of requests not yet taken. While Take says MoreBytes they
    // are at most kMaxHeadBytes: a client cannot make the monitor hold more.
    std::size_t Held() const { return taken_ + pending_.size(); }

private:
    struct Parser;
    std::unique_ptr<Parser> parser_;  // of the request under way
    std::string pending_;             // added, not yet taken by the parser
    std::size_t taken_ = 0;           // bytes of this head the parser has taken
};

}  // namespace zel
