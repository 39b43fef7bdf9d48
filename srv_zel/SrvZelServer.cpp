#include "srv_zel/SrvZelServer.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>
#include <utility>

#include "common/Text.h"
#include "server/AccessKey.h"
#include "server/WireFormat.h"
#include "srv_zel/ConnectionPool.h"
#include "srv_zel/HttpServer.h"
#include "srv_zel/LineRateLimit.h"
#include "srv_zel/ReplicaWatch.h"
#include "srv_zel/RequestError.h"
#include "srv_zel/ServerMetrics.h"
#include "srv_zel/StoreError.h"

namespace zel {

namespace {

constexpr const char* JSON_TYPE = "application/json";
// How often a standby's replication is looked at.
constexpr std::chrono::milliseconds REPLICA_POLL{1000};
// The metrics port's bounds: a scraper's and a technician's requests, no more.
constexpr std::size_t METRICS_CONNECTIONS = 32;
constexpr std::size_t METRICS_HEAD_BYTES = 8u << 10;
constexpr std::chrono::milliseconds METRICS_REQUEST_TIME{10'000};
constexpr std::chrono::milliseconds METRICS_IDLE_TIME{15'000};
// The answer to a request whose client went before it was answered (nobody
// reads it; the access log tells the status apart from the server's errors).
constexpr int CLIENT_GONE_STATUS = 499;
// Room for an access line: stamp, client, request line, status, time.
constexpr std::size_t LOG_LINE_BYTES = 160;

// A number of at least width digits, zeros in front.
void AppendPadded(std::string& out, long long value, int width) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    const auto count = static_cast<int>(end - digits);
    if (count < width) {
        out.append(static_cast<std::size_t>(width - count), '0');
    }
    out.append(digits, end);
}

HttpResponse Json(std::string body) {
    return {200, JSON_TYPE, std::move(body), {}};
}

HttpResponse ErrorReply(int status, std::string_view message) {
    return {status, JSON_TYPE, EncodeError(message), {}};
}

// Runs a handler, answering 400 for a wrong request and 500 for any other
// failure; a failure of the database itself is counted.
template <class Body>
HttpResponse Guarded(ServerMetrics& metrics, Body&& body) {
    try {
        return body();
    } catch (const RequestError& e) {
        return ErrorReply(400, e.what());
    } catch (const QueryCancelled& e) {
        return ErrorReply(CLIENT_GONE_STATUS, e.what());
    } catch (const StoreError& e) {
        metrics.DatabaseError();
        return ErrorReply(500, e.what());
    } catch (const std::exception& e) {
        return ErrorReply(500, e.what());
    }
}

// The path with every percent-encoded unreserved character (A-Z a-z 0-9
// - . _ ~) written plainly: "Srv_Zel%2EData_Srv_Zel" names the same class as
// "Srv_Zel.Data_Srv_Zel". Other escapes stay as they came.
std::string WithUnreservedDecoded(std::string_view path) {
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && hex(path[i + 1]) >= 0 &&
            hex(path[i + 2]) >= 0) {
            const char c = static_cast<char>(hex(path[i + 1]) * 16 + hex(path[i + 2]));
            const bool unreserved = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                    (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                    c == '~';
            if (unreserved) {
                out += c;
                i += 2;
                continue;
            }
        }
        out += path[i];
    }
    return out;
}

// The method a known path answers, or null for a path that is not the interface's.
const char* MethodFor(std::string_view path) {
    if (path.starts_with(CLASSES_PATH)) {
        return "GET";
    }
    if (path == GET_RECORDS_PATH || path == BUSCA_PRECIO_PATH) {
        return "POST";
    }
    return nullptr;
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
    // 2026-01-31T08:15:02.123456Z 127.0.0.1:50122 POST /v1/BuscaPrecio 200 143us
    std::string line;
    line.reserve(LOG_LINE_BYTES);
    AppendPadded(line, utc.tm_year + 1900, 4);
    for (const auto& [separator, value] :
         {std::pair{'-', utc.tm_mon + 1}, std::pair{'-', utc.tm_mday}, std::pair{'T', utc.tm_hour},
          std::pair{':', utc.tm_min}, std::pair{':', utc.tm_sec}}) {
        line += separator;
        AppendPadded(line, value, 2);
    }
    line += '.';
    AppendPadded(line, micros, 6);
    line += "Z ";
    const bool v6 = clientAddress.find(':') != std::string::npos;
    line += v6 ? "[" : "";
    AppendPrintable(line, clientAddress);
    line += v6 ? "]:" : ":";
    AppendPadded(line, clientPort, 1);
    line += ' ';
    AppendPrintable(line, method);
    line += ' ';
    AppendPrintable(line, path);
    line += ' ';
    AppendPadded(line, status, 1);
    line += ' ';
    AppendPadded(line, spent.count(), 1);
    line += "us";
    return line;
}

class SrvZelServer::Impl {
public:
    explicit Impl(ServeOptions options)
        : options_(std::move(options)),
          store_(OpenCatalogueStore(options_.DbPath)),
          pool_(*store_),
          metrics_(options_.Version),
          http_(HttpOptions(options_), Callbacks()),
          standby_(WatchStandby(
              options_.DbPath, [this](const std::string& line) { Write("srv_zel: " + line); },
              REPLICA_POLL)) {
        if (options_.Metrics) {
            HttpServerOptions m;
            m.Listen = *options_.Metrics;
            m.Lanes = {{"metrics", 1, 4}};
            // A scraper and a technician need a few connections; the port
            // may be reachable from the shop's network, so a client holds
            // little and not for long, and sends no body.
            m.MaxConnections = METRICS_CONNECTIONS;
            m.IoThreads = 1;
            m.Limits.MaxHeadBytes = METRICS_HEAD_BYTES;
            m.Limits.MaxBodyBytes = 0;
            m.RequestTimeLimit = METRICS_REQUEST_TIME;
            m.IdleLimit = METRICS_IDLE_TIME;
            HttpServer::Callbacks cb = Callbacks();
            cb.Lane = nullptr;
            cb.Allowed = nullptr;  // the metrics port is apart, and reveals no catalogue
            cb.Handle = [this](const HttpRequest& req) {
                if (req.Method != "GET" && req.Method != "HEAD") {
                    HttpResponse refused = ErrorReply(405, "method not allowed: " + req.Method +
                                                               " (this port serves GET /metrics)");
                    refused.Headers.emplace_back("Allow", "GET, HEAD");
                    return refused;
                }
                if (req.Path == "/metrics") {
                    if (standby_) {
                        metrics_.Replication(
                            standby_->Streaming(),
                            LagSeconds(standby_->AsOf(), std::chrono::system_clock::now()));
                    }
                    return HttpResponse{
                        200, "text/plain; version=0.0.4; charset=utf-8", metrics_.Text(), {}};
                }
                return ErrorReply(404, "no such path: " + req.Method + " " + req.Path +
                                           " (this port serves GET /metrics)");
            };
            cb.OnAnswer = nullptr;
            cb.OnTidy = nullptr;
            metricsHttp_ = std::make_unique<HttpServer>(std::move(m), std::move(cb));
        }
    }

    ServerAddress Address() const { return http_.Address(); }
    std::optional<ServerAddress> MetricsAddress() const {
        return metricsHttp_ ? std::optional(metricsHttp_->Address()) : std::nullopt;
    }

    void Run() {
        std::thread metrics;
        if (metricsHttp_) {
            metrics = std::thread([this] { metricsHttp_->Run(); });
        }
        http_.Run();
        if (metricsHttp_) {
            metricsHttp_->Stop();
            metrics.join();
        }
    }

    void Stop() { http_.Stop(); }

private:
    enum Lane : std::size_t { LOOKUPS = 0, QUERIES = 1 };

    static HttpServerOptions HttpOptions(const ServeOptions& o) {
        HttpServerOptions h;
        h.Listen = o.Listen;
        h.Limits = o.Http;
        h.MaxConnections = o.MaxConnections;
        h.MemoryBudget = o.MemoryBudget;
        h.RequestTimeLimit = o.RequestTimeLimit;
        h.IdleLimit = o.IdleLimit;
        h.WriteTimeLimit = o.RequestTimeLimit;
        h.Lanes = {{"lookup", o.Threads == 0 ? 1 : o.Threads, 0},
                   {"query", o.Limits.MaxConcurrent == 0 ? 1 : o.Limits.MaxConcurrent,
                    o.Limits.MaxQueued}};
        h.TlsCert = o.TlsCert;
        h.TlsKey = o.TlsKey;
        return h;
    }

    HttpServer::Callbacks Callbacks() {
        HttpServer::Callbacks cb;
        // A SQLite lookup takes microseconds: a hand-off to a worker would
        // cost more than the lookup.
        const bool lookupsInPlace = !IsPostgresUri(options_.DbPath);
        cb.Lane = [lookupsInPlace](const HttpRequest& req) {
            return WithUnreservedDecoded(req.Path) == GET_RECORDS_PATH ? QUERIES
                   : lookupsInPlace                                    ? HttpServer::IN_PLACE
                                                                       : LOOKUPS;
        };
        if (!options_.AccessKey.empty()) {
            cb.Allowed = [this](const HttpRequest& req) {
                return CarriesAccessKey(req.Header("authorization"), options_.AccessKey);
            };
        }
        cb.Handle = [this](const HttpRequest& req) { return Handle(req); };
        cb.Error = [](int status, const std::string& why) {
            HttpResponse answer = ErrorReply(status, why);
            if (status == 401) {
                answer.Headers.emplace_back("WWW-Authenticate", "Bearer");
            }
            return answer;
        };
        cb.OnAnswer = [this](const HttpRequest& req, const HttpResponse& res,
                             std::chrono::microseconds spent) { Log(req, res, spent); };
        cb.OnNotice = [this](const std::string& line) { Write("srv_zel: " + line); };
        cb.OnTidy = [this] { pool_.Tidy(std::chrono::steady_clock::now()); };
        return cb;
    }

    HttpResponse Handle(const HttpRequest& req) {
        const std::string path = WithUnreservedDecoded(req.Path);
        const char* method = MethodFor(path);
        if (method == nullptr) {
            return ErrorReply(404, "no such path: " + req.Method + " " + req.Path);
        }
        if (req.Method != method) {
            HttpResponse answer =
                ErrorReply(405, req.Path + " answers " + method + ", not " + req.Method);
            answer.Headers.emplace_back("Allow", method);
            return answer;
        }
        if (path.starts_with(CLASSES_PATH)) {
            const std::string asked = path.substr(CLASSES_PATH.size());
            if (asked != SERVER_CLASS) {
                return ErrorReply(404, "no class \"" + asked + "\" here; this server offers " +
                                           std::string(SERVER_CLASS));
            }
            return Json(EncodeClassReply(SERVER_CLASS));
        }
        if (path == GET_RECORDS_PATH) {
            return Guarded(metrics_, [&] { return GetRecords(req); });
        }
        return Guarded(metrics_, [&] { return BuscaPrecio(req); });
    }

    HttpResponse GetRecords(const HttpRequest& req) {
        const GetRecordsRequest request =
            DecodeRequest([&] { return DecodeGetRecordsRequest(req.Body); });
        RowSet rows;
        {
            auto lease = pool_.Acquire();
            rows = lease.Session().Query(request.ProviderName, request.CommandText, options_.Limits,
                                         req.Gone.get());
        }
        try {
            HttpResponse answer = Json(EncodeRowSet(rows));
            metrics_.RowsServed("AS_GetRecords", rows.Rows.size());
            return answer;
        } catch (const WireError& e) {
            throw RequestError(std::string("query refused: ") + e.what());
        }
    }

    HttpResponse BuscaPrecio(const HttpRequest& req) {
        const BuscaPrecioCall request =
            DecodeRequest([&] { return DecodeBuscaPrecioRequest(req.Body); });
        BuscaPrecioCall reply;
        {
            auto lease = pool_.Acquire();
            reply = lease.Session().Find(request);
        }
        metrics_.RowsServed("BuscaPrecio", reply.Result == 1 ? 1 : 0);
        HttpResponse answer = Json(EncodeBuscaPrecioReply(reply));
        if (const auto asOf = standby_ ? standby_->AsOf() : std::nullopt) {
            answer.Headers.emplace_back(CATALOGUE_AS_OF_HEADER, FormatUtc(*asOf));
        }
        return answer;
    }

    void Log(const HttpRequest& req, const HttpResponse& res, std::chrono::microseconds spent) {
        metrics_.Answered(WithUnreservedDecoded(req.Path), res.Status, spent);
        std::string line =
            FormatRequestLogLine(std::chrono::system_clock::now(), req.RemoteAddress,
                                 req.RemotePort, req.Method.empty() ? "-" : req.Method,
                                 req.Path.empty() ? "-" : req.Path, res.Status, spent);
        if (res.Status == CLIENT_GONE_STATUS) {
            Write(line + " client gone");
            return;
        }
        if (res.Status >= 400) {
            const std::string why = DecodeError(res.Body);
            if (!why.empty()) {
                line += " error: " + Printable(why);
            }
        }
        if (res.Status < 400) {
            Write(line);
        } else if (auto admitted = errorLines_.Admit(std::move(line))) {
            Write(std::move(*admitted));
        }
    }

    void Write(std::string line) {
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
    std::mutex logMutex_;
    LineRateLimit errorLines_{ERROR_LINES_PER_SECOND, std::chrono::seconds(1)};
    ServerMetrics metrics_;
    HttpServer http_;
    std::unique_ptr<HttpServer> metricsHttp_;
    std::unique_ptr<ReplicaWatch> standby_;  // null unless serving a standby
};

SrvZelServer::SrvZelServer(ServeOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

SrvZelServer::~SrvZelServer() = default;

ServerAddress SrvZelServer::Address() const {
    return impl_->Address();
}

std::optional<ServerAddress> SrvZelServer::MetricsAddress() const {
    return impl_->MetricsAddress();
}

void SrvZelServer::Run() {
    impl_->Run();
}

void SrvZelServer::Stop() {
    impl_->Stop();
}

}  // namespace zel
