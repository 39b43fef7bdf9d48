// The monitor's request path over bytes: what each kind of client is
// answered (MonitorRequest read by the route table, MonitorRoutes), fed in
// pieces as a connection would, and the rules of its connection table.
#include <gtest/gtest.h>

#include <tuple>
#include <variant>

#include "gateway/MonitorConnections.h"
#include "gateway/MonitorRoutes.h"

namespace zel {
namespace {

using namespace std::chrono_literals;

const MonitorRouteTable ROUTES = {
    {"/", "text/html; charset=utf-8", [] { return std::string("<p>"); }, {{"X-Page", "1"}}},
    {"/status", "application/json", [] { return std::string("{}"); }},
};

// The answers, in order, to `bytes` fed `piece` bytes at a time; a refusal
// is the last (the connection closes after it).
std::vector<std::string> AnswersTo(const std::string& bytes, std::size_t piece) {
    MonitorRequest request;
    std::vector<std::string> answers;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        request.Add(std::string_view(bytes).substr(at, piece));
        for (RequestOutcome outcome = request.Take(); !std::holds_alternative<MoreBytes>(outcome);
             outcome = request.Take()) {
            if (const auto* refusal = std::get_if<RequestRefusal>(&outcome)) {
                answers.push_back(MonitorRefusal(*refusal));
                return answers;
            }
            answers.push_back(MonitorAnswer(ROUTES, std::get<RequestHead>(outcome)));
        }
    }
    return answers;
}

TEST(MonitorHttp, EachKindOfRequestGetsItsAnswer) {
    const std::string get = "GET /status HTTP/1.1\r\nHost: x\r\n\r\n";
    const struct {
        const char* Name;
        std::string Bytes;
        std::vector<std::string> Statuses;  // each answer's first line
        std::vector<std::string> Holds;     // in the last answer
        std::size_t Piece = 1 << 20;
    } rows[] = {
        {"GET", get, {"HTTP/1.1 200 OK"}, {"Content-Type: application/json", "\r\n\r\n{}"}},
        {"GET a byte at a time", get, {"HTTP/1.1 200 OK"}, {"\r\n\r\n{}"}, 1},
        {"a query is not looked at",
         "GET /status?x=1 HTTP/1.1\r\n\r\n",
         {"HTTP/1.1 200 OK"},
         {"{}"}},
        {"HEAD: the length, no body",
         "HEAD /status HTTP/1.1\r\n\r\n",
         {"HTTP/1.1 200 OK"},
         {"Content-Length: 2\r\n\r\n"}},
        {"the page with its own headers",
         "GET / HTTP/1.1\r\n\r\n",
         {"HTTP/1.1 200 OK"},
         {"X-Page: 1", "Cache-Control: no-store", "X-Content-Type-Options: nosniff"}},
        {"pipelined, both answered in order",
         get + "GET /nothing HTTP/1.1\r\n\r\n",
         {"HTTP/1.1 200 OK", "HTTP/1.1 404 Not Found"},
         {"Cache-Control: no-store"},
         7},
        {"HTTP/1.0 closes", "GET /status HTTP/1.0\r\n\r\n", {"HTTP/1.0 200 OK"}, {"{}"}},
        {"Connection: close",
         "GET /status HTTP/1.1\r\nConnection: close\r\n\r\n",
         {"HTTP/1.1 200 OK"},
         {"Connection: close"}},
        {"POST",
         "POST /status HTTP/1.1\r\nContent-Length: 1073741824\r\n\r\nxx",
         {"HTTP/1.1 405 Method Not Allowed"},
         {"Allow: GET, HEAD", "Connection: close"}},
        {"PUT",
         "PUT / HTTP/1.1\r\n\r\n",
         {"HTTP/1.1 405 Method Not Allowed"},
         {"Allow: GET, HEAD"}},
        {"a huge body announced",
         "GET /status HTTP/1.1\r\nContent-Length: 1073741824\r\n\r\n",
         {"HTTP/1.1 413 Payload Too Large"},
         {"Connection: close", "Cache-Control: no-store"}},
        {"a chunked body",
         "GET /status HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n",
         {"HTTP/1.1 411 Length Required"},
         {"Connection: close"}},
        {"a length that is no number",
         "GET /status HTTP/1.1\r\nContent-Length: x\r\n\r\n",
         {"HTTP/1.1 400 Bad Request"},
         {"Connection: close"}},
        {"a head past 8 KiB, never ended",
         "GET / HTTP/1.1\r\nX: " + std::string(9000, 'a'),
         {"HTTP/1.1 431 Request Header Fields Too Large"},
         {"Connection: close"},
         1000},
        {"a head past 8 KiB in many small headers",
         "GET / HTTP/1.1\r\n" +
             [] {
                 std::string many;
                 while (many.size() <= kMaxHeadBytes) {
                     many += "X-A: b\r\n";
                 }
                 return many + "\r\n";
             }(),
         {"HTTP/1.1 431 Request Header Fields Too Large"},
         {}},
        {"no HTTP at all (a TLS hello)",
         std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11) + "\r\n\r\n",
         {"HTTP/1.1 400 Bad Request"},
         {}},
        {"a head that never ends, under the limit", "GET / HTTP/1.1\r\nHost: x\r\n", {}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const std::vector<std::string> answers = AnswersTo(row.Bytes, row.Piece);
        ASSERT_EQ(answers.size(), row.Statuses.size());
        for (std::size_t i = 0; i < answers.size(); ++i) {
            EXPECT_EQ(answers[i].substr(0, answers[i].find("\r\n")), row.Statuses[i]);
        }
        for (const std::string& held : row.Holds) {
            EXPECT_NE(answers.back().find(held), std::string::npos) << held << "\n"
                                                                    << answers.back();
        }
    }
}

TEST(MonitorConnections, AFullTableMakesRoomAndEveryPhaseEndsInItsTime) {
    MonitorConnections table;
    const MonitorConnections::Time t0{};
    using Phase = MonitorConnections::Phase;
    std::vector<MonitorConnections::Id> ids;
    for (std::size_t i = 0; i < MonitorConnections::kLimit; ++i) {
        const auto opened = table.Open(t0 + std::chrono::milliseconds(i));
        EXPECT_FALSE(opened.Evicted);
        ids.push_back(opened.Connection);
    }
    // The first is answered later: it waits no longer than the others.
    table.Enter(ids[0], Phase::Answer, t0 + 1s);
    table.Answered(ids[0], t0 + 2s);
    table.Enter(ids[0], Phase::Idle, t0 + 2s);
    auto opened = table.Open(t0 + 3s);
    EXPECT_EQ(opened.Evicted, ids[1]) << "the one waiting the longest";
    ASSERT_TRUE(opened.Line);
    EXPECT_NE(opened.Line->find("32 connections open"), std::string::npos);
    table.Enter(ids[5], Phase::Closing, t0 + 3s);
    opened = table.Open(t0 + 3s);
    EXPECT_EQ(opened.Evicted, ids[5]) << "a closing one first";
    EXPECT_FALSE(opened.Line) << "one line per episode";
    EXPECT_EQ(table.Size(), MonitorConnections::kLimit);

    // Each phase's time: the heads of those accepted at t0 end 10 s later,
    // the two new ones' at 13 s, the idle one 15 s after its answer.
    EXPECT_EQ(table.NextDeadline(), t0 + 10s + 2ms);
    EXPECT_TRUE(table.Expired(t0 + 10s + 1ms).empty());
    for (const auto& [at, count, phase] :
         {std::tuple{t0 + 12s, MonitorConnections::kLimit - 3, Phase::Head},
          std::tuple{t0 + 16s, std::size_t{2}, Phase::Head},
          std::tuple{t0 + 17s, std::size_t{1}, Phase::Idle}}) {
        const auto expired = table.Expired(at);
        EXPECT_EQ(expired.size(), count);
        for (const auto& [id, was] : expired) {
            EXPECT_EQ(was, phase);
            table.Remove(id);
        }
    }
    EXPECT_EQ(table.Size(), 0u);
    EXPECT_FALSE(table.NextDeadline());
}

}  // namespace
}  // namespace zel
