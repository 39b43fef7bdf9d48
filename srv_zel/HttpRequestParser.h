// HttpRequestParser: reads one HTTP/1.x request from the bytes of a
// connection, as they come, within fixed limits: the size of the request
// line and headers together, the number of headers, and the size of the
// body whatever its framing (Content-Length or chunked). A request over a
// limit fails as soon as the limit is known to be passed (a Content-Length
// over the body limit before any of the body is read), with the HTTP status
// that answers it and the reason. The syntax is Boost.Beast's; what is
// served is decided here: HTTP/1.1 needs Host, header values hold no
// control bytes, a body comes as it is or chunked.
//
// Pure: no sockets and no clock; the connection applies the time limits.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel {

class CancelSignal;

struct HttpLimits {
    std::size_t MaxHeadBytes = 16u << 10;  // request line and headers
    std::size_t MaxHeaders = 64;
    std::size_t MaxBodyBytes = 1u << 20;  // decoded, whatever the framing
};

struct HttpRequest {
    std::string Method;
    std::string Target;                                        // as sent, query included
    std::string Path;                                          // the target up to '?'
    std::vector<std::pair<std::string, std::string>> Headers;  // names in lower case
    std::string Body;
    bool KeepAlive = true;
    std::string RemoteAddress;
    int RemotePort = 0;
    // Cancelled when the client goes or the server stops, while the request
    // waits for a worker or is served; null for a request no server read.
    std::shared_ptr<CancelSignal> Gone;

    // The first header of that name (lower case), or empty.
    std::string_view Header(std::string_view lowerName) const;
};

class HttpRequestParser {
public:
    explicit HttpRequestParser(HttpLimits limits = {});
    ~HttpRequestParser();
    HttpRequestParser(HttpRequestParser&&) noexcept;
    HttpRequestParser& operator=(HttpRequestParser&&) noexcept;

    // Takes bytes until the request is complete or has failed; returns how
    // many it took (the rest belongs to the next request).
    std::size_t Feed(std::string_view bytes);

    bool Started() const;  // a byte of a request has come
    bool Done() const;
    bool Failed() const;
    // The head is read and the client waits for "100 Continue" before the body.
    bool WantsContinue() const;
    // The body bytes announced so far: the Content-Length, or the sizes of
    // the chunks read; what a connection has to hold for this request.
    std::size_t BodyAnnounced() const;
    // For a failed request: the status that answers it, and why.
    int ErrorStatus() const;
    const std::string& ErrorReason() const;

    // What is read of the request so far (method and path once the head is).
    const HttpRequest& Partial() const;

    // The complete request; the parser is then ready for the next one.
    HttpRequest Take();

private:
    class Impl;
    HttpLimits limits_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zel
