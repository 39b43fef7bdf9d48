// bench_chain: a store of a chain, every process real and on loopback: the
// head office's PostgreSQL primary, the store's hot standby of it, srv_zel
// on each, and the store's gateway.
//
//  1. Scan to result through the gateway (ESPERA 0, one terminal) with the
//     store's srv_zel on its local standby, beside the same gateway asking
//     the head office's srv_zel through a proxy that puts it 30 ms away,
//     and beside srv_zel on a SQLite file (the floor of this run).
//  2. From an import at the head office to the new price on the store's
//     terminal, over 20 imports: p50 and max, from the import's start and
//     from its end (the commit).
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DelayProxy.h"
#include "GatewayStack.h"
#include "PgCluster.h"
#include "Terminal.h"

namespace {

using namespace zel::e2e;
using std::chrono::milliseconds;

constexpr long long kFirstCode = 7'500'000'000'000;
constexpr int kArticles = 1000;
constexpr int kImports = 20;
constexpr milliseconds kWanOneWay{15};  // a 30 ms round trip

const char* const kHelp =
    "Usage: bench_chain [--quick]\n"
    "\n"
    "Runs a head office's PostgreSQL primary and a store's hot standby of it\n"
    "(PostgreSQL's programs, as the postgres user when root), srv_zel and the\n"
    "gateway from this build on loopback, and prints:\n"
    "  1. scan to result (p50, p99, ms) through the gateway, ESPERA 0, one\n"
    "     terminal: srv_zel on SQLite (the floor), srv_zel on the store's\n"
    "     standby, and the head office's srv_zel through a proxy 30 ms away;\n"
    "  2. import at the head office to the new price on the store's terminal,\n"
    "     p50 and max over 20 imports.\n"
    "\n"
    "  --quick     500 scans per row instead of 3000\n"
    "  -h, --help  this text\n";

double At(std::vector<double> ms, double fraction) {
    if (ms.empty()) {
        return 0;
    }
    std::sort(ms.begin(), ms.end());
    return ms[std::min(ms.size() - 1, static_cast<std::size_t>(fraction * ms.size()))];
}

std::string Code(int i) {
    return std::to_string(kFirstCode + (i % kArticles) * 7);
}

std::vector<Article> Articles() {
    std::vector<Article> articles;
    for (int i = 0; i < kArticles; ++i) {
        articles.push_back({Code(i), "ARTICULO DE PRUEBA " + std::to_string(i),
                            std::to_string(10 + i) + ".25", 0, 0});
    }
    return articles;
}

// One terminal of a gateway on `server`; scans `count` codes one after the
// other; the milliseconds from each scan to its result.
std::vector<double> ScanToResult(const TempDir& dir, const std::string& server, int count) {
    GatewayConfig config;
    config.ServerAddress = server;
    config.Espera = 0;
    Gateway gateway(dir, config);
    gateway.WaitListening();
    Terminal terminal(gateway.Port(), 0);
    terminal.ExpectFrame(milliseconds(10000));
    std::vector<double> ms;
    for (int i = -20; i < count; ++i) {  // twenty to open the connections first
        const auto sent = terminal.Scan(Code(i + 20));
        const Frame result = terminal.ExpectFrame(milliseconds(30000));
        terminal.ExpectFrame(milliseconds(30000));  // the idle screen
        if (i >= 0) {
            ms.push_back(MillisecondsBetween(sent, result.At));
        }
    }
    gateway.Stop(SIGTERM);
    return ms;
}

void PrintRow(const char* name, const std::vector<double>& ms) {
    std::printf("  %-44s %8.3f %8.3f\n", name, At(ms, 0.5), At(ms, 0.99));
}

void ScanPaths(const TempDir& dir, const std::string& standby, const std::string& primary,
               int count) {
    std::printf("1. Scan to result through the gateway, ESPERA 0, one terminal, %d scans\n", count);
    std::printf("  %-44s %8s %8s\n", "", "p50 ms", "p99 ms");
    const std::string file = dir.File("tienda.db");
    ImportCatalogue(dir, file, Articles(), {"16", "0", "8"});
    const SrvZel onFile(dir, file);
    const SrvZel onStandby(dir, standby);
    const SrvZel atOffice(dir, primary);
    const std::string& office = atOffice.Address();
    const DelayProxy wan(
        static_cast<std::uint16_t>(std::stoi(office.substr(office.rfind(':') + 1))), kWanOneWay);

    const auto floor = ScanToResult(dir, onFile.Address(), count);
    PrintRow("srv_zel on SQLite (floor)", floor);
    const auto local = ScanToResult(dir, onStandby.Address(), count);
    PrintRow("store's srv_zel on its standby", local);
    const auto far = ScanToResult(dir, wan.Address(), count);
    PrintRow("head office's srv_zel, 30 ms away", far);
    std::printf("  standby / SQLite at p50: x%.2f; head office - standby at p50: %.3f ms\n\n",
                At(local, 0.5) / At(floor, 0.5), At(far, 0.5) - At(local, 0.5));
}

void ImportToTerminal(const TempDir& dir, const std::string& standby, const std::string& primary) {
    std::printf(
        "2. Import at the head office to the new price on the store's terminal, %d imports\n",
        kImports);
    const SrvZel store(dir, standby);
    GatewayConfig config;
    config.ServerAddress = store.Address();
    config.Espera = 0;
    Gateway gateway(dir, config);
    gateway.WaitListening();
    Terminal terminal(gateway.Port(), 0);
    terminal.ExpectFrame(milliseconds(10000));

    std::vector<double> fromStart, fromCommit;
    for (int i = 0; i < kImports; ++i) {
        const std::string price = std::to_string(500 + i) + ".75";
        const std::string csv =
            dir.Write("precio.csv", "codigo,precio1\n" + Code(0) + "," + price + "\n");
        const auto start = Clock::now();
        ChildOptions options;
        options.Arguments = {ProgramPaths().SrvZel, "import", "--db", primary, "--articles", csv};
        ChildProcess import(options);
        const auto status = import.WaitExit(std::chrono::seconds(30));
        const auto committed = Clock::now();
        if (!status || ExitCode(*status) != 0) {
            throw std::runtime_error("srv_zel import failed");
        }
        for (;;) {
            terminal.Scan(Code(0));
            const Frame result = terminal.ExpectFrame(milliseconds(30000));
            terminal.ExpectFrame(milliseconds(30000));
            if (result.Bytes.find(price) != std::string::npos) {
                fromStart.push_back(MillisecondsBetween(start, result.At));
                fromCommit.push_back(MillisecondsBetween(committed, result.At));
                break;
            }
        }
    }
    std::printf("  %-44s %8s %8s\n", "", "p50 ms", "max ms");
    std::printf("  %-44s %8.1f %8.1f\n", "from the import's start (srv_zel import run)",
                At(fromStart, 0.5), At(fromStart, 1.0));
    std::printf("  %-44s %8.1f %8.1f\n", "from the import's end (committed)", At(fromCommit, 0.5),
                At(fromCommit, 1.0));
    gateway.Stop(SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    int scans = 3000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            scans = 500;
        } else if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            std::fputs(kHelp, stdout);
            return 0;
        } else {
            std::fprintf(stderr, "bench_chain: unknown option '%s' (try --help)\n", argv[i]);
            return 2;
        }
    }
    try {
        if (!PgCluster::Available()) {
            std::fputs("bench_chain: PostgreSQL's server programs are not installed\n", stderr);
            return 1;
        }
        RaiseFileLimit();
        const TempDir dir;
        const auto primary = PgCluster::Primary();
        ImportCatalogue(dir, primary->Uri(), Articles(), {"16", "0", "8"});
        const auto standby = PgCluster::StandbyOf(*primary);
        ScanPaths(dir, standby->Uri(), primary->Uri(), scans);
        ImportToTerminal(dir, standby->Uri(), primary->Uri());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_chain: %s\n", e.what());
        return 1;
    }
    return 0;
}
