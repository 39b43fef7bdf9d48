// HttpResponseBytes: an HTTP answer in Beast's terms as the bytes that go on
// the wire, through Beast's serializer (no stream: it also serves when the
// process has no file handle to spare). With headOnly, only the head, which
// still states the length of the body it leaves out.
#pragma once

#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/string_body.hpp>
#include <string>

namespace zel {

inline std::string HttpResponseBytes(
    const boost::beast::http::response<boost::beast::http::string_body>& response,
    bool headOnly = false) {
    boost::beast::http::serializer<false, boost::beast::http::string_body> serializer(response);
    serializer.split(headOnly);
    std::string bytes;
    boost::beast::error_code error;
    while (!error && !(headOnly ? serializer.is_header_done() : serializer.is_done())) {
        serializer.next(error, [&](boost::beast::error_code&, const auto& buffers) {
            std::size_t size = 0;
            for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
                bytes.append(static_cast<const char*>(buffer.data()), buffer.size());
                size += buffer.size();
            }
            serializer.consume(size);
        });
    }
    return bytes;
}

}  // namespace zel
