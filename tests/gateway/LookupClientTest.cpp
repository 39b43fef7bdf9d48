// The lookup client inside a Qt event loop, against scripted HTTP servers on
// loopback: what each answer becomes, what each server saw, and how many
// connections it was asked to take.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <array>
#include <atomic>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>

#include "Catalogue.h"
#include "HeldPort.h"
#include "common/ServerNames.h"
#include "gateway/LookupClient.h"
#include "server/WireFormat.h"

namespace zel {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds LIMIT{400};
const std::string CLASS_BODY = R"({"class":"Srv_Zel.Data_Srv_Zel","api":1})";
const std::string FOUND_BODY =
    R"({"Result":1,"Codigo":7501.0,"Precio":18.5,"Descrip":"Café","Ban_Imps":2,"Tiene_Ofer":0,)"
    R"("Fec_ini_ofer":0.0,"Fec_fin_ofer":0.0,"Pct_ofer":0.0,"Imps_Act":5,"Mult":1.0,)"
    R"("Bans_Art":7,"Precio_Sug":0.0})";

// How a scripted server answers a lookup; the class check is answered with
// a length and the connection kept, except where the script says otherwise.
enum class Script {
    Length,
    Chunked,
    CloseDelimited,
    CloseIdle,  // and closes any connection idle for 150 ms
    Status500,
    Late,             // after twice the lookup's limit
    CloseUnanswered,  // reads every request and closes without a word
    WantsKey,         // 401 unless the key is "clave"
};

std::string LengthAnswer(int status, const std::string& body) {
    return "HTTP/1.1 " + std::to_string(status) +
           " X\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

class ScriptedServer {
public:
    explicit ScriptedServer(Script script)
        : script_(script), accepting_([this] {
              for (int c; (c = ::accept(held_.Fd(), nullptr, nullptr)) >= 0;) {
                  ++connections_;
                  const std::lock_guard lock(mutex_);
                  fds_.push_back(c);
                  threads_.emplace_back([this, c] { Serve(c); });
              }
          }) {}
    ~ScriptedServer() {
        ::shutdown(held_.Fd(), SHUT_RDWR);
        accepting_.join();
        const std::lock_guard lock(mutex_);
        for (const int fd : fds_) {
            ::shutdown(fd, SHUT_RDWR);
        }
        for (std::thread& thread : threads_) {
            thread.join();
        }
        for (const int fd : fds_) {
            ::close(fd);
        }
    }
    ServerLocation Location() const { return {{"127.0.0.1", held_.Port()}, false}; }
    int Lookups() const { return lookups_; }
    int Connections() const { return connections_; }
    std::string LastLookup() {
        const std::lock_guard lock(mutex_);
        return lastLookup_;
    }

private:
    // One request's head, or nothing when the connection ends (or idles out).
    std::optional<std::string> Next(int fd, std::string& buffer) {
        for (;;) {
            const std::size_t end = buffer.find("\r\n\r\n");
            if (end != std::string::npos) {
                std::size_t length = 0;
                const std::size_t at = buffer.find("Content-Length: ");
                if (at != std::string::npos && at < end) {
                    length = std::stoul(buffer.substr(at + 16));
                }
                if (buffer.size() >= end + 4 + length) {
                    std::string head = buffer.substr(0, end);
                    if (length > 0) {
                        const std::lock_guard lock(mutex_);
                        lastLookup_ = buffer.substr(end + 4, length);
                    }
                    buffer.erase(0, end + 4 + length);
                    return head;
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, script_ == Script::CloseIdle && buffer.empty() ? 150 : -1) <= 0) {
                return std::nullopt;
            }
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return std::nullopt;
            }
            buffer.append(chunk, static_cast<std::size_t>(n));
        }
    }

    void Send(int fd, const std::string& bytes) {
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }

    void Serve(int fd) {
        std::string buffer;
        while (const auto head = Next(fd, buffer)) {
            const bool lookup = head->starts_with("POST /v1/BuscaPrecio");
            lookups_ += lookup ? 1 : 0;
            if (script_ == Script::CloseUnanswered) {
                break;
            }
            if (script_ == Script::WantsKey &&
                head->find("Authorization: Bearer clave\r\n") == std::string::npos &&
                !head->ends_with("Authorization: Bearer clave")) {
                Send(fd, LengthAnswer(401, R"({"error":"key"})"));
                continue;
            }
            if (!lookup) {
                Send(fd, LengthAnswer(200, CLASS_BODY));
                continue;
            }
            switch (script_) {
                case Script::Chunked: {
                    const std::string half = FOUND_BODY.substr(0, 40);
                    const std::string rest = FOUND_BODY.substr(40);
                    std::ostringstream out;
                    out << "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                        << std::hex << half.size() << "\r\n"
                        << half << "\r\n"
                        << rest.size() << "\r\n"
                        << rest << "\r\n0\r\n\r\n";
                    Send(fd, out.str());
                    break;
                }
                case Script::CloseDelimited:
                    Send(fd, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + FOUND_BODY);
                    ::shutdown(fd, SHUT_RDWR);
                    return;
                case Script::Status500:
                    Send(fd, LengthAnswer(500, R"({"error":"catálogo dañado"})"));
                    break;
                case Script::Late:
                    std::this_thread::sleep_for(LIMIT * 2);
                    Send(fd, LengthAnswer(200, FOUND_BODY));
                    break;
                default:
                    Send(fd, LengthAnswer(200, FOUND_BODY));
            }
        }
        ::shutdown(fd, SHUT_RDWR);
    }

    const Script script_;
    const test::HeldPort held_{true, 64};
    std::atomic<int> lookups_{0};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::string lastLookup_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::thread accepting_;
};

// An HTTPS server of the class that finds every article.
class TlsServer {
public:
    explicit TlsServer(const test::Certificates& certs)
        : http_(certs.File("srv.pem").c_str(), certs.File("srv.key").c_str()) {
        http_.Get(".*", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(CLASS_BODY, "application/json");
        });
        http_.Post(".*", [this](const httplib::Request&, httplib::Response& response) {
            ++lookups_;
            response.set_content(FOUND_BODY, "application/json");
        });
        port_ = static_cast<std::uint16_t>(http_.bind_to_any_port("127.0.0.1"));
        thread_ = std::thread([this] { http_.listen_after_bind(); });
        while (!http_.is_running()) {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    ~TlsServer() {
        http_.stop();
        thread_.join();
    }
    ServerLocation Location() const { return {{"127.0.0.1", port_}, true}; }
    int Lookups() const { return lookups_; }

private:
    httplib::SSLServer http_;
    std::atomic<int> lookups_{0};
    std::uint16_t port_ = 0;
    std::thread thread_;
};

// Runs the loop until `done` holds or `limit` has passed.
template <typename Done>
void RunUntil(Done done, milliseconds limit = milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    }
}

void RunFor(milliseconds time) {
    RunUntil([] { return false; }, time);
}

// Two lookups, one after the other; the kind of each failure, "found" for an
// answer.
std::vector<std::string> TwoLookups(LookupClient& client, std::vector<LookupAnswer>& answers) {
    std::vector<std::string> kinds;
    for (std::uint64_t ticket = 1; ticket <= 2; ++ticket) {
        const std::size_t before = answers.size();
        client.Submit(ticket, {7501, 3, "2 55 "});
        RunUntil([&] { return answers.size() > before; });
        if (answers.size() == before) {
            kinds.push_back("no answer");
        } else if (const auto* failure = std::get_if<LookupFailure>(&answers.back())) {
            kinds.push_back(
                std::string(std::array{"refused", "time_limit", "http_status", "bad_answer",
                                       "other"}[static_cast<std::size_t>(failure->Kind)]) +
                ": " + failure->Cause);
        } else {
            const auto& found = std::get<LookupOutcome>(answers.back());
            kinds.push_back(found.Result == 1 && found.Precio == 18.5 ? "found" : "wrong outcome");
        }
    }
    return kinds;
}

TEST(LookupClient, EachLookupIsSentOnceWhateverTheServerDoes) {
    const test::Certificates certs;
    ASSERT_TRUE(certs.Ok());
    enum class Second { None, Refuses, ClosesUnanswered, Hangs };
    struct Row {
        const char* name;
        Script script;
        Second first;  // what the first of two addresses does; None: one address
        bool warm;
        const char* outcome;    // the start of both lookups' outcome
        int lookups;            // requests the answering server saw
        int connections;        // it took (the start-up's one too); -1: more than the two warm ones
        bool startUp = false;   // the start-up's class check comes first
        bool https = false;     // the lookups go by HTTPS
        const char* says = "";  // in both outcomes
    };
    const Row rows[] = {
        {"length", Script::Length, Second::None, true, "found", 2, 2},
        {"chunked", Script::Chunked, Second::None, true, "found", 2, 2},
        {"close-delimited", Script::CloseDelimited, Second::None, true, "found", 2, 2},
        {"closes idle connections", Script::CloseIdle, Second::None, true, "found", 2, -1},
        {"answers 500", Script::Status500, Second::None, true, "http_status: ", 2, 2},
        {"answers too late", Script::Late, Second::None, true, "time_limit: ", 2, 2},
        {"a wrong key", Script::WantsKey, Second::None, true, "http_status: ", 2, 2},
        {"first refuses", Script::Length, Second::Refuses, false, "found", 2, 1},
        {"first closes unanswered", Script::Length, Second::ClosesUnanswered, false, "found", 2, 1},
        {"first hangs", Script::Length, Second::Hangs, false, "found", 2, 1},
        {"the start-up's failed address is asked last", Script::Length, Second::ClosesUnanswered,
         true, "found", 2, 3, true},
        {"https to a plain server", Script::Length, Second::None, false, "time_limit: ", 0, 2,
         false, true,
         ": BuscaPrecio: TLS handshake failed: no answer within 400 ms (is the "
         "server serving HTTPS?)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedServer server(row.script);
        const test::HeldPort refusing(false);
        ScriptedServer closing(Script::CloseUnanswered);
        const test::HangingPort hanging;
        std::vector<ServerLocation> locations;
        if (row.first == Second::Refuses) {
            locations.push_back({{"127.0.0.1", refusing.Port()}, false});
        } else if (row.first == Second::ClosesUnanswered) {
            locations.push_back(closing.Location());
        } else if (row.first == Second::Hangs) {
            locations.push_back({{"127.0.0.1", hanging.Port()}, false});
        }
        locations.push_back(server.Location());
        locations.back().Https = row.https;
        IData_Srv_Zel object(locations, std::string(SERVER_CLASS), {},
                             {"", row.script == Script::WantsKey ? "clavf" : ""});
        if (row.startUp) {
            object.Create();
        }
        std::vector<LookupAnswer> answers;
        LookupClient client(
            object, LIMIT, 4,
            [&](std::uint64_t, LookupAnswer answer) { answers.push_back(std::move(answer)); },
            {milliseconds(3600000), 2});
        if (row.warm) {
            bool warmed = false;
            client.Warm([&] { warmed = true; });
            RunUntil([&] { return warmed; });
            EXPECT_GE(server.Connections(), 2);  // open once it says so
            RunFor(milliseconds(row.script == Script::CloseIdle ? 400 : 50));
        }
        for (const std::string& outcome : TwoLookups(client, answers)) {
            EXPECT_TRUE(outcome.starts_with(row.outcome)) << outcome;
            EXPECT_NE(outcome.find(row.says), std::string::npos) << outcome;
        }
        EXPECT_EQ(server.Lookups(), row.lookups);
        if (row.lookups > 0) {
            const BuscaPrecioCall sent = DecodeBuscaPrecioRequest(server.LastLookup());
            EXPECT_EQ(sent.Codigo, 7501);
            EXPECT_EQ(sent.No_Precio, 3);
            EXPECT_EQ(sent.Descrip, "2 55 ");
            EXPECT_EQ(sent.Mult, 1.0);
        }
        if (row.connections < 0) {
            EXPECT_GT(server.Connections(), 2);
        } else {
            EXPECT_EQ(server.Connections(), row.connections);
        }
        // The address that failed is asked last: once only, and not again
        // after the start-up found it failing.
        EXPECT_LE(closing.Lookups(), 1);
        if (row.startUp) {
            EXPECT_EQ(closing.Connections(), 1);
        }
    }

    for (const auto& [ca, outcome] :
         {std::pair{"ca.pem", "found"}, std::pair{"otra-ca.pem", "other: "}}) {
        SCOPED_TRACE(ca);
        TlsServer server(certs);
        std::vector<LookupAnswer> answers;
        IData_Srv_Zel object({server.Location()}, std::string(SERVER_CLASS), {},
                             {certs.File(ca), ""});
        LookupClient client(
            object, milliseconds(3000), 4,
            [&](std::uint64_t, LookupAnswer answer) { answers.push_back(std::move(answer)); },
            {milliseconds(3600000), 2});
        for (const std::string& got : TwoLookups(client, answers)) {
            EXPECT_TRUE(got.starts_with(outcome)) << got;
        }
        EXPECT_EQ(server.Lookups(), std::string(outcome) == "found" ? 2 : 0);
    }
}

TEST(LookupClient, AnIdleServerIsCheckedAndItsStateChangesAreKnown) {
    auto server = std::make_unique<ScriptedServer>(Script::Length);
    const ServerLocation location = server->Location();
    IData_Srv_Zel object({location}, std::string(SERVER_CLASS), {}, {});
    LookupClient client(object, LIMIT, 4, [](std::uint64_t, LookupAnswer) {},
                        {milliseconds(200), 2});
    EXPECT_EQ(client.Health().Now, ServerHealth::Unknown);
    client.Warm({});
    RunUntil([&] { return client.Health().Now == ServerHealth::Up; });
    EXPECT_EQ(client.Health().Now, ServerHealth::Up);
    server.reset();  // the port now refuses
    RunUntil([&] { return client.Health().Now == ServerHealth::Down; });
    EXPECT_EQ(client.Health().Now, ServerHealth::Down);
    EXPECT_NE(client.Health().LastError.find(": create: "), std::string::npos)
        << client.Health().LastError;
}

}  // namespace
}  // namespace zel
