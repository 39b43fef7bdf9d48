// bench_server: how many BuscaPrecio round trips srv_zel answers on loopback,
// with 1, 4 and 16 clients, and their latency, on SQLite and (given a
// database) on PostgreSQL, over plain HTTP and over HTTPS with kept-alive
// connections. Two floors in the same run: the same lookups made straight on
// SQLite in-process, and the same client against a server on the same
// serving layer that answers a fixed lookup body with no work. Where nginx
// and wrk are installed, a third: nginx answering that body, against which
// srv_zel (and the fixed-answer server, to tell the serving layer's share
// of the gap) is measured with wrk's 16 connections, nginx under wrk before
// and after them, and with one client. Each
// phase runs for a fixed time; the catalogue is built fresh (in a temporary
// directory, or replacing the PostgreSQL one's rows), and the certificate is
// made with openssl for the run. The goals are printed last, as ratios.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <sqlite3.h>
#include <unistd.h>

#include "LoadTools.h"
#include "server/IData_Srv_Zel.h"
#include "server/WireFormat.h"
#include "srv_zel/ArticleLookup.h"
#include "srv_zel/CatalogueStore.h"
#include "srv_zel/HttpServer.h"
#include "srv_zel/Schema.h"
#include "srv_zel/SrvZelServer.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t FIRST_CODE = 7'500'000'000'000;
constexpr int MISS_PERCENT = 10;
constexpr int CLIENTS[] = {1, 4, 16};
constexpr int WRK_THREADS = 2;
constexpr int WRK_CONNECTIONS = 16;
constexpr std::size_t WRK_CODES = 256;  // lookups the wrk script goes round

struct Figures {
    std::size_t calls = 0;
    double seconds = 0;
    std::vector<std::int64_t> latenciesNs;
};

void BuildCatalogue(const std::string& db, std::int64_t articles) {
    const auto writer = zel::OpenCatalogueWriter(db);
    zel::WriteTransaction t(*writer);
    writer->Exec("DELETE FROM Articulos");
    writer->Exec("DELETE FROM Impuestos");
    const auto insert = writer->Prepare(
        "INSERT INTO Articulos (Codigo, Descrip, Precio1, Precio2, Imps_Act) "
        "VALUES (?1, ?2, ?3, ?4, ?5)");
    for (std::int64_t i = 0; i < articles; ++i) {
        insert->Bind(1, FIRST_CODE + i * 7);
        insert->Bind(2, std::string_view("Artículo de prueba número " + std::to_string(i)));
        insert->Bind(3, 10.0 + static_cast<double>(i % 1000) / 100.0);
        insert->Bind(4, 9.5 + static_cast<double>(i % 1000) / 100.0);
        insert->Bind(5, std::int64_t{i % 4 == 0 ? 5 : 1});
        insert->Run();
    }
    writer->Exec("INSERT INTO Impuestos (Numero, PCT) VALUES (1, 16), (2, 0), (3, 8)");
    t.Commit();
    if (zel::IsPostgresUri(db)) {
        writer->Exec("ANALYZE Articulos");
    }
}

// A certificate for 127.0.0.1 and its key, made in dir; false when openssl fails.
bool MakeCertificate(const std::string& dir) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
        "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir + "/key.pem' -out '" + dir + "/cert.pem' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

// Codes to look up: most exist, some do not.
std::vector<double> Codes(std::int64_t articles, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::uniform_int_distribution<std::int64_t> pick(0, articles - 1);
    std::uniform_int_distribution<int> percent(0, 99);
    std::vector<double> codes(4096);
    for (auto& c : codes) {
        const std::int64_t code = FIRST_CODE + pick(random) * 7 + (percent(random) < MISS_PERCENT);
        c = static_cast<double>(code);
    }
    return codes;
}

// Runs one lookup after another for the given time.
Figures Measure(std::chrono::milliseconds duration, const std::vector<double>& codes,
                const std::function<void(double)>& lookup) {
    Figures f;
    f.latenciesNs.reserve(1 << 20);
    const auto start = Clock::now();
    const auto end = start + duration;
    for (std::size_t i = 0;; ++i) {
        const auto before = Clock::now();
        if (before >= end) {
            f.seconds = std::chrono::duration<double>(before - start).count();
            break;
        }
        lookup(codes[i % codes.size()]);
        f.latenciesNs.push_back(
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count());
        ++f.calls;
    }
    return f;
}

// One lookup as the gateway sends it, its answer decoded.
void BuscaPrecio(zel::IData_Srv_Zel& server, double code) {
    zel::BuscaPrecioCall call;
    call.Codigo = code;
    call.Mult = 1.0;
    (void)zel::DecodeBuscaPrecioReply(server.Call(zel::IData_Srv_Zel::Operation::BuscaPrecio,
                                                  zel::EncodeBuscaPrecioRequest(call)));
}

struct Summary {
    double callsPerSecond = 0;
    double p50 = 0;  // microseconds
    double p99 = 0;
};

Summary Print(const char* name, int clients, Figures f) {
    std::sort(f.latenciesNs.begin(), f.latenciesNs.end());
    const auto at = [&f](double q) {
        if (f.latenciesNs.empty()) {
            return 0.0;
        }
        const auto i = static_cast<std::size_t>(q * static_cast<double>(f.latenciesNs.size() - 1));
        return static_cast<double>(f.latenciesNs[i]) / 1000.0;
    };
    const double rate = static_cast<double>(f.calls) / f.seconds;
    std::printf("%-32s %7d %12.0f %10.1f %10.1f %10.1f\n", name, clients, rate, at(0.50), at(0.99),
                at(1.0));
    return {rate, at(0.50), at(0.99)};
}

// The lookup as wrk sends it: POST requests with the gateway's body, going
// round a set of codes (most exist, some do not), written as a script in dir.
std::string WriteWrkScript(const std::string& dir, std::int64_t articles) {
    std::string script = "local bodies = {\n";
    const auto codes = Codes(articles, 7);
    for (std::size_t i = 0; i < WRK_CODES; ++i) {
        zel::BuscaPrecioCall call;
        call.Codigo = codes[i];
        call.Mult = 1.0;
        script += "  [==[" + zel::EncodeBuscaPrecioRequest(call) + "]==],\n";
    }
    script += R"(}
local requests = {}
local turn = 0
function init(args)
  for i, body in ipairs(bodies) do
    requests[i] = wrk.format("POST", nil, {["Content-Type"] = "application/json"}, body)
  end
end
function request()
  turn = turn % #requests + 1
  return requests[turn]
end
)";
    const std::string path = dir + "/lookup.lua";
    FILE* out = std::fopen(path.c_str(), "w");
    if (out == nullptr || std::fputs(script.c_str(), out) < 0 || std::fclose(out) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
    return path;
}

// wrk's load on a lookup URL, printed as a row of calls per second.
std::optional<zel::bench::WrkFigures> Load(const char* name, const std::string& wrk,
                                           const std::string& url, int seconds,
                                           const std::string& script) {
    auto f = zel::bench::RunWrk(wrk, url, WRK_THREADS, WRK_CONNECTIONS, seconds, script);
    if (f) {
        std::printf("%-32s %7d %12.0f %10s %10s %10s", name, WRK_CONNECTIONS, f->CallsPerSecond,
                    "-", "-", "-");
        if (f->Failures > 0) {
            std::printf("  (%ld calls failed)", f->Failures);
        }
        std::printf("\n");
    }
    return f;
}

// What the floors answer every lookup: srv_zel's answer for an article found.
std::string FixedReply() {
    zel::BuscaPrecioCall reply;
    reply.Codigo = static_cast<double>(FIRST_CODE);
    reply.Result = 1;
    reply.Precio = 10.5;
    reply.Descrip = "Artículo de prueba número 0";
    return zel::EncodeBuscaPrecioReply(reply);
}

// A server on the same serving layer that answers every lookup with the same
// reply (and the handshake), doing nothing else: what the layer and the
// client cost.
std::unique_ptr<zel::HttpServer> FloorServer(const std::string& dir, bool tls) {
    zel::HttpServerOptions options;
    if (tls) {
        options.TlsCert = dir + "/cert.pem";
        options.TlsKey = dir + "/key.pem";
    }
    const std::string body = FixedReply();
    const std::string classReply = zel::EncodeClassReply(zel::SERVER_CLASS);
    zel::HttpServer::Callbacks cb;
    cb.Lane = [](const zel::HttpRequest&) { return zel::HttpServer::IN_PLACE; };
    cb.Handle = [body, classReply](const zel::HttpRequest& request) {
        const bool handshake = request.Path.starts_with(zel::CLASSES_PATH);
        return zel::HttpResponse{200, "application/json", handshake ? classReply : body, {}};
    };
    cb.Error = [](int status, const std::string& why) {
        return zel::HttpResponse{status, "text/plain", why, {}};
    };
    return std::make_unique<zel::HttpServer>(std::move(options), std::move(cb));
}

Figures Merge(std::vector<Figures>& parts) {
    Figures all;
    for (auto& p : parts) {
        all.calls += p.calls;
        all.seconds = std::max(all.seconds, p.seconds);
        all.latenciesNs.insert(all.latenciesNs.end(), p.latenciesNs.begin(), p.latenciesNs.end());
    }
    return all;
}

// Clients at once against one server, each on its kept-alive connection.
Figures RunClients(const zel::ServerAddress& address, bool tls, const std::string& dir, int clients,
                   std::int64_t articles, std::chrono::milliseconds phase) {
    std::vector<Figures> parts(static_cast<std::size_t>(clients));
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            zel::ClientCredentials trust;
            trust.CaFile = tls ? dir + "/cert.pem" : "";
            zel::IData_Srv_Zel object({{address, tls}}, std::string(zel::SERVER_CLASS), {}, trust);
            object.Create();
            const auto codes = Codes(articles, 100 + static_cast<std::uint64_t>(c));
            parts[static_cast<std::size_t>(c)] =
                Measure(phase, codes, [&object](double code) { BuscaPrecio(object, code); });
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    return Merge(parts);
}

int Usage(int status) {
    std::fprintf(status == 0 ? stdout : stderr,
                 "Usage: bench_server [--quick] [--articles N] [--seconds S] [--pg URI]\n\n"
                 "BuscaPrecio round trips per second and latency (p50, p99, max, in\n"
                 "microseconds) against srv_zel on loopback with 1, 4 and 16 clients,\n"
                 "over HTTP and HTTPS, on SQLite and, with --pg, on that PostgreSQL\n"
                 "database (its catalogue rows are replaced); the floors are the same\n"
                 "lookups straight on SQLite and a server of the same serving layer that\n"
                 "answers a fixed body, and nginx answering that body (when nginx and\n"
                 "wrk are installed), measured with wrk's 16 connections too.\n"
                 "Defaults: 100000 articles, 3 seconds per phase; --quick: 10000\n"
                 "articles, 1 second per phase.\n");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    std::int64_t articles = 100'000;
    int seconds = 3;
    std::string pg;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            return Usage(0);
        }
        if (a == "--quick") {
            articles = 10'000;
            seconds = 1;
            continue;
        }
        if (a == "--pg" && i + 1 < argc) {
            pg = argv[++i];
            continue;
        }
        if ((a == "--articles" || a == "--seconds") && i + 1 < argc) {
            const long v = std::strtol(argv[++i], nullptr, 10);
            if (v <= 0) {
                return Usage(2);
            }
            if (a == "--articles") {
                articles = v;
            } else {
                seconds = static_cast<int>(v);
            }
            continue;
        }
        return Usage(2);
    }
    const std::chrono::milliseconds phase(seconds * 1000);

    std::string dir = (std::filesystem::temp_directory_path() / "bench_server_XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string db = dir + "/bench.db";
    try {
        const auto built = Clock::now();
        BuildCatalogue(db, articles);
        std::printf("catalogue: %lld articles built in %.1f s; %d %% of lookups miss\n",
                    static_cast<long long>(articles),
                    std::chrono::duration<double>(Clock::now() - built).count(), MISS_PERCENT);
        std::printf("%-32s %7s %12s %10s %10s %10s\n", "", "clients", "calls/s", "p50 us", "p99 us",
                    "max us");

        Summary inProcess;
        {
            zel::Database read = zel::OpenCatalogueReadOnly(db);
            zel::ArticleLookup lookup(read);
            const auto codes = Codes(articles, 1);
            inProcess =
                Print("SQLite in-process (floor)", 1, Measure(phase, codes, [&](double code) {
                          zel::BuscaPrecioCall request;
                          request.Codigo = code;
                          lookup.Find(request);
                      }));
        }

        const bool https = MakeCertificate(dir);
        if (!https) {
            std::fprintf(stderr, "bench_server: openssl could not make a certificate: no HTTPS\n");
        }
        const std::string wrk = zel::bench::FindProgram("wrk");
        const std::string nginxProgram = zel::bench::FindProgram("nginx");
        const std::string script = WriteWrkScript(dir, articles);
        if (wrk.empty()) {
            std::printf("wrk is not installed: no rows of 16 connections under wrk\n");
        }
        // nginx stays up to be measured under wrk before srv_zel and after it:
        // the two runs' mean is the floor, so that drift over the run weighs on
        // both sides alike.
        std::optional<Summary> nginx1;
        std::vector<double> nginx16;
        std::optional<zel::bench::NginxFloor> nginx;
        std::string nginxUrl;
        const auto loadNginx = [&](const char* name) {
            if (const auto f = nginx && !wrk.empty() ? Load(name, wrk, nginxUrl, seconds, script)
                                                     : std::nullopt) {
                nginx16.push_back(f->CallsPerSecond);
            }
        };
        // What TLS costs nginx itself, the floor of srv_zel's HTTPS/HTTP ratio.
        std::optional<zel::bench::WrkFigures> nginxTls;
        if (nginxProgram.empty()) {
            std::printf("nginx is not installed: no rows against nginx\n");
        } else {
            try {
                nginx.emplace(nginxProgram, dir, zel::CLASSES_PATH,
                              zel::EncodeClassReply(zel::SERVER_CLASS), FixedReply(),
                              https ? std::optional<zel::bench::NginxTls>(
                                          {dir + "/cert.pem", dir + "/key.pem"})
                                    : std::nullopt);
                const zel::ServerAddress address{"127.0.0.1", nginx->Port()};
                nginxUrl = "http://" + address.ToString() + std::string(zel::BUSCA_PRECIO_PATH);
                nginx1 = Print("nginx (floor), HTTP", 1,
                               RunClients(address, false, dir, 1, articles, phase));
                loadNginx("nginx (floor), HTTP, wrk");
                if (https && !wrk.empty()) {
                    const zel::ServerAddress tlsAddress{"127.0.0.1", nginx->TlsPort()};
                    nginxTls = Load(
                        "nginx (floor), HTTPS, wrk", wrk,
                        "https://" + tlsAddress.ToString() + std::string(zel::BUSCA_PRECIO_PATH),
                        seconds, script);
                }
            } catch (const std::runtime_error& e) {
                std::printf("no rows against nginx: %s\n", e.what());
                nginx.reset();
            }
        }
        // By store, then HTTPS.
        std::map<std::pair<std::string, bool>, std::optional<zel::bench::WrkFigures>> underWrk;
        std::vector<std::pair<const char*, std::string>> stores = {{"fixed answer (floor)", ""},
                                                                   {"SQLite", db}};
        if (!pg.empty()) {
            const auto built = Clock::now();
            BuildCatalogue(pg, articles);
            std::printf("PostgreSQL catalogue built in %.1f s\n",
                        std::chrono::duration<double>(Clock::now() - built).count());
            stores.emplace_back("PostgreSQL", pg);
        }
        // By store, then HTTPS, then clients.
        std::map<std::tuple<std::string, bool, int>, Summary> seen;
        for (const auto& [storeName, storeDb] : stores) {
            for (const bool tls : {false, true}) {
                if (tls && !https) {
                    continue;
                }
                std::unique_ptr<zel::SrvZelServer> srvZel;
                std::unique_ptr<zel::HttpServer> floor;
                zel::ServerAddress address;
                std::thread serving;
                if (storeDb.empty()) {
                    floor = FloorServer(dir, tls);
                    address = floor->Address();
                    serving = std::thread([&floor] { floor->Run(); });
                } else {
                    zel::ServeOptions options;
                    options.DbPath = storeDb;
                    options.Listen = {"127.0.0.1", 0};
                    options.Threads = 8;
                    options.Log = [](const std::string&) {};
                    if (tls) {
                        options.TlsCert = dir + "/cert.pem";
                        options.TlsKey = dir + "/key.pem";
                    }
                    srvZel = std::make_unique<zel::SrvZelServer>(options);
                    address = srvZel->Address();
                    serving = std::thread([&srvZel] { srvZel->Run(); });
                }
                const std::string name =
                    (storeDb.empty() ? std::string("server, ") : std::string("srv_zel ")) +
                    storeName + (tls ? ", HTTPS" : ", HTTP");
                for (const int clients : CLIENTS) {
                    seen[{storeName, tls, clients}] =
                        Print(name.c_str(), clients,
                              RunClients(address, tls, dir, clients, articles, phase));
                }
                if (storeName != std::string("PostgreSQL") && !wrk.empty()) {
                    underWrk[{storeName, tls}] =
                        Load((name + ", wrk").c_str(), wrk,
                             (tls ? "https://" : "http://") + address.ToString() +
                                 std::string(zel::BUSCA_PRECIO_PATH),
                             seconds, script);
                }
                if (floor) {
                    floor->Stop();
                } else {
                    srvZel->Stop();
                }
                serving.join();
            }
        }
        loadNginx("nginx (floor), HTTP, wrk, again");
        const double nginxRate = nginx16.empty()
                                     ? 0
                                     : std::accumulate(nginx16.begin(), nginx16.end(), 0.0) /
                                           static_cast<double>(nginx16.size());
        const auto& sqliteWrk = underWrk[{"SQLite", false}];
        const auto& sqliteWrkTls = underWrk[{"SQLite", true}];
        const auto& floorWrk = underWrk[{"fixed answer (floor)", false}];
        const auto& floor16 = seen[{"fixed answer (floor)", false, 16}];
        const auto& sqlite16 = seen[{"SQLite", false, 16}];
        const auto& floor1 = seen[{"fixed answer (floor)", false, 1}];
        const auto& sqlite1 = seen[{"SQLite", false, 1}];
        std::printf("\ngoals (HTTP, SQLite):\n");
        std::printf("  16 clients: %.0f calls/s, %.0f %% of the floor's %.0f (goal >= 50 %%)\n",
                    sqlite16.callsPerSecond, 100 * sqlite16.callsPerSecond / floor16.callsPerSecond,
                    floor16.callsPerSecond);
        std::printf(
            "  1 client: p50 %.1f us; 2 x the floor's p50 + the in-process lookup: %.1f us\n",
            sqlite1.p50, 2 * floor1.p50 + inProcess.p50);
        if (https) {
            for (const int clients : {1, 16}) {
                const auto& plain = seen[{"SQLite", false, clients}];
                const auto& tls = seen[{"SQLite", true, clients}];
                std::printf(
                    "  HTTPS / HTTP, %d client(s): p50 %.2f x, calls/s %.2f x (goal <= 1.2 x)\n",
                    clients, tls.p50 / plain.p50, plain.callsPerSecond / tls.callsPerSecond);
            }
        }
        std::printf("\ngoals against nginx (SQLite):\n");
        if (nginxRate > 0 && sqliteWrk) {
            std::printf(
                "  16 connections (wrk): %.0f calls/s, nginx %.0f (mean of %zu): %.2f x "
                "(goal >= 0.50 x)\n",
                sqliteWrk->CallsPerSecond, nginxRate, nginx16.size(),
                sqliteWrk->CallsPerSecond / nginxRate);
            if (floorWrk) {
                std::printf("  the serving layer alone (fixed answer, wrk): %.2f x nginx\n",
                            floorWrk->CallsPerSecond / nginxRate);
            }
        } else {
            std::printf("  16 connections (wrk): not measured (nginx or wrk missing or failed)\n");
        }
        if (nginx1) {
            std::printf(
                "  1 client: p50 %.1f us, nginx %.1f us: %.2f x (goal <= 1.5 x); p99 %.1f us, "
                "nginx %.1f us: %.2f x\n",
                sqlite1.p50, nginx1->p50, sqlite1.p50 / nginx1->p50, sqlite1.p99, nginx1->p99,
                sqlite1.p99 / nginx1->p99);
        } else {
            std::printf("  1 client: not measured (nginx missing)\n");
        }
        if (sqliteWrk && sqliteWrkTls) {
            std::printf("  HTTP / HTTPS calls/s, 16 connections (wrk): %.2f x (goal <= 1.2 x)",
                        sqliteWrk->CallsPerSecond / sqliteWrkTls->CallsPerSecond);
            if (nginxTls && !nginx16.empty()) {
                std::printf("; nginx's own: %.2f x", nginx16.front() / nginxTls->CallsPerSecond);
            }
            std::printf("\n");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_server: %s\n", e.what());
        std::filesystem::remove_all(dir);
        return 1;
    }
    std::filesystem::remove_all(dir);
    return 0;
}
