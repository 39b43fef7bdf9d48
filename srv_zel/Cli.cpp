#include "srv_zel/Cli.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <atomic>
#include <charconv>
#include <map>
#include <optional>
#include <thread>

#include "server/AccessKey.h"
#include "server/ServerError.h"
#include "srv_zel/CatalogueImport.h"
#include "srv_zel/CatalogueStore.h"
#include "srv_zel/DemoCatalogue.h"
#include "srv_zel/Schema.h"
#include "srv_zel/SrvZelServer.h"

namespace zel {

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_USAGE = 2;
constexpr std::size_t MAX_THREADS = 1024;
constexpr std::size_t MAX_BUDGET_MIB = 1u << 16;

constexpr const char* MAIN_HELP = R"(Usage: srv_zel COMMAND [OPTIONS]

The reference application server of the price-check gateway: answers its
HTTP/JSON interface (app-server-api.md, in /usr/share/doc/srv-zel/) from a
catalogue in a SQLite file or in a PostgreSQL database
(--db postgresql://USER@HOST/DB).

Commands:
  serve      serve the catalogue to gateways
  import     load articles and taxes from CSV files
  init-demo  write a demo catalogue

srv_zel COMMAND --help tells more about each; srv_zel --version prints the
version.
)";

constexpr const char* SERVE_HELP =
    R"(Usage: srv_zel serve --db FILE [--listen HOST:PORT] [--threads N] [--metrics HOST:PORT]
                     [--memory-budget MIB]

Serves the catalogue in FILE (created with its tables when missing) until
SIGINT or SIGTERM; SIGHUP is ignored. A read-only PostgreSQL database (a
store's hot standby of the head office's) is served as it is: nothing is
created, a start-up fails naming what it lacks, /metrics tells the
replication lag and every lookup's answer when its prices are as of
(Catalogue-As-Of). Writes one line per request on stderr:
time, client, method, path, status, microseconds (and the reason of an
error), and at most one line a minute when every worker of a kind is busy. Under systemd
(Type=notify) it says READY=1 once it listens and STOPPING=1 when it stops.

One I/O thread per core reads requests and answers lookups on SQLite at
once; queries, and lookups on PostgreSQL, have workers of their own, so
kept-alive gateways, slow clients and long queries never take the threads
that answer lookups. Limits, each answered with its status: request line
and headers 16 KiB and 64 headers (431), a body of 1 MiB whatever its
framing (413), a request not whole within 10 s (408), 1024 connections open
(503), request bodies and unsent answers together within the memory budget
(503), queries: 2 at once and 8 waiting (503), 4 s each. A kept-alive
connection with no request is closed after 60 s. Out of file handles, new
connections are answered 503 (the srv-zel unit raises LimitNOFILE).

  --db FILE          the SQLite catalogue, or a postgresql:// connection URI
  --listen HOST:PORT where to listen (default 127.0.0.1:6100; 0.0.0.0:6100
                     opens it to the network; port 0 picks a free port)
  --threads N        lookups on PostgreSQL answered at once (default 16)
  --memory-budget MIB
                     memory for request bodies and unsent answers, all
                     clients together (default 64)
  --metrics HOST:PORT
                     serve GET /metrics (Prometheus text) there, on a port of
                     its own (e.g. 127.0.0.1:6101); none by default
  --tls-cert FILE    serve HTTPS with this certificate chain (PEM) ...
  --tls-key FILE     ... and its private key (PEM)
  --key-file FILE    ask every request for the access key in FILE, as
                     "Authorization: Bearer KEY"; others get 401
  -h, --help         this text
)";

constexpr const char* IMPORT_HELP =
    R"(Usage: srv_zel import --db FILE [--articles A.csv] [--taxes T.csv]
                      [--delimiter C] [--encoding NAME]

Loads CSV files (RFC 4180, UTF-8, header row) into the catalogue in FILE, in
one transaction: a bad row stops the import with its file, line and reason,
and nothing is imported.

  --db FILE          the SQLite catalogue (created when missing), or a
                     postgresql:// connection URI (tables created when missing;
                     a read-only standby is refused: import at the head office)
  --articles A.csv   header codigo[,descripcion][,precio1..precio8][,imps_act][,ban_imps];
                     rows are upserted by code; an empty price is no price;
                     prices may be negative (a deposit given back). Without
                     descripcion the rows only update articles already there
                     (codigo,precio2: new prices on list 2)
  --taxes T.csv      header pct, one row per tax, tax 1 first; replaces the
                     taxes (a file without rows is refused)
  --delimiter C      the field delimiter (default ','; e.g. ';')
  --encoding NAME    the files' single-byte code page (e.g. windows-1252);
                     default UTF-8
  -h, --help         this text
)";

constexpr const char* DEMO_HELP = R"(Usage: srv_zel init-demo --db FILE

Writes a demo catalogue into FILE (created when missing): about fifty
articles with Spanish descriptions, prices on lists 1 to 4, taxes 16, 0 and
8 %, and some articles to which taxes apply. Articles with the same codes
and the tax table are replaced. Prints three codes to try.

  --db FILE          the SQLite catalogue, or a postgresql:// connection URI
  -h, --help         this text
)";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// --name VALUE or --name=VALUE; every option but --help takes a value.
std::map<std::string, std::string> ParseOptions(const std::string& command,
                                                const std::vector<std::string>& args,
                                                const std::vector<std::string>& known) {
    std::map<std::string, std::string> options;
    for (std::size_t i = 1; i < args.size(); ++i) {
        std::string name = args[i];
        std::optional<std::string> value;
        if (const auto eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "-h" || name == "--help") {
            options["--help"] = "";
            continue;
        }
        bool isKnown = false;
        for (const auto& k : known) {
            isKnown = isKnown || k == name;
        }
        if (!isKnown) {
            throw UsageError("srv_zel " + command + ": unknown option '" + name + "'");
        }
        if (!value) {
            if (i + 1 >= args.size()) {
                throw UsageError("srv_zel " + command + ": option " + name + " needs a value");
            }
            value = args[++i];
        }
        if (options.contains(name)) {
            throw UsageError("srv_zel " + command + ": option " + name + " given twice");
        }
        options[name] = *value;
    }
    return options;
}

std::string Required(const std::string& command, const std::map<std::string, std::string>& o,
                     const std::string& name) {
    const auto it = o.find(name);
    if (it == o.end() || it->second.empty()) {
        throw UsageError("srv_zel " + command + ": " + name + " FILE is required");
    }
    return it->second;
}

// Blocks SIGINT, SIGTERM and SIGHUP in every thread; the first two become
// Stop(), SIGHUP is taken and ignored (there is no log file to reopen: the
// log is stderr), so a reload never ends the server.
int Serve(ServeOptions options, std::ostream& err) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    struct RestoreMask {
        sigset_t mask;
        ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};

    SrvZelServer server(options);
    err << "srv_zel: serving " << (IsPostgresUri(options.DbPath) ? "PostgreSQL" : options.DbPath)
        << " on " << server.Address().ToString();
    if (const auto metrics = server.MetricsAddress()) {
        err << ", metrics on " << metrics->ToString();
    }
    err << std::endl;
    if (!options.TlsCert.empty() || !options.AccessKey.empty()) {
        err << "srv_zel: " << (options.TlsCert.empty() ? "plain HTTP" : "HTTPS")
            << (options.AccessKey.empty() ? "" : ", access key asked for") << std::endl;
    }
    // Does nothing when not started by systemd.
    sd_notify(0, ("READY=1\nSTATUS=serving on " + server.Address().ToString()).c_str());

    std::atomic<bool> finished{false};
    std::thread watcher([&] {
        const timespec tick{0, 100'000'000};
        while (!finished) {
            const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
            if (sig == SIGHUP) {
                err << "srv_zel: SIGHUP: nothing to reload; serving on" << std::endl;
            } else if (sig == SIGINT || sig == SIGTERM) {
                err << "srv_zel: stopping on " << (sig == SIGINT ? "SIGINT" : "SIGTERM")
                    << std::endl;
                sd_notify(0, "STOPPING=1");
                server.Stop();
                return;
            }
        }
    });
    server.Run();
    finished = true;
    watcher.join();
    err << "srv_zel: stopped" << std::endl;
    return EXIT_OK;
}

// The value of a serve option that counts something, from 1 to max.
std::size_t WholeNumber(const std::string& name, const std::string& text, std::size_t max) {
    std::size_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || n < 1 || n > max) {
        throw UsageError("srv_zel serve: " + name + " \"" + text + "\" is not a number from 1 to " +
                         std::to_string(max));
    }
    return n;
}

int RunServe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto o = ParseOptions("serve", args,
                                {"--db", "--listen", "--threads", "--metrics", "--tls-cert",
                                 "--tls-key", "--key-file", "--memory-budget"});
    if (o.contains("--help")) {
        out << SERVE_HELP;
        return EXIT_OK;
    }
    ServeOptions options;
    options.DbPath = Required("serve", o, "--db");
    for (const char* name : {"--listen", "--metrics"}) {
        if (const auto it = o.find(name); it != o.end()) {
            try {
                const ServerAddress a = ParseServerAddress(it->second, DEFAULT_SERVER_PORT, true);
                (name == std::string("--listen") ? options.Listen : options.Metrics.emplace()) = a;
            } catch (const ServerError& e) {
                throw UsageError("srv_zel serve: " + std::string(name) + ": " + e.what());
            }
        }
    }
    options.Version = ZEL_VERSION;
    if (const auto it = o.find("--threads"); it != o.end()) {
        options.Threads = WholeNumber("--threads", it->second, MAX_THREADS);
    }
    if (const auto it = o.find("--memory-budget"); it != o.end()) {
        options.MemoryBudget = WholeNumber("--memory-budget", it->second, MAX_BUDGET_MIB) << 20;
    }
    if (o.contains("--tls-cert") != o.contains("--tls-key")) {
        throw UsageError("srv_zel serve: --tls-cert and --tls-key go together");
    }
    if (o.contains("--tls-cert")) {
        options.TlsCert = o.at("--tls-cert");
        options.TlsKey = o.at("--tls-key");
    }
    if (const auto it = o.find("--key-file"); it != o.end()) {
        options.AccessKey = ReadAccessKey(it->second);
    }
    return Serve(std::move(options), err);
}

int RunImport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto o = ParseOptions("import", args,
                                {"--db", "--articles", "--taxes", "--delimiter", "--encoding"});
    if (o.contains("--help")) {
        out << IMPORT_HELP;
        return EXIT_OK;
    }
    const std::string db = Required("import", o, "--db");
    ImportFiles files;
    if (const auto it = o.find("--articles"); it != o.end()) {
        files.Articles = it->second;
    }
    if (const auto it = o.find("--taxes"); it != o.end()) {
        files.Taxes = it->second;
    }
    if (const auto it = o.find("--delimiter"); it != o.end()) {
        const std::string& d = it->second;
        if (d.size() != 1 || d == "\"" || d == "\n" || d == "\r") {
            throw UsageError("srv_zel import: --delimiter \"" + d + "\" is not one character");
        }
        files.Format.Delimiter = d[0];
    }
    if (const auto it = o.find("--encoding"); it != o.end()) {
        files.Format.Encoding = it->second;
    }
    if (!files.Articles && !files.Taxes) {
        throw UsageError("srv_zel import: nothing to import: give --articles, --taxes or both");
    }
    const auto catalogue = OpenCatalogueWriter(db);
    const ImportCounts counts =
        ImportCatalogue(*catalogue, files, [&err](const std::string& file, std::size_t rows) {
            err << "srv_zel: " << file << ": " << rows << " rows so far" << std::endl;
        });
    if (files.Articles) {
        out << "srv_zel: imported " << counts.Articles << " articles from " << *files.Articles
            << "\n";
    }
    if (files.Taxes) {
        out << "srv_zel: imported " << counts.Taxes << " taxes from " << *files.Taxes << "\n";
    }
    return EXIT_OK;
}

int RunInitDemo(const std::vector<std::string>& args, std::ostream& out) {
    const auto o = ParseOptions("init-demo", args, {"--db"});
    if (o.contains("--help")) {
        out << DEMO_HELP;
        return EXIT_OK;
    }
    const std::string db = Required("init-demo", o, "--db");
    const auto catalogue = OpenCatalogueWriter(db);
    const auto codes = WriteDemoCatalogue(*catalogue);
    out << "srv_zel: wrote " << DemoArticleCount() << " demo articles and 3 taxes (16, 0, 8) to "
        << db << "\nCodes to try:\n";
    for (const auto& c : codes) {
        out << "  " << c.Code << "  " << c.Description << ": " << c.Note << "\n";
    }
    return EXIT_OK;
}

}  // namespace

int SrvZelMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    try {
        if (args.empty()) {
            err << MAIN_HELP;
            return EXIT_USAGE;
        }
        const std::string& command = args[0];
        if (command == "-h" || command == "--help" || command == "help") {
            out << MAIN_HELP;
            return EXIT_OK;
        }
        if (command == "--version") {
            out << "srv_zel " << ZEL_VERSION << "\n";
            return EXIT_OK;
        }
        if (command == "serve") {
            return RunServe(args, out, err);
        }
        if (command == "import") {
            return RunImport(args, out, err);
        }
        if (command == "init-demo") {
            return RunInitDemo(args, out);
        }
        throw UsageError("srv_zel: unknown command '" + command + "'");
    } catch (const UsageError& e) {
        err << e.what() << " (try srv_zel --help)\n";
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        err << "srv_zel: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}

}  // namespace zel
