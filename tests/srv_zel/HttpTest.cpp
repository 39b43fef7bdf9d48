// The serving layer: requests read within their limits (in-process), and
// srv_zel under abuse on real loopback sockets: every limit answers with its
// status and a log line while lookups go on; resets and running out of file
// handles leave no thread spinning.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "Catalogue.h"
#include "common/ServerNames.h"
#include "server/CoData_Srv_Zel.h"
#include "server/WireFormat.h"
#include "srv_zel/CancelSignal.h"
#include "srv_zel/HttpRequestReader.h"
#include "srv_zel/HttpServer.h"
#include "srv_zel/LineRateLimit.h"

namespace zel {
namespace {

using test::Client;
using test::LogHas;
using test::RunningServer;
using test::TempDir;

TEST(HttpRequestReader, RequestsAndTheirLimits) {
    const std::string big(20'000, 'a');
    std::string manyHeaders;
    for (int i = 0; i < 70; ++i) {
        manyHeaders += "X-" + std::to_string(i) + ": 1\r\n";
    }
    struct Case {
        std::string bytes;
        int status;  // 0: a complete request
        const char* body;
        bool keepAlive;
    };
    const Case cases[] = {
        {"GET /v1/classes/x?y=1 HTTP/1.1\r\nHost: x\r\nHost: a\r\n\r\n", 0, "", true},
        {"\r\nPOST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc", 0,
         "abc", false},
        {"POST /p HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi", 0, "hi", false},
        {"POST /p HTTP/1.0\nContent-Length: 2\n\nhi", 400, "", false},  // bare LF
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n"
         "3;x=y\r\nabc\r\n2\r\nde\r\n0\r\nTrailer: 1\r\n\r\n",
         0, "abcde", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n", 413, "",
         true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
         "chunked\r\n\r\nFFFFFFFFFFFFFFFFFFFF\r\n",
         400, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", 400, "",
         true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 1048577\r\n\r\n", 413, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 99999999999999999999999\r\n\r\n", 400, "",
         true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n", 400, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\n", 400, "",
         true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n",
         400, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: gzip\r\n\r\n", 501, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nContent-Encoding: gzip\r\nContent-Length: 1\r\n\r\n", 415,
         "", true},
        {"GET /p HTTP/1.1\r\nHost: x\r\nX: " + big + "\r\n\r\n", 431, "", true},
        {"GET /p HTTP/1.1\r\nHost: x\r\n" + manyHeaders + "\r\n", 431, "", true},
        {"POST /p HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n" + manyHeaders +
             "\r\n",
         431, "", true},  // trailers count with the headers
        {"GET /p HTTP/2.0\r\n\r\n", 505, "", true},
        {"GET  /p HTTP/1.1\r\nHost: x\r\n\r\n", 400, "", true},
        {"GET p HTTP/1.1\r\nHost: x\r\n\r\n", 400, "", true},
        {"GET /p HTTP/1.1\r\nHost: x\r\nBad Header: 1\r\n\r\n", 400, "", true},
        {"GET /p HTTP/1.1\r\n\r\n", 400, "", true},  // no Host
        {"\r\n\r\n\r\n" + std::string(100, '\n'), 400, "", true},
        {"GET /p HTTP/1.0\r\n\r\n", 0, "", false},
        {"GET /p HTTP/1.1\r\nHost: x\r\nX: a" + std::string(1, '\0') + "b\r\n\r\n", 400, "", true},
        {"GET /p HTTP/1.1\r\nHost: x\r\nX: a\x01\r\n\r\n", 400, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 80));
        for (const bool byteByByte : {false, true}) {
            HttpRequestReader reader;
            boost::beast::flat_buffer buffer(HttpRequestReader::BufferBytes({}));
            using Step = HttpRequestReader::Step;
            Step step = Step::ReadHead;
            const auto put = [&](std::string_view bytes) {
                const auto to = buffer.prepare(bytes.size());
                std::memcpy(to.data(), bytes.data(), bytes.size());
                buffer.commit(bytes.size());
                step = reader.Feed(buffer);
            };
            // Byte by byte too, the next request's bytes follow: some faults
            // (a bare LF, a chunk longer than its size) show only with them.
            const std::string next = "GET /next HTTP/1.1\r\nHost: x\r\n\r\n";
            const std::string all = c.bytes + next;
            std::size_t used = 0;
            if (byteByByte) {
                for (; used < all.size() && step != Step::Failed && step != Step::Done; ++used) {
                    put(std::string_view(all).substr(used, 1));
                }
            } else {
                put(all);
                used = all.size() - buffer.size();
            }
            if (c.status != 0) {
                EXPECT_EQ(step, Step::Failed);
                EXPECT_EQ(reader.ErrorStatus(), c.status) << reader.ErrorReason();
                continue;
            }
            ASSERT_EQ(step, Step::Done) << reader.ErrorReason();
            EXPECT_EQ(used, c.bytes.size());  // the next request is left alone
            const HttpRequest r = reader.Take();
            EXPECT_EQ(r.Body, c.body);
            EXPECT_EQ(r.KeepAlive, c.keepAlive);
            EXPECT_EQ(r.Path,
                      c.bytes.find("classes") != std::string::npos ? "/v1/classes/x" : "/p");
        }
    }
}

class Abuse : public ::testing::Test {
protected:
    void SetUp() override {
        test::ExecSql(db_,
                      "INSERT INTO Articulos (Codigo, Descrip, Precio1) VALUES (7501, 'a', 3)");
    }
    TempDir dir_;
    std::string db_ = dir_.File("t.db");
};

TEST_F(Abuse, EveryLimitAnswersWithItsStatusAndALogLine) {
    RunningServer server(
        db_, {}, [](ServeOptions& o) { o.RequestTimeLimit = std::chrono::milliseconds(300); });
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'x') + "\r\n";
    std::string chunked =
        "POST /v1/BuscaPrecio HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 40; ++i) {  // 2.5 MiB
        chunked += chunk;
    }
    struct Case {
        std::string bytes;
        const char* status;
        const char* log;
    };
    const Case cases[] = {
        {chunked, "HTTP/1.1 413 ", "POST /v1/BuscaPrecio 413 0us error: chunked body over"},
        {"POST /v1/BuscaPrecio HTTP/1.1\r\nHost: x\r\nContent-Length: 5000000000\r\n\r\n",
         "HTTP/1.1 413 ", "error: body of 5000000000 bytes"},
        {"GET / HTTP/1.1\r\nHost: x\r\nX: " + std::string(40'000, 'h') + "\r\n\r\n",
         "HTTP/1.1 431 ", "GET / 431 0us error: request line and headers over 16384 bytes"},
        {"POST /v1/BuscaPrecio HTTP/1.1\r\nHost: x\r\nContent-Le", "HTTP/1.1 408 ",
         "POST /v1/BuscaPrecio 408 0us error: the request did not come whole within 300 ms"},
        {"GET /nada HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 ",
         "GET /nada 404"},
        {"GET /sin-host HTTP/1.1\r\n\r\n", "HTTP/1.1 400 ",
         "GET /sin-host 400 0us error: an HTTP/1.1 request names its Host"},
        {"GET /nul HTTP/1.1\r\nHost: x\r\nX: a" + std::string(1, '\0') + "\r\n\r\n",
         "HTTP/1.1 400 ", "GET /nul 400 0us error: a header value holds a control byte"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        Client client(server.Address());
        ASSERT_TRUE(client.Connected());
        client.Send(c.bytes);  // the server may close before taking it all
        const std::string answer = client.ReadAll();
        EXPECT_TRUE(answer.starts_with(c.status)) << answer.substr(0, 200);
        EXPECT_TRUE(LogHas(server, c.log));
    }
}

TEST_F(Abuse, PathsMethodsAndBodiesAnswerAsTheInterfaceSays) {
    RunningServer server(db_);
    const std::string lookup = R"({"Codigo": 7501, "No_Precio": 0, "Descrip": "", "Mult": 1})";
    const auto post = [](const std::string& path, const std::string& body) {
        return "POST " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    const auto get = [](const std::string& path) {
        return "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    };
    const auto withCodigo = [](const std::string& codigo, const std::string& descrip = "\"\"") {
        return R"({"Codigo": )" + codigo + R"(, "No_Precio": 0, "Descrip": )" + descrip +
               R"(, "Mult": 1})";
    };
    struct Case {
        std::string bytes;
        const char* status;
        const char* has;  // in the answer's head or body; null: nothing looked for
    };
    const Case cases[] = {
        {get("/v1/BuscaPrecio"), "HTTP/1.1 405 ", "Allow: POST\r\n"},
        {"DELETE /v1/AS_GetRecords HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
         "HTTP/1.1 405 ", "Allow: POST\r\n"},
        {post("/v1/classes/Srv_Zel.Data_Srv_Zel", lookup), "HTTP/1.1 405 ", "Allow: GET\r\n"},
        {get("/v1/classes/Srv_Zel%2EData_Srv_Zel"), "HTTP/1.1 200 ", R"("api":1)"},
        {get("/v1/classes/Srv%5fZel.Data_Srv_Zel"), "HTTP/1.1 200 ", nullptr},
        {get("/v1/classes/Srv_Zel%2FData_Srv_Zel"), "HTTP/1.1 404 ", nullptr},
        {post("/v1/%42uscaPrecio", lookup), "HTTP/1.1 200 ", R"("Result":1)"},
        {post("/v1/BuscaPrecio%", lookup), "HTTP/1.1 404 ", nullptr},
        // Found: Mult from the row; not found: Mult as it came.
        {post("/v1/BuscaPrecio", R"({"Codigo": 7501, "No_Precio": 0, "Descrip": "", "Mult": 2})"),
         "HTTP/1.1 200 ", R"("Mult":1.0)"},
        {post("/v1/BuscaPrecio", R"({"Codigo": 7502, "No_Precio": 0, "Descrip": "", "Mult": 2})"),
         "HTTP/1.1 200 ", R"("Mult":2.0)"},
        {post("/v1/BuscaPrecio", "\xEF\xBB\xBF" + lookup), "HTTP/1.1 200 ", R"("Result":1)"},
        {post("/v1/BuscaPrecio",
              R"({"Codigo": 1, "Codigo": 7501, "No_Precio": 0, "Descrip": "", "Mult": 1})"),
         "HTTP/1.1 200 ", R"("Result":1)"},
        {post("/v1/BuscaPrecio", withCodigo("7501", R"("\ud800")")), "HTTP/1.1 400 ", "surrogate"},
        {post("/v1/BuscaPrecio", withCodigo("9007199254740993")), "HTTP/1.1 400 ",
         "no exact double"},
        {post("/v1/BuscaPrecio", withCodigo("1e999")), "HTTP/1.1 400 ", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        Client client(server.Address());
        ASSERT_TRUE(client.Connected());
        client.Send(c.bytes);
        const std::string answer = client.ReadAll();
        EXPECT_TRUE(answer.starts_with(c.status)) << answer;
        if (c.has != nullptr) {
            EXPECT_NE(answer.find(c.has), std::string::npos) << answer;
        }
    }
}

TEST_F(Abuse, IdleAndSlowClientsTakeNoWorker) {
    RunningServer server(db_, {}, [](ServeOptions& o) { o.Threads = 2; });
    // More idle kept-alive connections and half-sent requests than workers.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 200; ++i) {
        idle.push_back(std::make_unique<Client>(server.Address()));
        if (i % 2 == 0) {
            idle.back()->Send("POST /v1/BuscaPrecio HTTP/1.1\r\nHost: x\r\n");
        }
    }
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(test::PriceOf(*object), 3.0);
    }
}

TEST_F(Abuse, QueriesWaitInALaneOfTheirOwn) {
    QueryLimits limits;
    limits.MaxTime = std::chrono::milliseconds(1500);
    limits.MaxConcurrent = 1;
    limits.MaxQueued = 1;
    RunningServer server(db_, limits);
    const std::string endless = test::ENDLESS_QUERY;
    std::vector<std::string> errors(3);
    std::vector<std::thread> queries;
    const auto ask = [&](std::size_t i) {
        queries.emplace_back([&, i] {
            const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
            try {
                object->AS_GetRecords(std::string(TAX_PROVIDER), endless);
            } catch (const ServerError& e) {
                errors[i] = e.what();
            }
        });
    };
    // One at a time, so that each is where it should be before the next
    // comes: the first taken by the worker, the second waiting, the third
    // beyond the queue. A request still in the queue counts as waiting, so the
    // second must not come before the worker has taken the first.
    ask(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ask(1);
    EXPECT_TRUE(LogHas(server, "srv_zel: all 1 query workers busy; requests wait their turn"));
    ask(2);
    // Lookups are answered while the queries run and wait.
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    EXPECT_EQ(test::PriceOf(*object), 3.0);
    for (auto& q : queries) {
        q.join();
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_NE(errors[0].find("HTTP 400: query refused: it ran longer than 1500 ms"),
              std::string::npos)
        << errors[0];
    EXPECT_NE(errors[1].find("HTTP 400: query refused: it ran longer"), std::string::npos);
    EXPECT_NE(errors[2].find("HTTP 503: too many requests of this kind waiting"), std::string::npos)
        << errors[2];
}

TEST_F(Abuse, MetricsPassPromtool) {
    RunningServer server(db_, {}, [](ServeOptions& o) {
        o.Metrics = ServerAddress{"127.0.0.1", 0};
    });
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    test::PriceOf(*object);
    test::PriceOf(*object);
    Client bad(server.Address());
    bad.Send("GET /nada HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    bad.ReadAll();
    ASSERT_TRUE(LogHas(server, "GET /nada 404"));

    ASSERT_TRUE(server.MetricsAddress());
    Client scrape(*server.MetricsAddress());
    scrape.Send("GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::string answer = scrape.ReadAll();
    const std::string text = answer.substr(answer.find("\r\n\r\n") + 4);
    for (const char* line :
         {"srv_zel_http_requests_total{path=\"/v1/BuscaPrecio\",status=\"200\"} 2",
          "srv_zel_http_requests_total{path=\"other\",status=\"404\"} 1",
          "srv_zel_rows_served_total{request=\"BuscaPrecio\"} 2", "srv_zel_database_errors_total 0",
          "srv_zel_http_request_duration_seconds_bucket{"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    if (system("command -v promtool >/dev/null") != 0) {
        GTEST_SKIP() << "promtool is not installed";
    }
    const std::string file = dir_.Write("metrics.txt", text);
    EXPECT_EQ(system(("promtool check metrics < " + file).c_str()), 0);
}

TEST_F(Abuse, HeadIsAnsweredWithoutABody) {
    RunningServer server(db_);
    Client client(server.Address());
    const std::string path = std::string(CLASSES_PATH) + std::string(SERVER_CLASS);
    client.Send("HEAD " + path + " HTTP/1.1\r\nHost: x\r\n\r\nGET " + path +
                " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    const std::string answers = client.ReadAll();
    // The second answer follows the first one's head at once.
    const auto second = answers.find("\r\n\r\nHTTP/1.1 ");
    ASSERT_NE(second, std::string::npos) << answers;
    EXPECT_NE(answers.substr(0, second).find("Content-Length: "), std::string::npos);
    EXPECT_NE(answers.find("HTTP/1.1 200 ", second), std::string::npos) << answers;
}

TEST_F(Abuse, BodiesPastTheMemoryBudgetAre503) {
    RunningServer server(db_, {}, [](ServeOptions& o) { o.MemoryBudget = 1'500'000; });
    const std::string announced =
        "POST /v1/BuscaPrecio HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n";
    std::optional<Client> first(std::in_place, server.Address());
    first->Send(announced);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Client second(server.Address());
    second.Send(announced);
    EXPECT_TRUE(second.ReadAll().starts_with("HTTP/1.1 503 "));
    EXPECT_TRUE(LogHas(server, "POST /v1/BuscaPrecio 503 0us error: the server holds as much"));
    first.reset();  // what it held is given back
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    EXPECT_EQ(test::PriceOf(*object), 3.0);
}

TEST_F(Abuse, PastTheCapTheIdlestHolderGivesWayAndBusyOnesGet503) {
    RunningServer server(db_, {}, [](ServeOptions& o) { o.MaxConnections = 1; });
    Client idle(server.Address());
    ASSERT_TRUE(idle.Connected());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // taken before the next
    Client busy(server.Address());
    EXPECT_EQ(idle.ReadAll(), "");  // closed to make room
    busy.Send("POST /v1/BuscaPrecio HTTP/1.1\r\nHost: x\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // its request is under way
    Client third(server.Address());
    EXPECT_TRUE(third.ReadAll().starts_with("HTTP/1.1 503 "));
    EXPECT_TRUE(LogHas(server, " - - 503 0us error: too many connections open"));
}

// The serving layer alone, with the test's handler on one lane.
class Serving {
public:
    Serving(HttpServerOptions options, HttpServer::Handler handle)
        : server_(std::move(options), Callbacks(std::move(handle))),
          thread_([this] { server_.Run(); }) {}
    ~Serving() {
        server_.Stop();
        thread_.join();
    }
    ServerAddress Address() const { return server_.Address(); }
    bool Noticed(const std::string& text) {
        for (int i = 0; i < 500; ++i) {
            {
                const std::lock_guard lock(mutex_);
                for (const auto& line : notices_) {
                    if (line.find(text) != std::string::npos) {
                        return true;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    HttpServer::Callbacks Callbacks(HttpServer::Handler handle) {
        HttpServer::Callbacks cb;
        cb.Handle = std::move(handle);
        cb.Error = [](int status, const std::string& why) {
            return HttpResponse{status, "text/plain", why, {}};
        };
        cb.OnNotice = [this](const std::string& line) {
            const std::lock_guard lock(mutex_);
            notices_.push_back(line);
        };
        return cb;
    }

    std::mutex mutex_;
    std::vector<std::string> notices_;
    HttpServer server_;
    std::thread thread_;
};

// CPU time a whole process (this one unless told) spent over a while.
double CpuSecondsOver(std::chrono::milliseconds span, pid_t pid = getpid()) {
    const auto now = [pid] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        const std::string stat(std::istreambuf_iterator<char>(in), {});
        // After the name in parentheses: the state (field 3) up to utime and stime (14, 15).
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        std::string skipped;
        for (int field = 3; field < 14; ++field) {
            fields >> skipped;
        }
        long user = 0;
        long system = 0;
        fields >> user >> system;
        return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    };
    const double before = now();
    std::this_thread::sleep_for(span);
    return now() - before;
}

constexpr double IDLE_CPU_SECONDS = 0.25;  // in a second: no thread spins

TEST(HttpServer, AClientThatResetsDuringItsRequestLeavesNoThreadSpinning) {
    std::atomic<int> started{0};
    HttpServerOptions options;
    options.Lanes = {{"slow", 4, 0}};
    Serving serving(options, [&](const HttpRequest&) {
        ++started;
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return HttpResponse{200, "text/plain", "late", {}};
    });
    for (int i = 0; i < 4; ++i) {
        Client client(serving.Address());
        client.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        while (started <= i) {
            std::this_thread::yield();
        }
        client.ResetOnClose();
    }
    EXPECT_LT(CpuSecondsOver(std::chrono::seconds(1)), IDLE_CPU_SECONDS);
}

TEST(HttpServer, AClientThatGoesCancelsItsRequestAndItsQueuedOneNeverRuns) {
    std::atomic<int> started{0};
    std::atomic<int> cancelled{0};
    HttpServerOptions options;
    options.Lanes = {{"slow", 1, 0}};
    Serving serving(options, [&](const HttpRequest& request) {
        ++started;
        const auto stop = request.Gone->OnCancel([&] { ++cancelled; });
        while (!request.Gone->Cancelled()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return HttpResponse{200, "text/plain", "", {}};
    });
    {
        Client running(serving.Address());
        running.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        while (started == 0) {
            std::this_thread::yield();
        }
        auto queued = std::make_unique<Client>(serving.Address());
        queued->Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // The queued one goes first, and well before the running one, so
        // that its close is seen (even under an emulator) before the worker
        // is free to take it.
        queued.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }  // then the running one
    for (int i = 0; i < 500 && cancelled == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(cancelled, 1);
    EXPECT_EQ(started, 1);
}

TEST_F(Abuse, QueriesResetByTheirClientsFreeTheWorkers) {
    RunningServer server(db_);  // two query workers, 4 s a query
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 2; ++i) {
        clients.push_back(std::make_unique<Client>(server.Address()));
        clients.back()->Send(test::EndlessQueryRequest());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // both running
    for (auto& c : clients) {
        c->ResetOnClose();
    }
    clients.clear();
    // Both workers are free long before the queries' 4 s: the next query
    // is answered, and nothing runs on.
    const auto object = CoData_Srv_Zel::CreateRemote(server.AddressText());
    EXPECT_EQ(object->AS_GetRecords(std::string(TAX_PROVIDER), "SELECT 1").Rows.size(), 1u);
    EXPECT_LT(CpuSecondsOver(std::chrono::seconds(1)), IDLE_CPU_SECONDS);
    EXPECT_TRUE(LogHas(server, " 499 "));
    for (const auto& line : server.LogLines()) {
        EXPECT_EQ(line.find("error"), std::string::npos) << line;
    }
}

// The child's side: a server left four file handles; it writes its port
// once it is short of them, then 1 when it told it ran out, and serves on
// until it is killed.
[[noreturn]] void ServeShortOfFileHandles(int toParent) {
    // /slow keeps its connection busy, so that none is idle to give way.
    Serving serving({}, [](const HttpRequest& request) {
        if (request.Path == "/slow") {
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
        return HttpResponse{200, "text/plain", "", {}};
    });
    {
        // A request answered and its connection kept across the server's
        // scans while handles are left: the sanitizers' runtime checks an
        // object's type through a pipe the first time it meets that type,
        // which it cannot open once no handle is left, and would report
        // the server's own connections as of a wrong type.
        Client warm(serving.Address());
        warm.Send("GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // its handle closed
    std::set<int> open;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        open.insert(std::stoi(entry.path().filename().string()));
    }
    int limit = 0;
    for (int free = 0; free < 4; ++limit) {
        free += open.contains(limit) ? 0 : 1;
    }
    const rlimit few{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    if (setrlimit(RLIMIT_NOFILE, &few) != 0) {
        _exit(1);
    }
    const std::uint16_t port = serving.Address().Port;
    const char noticed = 1;
    if (write(toParent, &port, sizeof port) != sizeof port ||
        !serving.Noticed("out of file handles") || write(toParent, &noticed, 1) != 1) {
        _exit(1);
    }
    for (;;) {
        pause();
    }
}

// Every connection busy, so none gives way: the newcomers get 503. The
// server runs short of handles in a child process, so that the clients,
// the assertions and the sanitizers' runtime here keep handles of their own.
TEST(HttpServer, OutOfFileHandlesAnswers503WithoutSpinning) {
    int fromChild[2];
    ASSERT_EQ(pipe2(fromChild, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fromChild[0]);
        ServeShortOfFileHandles(fromChild[1]);
    }
    close(fromChild[1]);
    std::uint16_t port = 0;
    ASSERT_EQ(read(fromChild[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    constexpr int CLIENTS = 64;
    std::vector<int> sockets;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    for (int i = 0; i < CLIENTS; ++i) {
        sockets.push_back(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        connect(sockets.back(), reinterpret_cast<sockaddr*>(&to), sizeof to);
        constexpr std::string_view slow = "GET /slow HTTP/1.1\r\nHost: x\r\n\r\n";
        send(sockets.back(), slow.data(), slow.size(), MSG_NOSIGNAL);
    }
    char noticed = 0;
    EXPECT_EQ(read(fromChild[0], &noticed, 1), 1) << "no notice of running out of file handles";
    const double spent = CpuSecondsOver(std::chrono::seconds(1), child);
    int refused = 0;
    for (const int s : sockets) {
        char answer[64] = {};
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) == 1 && recv(s, answer, sizeof answer - 1, 0) > 0 &&
            std::string_view(answer).starts_with("HTTP/1.1 503 ")) {
            ++refused;
        }
        close(s);
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    close(fromChild[0]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child ended " << status;
    EXPECT_GT(refused, 0);
    EXPECT_LT(spent, IDLE_CPU_SECONDS);
}

TEST(LineRateLimit, LinesPastTheWindowsShareAreCountedInTheNext) {
    LineRateLimit limit(2, std::chrono::seconds(1));
    const LineRateLimit::Clock::time_point t0{};
    using std::chrono::milliseconds;
    EXPECT_EQ(limit.Admit("a", t0 + milliseconds(1000)), "a");
    EXPECT_EQ(limit.Admit("b", t0 + milliseconds(1000)), "b");
    EXPECT_EQ(limit.Admit("c", t0 + milliseconds(1000)), std::nullopt);
    EXPECT_EQ(limit.Admit("d", t0 + milliseconds(1500)), std::nullopt);
    EXPECT_EQ(limit.Admit("e", t0 + milliseconds(2000)),
              "e (2 like lines left out before this one)");
}

}  // namespace
}  // namespace zel
