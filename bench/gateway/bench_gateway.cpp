// bench_gateway: figures of the whole gateway as a shop runs it, every
// process real and on loopback.
//
//  1. Scans per second and scan-to-result latency through the gateway (ESPERA
//     0) with 1 and with 20 terminals, in both pause modes, beside the bare
//     BuscaPrecio round trip to the same srv_zel; the ratio is the gateway's
//     own cost; the same scans in rounds alternately without and with 1000 idle
//     terminals connected besides. The floor of the terminal's own hop: a bare
//     poll() loop answering at once with the gateway's screens.
//  2. Twenty terminals scanning at the same moment with the pause of ESPERA
//     ms, once with the pause shared by all terminals (PAUSA_POR_TERMINAL 0)
//     and once per terminal (1): the time from each scan to its result.
//  3. A thousand idle terminals: the gateway's resident memory per connection.
//  4. A back office 30 ms away (a delaying proxy before srv_zel): fifty
//     terminals scanning at the same moment, ESPERA 0, in both pause modes;
//     then the first burst after start and warm ones (20 terminals with the
//     defaults, 50 with CONEXIONES 64), a scan after the server closed the
//     idle connections, and the floor of as many plain HTTP clients.
//  5. The server stopped (SIGSTOP) while a lookup waits: how long a new
//     terminal waits for its idle screen, in both pause modes.
//  6. The status and metrics endpoint: /status, the page and /metrics answer
//     times with 200 named terminals connected, 20 gone and 50 codes not
//     found, idle and with 20 of them scanning (ESPERA 0); and one terminal's
//     scans with the page open (polling every 2 s) against the same without
//     it, in alternate rounds.
//  7. A store of a chain: the head office's PostgreSQL primary and the
//     store's hot standby of it. Scan to result with the store's srv_zel on
//     the standby, beside the same gateway asking the head office's srv_zel
//     30 ms away (and srv_zel on SQLite, the floor); and the time from an
//     import at the head office to the new price on the store's terminal.
//  8. The monitor under attack: a terminal's scan to result while each kind
//     of hostile client works the monitor port (and while 1000 idle
//     connections are opened on it), against a quiet row of the same gateway
//     just before; with the gateway's memory growth over the first quiet row.
//
// Part 1 runs the gateway twice, its endpoint off and then on and asked
// every 100 ms, so that the endpoint's cost shows against a floor of the
// same run.
#include <httplib.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BarePollServer.h"
#include "DelayProxy.h"
#include "GatewayStack.h"
#include "HostileClients.h"
#include "PgCluster.h"
#include "Terminal.h"
#include "server/CoData_Srv_Zel.h"
#include "server/ServerAddress.h"
#include "server/WireFormat.h"

namespace {

using namespace zel::e2e;
using std::chrono::milliseconds;

constexpr long long kFirstCode = 7'500'000'000'000;
constexpr int kArticles = 1000;
constexpr int kManyTerminals = 20;
constexpr int kIdleTerminals = 1000;
// Rounds of each kind when scans with and without the idle terminals alternate.
constexpr int kCrowdRounds = 3;
constexpr int kFarTerminals = 50;
constexpr milliseconds kFarOneWay{15};  // a 30 ms round trip
constexpr int kWarmBursts = 3;
constexpr int kImports = 20;
constexpr int kMonitoredTerminals = 200;
constexpr milliseconds kScrapeEvery{100};   // part 1, endpoint on: far more than any scraper
constexpr milliseconds kMeasureEvery{10};   // part 6
constexpr milliseconds kPageRefresh{2000};  // part 6: the page's own
constexpr int kGoneTerminals = 20;
constexpr int kShownCodes = 50;
constexpr int kIdleMonitorConnections = 1000;  // part 8
// srv_zel serves each kept-alive connection with a worker of its own: room
// for the gateway's CONEXIONES 16, a gateway still winding down and this
// program's own clients.
const std::vector<std::string> kServeThreads{"--threads", "64"};

const char* const kHelp =
    "Usage: bench_gateway [--quick] [--part N]\n"
    "\n"
    "Runs srv_zel and the gateway (ZEL_RV7300) from this build on loopback and\n"
    "prints:\n"
    "  1. scans per second and scan-to-result latency (p50, p99) through the\n"
    "     gateway with ESPERA 0, 1 and 20 terminals, both pause modes, beside the\n"
    "     bare BuscaPrecio round trip, and their ratio; the floor of the\n"
    "     terminal's hop (a bare poll() loop answering each scan at once with the\n"
    "     same screens); the same scans with 1000 idle terminals connected besides;\n"
    "  2. 20 terminals scanning at the same moment with ESPERA 2000, pauses\n"
    "     shared (PAUSA_POR_TERMINAL 0, about 45 s) and per terminal (1): time\n"
    "     from each scan to its result screen (min, median, max);\n"
    "  3. the gateway's resident memory per connection with 1000 idle terminals;\n"
    "  4. 50 terminals scanning at the same moment, ESPERA 0, through a proxy that\n"
    "     makes srv_zel 30 ms away, both pause modes: scan to result (min, median,\n"
    "     max), after a first round that opens the server connections; then the\n"
    "     first burst after start and warm bursts (20 terminals, CONEXIONES 16;\n"
    "     50, CONEXIONES 64), a scan after the idle connections closed, and the\n"
    "     floor of 50 plain HTTP clients, each max against the round trip;\n"
    "  5. srv_zel stopped while one terminal's lookup waits: a new terminal's\n"
    "     wait for its idle screen (p50, p99), both pause modes;\n"
    "  6. /status, / and /metrics answer times (p50, p99) with 200 named\n"
    "     terminals connected, 20 gone and 50 codes not found, idle and with 20\n"
    "     of them scanning, ESPERA 0; one terminal's scans (p50, p99) with the\n"
    "     page open (/status every 2 s) against the same without it;\n"
    "  7. a store of a chain (a PostgreSQL primary and a hot standby of it, run\n"
    "     as the postgres user when root): scan to result, one terminal, ESPERA\n"
    "     0, with srv_zel on SQLite, on the store's standby, and the head\n"
    "     office's 30 ms away; import at the head office to the new price on the\n"
    "     store's terminal, p50 and max over 20 imports.\n"
    "  8. one terminal's scan to result (p50, p99) while each kind of hostile\n"
    "     client works the monitor port (and 1000 idle connections on it), as\n"
    "     ratios to a quiet row just before, with the gateway's memory growth.\n"
    "  Part 1 runs with the status endpoint off, then on and asked every 100 ms.\n"
    "\n"
    "  --quick   ESPERA 200 in part 2 and 1-second phases in parts 1, 6 and 7 (about 10 s)\n"
    "  --part N  only part N (1 to 8)\n"
    "  -h, --help  this text\n";

struct Latencies {
    std::vector<double> Ms;
    double Seconds = 0;

    void Add(const Latencies& other) { Ms.insert(Ms.end(), other.Ms.begin(), other.Ms.end()); }
    // Another round of the same row: its scans and its time.
    void Pool(const Latencies& round) {
        Add(round);
        Seconds += round.Seconds;
    }
    double At(double fraction) {
        if (Ms.empty()) {
            return 0;
        }
        std::sort(Ms.begin(), Ms.end());
        const auto i = static_cast<std::size_t>(fraction * static_cast<double>(Ms.size()));
        return Ms[std::min(i, Ms.size() - 1)];
    }
};

std::string Code(int i) {
    return std::to_string(kFirstCode + (i % kArticles) * 7);
}

void BuildCatalogue(const TempDir& dir, const std::filesystem::path& db) {
    std::vector<Article> articles;
    for (int i = 0; i < kArticles; ++i) {
        articles.push_back({Code(i), "ARTICULO DE PRUEBA " + std::to_string(i),
                            std::to_string(10 + i % 1000) + ".25", i % 4 == 0 ? 5 : 1, 0});
    }
    ImportCatalogue(dir, db, articles, {"16", "0", "8"});
}

// One BuscaPrecio of article i, as the gateway sends it; its result.
std::int8_t LookUp(zel::IData_Srv_Zel& server, int i) {
    zel::BuscaPrecioCall call;
    call.Codigo = static_cast<double>(kFirstCode + (i % kArticles) * 7);
    call.Mult = 1.0;
    return zel::DecodeBuscaPrecioReply(server.Call(zel::IData_Srv_Zel::Operation::BuscaPrecio,
                                                   zel::EncodeBuscaPrecioRequest(call)))
        .Result;
}

// The bare round trip: one client object calling BuscaPrecio in a loop.
Latencies BareRoundTrips(const std::string& address, milliseconds duration) {
    const auto server = zel::CoData_Srv_Zel::CreateRemote(address);
    Latencies out;
    const auto start = Clock::now();
    for (int i = 0;; ++i) {
        const auto before = Clock::now();
        if (before - start >= duration) {
            out.Seconds = MillisecondsBetween(start, before) / 1000.0;
            return out;
        }
        if (LookUp(*server, i) != 1) {
            throw std::runtime_error("bare BuscaPrecio: article not found");
        }
        out.Ms.push_back(MillisecondsBetween(before, Clock::now()));
    }
}

// One terminal scanning in a closed loop: scan, result, idle screen, next.
Latencies ScanLoop(Terminal& terminal, int first, Clock::time_point end) {
    Latencies out;
    const auto start = Clock::now();
    for (int i = first;; i += 7) {
        const auto sent = Clock::now();
        if (sent >= end) {
            out.Seconds = MillisecondsBetween(start, sent) / 1000.0;
            return out;
        }
        terminal.Scan(Code(i));
        const Frame result = terminal.ExpectFrame(milliseconds(30000));
        terminal.ExpectFrame(milliseconds(30000));  // the idle screen
        out.Ms.push_back(MillisecondsBetween(sent, result.At));
    }
}

// Terminals connected one after another, each greeted before the next: the
// figures are of scans, not of a burst of connects.
std::vector<std::unique_ptr<Terminal>> ConnectTerminals(std::uint16_t port, int count) {
    std::vector<std::unique_ptr<Terminal>> terminals;
    for (int t = 0; t < count; ++t) {
        terminals.push_back(std::make_unique<Terminal>(port, 0));
        terminals.back()->ExpectFrame(milliseconds(10000));
    }
    return terminals;
}

Latencies Terminals(std::uint16_t port, int count, milliseconds duration) {
    auto terminals = ConnectTerminals(port, count);
    const auto end = Clock::now() + duration;
    std::vector<std::future<Latencies>> runs;
    for (int t = 0; t < count; ++t) {
        Terminal& terminal = *terminals[static_cast<std::size_t>(t)];
        runs.push_back(std::async(std::launch::async,
                                  [&terminal, t, end] { return ScanLoop(terminal, t * 31, end); }));
    }
    Latencies all;
    for (auto& run : runs) {
        const Latencies one = run.get();
        all.Add(one);
        all.Seconds = std::max(all.Seconds, one.Seconds);
    }
    return all;
}

// Asks the gateway's endpoint for each of `paths` in turn, every `every`,
// from a thread of its own, until it goes; each answer's time by path.
class Scraper {
public:
    Scraper(const std::string& address, milliseconds every,
            std::vector<std::string> paths = {"/status", "/metrics"})
        : paths_(std::move(paths)), thread_([this, address, every] { Run(address, every); }) {}
    ~Scraper() { Stop(); }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    Latencies& Of(const std::string& path) { return times_[path]; }

private:
    void Run(const std::string& address, milliseconds every) {
        const auto colon = address.rfind(':');
        httplib::Client client(address.substr(0, colon), std::stoi(address.substr(colon + 1)));
        client.set_keep_alive(true);
        while (!stop_) {
            for (const std::string& path : paths_) {
                const auto before = Clock::now();
                const auto answer = client.Get(path);
                if (!answer || answer->status != 200) {
                    throw std::runtime_error("GET " + path + " failed");
                }
                times_[path].Ms.push_back(MillisecondsBetween(before, Clock::now()));
            }
            // Asleep in short steps, so that a stop is not held for `every`.
            for (auto until = Clock::now() + every; !stop_ && Clock::now() < until;) {
                std::this_thread::sleep_for(
                    std::min<Clock::duration>(milliseconds(20), until - Clock::now()));
            }
        }
    }

    const std::vector<std::string> paths_;
    std::map<std::string, Latencies> times_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// What a terminal sees of one scan: the greeting, then the result and the
// idle screen.
struct Screens {
    std::string Greeting, Answer;
};

Screens CaptureScreens(std::uint16_t port) {
    Terminal terminal(port, 0);
    Screens screens;
    screens.Greeting = terminal.ExpectFrame(milliseconds(10000)).Bytes;
    terminal.Scan(Code(0));
    screens.Answer = terminal.ExpectFrame(milliseconds(10000)).Bytes;
    screens.Answer += terminal.ExpectFrame(milliseconds(10000)).Bytes;
    return screens;
}

void PrintRow(const char* name, int clients, Latencies& l) {
    const double perSecond = static_cast<double>(l.Ms.size()) / l.Seconds;
    std::printf("  %-26s %7d %10.0f %10.3f %10.3f\n", name, clients, perSecond, l.At(0.50),
                l.At(0.99));
}

void ThroughputAndLatency(const TempDir& dir, const SrvZel& server, milliseconds phase) {
    std::printf("1. Scans through the gateway (ESPERA 0, type 0, all found), %.0f s per row\n",
                static_cast<double>(phase.count()) / 1000.0);
    std::printf("  %-26s %7s %10s %10s %10s\n", "", "clients", "per s", "p50 ms", "p99 ms");
    // The bare round trip before and after the gateway's rows: their spread
    // shows how steady the machine was meanwhile.
    Latencies bareBefore = BareRoundTrips(server.Address(), phase);
    PrintRow("bare BuscaPrecio, before", 1, bareBefore);

    // Each pause mode alone and beside 1000 idle terminals; then the
    // endpoint on and asked all along: its cost against a floor of the same run.
    struct Mode {
        Latencies One, Many, AloneOne, AloneMany, CrowdedOne, CrowdedMany;
    };
    Mode modes[2];
    Latencies oneMonitored, manyMonitored;
    Screens screens;
    for (const int pass : {0, 1, 2}) {
        const bool monitored = pass == 2;
        const int mode = pass == 1 ? 1 : 0;
        GatewayConfig config;
        config.ServerAddress = server.Address();
        config.Espera = 0;
        config.PausaPorTerminal = mode;
        config.Monitor = monitored ? "127.0.0.1:0" : "";
        Gateway gateway(dir, config);
        gateway.WaitListening();
        std::unique_ptr<Scraper> scraper;
        if (monitored) {
            scraper = std::make_unique<Scraper>(gateway.MonitorAddress(), kScrapeEvery);
        }
        if (pass == 0) {
            screens = CaptureScreens(gateway.Port());
        }
        const std::string name =
            monitored ? "gateway+endpoint asked" : "PAUSA_POR_TERMINAL " + std::to_string(mode);
        Latencies& single = monitored ? oneMonitored : modes[mode].One;
        Latencies& several = monitored ? manyMonitored : modes[mode].Many;
        single = Terminals(gateway.Port(), 1, phase);
        PrintRow(name.c_str(), 1, single);
        several = Terminals(gateway.Port(), kManyTerminals, phase);
        PrintRow(name.c_str(), kManyTerminals, several);
        if (!monitored) {
            // A large shop: the scans of a few beside many idle terminals,
            // in rounds alternately without and with them, each kind
            // pooled, so that the machine's drift weighs on both alike.
            Mode& m = modes[mode];
            for (int round = 0; round < 2 * kCrowdRounds; ++round) {
                const bool crowded = round % 2 == 1;
                std::vector<std::unique_ptr<Terminal>> idle;
                if (crowded) {
                    idle = ConnectTerminals(gateway.Port(), kIdleTerminals);
                }
                (crowded ? m.CrowdedOne : m.AloneOne)
                    .Pool(Terminals(gateway.Port(), 1, phase / kCrowdRounds));
                (crowded ? m.CrowdedMany : m.AloneMany)
                    .Pool(Terminals(gateway.Port(), kManyTerminals, phase / kCrowdRounds));
            }
            PrintRow("  rounds with none besides", 1, m.AloneOne);
            PrintRow("  rounds with none besides", kManyTerminals, m.AloneMany);
            PrintRow("  rounds with 1000 idle", 1, m.CrowdedOne);
            PrintRow("  rounds with 1000 idle", kManyTerminals, m.CrowdedMany);
        }
        scraper.reset();
        gateway.Stop(SIGTERM);
    }

    Latencies bareAfter = BareRoundTrips(server.Address(), phase);
    PrintRow("bare BuscaPrecio, after", 1, bareAfter);
    Latencies hop;
    {
        // The floor of the terminal's own hop: a bare poll() loop answering
        // each scan at once with the gateway's screens, read by the same
        // terminal code. A scan through the gateway costs this round trip on
        // top of its lookup.
        const zel::bench::BarePollServer canned(
            screens.Greeting, [&screens](std::string_view) { return screens.Answer; });
        hop = Terminals(canned.Port(), 1, phase);
    }
    PrintRow("floor: the terminal's hop", 1, hop);

    const auto rate = [](const Latencies& l) {
        return static_cast<double>(l.Ms.size()) / l.Seconds;
    };
    const double bareP50 = (bareBefore.At(0.5) + bareAfter.At(0.5)) / 2;
    const double bareRate = (rate(bareBefore) + rate(bareAfter)) / 2;
    Latencies& one = modes[0].One;
    std::printf(
        "  ratio gateway/bare (bare: mean of before and after), 1 terminal: p50 latency "
        "x%.2f, rate x%.2f\n",
        one.At(0.5) / bareP50, rate(one) / bareRate);
    std::printf("  ratio gateway/bare, %d terminals: rate x%.2f\n", kManyTerminals,
                rate(modes[0].Many) / bareRate);
    for (int mode : {0, 1}) {
        Mode& m = modes[mode];
        std::printf(
            "  PAUSA_POR_TERMINAL %d, 1000 idle connected against none (goal p50 <= x1.10, "
            "rate >= x0.90): 1 terminal p50 x%.2f rate x%.2f; %d terminals p50 x%.2f rate "
            "x%.2f\n",
            mode, m.CrowdedOne.At(0.5) / m.AloneOne.At(0.5), rate(m.CrowdedOne) / rate(m.AloneOne),
            kManyTerminals, m.CrowdedMany.At(0.5) / m.AloneMany.At(0.5),
            rate(m.CrowdedMany) / rate(m.AloneMany));
    }
    for (int mode : {0, 1}) {
        Latencies& single = modes[mode].One;
        std::printf(
            "  PAUSA_POR_TERMINAL %d, the gateway's own cost per scan at p50: %.3f ms over the "
            "bare lookup; %.3f ms over the bare lookup and the terminal's hop (goal <= 0.03; "
            "each scan also reads the idle screen before the next)\n",
            mode, single.At(0.5) - bareP50, single.At(0.5) - bareP50 - hop.At(0.5));
    }
    std::printf(
        "  with the endpoint on and asked every %lld ms: %.3f ms at p50; rate x%.2f (1 "
        "terminal), x%.2f (%d terminals) of the endpoint off\n\n",
        static_cast<long long>(kScrapeEvery.count()), oneMonitored.At(0.5) - bareP50,
        rate(oneMonitored) / rate(one), rate(manyMonitored) / rate(modes[0].Many), kManyTerminals);
}

// The address of the n-th terminal of part 6 (n from 0), each its own.
std::string MonitoredAddress(int n) {
    return "127.0.1." + std::to_string(1 + n);
}

// The page's content as a shop's would be: every terminal named, some gone,
// codes not found, scans in the last hour.
void FillThePage(const Gateway& gateway) {
    Terminal scanner(gateway.Port(), 0, milliseconds(10000), MonitoredAddress(0));
    scanner.ExpectFrame(milliseconds(10000));
    for (int i = 0; i < 3 * kShownCodes; ++i) {
        const int missing = i % kShownCodes;  // each scanned three times
        scanner.Scan(std::to_string(9'900'000'000'000 + missing));
        scanner.ExpectFrame(milliseconds(30000));  // type 0: the idle screen alone
    }
    for (int n = 0; n < kGoneTerminals; ++n) {
        Terminal gone(gateway.Port(), 0, milliseconds(10000),
                      MonitoredAddress(kMonitoredTerminals + n));
        gone.ExpectFrame(milliseconds(10000));
        n % 2 ? gone.Reset() : gone.Close();
    }
}

// One terminal scanning for `phase`, in rounds alternately without and with
// the page open in a browser (/ once, then /status every 2 s), the two
// kinds of round pooled.
void ScansWhileThePageIsOpen(const Gateway& gateway, milliseconds phase) {
    Terminal terminal(gateway.Port(), 0, milliseconds(10000), MonitoredAddress(1));
    terminal.ExpectFrame(milliseconds(10000));
    Latencies without, with;
    constexpr int kRounds = 3;
    for (int round = 0; round < 2 * kRounds; ++round) {
        const bool open = round % 2 == 1;
        std::unique_ptr<Scraper> page;
        if (open) {
            page = std::make_unique<Scraper>(gateway.MonitorAddress(), kPageRefresh,
                                             std::vector<std::string>{"/status"});
        }
        (open ? with : without).Add(ScanLoop(terminal, round * 97, Clock::now() + phase / kRounds));
    }
    std::printf("  %-34s %8zu %10.3f %10.3f\n", "one scanning, page closed", without.Ms.size(),
                without.At(0.5), without.At(0.99));
    std::printf("  %-34s %8zu %10.3f %10.3f   p99 x%.2f (goal <= 1.1)\n",
                "one scanning, page open (2 s)", with.Ms.size(), with.At(0.5), with.At(0.99),
                with.At(0.99) / without.At(0.99));
}

// /status, / and /metrics asked in a loop while 200 named terminals are
// connected, 20 more gone and 50 codes not found: first all idle, then with
// 20 of them scanning without a pause; then one terminal's scans with and
// without the page open.
void EndpointUnderLoad(const TempDir& dir, const SrvZel& server, milliseconds phase) {
    std::printf(
        "6. The status endpoint with %d named terminals connected, %d gone and %d codes not "
        "found, asked every %lld ms: answer time, ms\n",
        kMonitoredTerminals, kGoneTerminals, kShownCodes,
        static_cast<long long>(kMeasureEvery.count()));
    std::printf("  %-34s %8s %10s %10s\n", "", "answers", "p50", "p99");
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.Espera = 0;
    config.PausaPorTerminal = 1;
    config.Monitor = "127.0.0.1:0";
    for (int n = 0; n < kMonitoredTerminals + kGoneTerminals; ++n) {
        config.Terminales.emplace_back(MonitoredAddress(n), "Caja " + std::to_string(n + 1));
    }
    Gateway gateway(dir, config);
    gateway.WaitListening();
    FillThePage(gateway);
    std::vector<std::unique_ptr<Terminal>> idle;
    for (int n = kManyTerminals; n < kMonitoredTerminals; ++n) {
        idle.push_back(std::make_unique<Terminal>(gateway.Port(), 0, milliseconds(10000),
                                                  MonitoredAddress(n)));
        idle.back()->ExpectFrame(milliseconds(10000));
    }
    for (const bool scanning : {false, true}) {
        Scraper scraper(gateway.MonitorAddress(), kMeasureEvery, {"/status", "/", "/metrics"});
        Latencies scans;
        if (scanning) {
            scans = Terminals(gateway.Port(), kManyTerminals, phase);
        } else {
            auto others = ConnectTerminals(gateway.Port(), kManyTerminals);
            std::this_thread::sleep_for(phase);
        }
        scraper.Stop();
        const std::string when = scanning ? std::to_string(kManyTerminals) + " scanning" : "idle";
        for (const char* path : {"/status", "/", "/metrics"}) {
            Latencies& l = scraper.Of(path);
            const std::string name = std::string(path) + ", " + when;
            std::printf("  %-34s %8zu %10.3f %10.3f\n", name.c_str(), l.Ms.size(), l.At(0.5),
                        l.At(0.99));
        }
        if (scanning) {
            std::printf("  %-34s %8zu %10.3f %10.3f   (scan to result)\n", "scans meanwhile",
                        scans.Ms.size(), scans.At(0.5), scans.At(0.99));
        }
    }
    const auto colon = gateway.MonitorAddress().rfind(':');
    httplib::Client client(gateway.MonitorAddress().substr(0, colon),
                           std::stoi(gateway.MonitorAddress().substr(colon + 1)));
    if (const auto status = client.Get("/status")) {
        std::printf("  /status is %.1f KiB, / %.1f KiB\n",
                    static_cast<double>(status->body.size()) / 1024,
                    static_cast<double>(client.Get("/")->body.size()) / 1024);
    }
    ScansWhileThePageIsOpen(gateway, phase * 2);
    idle.clear();
    gateway.Stop(SIGTERM);
    std::printf("\n");
}

// Twenty terminals scan at once; the milliseconds from each scan to its
// result screen.
Latencies SimultaneousScans(const TempDir& dir, const SrvZel& server, int espera, int mode) {
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.Espera = espera;
    config.PausaPorTerminal = mode;
    Gateway gateway(dir, config);
    gateway.WaitListening();

    auto terminals = ConnectTerminals(gateway.Port(), kManyTerminals);
    // Each terminal's result is awaited on its own thread, so every arrival
    // is stamped when it happens; the scans leave from this thread.
    const milliseconds limit(static_cast<long long>(espera) * (kManyTerminals + 5) + 10000);
    std::vector<std::future<Frame>> results;
    for (auto& terminal : terminals) {
        Terminal* t = terminal.get();
        results.push_back(
            std::async(std::launch::async, [t, limit] { return t->ExpectFrame(limit); }));
    }
    std::this_thread::sleep_for(milliseconds(100));  // every waiter in place
    std::vector<Clock::time_point> sent;
    for (int t = 0; t < kManyTerminals; ++t) {
        sent.push_back(terminals[static_cast<std::size_t>(t)]->Scan(Code(t)));
    }
    Latencies out;
    for (int t = 0; t < kManyTerminals; ++t) {
        const Frame f = results[static_cast<std::size_t>(t)].get();
        out.Ms.push_back(MillisecondsBetween(sent[static_cast<std::size_t>(t)], f.At));
    }
    gateway.Stop(SIGTERM);
    return out;
}

void PausesAtOnce(const TempDir& dir, const SrvZel& server, int espera) {
    std::printf("2. %d terminals scanning at the same moment, ESPERA %d ms: scan to result, ms\n",
                kManyTerminals, espera);
    std::printf("  %-26s %10s %10s %10s %12s\n", "", "min", "median", "max", "under 50 ms");
    for (const int mode : {0, 1}) {
        const auto start = Clock::now();
        Latencies l = SimultaneousScans(dir, server, espera, mode);
        const auto under50 =
            std::count_if(l.Ms.begin(), l.Ms.end(), [](double ms) { return ms < 50; });
        const std::string name = "PAUSA_POR_TERMINAL " + std::to_string(mode);
        std::printf("  %-26s %10.1f %10.1f %10.1f %9ld/%d   (%.1f s)\n", name.c_str(), l.At(0),
                    l.At(0.5), l.At(1.0), static_cast<long>(under50), kManyTerminals,
                    MillisecondsBetween(start, Clock::now()) / 1000.0);
    }
    std::printf("\n");
}

void IdleTerminals(const TempDir& dir, const SrvZel& server) {
    GatewayConfig config;
    config.ServerAddress = server.Address();
    Gateway gateway(dir, config);  // inherits the raised file limit
    gateway.WaitListening();
    std::this_thread::sleep_for(milliseconds(300));
    const long before = ResidentKiB(gateway.Process().Pid());

    const auto start = Clock::now();
    auto terminals = ConnectTerminals(gateway.Port(), kIdleTerminals);
    const double connectMs = MillisecondsBetween(start, Clock::now());
    std::this_thread::sleep_for(milliseconds(300));
    const long after = ResidentKiB(gateway.Process().Pid());
    std::printf(
        "3. %d idle terminals: gateway VmRSS %ld KiB before, %ld KiB after: %.2f KiB per "
        "connection; connect and greeting %.3f ms each\n",
        kIdleTerminals, before, after, static_cast<double>(after - before) / kIdleTerminals,
        connectMs / kIdleTerminals);
    terminals.clear();
    gateway.Stop(SIGTERM);
}

// Every terminal scans once at the same moment; the milliseconds from each
// scan to its result. One thread sends every scan and reads every screen: no
// thread per terminal takes the two cores from the gateway and the server.
Latencies ScanAllAtOnce(std::vector<std::unique_ptr<Terminal>>& terminals, int round) {
    const std::size_t count = terminals.size();
    std::vector<Clock::time_point> sent, arrived(count);
    std::vector<pollfd> watched;
    for (std::size_t t = 0; t < count; ++t) {
        watched.push_back({terminals[t]->Handle(), POLLIN, 0});
    }
    for (std::size_t t = 0; t < count; ++t) {
        sent.push_back(terminals[t]->Scan(Code(static_cast<int>(t) + round * 100)));
    }
    std::vector<int> screens(count, 0);  // the result, then the idle screen
    const auto deadline = Clock::now() + milliseconds(60000);
    for (std::size_t answered = 0; answered < count;) {
        if (Clock::now() > deadline) {
            throw std::runtime_error("a scan had no answer within 60 s");
        }
        ::poll(watched.data(), watched.size(), 1000);
        for (std::size_t t = 0; t < count; ++t) {
            if (watched[t].fd < 0 || watched[t].revents == 0) {
                continue;
            }
            bool any = false;
            while (const auto frame = terminals[t]->NextFrame(milliseconds(0))) {
                any = true;
                if (++screens[t] == 1) {
                    arrived[t] = frame->At;
                } else {
                    watched[t].fd = -1;
                    ++answered;
                    break;
                }
            }
            if (!any && (watched[t].revents & (POLLHUP | POLLERR)) != 0) {
                throw std::runtime_error("the gateway closed a terminal that scanned");
            }
        }
    }
    Latencies out;
    for (std::size_t t = 0; t < count; ++t) {
        out.Ms.push_back(MillisecondsBetween(sent[t], arrived[t]));
    }
    return out;
}

std::uint16_t PortOf(const std::string& address) {
    return static_cast<std::uint16_t>(std::stoul(address.substr(address.rfind(':') + 1)));
}

// The floor: `count` plain HTTP clients through `proxy`, each with a
// connection of its own that one call has warmed, calling at the same
// moment, `rounds` times; the milliseconds of each call.
Latencies PlainClientsAtOnce(const std::string& address, int count, int rounds) {
    std::vector<std::shared_ptr<zel::IData_Srv_Zel>> clients;
    for (int i = 0; i < count; ++i) {
        clients.push_back(zel::CoData_Srv_Zel::CreateRemote(address));
    }
    const auto call = [](zel::IData_Srv_Zel& client, int i) { LookUp(client, i); };
    for (int i = 0; i < count; ++i) {
        call(*clients[static_cast<std::size_t>(i)], i);
    }
    Latencies out;
    for (int round = 0; round < rounds; ++round) {
        std::atomic<bool> go{false};
        std::vector<std::future<double>> calls;
        for (int i = 0; i < count; ++i) {
            zel::IData_Srv_Zel* client = clients[static_cast<std::size_t>(i)].get();
            calls.push_back(std::async(std::launch::async, [&go, client, i, call] {
                while (!go) {
                    std::this_thread::yield();
                }
                const auto start = Clock::now();
                call(*client, i);
                return MillisecondsBetween(start, Clock::now());
            }));
        }
        std::this_thread::sleep_for(milliseconds(100));
        go = true;
        for (auto& c : calls) {
            out.Ms.push_back(c.get());
        }
    }
    return out;
}

// Scan to result with the server one round trip away, PAUSA_POR_TERMINAL 1:
// the first burst after start, a warm one, and one scan after the server
// closed the idle connections; beside the floor of plain clients.
void FarRoundTrips(const TempDir& dir, const SrvZel& server) {
    const double trip = static_cast<double>(kFarOneWay.count() * 2);
    std::printf(
        "  PAUSA_POR_TERMINAL 1, max scan to result / one round trip (goal with CONEXIONES >= "
        "terminals: <= 1.2; with the defaults and 20 terminals: <= 2.2)\n");
    std::printf("  %-44s %10s %10s %10s\n", "", "median", "max", "max/trip");
    const auto row = [trip](const std::string& name, Latencies l) {
        std::printf("  %-44s %10.1f %10.1f %10.2f\n", name.c_str(), l.At(0.5), l.At(1.0),
                    l.At(1.0) / trip);
    };
    struct Case {
        int terminals;
        int conexiones;  // 0: the default
    };
    const DelayProxy proxy(PortOf(server.Address()), kFarOneWay);
    for (const Case c : {Case{kManyTerminals, 0}, Case{kFarTerminals, 64}}) {
        GatewayConfig config;
        config.ServerAddress = proxy.Address();
        config.Espera = 0;
        config.PausaPorTerminal = 1;
        config.Conexiones = c.conexiones;
        Gateway gateway(dir, config);
        gateway.WaitListening();
        auto terminals = ConnectTerminals(gateway.Port(), c.terminals);
        const std::string name =
            std::to_string(c.terminals) + " terminals, CONEXIONES " +
            (c.conexiones == 0 ? "16 (default)" : std::to_string(c.conexiones));
        row(name + ", first burst", ScanAllAtOnce(terminals, 0));
        Latencies warm;
        for (int round = 1; round <= kWarmBursts; ++round) {
            warm.Add(ScanAllAtOnce(terminals, round));
        }
        row(name + ", warm (3 bursts)", warm);
        terminals.clear();
        gateway.Stop(SIGTERM);
    }
    {
        // A server that closes connections idle for 1 s, as srv_zel does after 60 s.
        const DelayProxy closing(PortOf(server.Address()), kFarOneWay, milliseconds(1000));
        GatewayConfig config;
        config.ServerAddress = closing.Address();
        config.Espera = 0;
        config.PausaPorTerminal = 1;
        Gateway gateway(dir, config);
        gateway.WaitListening();
        auto terminals = ConnectTerminals(gateway.Port(), 1);
        ScanAllAtOnce(terminals, 0);
        Latencies after;
        for (int round = 1; round <= 3; ++round) {
            std::this_thread::sleep_for(milliseconds(2500));  // the idle connections closed
            after.Add(ScanAllAtOnce(terminals, round));
        }
        row("1 scan after the idle connections closed (3x)", after);
        terminals.clear();
        gateway.Stop(SIGTERM);
    }
    row("floor: " + std::to_string(kFarTerminals) + " plain HTTP clients, warm (3 bursts)",
        PlainClientsAtOnce(proxy.Address(), kFarTerminals, kWarmBursts));
}

void FarBackOffice(const TempDir& dir, const SrvZel& server) {
    const DelayProxy proxy(PortOf(server.Address()), kFarOneWay);
    std::printf(
        "4. %d terminals scanning at the same moment, ESPERA 0, srv_zel %lld ms away "
        "(round trip): scan to result, ms\n",
        kFarTerminals, static_cast<long long>(kFarOneWay.count() * 2));
    std::printf("  %-26s %10s %10s %10s\n", "", "min", "median", "max");
    for (const int mode : {0, 1}) {
        GatewayConfig config;
        config.ServerAddress = proxy.Address();
        config.Espera = 0;
        config.PausaPorTerminal = mode;
        Gateway gateway(dir, config);
        gateway.WaitListening();
        auto terminals = ConnectTerminals(gateway.Port(), kFarTerminals);
        ScanAllAtOnce(terminals, 0);  // opens the gateway's server connections
        Latencies l = ScanAllAtOnce(terminals, 1);
        const std::string name = "PAUSA_POR_TERMINAL " + std::to_string(mode);
        std::printf("  %-26s %10.1f %10.1f %10.1f\n", name.c_str(), l.At(0), l.At(0.5), l.At(1.0));
        terminals.clear();
        gateway.Stop(SIGTERM);
    }
    FarRoundTrips(dir, server);
    std::printf("\n");
}

// New terminals connect one after another while one terminal's lookup waits
// on a stopped server; the milliseconds from each connect to its greeting.
Latencies GreetingsWhileStopped(const TempDir& dir, SrvZel& server, int mode, int samples,
                                int limit) {
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.PausaPorTerminal = mode;
    config.LimiteConsulta = limit;
    Gateway gateway(dir, config);
    gateway.WaitListening();
    Terminal scanning(gateway.Port(), 0);
    scanning.ExpectFrame(milliseconds(10000));
    server.Process().Signal(SIGSTOP);
    Latencies out;
    for (int i = 0; i < samples; ++i) {
        if (mode == 0 || i == 0) {
            scanning.Scan(Code(i));
            std::this_thread::sleep_for(milliseconds(20));  // the lookup has started
        }
        const auto start = Clock::now();
        Terminal newcomer(gateway.Port(), 0);
        const Frame greeting = newcomer.ExpectFrame(milliseconds(60000));
        out.Ms.push_back(MillisecondsBetween(start, greeting.At));
    }
    server.Process().Signal(SIGCONT);
    gateway.Stop(SIGTERM);
    return out;
}

void StoppedServer(const TempDir& dir, SrvZel& server, bool quick) {
    std::printf(
        "5. srv_zel stopped while a lookup waits: a new terminal's wait for its idle "
        "screen, ms\n");
    std::printf("  %-26s %8s %10s %10s   %s\n", "", "samples", "p50", "p99", "LIMITE_CONSULTA");
    for (const int mode : {0, 1}) {
        // Mode 0 holds every newcomer for the whole lookup: each sample waits
        // for one, so the lookups are kept short there.
        const int samples = mode == 0 ? (quick ? 3 : 10) : (quick ? 50 : 200);
        const int limit = mode == 0 ? 1000 : 30000;
        Latencies l = GreetingsWhileStopped(dir, server, mode, samples, limit);
        const std::string name = "PAUSA_POR_TERMINAL " + std::to_string(mode);
        std::printf("  %-26s %8d %10.1f %10.1f   %d ms\n", name.c_str(), samples, l.At(0.5),
                    l.At(0.99), limit);
    }
    std::printf("\n");
}

// A gateway on `server` (ESPERA 0) and one terminal scanning for `phase`.
Latencies OneTerminal(const TempDir& dir, const std::string& server, milliseconds phase) {
    GatewayConfig config;
    config.ServerAddress = server;
    config.Espera = 0;
    Gateway gateway(dir, config);
    gateway.WaitListening();
    Latencies l = Terminals(gateway.Port(), 1, phase);
    gateway.Stop(SIGTERM);
    return l;
}

// Imports a new price for one article at the head office, then scans it at
// the store until the terminal shows it: the milliseconds from the import's
// start and from its end (the commit) to that screen.
void ImportsToTheStore(const TempDir& dir, const std::string& office, const SrvZel& store) {
    GatewayConfig config;
    config.ServerAddress = store.Address();
    config.Espera = 0;
    Gateway gateway(dir, config);
    gateway.WaitListening();
    Terminal terminal(gateway.Port(), 0);
    terminal.ExpectFrame(milliseconds(10000));
    Latencies fromStart, fromCommit;
    for (int i = 0; i < kImports; ++i) {
        const std::string price = std::to_string(500 + i) + ".75";
        const auto start = Clock::now();
        ImportCatalogue(dir, office, {{Code(0), "ARTICULO DE PRUEBA 0", price, 0, 0}},
                        {"16", "0", "8"});
        const auto committed = Clock::now();
        for (;;) {
            terminal.Scan(Code(0));
            const Frame result = terminal.ExpectFrame(milliseconds(30000));
            terminal.ExpectFrame(milliseconds(30000));  // the idle screen
            if (result.Bytes.find(price) != std::string::npos) {
                fromStart.Ms.push_back(MillisecondsBetween(start, result.At));
                fromCommit.Ms.push_back(MillisecondsBetween(committed, result.At));
                break;
            }
        }
    }
    gateway.Stop(SIGTERM);
    std::printf("  import at the head office to the store's terminal, %d imports:\n", kImports);
    std::printf("  %-26s %10s %10s\n", "", "p50 ms", "max ms");
    std::printf("  %-26s %10.1f %10.1f\n", "from the import's start", fromStart.At(0.5),
                fromStart.At(1.0));
    std::printf("  %-26s %10.1f %10.1f\n", "from its commit", fromCommit.At(0.5),
                fromCommit.At(1.0));
}

void ChainStore(const TempDir& dir, const SrvZel& onFile, milliseconds phase) {
    std::printf(
        "7. A store of a chain: scan to result through the gateway, ESPERA 0, %.0f s per row\n",
        static_cast<double>(phase.count()) / 1000.0);
    if (!PgCluster::Available()) {
        std::printf("  skipped: PostgreSQL's server programs are not installed\n\n");
        return;
    }
    const auto primary = PgCluster::Primary();
    BuildCatalogue(dir, primary->Uri());
    const auto standby = PgCluster::StandbyOf(*primary);
    const SrvZel atOffice(dir, primary->Uri(), kServeThreads);
    const SrvZel atStore(dir, standby->Uri(), kServeThreads);
    const std::string& office = atOffice.Address();
    const DelayProxy wan(
        static_cast<std::uint16_t>(std::stoi(office.substr(office.rfind(':') + 1))), kFarOneWay);

    std::printf("  %-26s %7s %10s %10s %10s\n", "", "clients", "per s", "p50 ms", "p99 ms");
    Latencies floor = OneTerminal(dir, onFile.Address(), phase);
    PrintRow("srv_zel on SQLite (floor)", 1, floor);
    Latencies local = OneTerminal(dir, atStore.Address(), phase);
    PrintRow("store's srv_zel, standby", 1, local);
    Latencies far = OneTerminal(dir, wan.Address(), phase);
    PrintRow("head office's, 30 ms away", 1, far);
    std::printf("  standby / SQLite at p50: x%.2f; head office - standby at p50: %.3f ms\n",
                local.At(0.5) / floor.At(0.5), far.At(0.5) - local.At(0.5));
    ImportsToTheStore(dir, primary->Uri(), atStore);
    std::printf("\n");
}

void MonitorUnderAttack(const TempDir& dir, const SrvZel& server, milliseconds phase) {
    std::printf(
        "8. The monitor under attack: one terminal's scan to result, ESPERA 0, %.0f s per row; "
        "each kind of client against a quiet row just before it (goal: p50 <= x1.2, p99 <= x2, "
        "memory <= +4096 KiB over the first quiet row)\n",
        static_cast<double>(phase.count()) / 1000.0);
    std::printf("  %-44s %9s %9s %9s %9s %7s %7s %9s\n", "", "quiet p50", "p99", "under p50", "p99",
                "p50 x", "p99 x", "+KiB");
    GatewayConfig config;
    config.ServerAddress = server.Address();
    config.Espera = 0;
    config.Monitor = "127.0.0.1:0";
    Gateway gateway(dir, config);
    gateway.WaitListening();
    const std::uint16_t port = PortOf(gateway.MonitorAddress());
    auto terminals = ConnectTerminals(gateway.Port(), 1);
    Terminal& terminal = *terminals.front();
    const auto scans = [&] { return ScanLoop(terminal, 0, Clock::now() + phase); };
    ScanLoop(terminal, 0, Clock::now() + milliseconds(300));  // warm
    const pid_t pid = gateway.Process().Pid();
    const long quietKiB = ResidentKiB(pid);
    std::vector<HostileKind> kinds = HttpHostileKinds("/status");
    kinds.push_back({"1000 idle connections", kIdleMonitorConnections, "", ""});
    for (const HostileKind& kind : kinds) {
        Latencies quiet = scans();
        Latencies under;
        long grown = 0;
        {
            const HostileClients clients(port, kind);
            under = scans();
            grown = ResidentKiB(pid) - quietKiB;
        }
        std::printf("  %-44s %9.3f %9.3f %9.3f %9.3f %7.2f %7.2f %9ld\n", kind.Name, quiet.At(0.5),
                    quiet.At(0.99), under.At(0.5), under.At(0.99), under.At(0.5) / quiet.At(0.5),
                    under.At(0.99) / quiet.At(0.99), grown);
    }
    terminals.clear();
    gateway.Stop(SIGTERM);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    int only = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--part") == 0 && i + 1 < argc && argv[i + 1][0] >= '1' &&
                   argv[i + 1][0] <= '8' && argv[i + 1][1] == '\0') {
            only = argv[++i][0] - '0';
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "bench_gateway: unknown argument '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    RaiseFileLimit();
    try {
        TempDir dir;
        const std::filesystem::path db = dir.File("bench.db");
        BuildCatalogue(dir, db);
        SrvZel server(dir, db, kServeThreads);
        std::printf("bench_gateway (%s): srv_zel at %s (--threads %s), %d articles\n\n",
                    quick ? "--quick" : "full", server.Address().c_str(), kServeThreads[1].c_str(),
                    kArticles);
        const auto wanted = [only](int part) { return only == 0 || only == part; };
        if (wanted(1)) {
            ThroughputAndLatency(dir, server, milliseconds(quick ? 1000 : 3000));
        }
        if (wanted(2)) {
            PausesAtOnce(dir, server, quick ? 200 : 2000);
        }
        if (wanted(3)) {
            IdleTerminals(dir, server);
            std::printf("\n");
        }
        if (wanted(4)) {
            FarBackOffice(dir, server);
        }
        if (wanted(5)) {
            StoppedServer(dir, server, quick);
        }
        if (wanted(6)) {
            EndpointUnderLoad(dir, server, milliseconds(quick ? 1000 : 5000));
        }
        if (wanted(7)) {
            ChainStore(dir, server, milliseconds(quick ? 1000 : 3000));
        }
        if (wanted(8)) {
            MonitorUnderAttack(dir, server, milliseconds(quick ? 1000 : 3000));
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_gateway: %s\n", error.what());
        return 1;
    }
    return 0;
}
