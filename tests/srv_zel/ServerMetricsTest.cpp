#include "srv_zel/ServerMetrics.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace zel {
namespace {

using std::chrono::microseconds;

// Series are found once and then shared by every I/O thread: counts from
// threads at once are exact, whichever thread found the series first.
TEST(ServerMetrics, CountsFromThreadsAtOnceAreExact) {
    constexpr int EACH = 20'000;
    ServerMetrics metrics("1.0");
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < EACH; ++i) {
                metrics.Answered("/v1/BuscaPrecio", 200, microseconds(150));
                metrics.RowsServed("BuscaPrecio", 1);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    struct Case {
        const char* path;
        int status;
    };
    // Paths a client makes up share one label; statuses outside HTTP's are still counted.
    for (const Case c : {Case{"/v1/classes/X", 200}, Case{"/nada", 404}, Case{"/otra", 404},
                         Case{"", 400}, Case{"/v1/BuscaPrecio", 99}}) {
        metrics.Answered(c.path, c.status, microseconds(10));
    }
    metrics.RowsServed("AS_GetRecords", 7);
    metrics.RowsServed("otra", 3);
    const std::string text = metrics.Text();
    for (const std::string line : {
             "srv_zel_http_requests_total{path=\"/v1/BuscaPrecio\",status=\"200\"} 40000\n",
             "srv_zel_http_request_duration_seconds_count{path=\"/v1/BuscaPrecio\"} 40001\n",
             "srv_zel_rows_served_total{request=\"BuscaPrecio\"} 40000\n",
             "srv_zel_http_requests_total{path=\"/v1/classes/*\",status=\"200\"} 1\n",
             "srv_zel_http_requests_total{path=\"other\",status=\"404\"} 2\n",
             "srv_zel_http_requests_total{path=\"unread\",status=\"400\"} 1\n",
             "srv_zel_http_requests_total{path=\"/v1/BuscaPrecio\",status=\"99\"} 1\n",
             "srv_zel_rows_served_total{request=\"AS_GetRecords\"} 7\n",
             "srv_zel_rows_served_total{request=\"otra\"} 3\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    }
}

}  // namespace
}  // namespace zel
