// SrvZelServer: the reference application server. Answers the handshake,
// AS_GetRecords and BuscaPrecio over HTTP/JSON (docs/app-server-api.md) from
// a catalogue (SQLite or PostgreSQL), each request on a read-only connection
// of its thread. A lookup on SQLite takes microseconds and is answered on
// the I/O thread that read it; queries, and lookups on PostgreSQL (which
// wait on the network), have workers of their own (HttpServer's lanes): a
// flood of queries never takes the threads that answer lookups, and idle or
// slow clients take none. Writes one log line per request and per refusal,
// error lines at most ERROR_LINES_PER_SECOND (a flood of refusals does not
// fill the journal; the next line says how many were left out).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/ServerNames.h"
#include "server/ServerAddress.h"
#include "srv_zel/HttpRequest.h"
#include "srv_zel/QueryProvider.h"

namespace zel {

constexpr std::size_t ERROR_LINES_PER_SECOND = 100;

struct ServeOptions {
    std::string DbPath;                                      // a SQLite file or a postgresql:// URI
    ServerAddress Listen{"127.0.0.1", DEFAULT_SERVER_PORT};  // port 0: any free port
    std::size_t Threads = 16;                                // lookup workers on PostgreSQL
    QueryLimits Limits;
    HttpLimits Http;
    std::size_t MaxConnections = 1024;
    // Bytes of request bodies and unsent answers, all clients together.
    std::size_t MemoryBudget = 64u << 20;
    std::chrono::milliseconds RequestTimeLimit{10'000};  // also for taking the answer
    std::chrono::milliseconds IdleLimit{60'000};         // of a kept-alive connection
    // Where GET /metrics answers (its own port, its own worker); none: nowhere.
    std::optional<ServerAddress> Metrics;
    std::string Version = "dev";  // in the metrics' build info
    // HTTPS with this certificate chain and private key (PEM files); both
    // empty: plain HTTP.
    std::string TlsCert;
    std::string TlsKey;
    // Every request must carry "Authorization: Bearer <key>" with this key
    // (see ReadAccessKey); empty: no key asked for.
    std::string AccessKey;
    // Receives each request's log line (no newline); null writes to stderr.
    std::function<void(const std::string& line)> Log;
};

// One request's log line: UTC time with microseconds, client, method, path,
// status and the microseconds spent, e.g.
// "2024-05-01T12:00:00.123456Z 127.0.0.1:50122 POST /v1/BuscaPrecio 200 143us".
std::string FormatRequestLogLine(std::chrono::system_clock::time_point when,
                                 const std::string& clientAddress, int clientPort,
                                 const std::string& method, const std::string& path, int status,
                                 std::chrono::microseconds spent);

class SrvZelServer {
public:
    // Opens (creating) the catalogue and binds the listening socket. Throws
    // std::runtime_error naming the database or the address.
    explicit SrvZelServer(ServeOptions options);
    ~SrvZelServer();
    SrvZelServer(const SrvZelServer&) = delete;
    SrvZelServer& operator=(const SrvZelServer&) = delete;

    // The bound address, with the port the system chose for port 0.
    ServerAddress Address() const;
    std::optional<ServerAddress> MetricsAddress() const;

    // Serves until Stop(); requests under way are finished first.
    void Run();
    // From any thread, before, during or after Run().
    void Stop();

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zel
