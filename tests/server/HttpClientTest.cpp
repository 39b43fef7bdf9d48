// The client against small real HTTP servers on loopback that answer what a
// broken or foreign server would.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "HeldPort.h"
#include "server/CoData_Srv_Zel.h"
#include "server/WireFormat.h"

namespace zel {
namespace {

const char* const GOOD_CLASS = R"({"class":"Srv_Zel.Data_Srv_Zel","api":1})";
const char* const GOOD_ROWS = R"({"Columns":[{"Name":"PCT","Type":"float"}],"Rows":[[16.0]]})";

struct Canned {
    int status = 200;
    std::string body;
    std::chrono::milliseconds delay{0};
};

// An HTTP server on a free loopback port with fixed answers per path.
class CannedServer {
public:
    explicit CannedServer(std::map<std::string, Canned> answers, int keepAliveSeconds = 5)
        : answers_(std::move(answers)) {
        http_.set_keep_alive_timeout(keepAliveSeconds);
        const auto handler = [this](const httplib::Request& req, httplib::Response& res) {
            {
                const std::lock_guard lock(mutex_);
                lastBody_ = req.body;
            }
            const auto it = answers_.find(req.path);
            if (it == answers_.end()) {
                res.status = 404;
                res.set_content("<html><body>Not Found</body></html>", "text/html");
                return;
            }
            std::this_thread::sleep_for(it->second.delay);
            res.status = it->second.status;
            res.set_content(it->second.body, "application/json");
        };
        http_.Get(".*", handler);
        http_.Post(".*", handler);
        port_ = static_cast<std::uint16_t>(http_.bind_to_any_port("127.0.0.1"));
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        while (!http_.is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~CannedServer() {
        http_.stop();
        thread_.join();
    }
    ServerAddress Address() const { return {"127.0.0.1", port_}; }
    std::string LastBody() {
        const std::lock_guard lock(mutex_);
        return lastBody_;
    }

private:
    std::map<std::string, Canned> answers_;
    httplib::Server http_;
    std::uint16_t port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::string lastBody_;
};

// A loopback listener that takes every connection and closes it unanswered,
// as a server going down does while its queue still takes connections.
class ClosingListener {
public:
    ClosingListener()
        : thread_([this] {
              for (int c; (c = ::accept(held_.Fd(), nullptr, nullptr)) >= 0;) {
                  ++taken_;
                  ::close(c);
              }
          }) {}
    ~ClosingListener() {
        ::shutdown(held_.Fd(), SHUT_RDWR);  // ends the accept
        thread_.join();
    }
    ServerAddress Address() const { return {"127.0.0.1", held_.Port()}; }
    int Taken() const { return taken_; }

private:
    const test::HeldPort held_{true, 8};
    std::atomic<int> taken_{0};
    std::thread thread_;
};

std::string CreationError(const ServerAddress& address, ClientTimeouts t = {}) {
    try {
        CoData_Srv_Zel::CreateRemote(address.ToString(), t);
    } catch (const ServerError& e) {
        return e.what();
    }
    return "(created)";
}

IData_Srv_Zel Object(const std::vector<ServerAddress>& addresses, ClientTimeouts t = {}) {
    std::vector<ServerLocation> locations;
    for (const ServerAddress& address : addresses) {
        locations.push_back({address, false});
    }
    return IData_Srv_Zel(locations, "Srv_Zel.Data_Srv_Zel", t, {});
}

TEST(HttpClient, CreationFailsAgainstWhatIsNoSrvZel) {
    struct Case {
        const char* name;
        Canned handshake;
        const char* error;
    };
    const Case cases[] = {
        {"another class", {200, R"({"class":"Otro.Servidor"})"}, "offers class \"Otro.Servidor\""},
        {"plain web server", {0, ""}, "HTTP 404 without an error text: <html>"},
        {"not JSON", {200, "hola"}, "not a Srv_Zel.Data_Srv_Zel server: malformed JSON"},
        {"no class field", {200, R"({"api":1})"}, "\"class\" is missing"},
        {"server error",
         {500, R"({"error":"base de datos bloqueada"})"},
         "HTTP 500: base de datos bloqueada"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, Canned> answers;
        if (c.handshake.status != 0) {
            answers["/v1/classes/Srv_Zel.Data_Srv_Zel"] = c.handshake;
        }
        CannedServer server(answers);
        const std::string error = CreationError(server.Address());
        EXPECT_NE(
            error.find("Srv_Zel.Data_Srv_Zel at " + server.Address().ToString() + ": create: "),
            std::string::npos)
            << error;
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

TEST(HttpClient, CreationFailsWhenNothingAnswers) {
    const test::HeldPort closed(false);
    const std::uint16_t port = closed.Port();
    const std::string refused = CreationError({"127.0.0.1", port});
    EXPECT_EQ(refused, "Srv_Zel.Data_Srv_Zel at 127.0.0.1:" + std::to_string(port) +
                           ": create: connection refused");

    const test::HangingPort full;
    const std::string hanging =
        CreationError({"127.0.0.1", full.Port()}, {std::chrono::milliseconds(300)});
    EXPECT_NE(hanging.find(": create: no connection within 300 ms"), std::string::npos) << hanging;

    const std::string unknown = CreationError({"no-such-host.invalid", 6100});
    EXPECT_NE(unknown.find("host 'no-such-host.invalid' not found"), std::string::npos) << unknown;

    EXPECT_THROW(CoData_Srv_Zel::CreateRemote("host:notaport"), ServerError);
}

TEST(HttpClient, FailedCallsSayWhatAndWhere) {
    struct Case {
        const char* name;
        Canned answer;
        const char* error;
    };
    const Case cases[] = {
        {"500 with an error body",
         {500, R"({"error":"catálogo dañado"})"},
         ": AS_GetRecords: HTTP 500: catálogo dañado"},
        {"503 without one", {503, ""}, ": AS_GetRecords: HTTP 503 without an error text"},
        {"malformed JSON", {200, R"({"Columns":[],)"}, ": AS_GetRecords: answer: malformed JSON"},
        {"a field missing", {200, R"({"Columns":[]})"}, "answer: field \"Rows\" is missing"},
        {"too slow",
         {200, GOOD_ROWS, std::chrono::milliseconds(600)},
         ": AS_GetRecords: no answer within 200 ms (time-out)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CannedServer server({{"/v1/classes/Srv_Zel.Data_Srv_Zel", {200, GOOD_CLASS}},
                             {"/v1/AS_GetRecords", c.answer}});
        IData_Srv_Zel object = Object(
            {server.Address()}, {std::chrono::milliseconds(3000), std::chrono::milliseconds(200)});
        object.Create();
        try {
            object.AS_GetRecords("QueryMultiaProvider", "Select PCT From Impuestos");
            ADD_FAILURE() << "no error";
        } catch (const ServerError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("at " + server.Address().ToString()), std::string::npos) << what;
            EXPECT_NE(what.find(c.error), std::string::npos) << what;
        }
    }
}

TEST(HttpClient, AnIdleConnectionClosedByTheServerIsRenewed) {
    CannedServer server({{"/v1/classes/Srv_Zel.Data_Srv_Zel", {200, GOOD_CLASS}},
                         {"/v1/AS_GetRecords", {200, GOOD_ROWS}}},
                        /*keepAliveSeconds=*/1);
    const auto object = CoData_Srv_Zel::CreateRemote(server.Address().ToString());
    EXPECT_EQ(object->AS_GetRecords("P", "C").Rows.size(), 1u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(object->AS_GetRecords("P", "C").Rows.size(), 1u);
}

TEST(HttpClient, AServerThatClosesConnectionsUnansweredIsPassedOverAndAskedLast) {
    const ClosingListener closing;
    CannedServer server({{"/v1/classes/Srv_Zel.Data_Srv_Zel", {200, GOOD_CLASS}},
                         {"/v1/AS_GetRecords", {200, GOOD_ROWS}}});
    IData_Srv_Zel object = Object({closing.Address(), server.Address()});
    object.Create();
    EXPECT_EQ(object.Health().Now, ServerHealth::Up);
    EXPECT_EQ(object.AS_GetRecords("P", "C").Rows.size(), 1u);
    EXPECT_EQ(object.Order(), (std::vector<std::size_t>{1, 0}));
    EXPECT_EQ(closing.Taken(), 1) << "the address that failed was asked again";
    // Alone, it fails the call, saying so.
    EXPECT_NE(CreationError(closing.Address()).find(": create: "), std::string::npos);
}

TEST(HttpClient, QueryAnswersBecomeRowSets) {
    CannedServer server(
        {{"/v1/classes/Srv_Zel.Data_Srv_Zel", {200, GOOD_CLASS}},
         {"/v1/AS_GetRecords",
          {200, R"({"Columns":[{"Name":"PCT","Type":"float"}],"Rows":[[16.0],[0],[null]]})"}}});
    const auto object = CoData_Srv_Zel::CreateRemote(server.Address().ToString());
    const RowSet rows = object->AS_GetRecords("QueryMultiaProvider", "Select PCT From Impuestos");
    const GetRecordsRequest sent = DecodeGetRecordsRequest(server.LastBody());
    EXPECT_EQ(sent.ProviderName, "QueryMultiaProvider");
    EXPECT_EQ(sent.CommandText, "Select PCT From Impuestos");
    ASSERT_EQ(rows.Rows.size(), 3u);
    EXPECT_EQ(rows.Rows[0][0], FieldValue(16.0));
    EXPECT_EQ(rows.Rows[1][0], FieldValue(std::int64_t{0}));
    EXPECT_EQ(rows.Rows[2][0], FieldValue(std::monostate{}));
}

}  // namespace
}  // namespace zel
