#include "srv_zel/ServerMetrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <sstream>

#include "server/WireFormat.h"

namespace zel {

namespace {

// From a fast lookup to the query time limit.
const prometheus::Histogram::BucketBoundaries LATENCY_BUCKETS = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

// A label that cannot grow without bound whatever clients send.
std::string PathLabel(std::string_view path) {
    if (path == GET_RECORDS_PATH || path == BUSCA_PRECIO_PATH || path == "/metrics") {
        return std::string(path);
    }
    if (path.starts_with(CLASSES_PATH)) {
        return std::string(CLASSES_PATH) + "*";
    }
    return path.empty() ? "unread" : "other";
}

}  // namespace

struct ServerMetrics::Families {
    std::shared_ptr<prometheus::Registry> registry = std::make_shared<prometheus::Registry>();
    prometheus::Family<prometheus::Counter>& requests =
        prometheus::BuildCounter()
            .Name("srv_zel_http_requests_total")
            .Help("HTTP requests answered, by path and status")
            .Register(*registry);
    prometheus::Family<prometheus::Histogram>& latency =
        prometheus::BuildHistogram()
            .Name("srv_zel_http_request_duration_seconds")
            .Help("Time from a request's last byte to its answer, by path")
            .Register(*registry);
    prometheus::Family<prometheus::Counter>& dbErrors =
        prometheus::BuildCounter()
            .Name("srv_zel_database_errors_total")
            .Help("Requests that failed in the database itself")
            .Register(*registry);
    prometheus::Family<prometheus::Counter>& rows =
        prometheus::BuildCounter()
            .Name("srv_zel_rows_served_total")
            .Help("Rows sent: query rows for AS_GetRecords, articles found for BuscaPrecio")
            .Register(*registry);
    prometheus::Family<prometheus::Gauge>& lag =
        prometheus::BuildGauge()
            .Name("srv_zel_replication_lag_seconds")
            .Help(
                "On a standby: how long ago its catalogue was last known to equal the head "
                "office's (0 while streaming and caught up)")
            .Register(*registry);
    prometheus::Family<prometheus::Gauge>& streaming =
        prometheus::BuildGauge()
            .Name("srv_zel_replication_streaming")
            .Help("On a standby: 1 while its WAL receiver streams from the head office, else 0")
            .Register(*registry);
    prometheus::Family<prometheus::Gauge>& info = prometheus::BuildGauge()
                                                      .Name("srv_zel_build_info")
                                                      .Help("The running version, always 1")
                                                      .Register(*registry);
    prometheus::Family<prometheus::Gauge>& started =
        prometheus::BuildGauge()
            .Name("srv_zel_start_time_seconds")
            .Help("When the server started, in seconds since the Unix epoch")
            .Register(*registry);
};

ServerMetrics::ServerMetrics(std::string_view version) : f_(std::make_unique<Families>()) {
    f_->info.Add({{"version", std::string(version)}}).Set(1);
    f_->started.Add({}).Set(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    f_->dbErrors.Add({});
}

ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::Answered(std::string_view path, int status, std::chrono::microseconds spent) {
    const std::string label = PathLabel(path);
    f_->requests.Add({{"path", label}, {"status", std::to_string(status)}}).Increment();
    f_->latency.Add({{"path", label}}, LATENCY_BUCKETS)
        .Observe(std::chrono::duration<double>(spent).count());
}

void ServerMetrics::DatabaseError() {
    f_->dbErrors.Add({}).Increment();
}

void ServerMetrics::RowsServed(std::string_view request, std::size_t rows) {
    f_->rows.Add({{"request", std::string(request)}}).Increment(static_cast<double>(rows));
}

void ServerMetrics::Replication(bool streaming, double lagSeconds) {
    f_->streaming.Add({}).Set(streaming ? 1 : 0);
    f_->lag.Add({}).Set(lagSeconds);
}

std::string ServerMetrics::Text() const {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, f_->registry->Collect());
    return out.str();
}

}  // namespace zel
