// HttpRequestParser: reads one HTTP/1.x request from the bytes of a
// connection, as they come, within fixed limits: the size of the request
// line and headers together, the number of headers, and the size of the
// body whatever its framing (Content-Length or chunked). A request over a
// limit fails as soon as the limit is known to be passed (a Content-Length
// over the body limit before any of the body is read), with the HTTP status
// that answers it and the reason.
//
// Pure: no sockets and no clock; the connection applies the time limits.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zel {

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

    // The first header of that name (lower case), or empty.
    std::string_view Header(std::string_view lowerName) const;
};

class HttpRequestParser {
public:
    explicit HttpRequestParser(HttpLimits limits = {});

    // Takes bytes until the request is complete or has failed; returns how
    // many it took (the rest belongs to the next request).
    std::size_t Feed(std::string_view bytes);

    bool Started() const { return started_; }  // a byte of a request has come
    bool Done() const { return state_ == State::Done; }
    bool Failed() const { return state_ == State::Failed; }
    // The head is read and the client waits for "100 Continue" before the body.
    bool WantsContinue() const { return wantsContinue_; }
    // For a failed request: the status that answers it, and why.
    int ErrorStatus() const { return errorStatus_; }
    const std::string& ErrorReason() const { return errorReason_; }

    // What is read of the request so far (method and path once the head is).
    const HttpRequest& Partial() const { return request_; }

    // The complete request; the parser is then ready for the next one.
    HttpRequest Take();

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Done, Failed };

    void Fail(int status, std::string reason);
    void ParseHead();
    void StartBody();
    bool TakeLine(std::string_view bytes, std::size_t& pos, std::size_t maxBytes);
    void OnChunkSizeLine();
    void OnTrailerLine();

    HttpLimits limits_;
    State state_ = State::Head;
    bool started_ = false;
    bool wantsContinue_ = false;
    int errorStatus_ = 0;
    std::string errorReason_;
    std::string head_;
    std::string line_;
    std::size_t headLines_ = 0;
    std::size_t remaining_ = 0;  // of the body or of the current chunk
    HttpRequest request_;
};

}  // namespace zel
