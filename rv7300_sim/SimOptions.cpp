// Command-line parsing of the terminal simulator.
#include "rv7300_sim/SimOptions.h"

#include <charconv>
#include <limits>

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

SimOptions ParseSimOptions(const std::vector<std::string>& args) {
    SimOptions options;
    for (const auto& arg : args) {
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            return options;
        }
    }
    for (const auto& arg : args) {
        if (arg == "--version") {
            options.version = true;
            return options;
        }
    }
    bool haveEndpoint = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--raw") {
            options.raw = true;
            continue;
        }
        // Options with a value: "--name value" or "--name=value".
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        if (arg.rfind("--", 0) == 0) {
            const auto eq = arg.find('=');
            if (eq != std::string::npos) {
                name = arg.substr(0, eq);
                value = arg.substr(eq + 1);
                hasValue = true;
            }
        }
        if (name == "--type" || name == "--scan" || name == "--wait") {
            if (!hasValue) {
                if (i + 1 >= args.size()) {
                    throw UsageError("option " + name + " needs a value");
                }
                value = args[++i];
            }
            long number = 0;
            if (name == "--type") {
                if (!ParseNumber(value, 0, 1, number)) {
                    throw UsageError("bad terminal type " + Quoted(value) + ": 0 or 1");
                }
                options.type = static_cast<std::uint8_t>(number);
            } else if (name == "--wait") {
                if (!ParseNumber(value, 1, std::numeric_limits<int>::max(), number)) {
                    throw UsageError("bad wait " + Quoted(value) +
                                     ": a number of milliseconds, at least 1");
                }
                options.waitMs = static_cast<int>(number);
            } else {
                CheckScanCode(value);
                options.scans.push_back(value);
            }
            continue;
        }
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

std::string_view SimUsage() {
    return R"(Usage: rv7300_sim HOST:PORT [--type 0|1] [--scan CODE]... [--raw] [--wait MS]

Connects to a price-check gateway as a terminal would, shows every screen the
gateway sends as the terminal's display would show it, and sends bar codes.

  HOST:PORT     the gateway: a host name or IPv4 address, or [IPv6]:PORT
  --type 0|1    terminal type (default 0). Type 0 expects STX text ETX BCC EOT
                and adds its check byte to each code it sends; type 1 expects
                STX text ETX EOT. The display wraps at 30 columns on type 0.
  --scan CODE   send CODE (digits only) as a scan; may be repeated. Without
                --scan, codes are read from standard input, one per line
                (empty lines are skipped, end of input ends the session).
  --raw         also print every frame in hex
  --wait MS     quiet time in milliseconds (default 5000): after connecting,
                and after each scan, the simulator waits for screens until the
                idle screen (the first screen received) comes back, or until
                nothing has arrived for MS. Also the limit for connecting.
                Use more than the gateway's pause (ESPERA).
  -h, --help    show this text
  --version     show the version

Output (standard output, one item per line):
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
ended without the idle screen. Warnings and errors go to standard error.
)";
}

}  // namespace zel
