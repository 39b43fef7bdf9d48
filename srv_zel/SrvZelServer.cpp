#include "srv_zel/SrvZelServer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <thread>

#include <httplib.h>
#include <sys/socket.h>

#include <openssl/err.h>

#include "server/AccessKey.h"
#include "server/WireFormat.h"
#include "srv_zel/ConnectionPool.h"
#include "srv_zel/RequestError.h"

namespace zel {

namespace {

constexpr const char* JSON_TYPE = "application/json";
constexpr std::size_t MAX_REQUEST_BYTES = 1u << 20;
constexpr std::size_t KEEP_ALIVE_MAX_REQUESTS = 10'000;
// Short, because an idle kept-alive connection holds a worker thread and
// delays a stop by up to this long.
constexpr time_t KEEP_ALIVE_IDLE_SECONDS = 2;

// Start of the request this worker thread is serving.
thread_local std::optional<std::chrono::steady_clock::time_point> requestStart;

std::string Printable(std::string_view text) {
    std::string out;
    for (char c : text) {
        out += (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) ? '?' : c;
    }
    return out;
}

void ReplyError(httplib::Response& res, int status, std::string_view message) {
    res.status = status;
    res.set_content(EncodeError(message), JSON_TYPE);
}

// Runs a handler, answering 400 for a wrong request and 500 for any other failure.
template <class Body>
void Guarded(httplib::Response& res, Body&& body) {
    try {
        body();
    } catch (const RequestError& e) {
        ReplyError(res, 400, e.what());
    } catch (const std::exception& e) {
        ReplyError(res, 500, e.what());
    }
}

// Plain HTTP, or HTTPS when a certificate is given.
std::unique_ptr<httplib::Server> MakeHttpServer(const ServeOptions& o) {
    if (o.TlsCert.empty() && o.TlsKey.empty()) {
        return std::make_unique<httplib::Server>();
    }
    if (o.TlsCert.empty() || o.TlsKey.empty()) {
        throw std::runtime_error("HTTPS needs both a certificate and its private key");
    }
    ERR_clear_error();
    auto https = std::make_unique<httplib::SSLServer>(o.TlsCert.c_str(), o.TlsKey.c_str());
    if (!https->is_valid()) {
        char why[256] = "unreadable, or the key does not match";
        if (const unsigned long e = ERR_get_error(); e != 0) {
            ERR_error_string_n(e, why, sizeof why);
        }
        throw std::runtime_error("certificate \"" + o.TlsCert + "\" with key \"" + o.TlsKey +
                                 "\": " + why);
    }
    return https;
}

template <class Decode>
auto DecodeRequest(Decode&& decode) {
    try {
        return decode();
    } catch (const WireError& e) {
        throw RequestError(e.what());
    }
}

}  // namespace

std::string FormatRequestLogLine(std::chrono::system_clock::time_point when,
                                 const std::string& clientAddress, int clientPort,
                                 const std::string& method, const std::string& path, int status,
                                 std::chrono::microseconds spent) {
    using namespace std::chrono;
    const auto secs = time_point_cast<seconds>(when);
    const auto micros = duration_cast<microseconds>(when - secs).count();
    const std::time_t t = system_clock::to_time_t(secs);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long long>(micros));
    const bool v6 = clientAddress.find(':') != std::string::npos;
    const std::string client =
        (v6 ? "[" + clientAddress + "]" : clientAddress) + ":" + std::to_string(clientPort);
    return std::string(stamp) + " " + Printable(client) + " " + Printable(method) + " " +
           Printable(path) + " " + std::to_string(status) + " " + std::to_string(spent.count()) +
           "us";
}

class SrvZelServer::Impl {
public:
    explicit Impl(ServeOptions options)
        : options_(std::move(options)),
          store_(OpenCatalogueStore(options_.DbPath)),
          pool_(*store_),
          server_(MakeHttpServer(options_)) {
        Configure();
        Bind();
    }

    ServerAddress Address() const { return {options_.Listen.Host, port_}; }

    void Run() {
        runCalled_ = true;
        if (!stopRequested_) {
            http_.listen_after_bind();
        }
        runReturned_ = true;
    }

    void Stop() {
        stopRequested_ = true;
        // httplib ignores a stop that comes before it listens: wait for that.
        while (runCalled_ && !runReturned_ && !http_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        http_.stop();
    }

private:
    void Configure() {
        const std::size_t threads = options_.Threads == 0 ? 1 : options_.Threads;
        // httplib owns the queue it is handed and deletes it when it stops.
        http_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
        // SO_REUSEADDR alone: a restart binds at once, yet a second server on
        // the same port fails instead of sharing it.
        http_.set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        http_.set_keep_alive_max_count(KEEP_ALIVE_MAX_REQUESTS);
        http_.set_keep_alive_timeout(KEEP_ALIVE_IDLE_SECONDS);
        http_.set_payload_max_length(MAX_REQUEST_BYTES);
        http_.set_tcp_nodelay(true);

        http_.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            requestStart = std::chrono::steady_clock::now();
            if (!options_.AccessKey.empty() &&
                !CarriesAccessKey(req.get_header_value("Authorization"), options_.AccessKey)) {
                // No detail: the log line names the client.
                res.status = 401;
                res.set_header("WWW-Authenticate", "Bearer");
                ReplyError(res, 401, "access key refused");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        http_.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
            if (res.body.empty()) {
                ReplyError(res, res.status,
                           res.status == 404 ? "no such path: " + req.method + " " + req.path
                                             : "HTTP " + std::to_string(res.status));
            }
        });
        http_.set_logger(
            [this](const httplib::Request& req, const httplib::Response& res) { Log(req, res); });

        http_.Get(R"(/v1/classes/(.+))", [](const httplib::Request& req, httplib::Response& res) {
            const std::string asked = req.matches[1];
            if (asked != SERVER_CLASS) {
                ReplyError(res, 404,
                           "no class \"" + asked + "\" here; this server offers " +
                               std::string(SERVER_CLASS));
                return;
            }
            res.set_content(EncodeClassReply(SERVER_CLASS), JSON_TYPE);
        });
        http_.Post(std::string(GET_RECORDS_PATH),
                   [this](const httplib::Request& req, httplib::Response& res) {
                       Guarded(res, [&] { GetRecords(req, res); });
                   });
        http_.Post(std::string(BUSCA_PRECIO_PATH),
                   [this](const httplib::Request& req, httplib::Response& res) {
                       Guarded(res, [&] { BuscaPrecio(req, res); });
                   });
    }

    void Bind() {
        const std::string& host = options_.Listen.Host;
        errno = 0;
        if (options_.Listen.Port == 0) {
            const int port = http_.bind_to_any_port(host);
            if (port > 0) {
                port_ = static_cast<std::uint16_t>(port);
                return;
            }
        } else if (http_.bind_to_port(host, options_.Listen.Port)) {
            port_ = options_.Listen.Port;
            return;
        }
        const int error = errno;
        throw std::runtime_error("cannot listen on " + options_.Listen.ToString() +
                                 (error != 0 ? ": " + std::string(std::strerror(error)) : ""));
    }

    void GetRecords(const httplib::Request& req, httplib::Response& res) {
        const GetRecordsRequest request =
            DecodeRequest([&] { return DecodeGetRecordsRequest(req.body); });
        RowSet rows;
        {
            auto lease = pool_.Acquire();
            rows =
                lease.Session().Query(request.ProviderName, request.CommandText, options_.Limits);
        }
        try {
            res.set_content(EncodeRowSet(rows), JSON_TYPE);
        } catch (const WireError& e) {
            throw RequestError(std::string("query refused: ") + e.what());
        }
    }

    void BuscaPrecio(const httplib::Request& req, httplib::Response& res) {
        const BuscaPrecioCall request =
            DecodeRequest([&] { return DecodeBuscaPrecioRequest(req.body); });
        BuscaPrecioCall reply;
        {
            auto lease = pool_.Acquire();
            reply = lease.Session().Find(request);
        }
        res.set_content(EncodeBuscaPrecioReply(reply), JSON_TYPE);
    }

    void Log(const httplib::Request& req, const httplib::Response& res) {
        const auto now = std::chrono::steady_clock::now();
        const auto spent =
            requestStart
                ? std::chrono::duration_cast<std::chrono::microseconds>(now - *requestStart)
                : std::chrono::microseconds(0);
        requestStart.reset();
        std::string line =
            FormatRequestLogLine(std::chrono::system_clock::now(), req.remote_addr, req.remote_port,
                                 req.method, req.path, res.status, spent);
        if (res.status >= 400) {
            const std::string why = DecodeError(res.body);
            if (!why.empty()) {
                line += " error: " + Printable(why);
            }
        }
        const std::lock_guard lock(logMutex_);
        if (options_.Log) {
            options_.Log(line);
            return;
        }
        line += '\n';
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    ServeOptions options_;
    std::unique_ptr<CatalogueStore> store_;
    ConnectionPool pool_;
    std::unique_ptr<httplib::Server> server_;
    httplib::Server& http_ = *server_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> runCalled_{false};
    std::atomic<bool> runReturned_{false};
    std::mutex logMutex_;
};

SrvZelServer::SrvZelServer(ServeOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

SrvZelServer::~SrvZelServer() {
    impl_->Stop();
}

ServerAddress SrvZelServer::Address() const {
    return impl_->Address();
}

void SrvZelServer::Run() {
    impl_->Run();
}

void SrvZelServer::Stop() {
    impl_->Stop();
}

}  // namespace zel
