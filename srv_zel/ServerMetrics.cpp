#include "srv_zel/ServerMetrics.h"

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
#include <sstream>

#include "server/WireFormat.h"

namespace zel {

namespace {

// From a fast lookup to the query time limit.
const prometheus::Histogram::BucketBoundaries LATENCY_BUCKETS = {
    0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5};

// The paths requests are counted under: a set that cannot grow whatever
// clients send.
enum PathLabel : std::size_t { GET_RECORDS, BUSCA_PRECIO, METRICS, CLASSES, UNREAD, OTHER, PATHS };
const std::string PATH_LABELS[PATHS] = {std::string(GET_RECORDS_PATH),
                                        std::string(BUSCA_PRECIO_PATH),
                                        "/metrics",
                                        std::string(CLASSES_PATH) + "*",
                                        "unread",
                                        "other"};

PathLabel LabelOf(std::string_view path) {
    if (path == GET_RECORDS_PATH) {
        return GET_RECORDS;
    }
    if (path == BUSCA_PRECIO_PATH) {
        return BUSCA_PRECIO;
    }
    if (path == "/metrics") {
        return METRICS;
    }
    if (path.starts_with(CLASSES_PATH)) {
        return CLASSES;
    }
    return path.empty() ? UNREAD : OTHER;
}

// Statuses an answer can have; each (path, status) series is found once.
constexpr int FIRST_STATUS = 100;
constexpr int STATUSES = 500;

// The rows counters, by request.
constexpr std::string_view ROW_REQUESTS[] = {"BuscaPrecio", "AS_GetRecords"};

// A series found through its family once, then read without the family's
// lock and label map. Two threads that both miss add the same series.
template <class Metric, class Add>
Metric& Cached(std::atomic<Metric*>& slot, Add add) {
    Metric* metric = slot.load(std::memory_order_acquire);
    if (metric == nullptr) {
        metric = &add();
        slot.store(metric, std::memory_order_release);
    }
    return *metric;
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

    std::array<std::atomic<prometheus::Counter*>, PATHS * STATUSES> requestSeries{};
    std::array<std::atomic<prometheus::Histogram*>, PATHS> latencySeries{};
    std::array<std::atomic<prometheus::Counter*>, std::size(ROW_REQUESTS)> rowSeries{};
};

ServerMetrics::ServerMetrics(std::string_view version) : f_(std::make_unique<Families>()) {
    f_->info.Add({{"version", std::string(version)}}).Set(1);
    f_->started.Add({}).Set(
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    f_->dbErrors.Add({});
}

ServerMetrics::~ServerMetrics() = default;

void ServerMetrics::Answered(std::string_view path, int status, std::chrono::microseconds spent) {
    const PathLabel label = LabelOf(path);
    const auto count = [&]() -> prometheus::Counter& {
        return f_->requests.Add({{"path", PATH_LABELS[label]}, {"status", std::to_string(status)}});
    };
    if (status >= FIRST_STATUS && status < FIRST_STATUS + STATUSES) {
        Cached(
            f_->requestSeries[label * STATUSES + static_cast<std::size_t>(status - FIRST_STATUS)],
            count)
            .Increment();
    } else {
        count().Increment();
    }
    Cached(f_->latencySeries[label], [&]() -> prometheus::Histogram& {
        return f_->latency.Add({{"path", PATH_LABELS[label]}}, LATENCY_BUCKETS);
    }).Observe(std::chrono::duration<double>(spent).count());
}

void ServerMetrics::DatabaseError() {
    f_->dbErrors.Add({}).Increment();
}

void ServerMetrics::RowsServed(std::string_view request, std::size_t rows) {
    const auto add = [&]() -> prometheus::Counter& {
        return f_->rows.Add({{"request", std::string(request)}});
    };
    const auto known = std::find(std::begin(ROW_REQUESTS), std::end(ROW_REQUESTS), request);
    prometheus::Counter& counter =
        known == std::end(ROW_REQUESTS)
            ? add()
            : Cached(f_->rowSeries[static_cast<std::size_t>(known - std::begin(ROW_REQUESTS))],
                     add);
    counter.Increment(static_cast<double>(rows));
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
