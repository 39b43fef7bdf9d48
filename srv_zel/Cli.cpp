#include "srv_zel/Cli.h"

#include <signal.h>

#include <atomic>
#include <charconv>
#include <map>
#include <optional>
#include <thread>

#include "server/AccessKey.h"
#include "server/IData_Srv_Zel.h"
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

constexpr const char* MAIN_HELP = R"(Usage: srv_zel COMMAND [OPTIONS]

The reference application server of the price-check gateway: answers its
HTTP/JSON interface (docs/app-server-api.md) from a catalogue in a SQLite
file or in a PostgreSQL database (--db postgresql://USER@HOST/DB).

Commands:
  serve      serve the catalogue to gateways
  import     load articles and taxes from CSV files
  init-demo  write a demo catalogue

srv_zel COMMAND --help tells more about each.
)";

constexpr const char* SERVE_HELP =
    R"(Usage: srv_zel serve --db FILE [--listen HOST:PORT] [--threads N]

Serves the catalogue in FILE (created with its tables when missing) until
SIGINT or SIGTERM. Writes one line per request on stderr: time, client,
method, path, status, microseconds.

  --db FILE          the SQLite catalogue, or a postgresql:// connection URI
  --listen HOST:PORT where to listen (default 127.0.0.1:6100; 0.0.0.0:6100
                     opens it to the network; port 0 picks a free port)
  --threads N        requests served at once (default 16; each open
                     keep-alive connection holds one)
  --tls-cert FILE    serve HTTPS with this certificate chain (PEM) ...
  --tls-key FILE     ... and its private key (PEM)
  --key-file FILE    ask every request for the access key in FILE, as
                     "Authorization: Bearer KEY"; others get 401
  -h, --help         this text
)";

constexpr const char* IMPORT_HELP =
    R"(Usage: srv_zel import --db FILE [--articles A.csv] [--taxes T.csv]

Loads CSV files (RFC 4180, UTF-8, header row) into the catalogue in FILE, in
one transaction: a bad row stops the import with its file, line and reason,
and nothing is imported.

  --db FILE          the SQLite catalogue (created when missing), or a
                     postgresql:// connection URI (tables created when missing)
  --articles A.csv   header codigo,descripcion[,precio1..precio8][,imps_act][,ban_imps];
                     rows are upserted by code; an empty price is no price
  --taxes T.csv      header pct, one row per tax, tax 1 first; replaces the taxes
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

// Blocks SIGINT and SIGTERM in every thread and turns them into Stop().
int Serve(ServeOptions options, std::ostream& err) {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stopSignals, &previous);
    struct RestoreMask {
        sigset_t mask;
        ~RestoreMask() { pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
    } restore{previous};

    SrvZelServer server(options);
    err << "srv_zel: serving " << (IsPostgresUri(options.DbPath) ? "PostgreSQL" : options.DbPath)
        << " on " << server.Address().ToString() << std::endl;
    if (!options.TlsCert.empty() || !options.AccessKey.empty()) {
        err << "srv_zel: " << (options.TlsCert.empty() ? "plain HTTP" : "HTTPS")
            << (options.AccessKey.empty() ? "" : ", access key asked for") << std::endl;
    }

    std::atomic<bool> finished{false};
    std::thread watcher([&] {
        const timespec tick{0, 100'000'000};
        while (!finished) {
            const int sig = sigtimedwait(&stopSignals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) {
                err << "srv_zel: stopping on " << (sig == SIGINT ? "SIGINT" : "SIGTERM")
                    << std::endl;
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

int RunServe(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const auto o = ParseOptions(
        "serve", args, {"--db", "--listen", "--threads", "--tls-cert", "--tls-key", "--key-file"});
    if (o.contains("--help")) {
        out << SERVE_HELP;
        return EXIT_OK;
    }
    ServeOptions options;
    options.DbPath = Required("serve", o, "--db");
    if (const auto it = o.find("--listen"); it != o.end()) {
        try {
            options.Listen = ParseServerAddress(it->second, DEFAULT_SERVER_PORT, true);
        } catch (const ServerError& e) {
            throw UsageError(std::string("srv_zel serve: --listen: ") + e.what());
        }
    }
    if (const auto it = o.find("--threads"); it != o.end()) {
        const std::string& t = it->second;
        std::size_t n = 0;
        const auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), n);
        if (ec != std::errc() || end != t.data() + t.size() || n < 1 || n > 1024) {
            throw UsageError("srv_zel serve: --threads \"" + t +
                             "\" is not a number from 1 to 1024");
        }
        options.Threads = n;
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
    const auto o = ParseOptions("import", args, {"--db", "--articles", "--taxes"});
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
