// ServerMetrics: what srv_zel has served, in the Prometheus text format:
// requests by path and status, their latency, database failures, the
// rows sent and, on a standby, the replication's state. Safe to update from every worker at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace zel {

class ServerMetrics {
public:
    explicit ServerMetrics(std::string_view version);
    ~ServerMetrics();
    ServerMetrics(const ServerMetrics&) = delete;
    ServerMetrics& operator=(const ServerMetrics&) = delete;

    // path: any request's; paths that are not the interface's count as "other".
    void Answered(std::string_view path, int status, std::chrono::microseconds spent);
    void DatabaseError();
    void RowsServed(std::string_view request, std::size_t rows);
    // On a standby: whether the WAL receiver streams, and how far the
    // catalogue is behind the head office's (NaN: not known yet).
    void Replication(bool streaming, double lagSeconds);

    // Every metric, as GET /metrics sends it.
    std::string Text() const;

private:
    struct Families;
    std::unique_ptr<Families> f_;
};

}  // namespace zel
