// HttpRequestReader: what srv_zel adds to Boost.Beast's reading of a request.
// Beast frames the request (a request_parser with the head and body limits
// of HttpLimits, fed by http::async_read_header / http::async_read or, here,
// by Feed); this module says which status and reason answer what Beast
// refuses, and makes the checks Beast does not: HTTP/1.1 needs Host, header
// values hold no control bytes, a body comes as it is or chunked, and the
// number of headers. A body is charged (to a memory budget) as it is
// announced: its Content-Length, or each chunk's size.
//
// Pure: no sockets and no clock; the connection applies the time limits.
#pragma once

#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "srv_zel/HttpRequest.h"

namespace zel {

// The answer to a request its memory is not there for.
inline constexpr std::string_view BUDGET_FULL =
    "the server holds as much as it may now; try again later";

class HttpRequestReader {
public:
    using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;
    // Takes bytes of the memory budget for a body; false when they are not there.
    using Charge = std::function<bool(std::size_t bytes)>;
    // What comes next for the request under way.
    enum class Step { ReadHead, ReadBody, Done, Failed };

    explicit HttpRequestReader(HttpLimits limits = {}, Charge charge = {});
    HttpRequestReader(const HttpRequestReader&) = delete;
    HttpRequestReader& operator=(const HttpRequestReader&) = delete;

    // How many bytes the buffer read into may hold (its max_size): a head
    // within its limit and what a client sends ahead. Beast buffers a
    // trailer whole before it checks any limit; this bounds it.
    static std::size_t BufferBytes(const HttpLimits& limits);

    // The parser for the request under way, to read into.
    Parser& Beast() { return *parser_; }

    // Reading the head ended with ec; buffer holds what was read past it.
    // ReadHead: blank lines before the request were dropped, read again.
    Step HeadRead(const boost::system::error_code& ec, boost::beast::flat_buffer& buffer);
    // Reading the body ended with ec.
    Step BodyRead(const boost::system::error_code& ec);
    // Whether ec is about the request's bytes (it is answered), not the
    // connection (a client gone, a reset: nothing to answer).
    static bool AboutTheRequest(const boost::system::error_code& ec);

    // The head is read and the client waits for "100 Continue" before the body.
    bool WantsContinue() const { return wantsContinue_; }
    // Body bytes charged so far, handed to the caller to give back.
    std::size_t TakeCharged() { return std::exchange(charged_, 0); }
    int ErrorStatus() const { return status_; }
    const std::string& ErrorReason() const { return reason_; }

    // The complete request; the reader is then ready for the next one.
    HttpRequest Take();

    // Reads from buffer as Beast's reads do, consuming what the request took;
    // Done or Failed, or ReadHead / ReadBody when more bytes are wanted.
    Step Feed(boost::beast::flat_buffer& buffer);

private:
    void Reset();
    Step Fail(int status, std::string reason);
    Step CheckHead();
    Step CheckFields();
    Step Refusal(const boost::system::error_code& ec);
    void OnChunk(std::uint64_t size, boost::beast::string_view, boost::system::error_code& ec);

    HttpLimits limits_;
    Charge charge_;
    std::optional<Parser> parser_;
    std::function<void(std::uint64_t, boost::beast::string_view, boost::system::error_code&)>
        onChunk_;
    std::size_t blankBytes_ = 0;
    std::size_t charged_ = 0;
    bool overBudget_ = false;
    bool wantsContinue_ = false;
    int status_ = 0;
    std::string reason_;
};

}  // namespace zel
