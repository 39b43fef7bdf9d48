// Command-line parsing of the terminal simulator.
#include "rv7300_sim/SimOptions.h"

#include <charconv>
#include <limits>

#include "common/CommandLine.h"
#include "common/Text.h"
#include "rv7300_sim/ScanRequest.h"
#include "server/ServerAddress.h"
#include "server/ServerError.h"

namespace zel {

namespace {

// A decimal number made of digits only, within [low, high].
bool ParseNumber(std::string_view text, long low, long high, long& value) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    long v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || v < low || v > high) {
        return false;
    }
    value = v;
    return true;
}

}  // namespace

ServerAddress ParseEndpoint(std::string_view text) {
    // The same address forms the gateway accepts for its server, but the
    // port is required: a terminal has no default port to dial.
    ServerAddress address;
    try {
        address = ParseServerAddress(text, 0);
    } catch (const ServerError& error) {
        throw UsageError(error.what());
    }
    if (address.Port == 0) {
        throw UsageError("bad address " + Quoted(text) +
                         ": expected HOST:PORT (an IPv6 address goes in brackets, as in "
                         "[::1]:6000)");
    }
    return address;
}

namespace {

constexpr std::size_t HELP_COLUMN = 14;  // where option descriptions start

constexpr const char* USAGE =
    "rv7300_sim HOST:PORT [--type 0|1] [--scan CODE]... [--raw] [--wait MS]";
constexpr const char* TEXT =
    R"(Connects to a price-check gateway as a terminal would, shows every screen the
gateway sends as the terminal's display would show it, and sends bar codes.

  HOST:PORT     the gateway: a host name or IPv4 address, or [IPv6]:PORT)";
constexpr const char* FOOTER = R"(Output (standard output, one item per line):
  connected to HOST:PORT
  scan CODE                       a code was sent
  >> 02 37 ... 03                 the request in hex (--raw)
  << 02 0B ... 03 04              a frame received, in hex (--raw, and always
                                  for a bad frame)
  bad frame: REASON               a frame that breaks the framing rules
  +---+ / |...| / +---+           the display after a screen, in a box
  no idle screen within MS ms     nothing came after connecting
  no answer within MS ms          nothing came after a scan
  idle screen did not come back within MS ms
  connection closed by the gateway

Exit status: 0 all went well; 1 the connection failed or was closed by the
gateway; 2 bad arguments or input; 3 a bad frame was received; 4 a wait
ended without the idle screen. Warnings and errors go to standard error.)";

// What the command line gives, as CLI11 reads it; checked after.
struct Given {
    std::string type;
    std::string wait;
    std::vector<std::string> scans;
    bool raw = false;
    bool version = false;
};

void Describe(CLI::App& app, Given& given) {
    SetUsage(app, USAGE, TEXT, HELP_COLUMN);
    app.footer(FOOTER);
    app.set_help_flag("-h,--help", "show this text");
    app.allow_extras();  // HOST:PORT, and what no option takes, checked after
    app.add_option("--type", given.type,
                   "terminal type (default 0). Type 0 expects STX text ETX BCC EOT\n"
                   "and adds its check byte to each code it sends; type 1 expects\n"
                   "STX text ETX EOT. The display wraps at 30 columns on type 0.")
        ->type_name("0|1")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_option("--scan", given.scans,
                   "send CODE (digits only) as a scan; may be repeated. Without\n"
                   "--scan, codes are read from standard input, one per line\n"
                   "(empty lines are skipped, end of input ends the session).")
        ->type_name("CODE")
        ->allow_extra_args(false);
    app.add_flag("--raw", given.raw, "also print every frame in hex")->disable_flag_override();
    app.add_option("--wait", given.wait,
                   "quiet time in milliseconds (default 5000): after connecting,\n"
                   "and after each scan, the simulator waits for screens until the\n"
                   "idle screen (the first screen received) comes back, or until\n"
                   "nothing has arrived for MS. Also the limit for connecting.\n"
                   "Use more than the gateway's pause (ESPERA).")
        ->type_name("MS")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.add_flag("--version", given.version, "show the version")->disable_flag_override();
}

}  // namespace

SimOptions ParseSimOptions(const std::vector<std::string>& args) {
    SimOptions options;
    CLI::App app{"", "rv7300_sim"};
    Given given;
    Describe(app, given);
    try {
        ParseArgs(app, args);
    } catch (const CLI::CallForHelp&) {
        options.help = true;
        return options;
    } catch (const CommandLineError& e) {
        throw UsageError(e.what());
    }
    if (given.version) {
        options.version = true;
        return options;
    }
    options.raw = given.raw;
    if (app.count("--type") > 0) {
        long number = 0;
        if (!ParseNumber(given.type, 0, 1, number)) {
            throw UsageError("bad terminal type " + Quoted(given.type) + ": 0 or 1");
        }
        options.type = static_cast<std::uint8_t>(number);
    }
    if (app.count("--wait") > 0) {
        long number = 0;
        if (!ParseNumber(given.wait, 1, std::numeric_limits<int>::max(), number)) {
            throw UsageError("bad wait " + Quoted(given.wait) +
                             ": a number of milliseconds, at least 1");
        }
        options.waitMs = static_cast<int>(number);
    }
    for (const auto& code : given.scans) {
        CheckScanCode(code);
    }
    options.scans = given.scans;
    bool haveEndpoint = false;
    for (const auto& arg : app.remaining()) {
        if (arg.size() > 1 && arg.front() == '-') {
            throw UsageError("unknown option " + Quoted(arg) + " (try --help)");
        }
        if (haveEndpoint) {
            throw UsageError("unexpected argument " + Quoted(arg) + ": only one HOST:PORT");
        }
        options.endpoint = ParseEndpoint(arg);
        haveEndpoint = true;
    }
    if (!haveEndpoint) {
        throw UsageError("missing HOST:PORT (try --help)");
    }
    return options;
}

std::string SimUsage() {
    CLI::App app{"", "rv7300_sim"};
    Given given;
    Describe(app, given);
    return app.help();
}

}  // namespace zel
