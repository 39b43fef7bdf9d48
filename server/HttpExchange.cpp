#include "server/HttpExchange.h"

#include <curl/curl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "server/WireFormat.h"

namespace zel {

namespace {

// More than any answer of the server: a row set of a few thousand rows.
constexpr std::size_t MAX_ANSWER_BYTES = 8u << 20;
constexpr std::size_t MAX_SHOWN_BODY = 60;
// libcurl closes a kept-alive connection unused for longer than this; the
// server's own idle limit is much shorter, and a closed one is replaced.
constexpr long MAX_CONNECTION_IDLE_S = 24 * 3600;

std::string Duration(std::chrono::milliseconds d) {
    if (d.count() % 1000 == 0) {
        return std::to_string(d.count() / 1000) + " s";
    }
    return std::to_string(d.count()) + " ms";
}

// The start of a body that is not a JSON error, for the message.
std::string BodyStart(const std::string& body) {
    std::string shown;
    for (char c : body.substr(0, MAX_SHOWN_BODY)) {
        shown += (c >= 0x20 && c < 0x7F) ? c : ' ';
    }
    return body.size() > MAX_SHOWN_BODY ? shown + "..." : shown;
}

std::string LowerFirst(std::string text) {
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::string CallFailureText(std::string_view className, const ServerLocation& at,
                            std::string_view operation, std::string_view what) {
    std::string text(className);
    text.append(" at ").append(at.ToString()).append(": ").append(operation).append(": ");
    return text.append(what);
}

std::string NoAnswerText(std::chrono::milliseconds limit) {
    return "no answer within " + Duration(limit) + " (time-out)";
}

void HttpExchange::CurlDeleter::operator()(CURL* handle) const noexcept {
    curl_easy_cleanup(handle);
}

void HttpExchange::ListDeleter::operator()(curl_slist* list) const noexcept {
    curl_slist_free_all(list);
}

void HttpExchange::Initialise() {
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    if (initialised != CURLE_OK) {
        throw ServerError(std::string("HTTP client: ") + curl_easy_strerror(initialised));
    }
}

HttpExchange::HttpExchange() {
    Initialise();
    Hangup();
}

HttpExchange::~HttpExchange() = default;

void HttpExchange::Hangup() {
    url_.clear();  // a new handle is set up whole
    handle_.reset(curl_easy_init());
    if (!handle_) {
        throw ServerError("HTTP client: out of memory");
    }
}

std::size_t HttpExchange::Write(char* data, std::size_t size, std::size_t count, void* self) {
    auto& exchange = *static_cast<HttpExchange*>(self);
    const std::size_t bytes = size * count;
    if (exchange.answer_.size() + bytes > MAX_ANSWER_BYTES) {
        exchange.tooLong_ = true;
        return 0;  // ends the transfer
    }
    exchange.answer_.append(data, bytes);
    return bytes;
}

void HttpExchange::Prepare(const ServerLocation& at, const ClientCredentials& credentials,
                           std::string_view path, bool post, std::string body,
                           std::chrono::milliseconds limit,
                           std::chrono::milliseconds connectLimit) {
    CURL* h = handle_.get();
    answer_.clear();
    tooLong_ = false;
    error_[0] = '\0';
    limit_ = limit;
    connectLimit_ = std::min(limit, connectLimit);
    host_ = at.Address.Host;
    https_ = at.Https;
    request_ = std::move(body);

    const std::string host = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    std::string url = (at.Https ? "https://" : "http://") + host + ":" +
                      std::to_string(at.Address.Port) + std::string(path);
    if (url == url_ && post == post_ && limit == setLimit_ && connectLimit == setConnectLimit_ &&
        credentials.CaFile == caFile_ && credentials.AccessKey == accessKey_) {
        // The same request to the same place as the last: only its body is new.
        if (post) {
            curl_easy_setopt(h, CURLOPT_POSTFIELDS, request_.data());
            curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(request_.size()));
        }
        return;
    }
    url_ = std::move(url);
    post_ = post;
    setLimit_ = limit;
    setConnectLimit_ = connectLimit;
    caFile_ = credentials.CaFile;
    accessKey_ = credentials.AccessKey;
    curl_easy_setopt(h, CURLOPT_URL, url_.c_str());
    // The server is reached directly, whatever proxy the environment names.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(limit.count()));
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectLimit_.count()));
    curl_easy_setopt(h, CURLOPT_MAXAGE_CONN, MAX_CONNECTION_IDLE_S);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &HttpExchange::Write);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(h, CURLOPT_PRIVATE, this);

    curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
    headers = curl_slist_append(headers, "Expect:");  // no wait for a "100 Continue"
    if (post) {
        headers = curl_slist_append(headers, "Content-Type: application/json");
    }
    if (!credentials.AccessKey.empty()) {
        headers =
            curl_slist_append(headers, ("Authorization: Bearer " + credentials.AccessKey).c_str());
    }
    headers_.reset(headers);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    if (post) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, request_.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(request_.size()));
    } else {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
    }
    if (at.Https && !caFile_.empty()) {
        curl_easy_setopt(h, CURLOPT_CAINFO, caFile_.c_str());
    }
}

std::string HttpExchange::Header(const char* name) const {
    curl_header* header = nullptr;
    if (curl_easy_header(handle_.get(), name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK) {
        return {};
    }
    return header->value;
}

HttpExchange::Ending HttpExchange::Conclude(int result) {
    CURL* h = handle_.get();
    const auto code = static_cast<CURLcode>(result);
    Ending e;
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200 && status < 300) {
            e.Answered = true;
            return e;
        }
        e.Kind = ServerFailure::HttpStatus;
        const std::string number = std::to_string(status);
        if (status == 401) {
            e.What = "access key refused (401)";
        } else if (const std::string text = DecodeError(answer_); !text.empty()) {
            e.What = "HTTP " + number + ": " + text;
        } else {
            e.What = "HTTP " + number + " without an error text" +
                     (answer_.empty() ? "" : ": " + BodyStart(answer_));
        }
        return e;
    }
    long connects = 0;
    curl_easy_getinfo(h, CURLINFO_NUM_CONNECTS, &connects);
    long sent = 0;  // bytes of the request sent
    curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &sent);
    long osError = 0;
    curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osError);
    // A local port is known once the connection got as far as the server's
    // port: a TLS handshake that then timed out met a server that does not
    // speak TLS.
    long localPort = 0;
    curl_easy_getinfo(h, CURLINFO_LOCAL_PORT, &localPort);
    const bool newConnection = connects > 0;
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
            e.What = "host '" + host_ + "' not found";
            e.NextAddress = true;
            break;
        case CURLE_COULDNT_CONNECT:
            e.Kind = osError == ECONNREFUSED ? ServerFailure::Refused : ServerFailure::Other;
            e.What = osError != 0 ? LowerFirst(std::strerror(static_cast<int>(osError)))
                                  : std::string("no connection");
            e.NextAddress = true;
            break;
        case CURLE_OPERATION_TIMEDOUT:
            e.Kind = ServerFailure::TimeLimit;
            if (sent == 0 && https_ && localPort != 0) {
                // A server that does not speak TLS waits for a request head.
                e.What = "TLS handshake failed: no answer within " + Duration(connectLimit_) +
                         " (is the server serving HTTPS?)";
            } else if (sent == 0) {
                e.What = "no connection within " + Duration(connectLimit_) + " (time-out)";
                e.NextAddress = true;
            } else {
                e.What = NoAnswerText(limit_);
            }
            break;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
            e.What = "the connection closed before an answer";
            e.NextAddress = newConnection;
            break;
        case CURLE_SEND_ERROR:
            e.What = "sending the request failed";
            e.NextAddress = newConnection;
            break;
        case CURLE_PEER_FAILED_VERIFICATION: {
            long verify = X509_V_OK;
            curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verify);
            e.What = "certificate verify failed";
            if (verify != X509_V_OK) {
                e.What += std::string(": ") + X509_verify_cert_error_string(verify);
            } else if (error_[0] != '\0') {
                e.What += std::string(": ") + error_;
            }
            break;
        }
        case CURLE_SSL_CONNECT_ERROR:
            e.What = "TLS handshake failed (is the server serving HTTPS?)";
            break;
        case CURLE_SSL_CACERT_BADFILE:
            e.What = "cannot load the certificates to trust (" +
                     (caFile_.empty() ? std::string("system store") : caFile_) + ")";
            break;
        case CURLE_WRITE_ERROR:
            if (tooLong_) {
                e.Kind = ServerFailure::BadAnswer;
                e.What = "answer: longer than " + std::to_string(MAX_ANSWER_BYTES) + " bytes";
                break;
            }
            [[fallthrough]];
        default:
            e.What = std::string("HTTP client error: ") +
                     (error_[0] != '\0' ? error_ : curl_easy_strerror(code));
    }
    return e;
}

}  // namespace zel
