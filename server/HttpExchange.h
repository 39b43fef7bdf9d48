// HttpExchange: one request to the application server on a libcurl easy
// handle, and what its ending means, for IData_Srv_Zel's calls whether they
// block (the start-up) or run on the event loop (the lookups).
//
// The handle keeps its connection alive between requests; a kept-alive
// connection that turns out closed before any byte of the answer came is
// replaced by libcurl, and the request goes on the new one. Nothing else is
// ever sent twice.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "server/ServerError.h"
#include "server/ServerList.h"

typedef void CURL;
struct curl_slist;

namespace zel {

// What an https:// server is trusted by, and the key a server may ask for.
struct ClientCredentials {
    std::string CaFile;     // PEM certificates to trust; empty: the system's store
    std::string AccessKey;  // sent as "Authorization: Bearer"; empty: none
};

// How a failed call reads: "<class> at <location>: <operation>: <what>".
std::string CallFailureText(std::string_view className, const ServerLocation& at,
                            std::string_view operation, std::string_view what);
// What a call that met its time limit says.
std::string NoAnswerText(std::chrono::milliseconds limit);

class HttpExchange {
public:
    // How an ended exchange reads.
    struct Ending {
        bool Answered = false;  // a 2xx answer: Body() is its body
        ServerFailure Kind = ServerFailure::Other;
        std::string What;  // the failure in words, without class and place
        // Never reached a server that answers (refused, not resolved, no
        // connection in time, a new connection closed unanswered): the same
        // request may go to another address.
        bool NextAddress = false;
    };

    // Starts libcurl for the process, once; HttpExchange does it by itself.
    static void Initialise();

    HttpExchange();
    ~HttpExchange();
    HttpExchange(const HttpExchange&) = delete;
    HttpExchange& operator=(const HttpExchange&) = delete;

    // Sets the handle up for one request: a GET, or a POST of `body` as
    // JSON when `post`; the whole exchange, connect included, within `limit`,
    // the connect within `connectLimit`.
    void Prepare(const ServerLocation& at, const ClientCredentials& credentials,
                 std::string_view path, bool post, std::string body,
                 std::chrono::milliseconds limit, std::chrono::milliseconds connectLimit);
    // Reads the handle after the transfer ended with `code` (a CURLcode).
    Ending Conclude(int code);

    CURL* Handle() const { return handle_.get(); }
    const std::string& Body() const { return answer_; }
    // A header of the last answer; empty when it had none.
    std::string Header(const char* name) const;
    // Closes the kept-alive connection: the next request opens a new one.
    void Hangup();

private:
    struct CurlDeleter {
        void operator()(CURL* handle) const noexcept;
    };
    struct ListDeleter {
        void operator()(curl_slist* list) const noexcept;
    };
    static std::size_t Write(char* data, std::size_t size, std::size_t count, void* self);

    std::unique_ptr<CURL, CurlDeleter> handle_;
    std::unique_ptr<curl_slist, ListDeleter> headers_;
    std::string request_;
    std::string answer_;
    bool tooLong_ = false;
    std::chrono::milliseconds limit_{0};
    std::chrono::milliseconds connectLimit_{0};
    // What the handle is set up for.
    std::string url_;
    bool post_ = false;
    std::chrono::milliseconds setLimit_{0};
    std::chrono::milliseconds setConnectLimit_{0};
    std::string caFile_;
    std::string accessKey_;
    std::string host_;
    bool https_ = false;
    char error_[256] = {};
};

}  // namespace zel
