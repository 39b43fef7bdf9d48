#include "srv_zel/Cli.h"

#include <signal.h>
#include <systemd/sd-daemon.h>

#include <charconv>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "common/CommandLine.h"
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
// Running queries are interrupted at a stop and queued requests dropped; work
// that still holds on after this (a lookup waiting on a locked catalogue, a
// database that no longer answers) is left, so that a stop never hangs.
constexpr auto STOP_GRACE = std::chrono::milliseconds(1500);

constexpr std::size_t HELP_COLUMN = 21;  // where option descriptions start

constexpr const char* MAIN_USAGE = "srv_zel COMMAND [OPTIONS]";
constexpr const char* MAIN_TEXT =
    R"(The reference application server of the price-check gateway: answers its
HTTP/JSON interface (app-server-api.md, in /usr/share/doc/srv-zel/) from a
catalogue in a SQLite file or in a PostgreSQL database
(--db postgresql://USER@HOST/DB).)";
constexpr const char* MAIN_FOOTER =
    R"(srv_zel COMMAND --help tells more about each; srv_zel --version prints the
version.)";

constexpr const char* SERVE_USAGE =
    R"(srv_zel serve --db FILE [--listen HOST:PORT] [--threads N] [--metrics HOST:PORT]
                     [--memory-budget MIB])";
constexpr const char* SERVE_TEXT =
    R"(Serves the catalogue in FILE (created with its tables when missing) until
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
(503), queries: 2 at once and 8 waiting (503), 4 s each; a query whose
client has gone stops at once. A kept-alive connection with no request is
closed after 60 s. Out of file handles, new connections are answered 503
(the srv-zel unit raises LimitNOFILE).)";

constexpr const char* IMPORT_USAGE =
    R"(srv_zel import --db FILE [--articles A.csv] [--taxes T.csv]
                      [--delimiter C] [--encoding NAME])";
constexpr const char* IMPORT_TEXT =
    R"(Loads CSV files (RFC 4180, UTF-8, header row) into the catalogue in FILE, in
one transaction: a bad row stops the import with its file, line and reason,
and nothing is imported.)";

constexpr const char* DEMO_USAGE = "srv_zel init-demo --db FILE";
constexpr const char* DEMO_TEXT =
    R"(Writes a demo catalogue into FILE (created when missing): about fifty
articles with Spanish descriptions, prices on lists 1 to 4, taxes 16, 0 and
8 %, and some articles to which taxes apply. Articles with the same codes
and the tax table are replaced. Prints three codes to try.)";

constexpr const char* DB_HELP = "the SQLite catalogue, or a postgresql:// connection URI";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The options given to a command, by long name ("--db"), each with its value.
using Given = std::map<std::string, std::string>;

// A command of srv_zel: its options all take a value, as --name VALUE or
// --name=VALUE, at most once.
class Command {
public:
    Command(CLI::App& main, const char* name, const char* summary, const char* usage,
            const char* text)
        : app_(*main.add_subcommand(name, summary)) {
        SetUsage(app_, usage, text, HELP_COLUMN);
        app_.set_help_flag("-h,--help", "this text");
        app_.allow_extras();
    }

    Command& Option(const std::string& name, const char* type, const char* help) {
        app_.add_option(name, values_[name], help)
            ->type_name(type)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        return *this;
    }

    bool Chosen() const { return app_.parsed(); }

    // What was given; throws UsageError for an option given twice.
    Given Options() const {
        Given given;
        for (const auto& [name, value] : values_) {
            const std::size_t times = app_.count(name);
            if (times > 1) {
                throw UsageError("option " + name + " given twice");
            }
            if (times == 1) {
                given[name] = value;
            }
        }
        return given;
    }

private:
    CLI::App& app_;
    std::map<std::string, std::string> values_;
};

std::string Required(const std::string& command, const Given& o, const std::string& name) {
    const auto it = o.find(name);
    if (it == o.end() || it->second.empty()) {
        throw UsageError("srv_zel " + command + ": " + name + " FILE is required");
    }
    return it->second;
}

// SIGINT and SIGTERM become Stop(), and an exit STOP_GRACE later if the
// server has not ended by then; SIGHUP is taken and ignored (there is no
// log file to reopen: the log is stderr), so a reload never ends the server.
// The signals are taken from before the server starts, so that one sent
// while it opens the catalogue waits for it rather than killing it.
int Serve(ServeOptions options, std::ostream& err) {
    boost::asio::io_context signalContext;
    boost::asio::signal_set signals(signalContext, SIGINT, SIGTERM, SIGHUP);
    boost::asio::steady_timer giveUp(signalContext);

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

    std::function<void(const boost::system::error_code&, int)> onSignal =
        [&](const boost::system::error_code& ec, int sig) {
            if (ec) {
                return;
            }
            if (sig == SIGHUP) {
                err << "srv_zel: SIGHUP: nothing to reload; serving on" << std::endl;
                signals.async_wait(onSignal);
                return;
            }
            err << "srv_zel: stopping on " << (sig == SIGINT ? "SIGINT" : "SIGTERM") << std::endl;
            sd_notify(0, "STOPPING=1");
            server.Stop();
            giveUp.expires_after(STOP_GRACE);
            giveUp.async_wait([&err](const boost::system::error_code& e) {
                if (e) {
                    return;
                }
                err << "srv_zel: work under way did not end within " << STOP_GRACE.count()
                    << " ms of the stop; leaving without it" << std::endl;
                std::_Exit(EXIT_OK);
            });
        };
    signals.async_wait(onSignal);
    std::thread watcher([&signalContext] { signalContext.run(); });
    server.Run();
    signalContext.stop();
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

int RunServe(const Given& o, std::ostream& err) {
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

int RunImport(const Given& o, std::ostream& out, std::ostream& err) {
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

int RunInitDemo(const Given& o, std::ostream& out) {
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
    CLI::App app("", "srv_zel");
    SetUsage(app, MAIN_USAGE, MAIN_TEXT, HELP_COLUMN);
    app.set_help_flag("-h,--help", "this text");
    app.set_version_flag("--version", std::string("srv_zel ") + ZEL_VERSION, "print the version");
    app.allow_extras();
    app.require_subcommand(0, 1);
    Command serve(app, "serve", "serve the catalogue to gateways", SERVE_USAGE, SERVE_TEXT);
    serve.Option("--db", "FILE", DB_HELP)
        .Option("--listen", "HOST:PORT",
                "where to listen (default 127.0.0.1:6100; 0.0.0.0:6100\n"
                "opens it to the network; port 0 picks a free port)")
        .Option("--threads", "N", "lookups on PostgreSQL answered at once (default 16)")
        .Option("--memory-budget", "MIB",
                "memory for request bodies and unsent answers, all\n"
                "clients together (default 64)")
        .Option("--metrics", "HOST:PORT",
                "serve GET /metrics (Prometheus text) there, on a port of\n"
                "its own (e.g. 127.0.0.1:6101); none by default")
        .Option("--tls-cert", "FILE", "serve HTTPS with this certificate chain (PEM) ...")
        .Option("--tls-key", "FILE", "... and its private key (PEM)")
        .Option("--key-file", "FILE",
                "ask every request for the access key in FILE, as\n"
                "\"Authorization: Bearer KEY\"; others get 401");
    Command importing(app, "import", "load articles and taxes from CSV files", IMPORT_USAGE,
                      IMPORT_TEXT);
    importing
        .Option("--db", "FILE",
                "the SQLite catalogue (created when missing), or a\n"
                "postgresql:// connection URI (tables created when missing;\n"
                "a read-only standby is refused: import at the head office)")
        .Option("--articles", "A.csv",
                "header codigo[,descripcion][,precio1..precio8][,imps_act][,ban_imps];\n"
                "rows are upserted by code; an empty price is no price;\n"
                "prices may be negative (a deposit given back). Without\n"
                "descripcion the rows only update articles already there\n"
                "(codigo,precio2: new prices on list 2)")
        .Option("--taxes", "T.csv",
                "header pct, one row per tax, tax 1 first; replaces the\n"
                "taxes (a file without rows is refused)")
        .Option("--delimiter", "C", "the field delimiter (default ','; e.g. ';')")
        .Option("--encoding", "NAME",
                "the files' single-byte code page (e.g. windows-1252);\n"
                "default UTF-8");
    Command demo(app, "init-demo", "write a demo catalogue", DEMO_USAGE, DEMO_TEXT);
    demo.Option("--db", "FILE", DB_HELP);
    app.footer(MAIN_FOOTER);  // after the commands, which would take it as theirs

    // The command named so far, for messages: "srv_zel serve".
    const auto who = [&app] {
        const auto chosen = app.get_subcommands();
        return chosen.empty() ? std::string("srv_zel") : "srv_zel " + chosen[0]->get_name();
    };
    try {
        if (args.empty()) {
            err << app.help();
            return EXIT_USAGE;
        }
        if (args[0] == "help") {
            out << app.help();
            return EXIT_OK;
        }
        try {
            ParseArgs(app, args);
        } catch (const CLI::CallForHelp&) {
            out << app.help();  // the chosen command's
            return EXIT_OK;
        } catch (const CLI::CallForVersion& e) {
            out << e.what() << "\n";
            return EXIT_OK;
        } catch (const CommandLineError& e) {
            throw UsageError(who() + ": " + e.what());
        }
        if (const auto extra = app.remaining(true); !extra.empty()) {
            throw UsageError(app.get_subcommands().empty()
                                 ? "srv_zel: unknown command '" + extra[0] + "'"
                                 : who() + ": unknown option '" + extra[0] + "'");
        }
        try {
            if (serve.Chosen()) {
                return RunServe(serve.Options(), err);
            }
            if (importing.Chosen()) {
                return RunImport(importing.Options(), out, err);
            }
            if (demo.Chosen()) {
                return RunInitDemo(demo.Options(), out);
            }
        } catch (const UsageError& e) {
            const std::string what = e.what();
            throw UsageError(what.starts_with("srv_zel") ? what : who() + ": " + what);
        }
        err << app.help();
        return EXIT_USAGE;
    } catch (const UsageError& e) {
        err << e.what() << " (try srv_zel --help)\n";
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        err << "srv_zel: " << e.what() << "\n";
        return EXIT_FAILED;
    }
}

}  // namespace zel
